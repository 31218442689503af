#include "diag/log_format.h"

#include <cstdarg>
#include <cstdio>
#include <cwchar>

namespace diag {
namespace {

// Fixed English names: entries must read the same whatever the system language.
const char* const kDays[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char* const kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                 "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

void append_time(entry_buffer& out, const SYSTEMTIME& t) {
    const char* day = t.wDayOfWeek < 7 ? kDays[t.wDayOfWeek] : "???";
    const char* month = (t.wMonth >= 1 && t.wMonth <= 12) ? kMonths[t.wMonth - 1] : "???";
    out.appendf("time: %s %s %02u %02u:%02u:%02u %u;\n", day, month, unsigned{t.wDay},
                unsigned{t.wHour}, unsigned{t.wMinute}, unsigned{t.wSecond}, unsigned{t.wYear});
}

}  // namespace

void entry_buffer::put(char c) {
    if (size_ < capacity) bytes_[size_++] = c;
}

void entry_buffer::append(const char* text) {
    for (; *text; ++text) {
        if (*text == '\n') put('\r');
        put(*text);
    }
}

void entry_buffer::append(const wchar_t* text) {
    for (; *text; ++text) {
        const unsigned unit = static_cast<unsigned>(*text) & 0xFFFFu;
        const char c = unit <= 0xFFu ? static_cast<char>(unit) : '?';
        if (c == '\n') put('\r');
        put(c);
    }
}

void entry_buffer::appendf(const char* format, ...) {
    char text[1024];
    va_list args;
    va_start(args, format);
    const int n = vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (n >= 0) append(text);
}

template <typename FileChar, typename MessageChar>
void format_entry_of(entry_buffer& out, entry_kind kind, const FileChar* file, unsigned line,
                     const SYSTEMTIME& time, const MessageChar* message, int code) {
    out.append(kind == entry_kind::error ? "\nERROR: file: " : "\nWARNING: file: ");
    out.append(file);
    out.appendf("; line: %u; ", line);
    append_time(out, time);
    out.append("message: ");
    out.append(message);
    if (kind == entry_kind::error) {
        out.appendf("\nerrcode: %i\n\n", code);
    } else {
        out.append("\n\n");
    }
}

void format_entry(entry_buffer& out, entry_kind kind, const char* file, unsigned line,
                  const SYSTEMTIME& time, const char* message, int code) {
    format_entry_of(out, kind, file, line, time, message, code);
}

void format_entry(entry_buffer& out, entry_kind kind, const wchar_t* file, unsigned line,
                  const SYSTEMTIME& time, const wchar_t* message, int code) {
    format_entry_of(out, kind, file, line, time, message, code);
}

void format_entry(entry_buffer& out, entry_kind kind, const char* file, unsigned line,
                  const SYSTEMTIME& time, const wchar_t* message, int code) {
    format_entry_of(out, kind, file, line, time, message, code);
}

void format_trace(entry_buffer& out, const char* file, unsigned line, const char* caller,
                  const char* callee) {
    out.append("module ");
    out.append(caller);
    out.append(" exec ");
    out.append(callee);
    out.append(" in ");
    out.append(file);
    out.appendf(" at %u\n", line);
}

void compose_wide(wchar_t* out, size_t units, const wchar_t* format, va_list args) {
    if (units == 0) return;
    // Bounded and always terminated: a longer text is cut at units - 1. Unlike
    // the standard vswprintf, it reads %s as a wide string with every compiler.
    out[0] = L'\0';  // what stays if composing fails
    _vsnwprintf_s(out, units, _TRUNCATE, format, args);
}

}  // namespace diag
