#include "support/log_reader.h"

#include <cstdlib>

#include "support/support.h"

namespace test_support {
namespace {

bool starts_with(const std::string& text, const std::string& head) {
    return text.compare(0, head.size(), head) == 0;
}

std::vector<std::string> split_lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t begin = 0;
    while (begin < text.size()) {
        size_t end = text.find('\n', begin);
        if (end == std::string::npos) end = text.size();
        size_t stop = end;
        if (stop > begin && text[stop - 1] == '\r') --stop;
        lines.push_back(text.substr(begin, stop - begin));
        begin = end + 1;
    }
    return lines;
}

unsigned to_unsigned(const std::string& digits) {
    return static_cast<unsigned>(std::strtoul(digits.c_str(), nullptr, 10));
}

// "ERROR: file: F; line: N; time: T;" or the same with "WARNING: ".
bool parse_header(const std::string& text, log_entry& entry) {
    static const std::string kError = "ERROR: file: ";
    static const std::string kWarning = "WARNING: file: ";
    size_t at = 0;
    if (starts_with(text, kError)) {
        entry.kind = log_entry::kind_t::error;
        at = kError.size();
    } else if (starts_with(text, kWarning)) {
        entry.kind = log_entry::kind_t::warning;
        at = kWarning.size();
    } else {
        return false;
    }
    const size_t line_at = text.rfind("; line: ");
    const size_t time_at = text.rfind("; time: ");
    if (line_at == std::string::npos || time_at == std::string::npos || line_at < at ||
        time_at < line_at || text.back() != ';') {
        return false;
    }
    entry.module = text.substr(at, line_at - at);
    entry.line = to_unsigned(text.substr(line_at + 8, time_at - line_at - 8));
    entry.time = text.substr(time_at + 8, text.size() - time_at - 9);
    return true;
}

// "module CALLER exec CALLEE in FILE at LINE".
bool parse_trace(const std::string& text, trace_line& trace) {
    if (!starts_with(text, "module ")) return false;
    const size_t exec_at = text.find(" exec ", 7);
    if (exec_at == std::string::npos) return false;
    const size_t in_at = text.find(" in ", exec_at + 6);
    const size_t line_at = text.rfind(" at ");
    if (in_at == std::string::npos || line_at == std::string::npos || line_at < in_at) return false;
    trace.caller = text.substr(7, exec_at - 7);
    trace.callee = text.substr(exec_at + 6, in_at - exec_at - 6);
    trace.module = text.substr(in_at + 4, line_at - in_at - 4);
    trace.line = to_unsigned(text.substr(line_at + 4));
    return true;
}

}  // namespace

log_view::log_view(const std::string& text) {
    static const std::string kMessage = "message: ";
    static const std::string kCode = "errcode: ";
    const std::vector<std::string> lines = split_lines(text);
    for (size_t i = 0; i < lines.size(); ++i) {
        trace_line trace;
        if (parse_trace(lines[i], trace)) {
            traces_.push_back(trace);
            continue;
        }
        log_entry entry;
        if (!parse_header(lines[i], entry)) continue;
        // A header without its message still counts, with an empty message,
        // so that a check for unexpected entries sees it.
        if (i + 1 >= lines.size() || !starts_with(lines[i + 1], kMessage)) {
            entries_.push_back(entry);
            continue;
        }
        entry.message = lines[++i].substr(kMessage.size());
        // A message may span lines; an error's ends at its code line, a
        // warning's at the blank line that closes every entry.
        for (++i; i < lines.size(); ++i) {
            if (entry.kind == log_entry::kind_t::error && starts_with(lines[i], kCode)) {
                entry.code = std::atoi(lines[i].c_str() + kCode.size());
                break;
            }
            if (entry.kind == log_entry::kind_t::warning && lines[i].empty()) break;
            entry.message += "\n" + lines[i];
        }
        entries_.push_back(entry);
    }
}

log_view log_view::read() { return log_view(read_log()); }

size_t log_view::count(const std::string& message) const {
    size_t n = 0;
    for (const log_entry& e : entries_) n += e.message == message;
    return n;
}

size_t log_view::count_starting(const std::string& prefix) const {
    size_t n = 0;
    for (const log_entry& e : entries_) n += starts_with(e.message, prefix);
    return n;
}

size_t log_view::count_errors(const std::string& message, int code) const {
    size_t n = 0;
    for (const log_entry& e : entries_) {
        n += e.kind == log_entry::kind_t::error && e.message == message && e.code == code;
    }
    return n;
}

bool log_view::has_error(const std::string& module, const std::string& message, int code) const {
    for (const log_entry& e : entries_) {
        if (e.kind == log_entry::kind_t::error && e.module == module && e.message == message &&
            e.code == code) {
            return true;
        }
    }
    return false;
}

size_t log_view::count_traces(const std::string& caller, const std::string& callee) const {
    size_t n = 0;
    for (const trace_line& t : traces_) n += t.caller == caller && t.callee == callee;
    return n;
}

size_t count_log_messages(const std::string& log, const std::string& message) {
    return log_view(log).count(message);
}

bool has_message(const std::string& log, const std::string& message) {
    return log_view(log).count(message) > 0;
}

bool has_error(const std::string& log, const std::string& message, int code) {
    return log_view(log).count_errors(message, code) > 0;
}

bool wait_for_log(const std::string& message, DWORD timeout_ms) {
    return wait_for_file(
        kLogPath, [&](const std::string& log) { return log_view(log).count(message) > 0; },
        timeout_ms);
}

}  // namespace test_support
