// The diagnostic log read back as the service and winrelay write it: entries
// (a header line with file, line and time, a message, an error code for
// errors) and trace lines ("module CALLER exec CALLEE in FILE at LINE").
// Tests match parsed fields instead of searching the raw text, so a message
// that happens to end another message, or a code in the wrong entry, never
// counts.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace test_support {

struct log_entry {
    enum class kind_t { error, warning };
    kind_t kind = kind_t::warning;
    std::string module;  // the "file:" field
    unsigned line = 0;
    std::string time;     // as written, e.g. "Thu Dec 10 23:30:00 2026"
    std::string message;  // continuation lines joined by "\n"
    int code = 0;         // errors only
};

struct trace_line {
    std::string caller;
    std::string callee;
    std::string module;
    unsigned line = 0;
};

class log_view {
public:
    explicit log_view(const std::string& text);
    // The log file as it is now (empty when it does not exist).
    static log_view read();

    const std::vector<log_entry>& entries() const { return entries_; }
    const std::vector<trace_line>& traces() const { return traces_; }

    // Entries of either kind whose message is exactly `message`.
    size_t count(const std::string& message) const;
    // Entries whose message starts with `prefix`.
    size_t count_starting(const std::string& prefix) const;
    // Error entries with this message and code (of any module, or of `module`).
    size_t count_errors(const std::string& message, int code) const;
    bool has_error(const std::string& module, const std::string& message, int code) const;
    // Trace lines of this caller and callee.
    size_t count_traces(const std::string& caller, const std::string& callee) const;

private:
    std::vector<log_entry> entries_;
    std::vector<trace_line> traces_;
};

// The same questions of a log text, for one-off checks.
size_t count_log_messages(const std::string& log, const std::string& message);
bool has_message(const std::string& log, const std::string& message);
bool has_error(const std::string& log, const std::string& message, int code);

// True once the log holds an entry with exactly this message, false after timeout_ms.
bool wait_for_log(const std::string& message, DWORD timeout_ms = 30000);

}  // namespace test_support
