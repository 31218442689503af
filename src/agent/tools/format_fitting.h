// printf-style formatting into a caller's fixed buffer that refuses a text that
// does not fit instead of cutting it: a cut command line would start the wrong
// program or hand it the wrong file, and a cut key path names another key.
#pragma once

#include <cstddef>

// Use %ls for wide strings. On false the buffer holds an empty string and the
// last-error value is ERROR_INSUFFICIENT_BUFFER; nothing is logged.
bool format_fitting(wchar_t* buffer, size_t units, const wchar_t* format, ...);

template <size_t Units, typename... Args>
bool format_fitting(wchar_t (&buffer)[Units], const wchar_t* format, Args... args) {
    return format_fitting(buffer, Units, format, args...);
}
