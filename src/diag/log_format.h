// Building the bytes of one log entry, kept apart from the file so the exact
// shapes can be checked against a fixed time.
#pragma once

#include <windows.h>

#include <cstddef>

namespace diag {

// A fixed-capacity byte buffer that cuts what does not fit instead of
// overrunning. Every "\n" appended is stored as CR LF, as a text-mode file does.
class entry_buffer {
public:
    static constexpr size_t capacity = 16 * 1024;

    void append(const char* text);
    // UTF-16 text stored 8-bit: U+0001..U+00FF as that byte, anything else as '?'.
    void append(const wchar_t* text);
    void appendf(const char* format, ...);

    const char* data() const { return bytes_; }
    size_t size() const { return size_; }

private:
    void put(char c);

    char bytes_[capacity];
    size_t size_ = 0;
};

enum class entry_kind { error, warning };

void format_entry(entry_buffer& out, entry_kind kind, const char* file, unsigned line,
                  const SYSTEMTIME& time, const char* message, int code);
void format_entry(entry_buffer& out, entry_kind kind, const wchar_t* file, unsigned line,
                  const SYSTEMTIME& time, const wchar_t* message, int code);
void format_entry(entry_buffer& out, entry_kind kind, const char* file, unsigned line,
                  const SYSTEMTIME& time, const wchar_t* message, int code);
void format_trace(entry_buffer& out, const char* file, unsigned line, const char* caller,
                  const char* callee);

// Composes a wide message into a caller buffer of kLogWideMessageUnits, cut at
// one unit less.
void compose_wide(wchar_t* out, size_t units, const wchar_t* format, va_list args);

}  // namespace diag
