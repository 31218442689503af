#include "tools/format_fitting.h"

#include <windows.h>

#include <cstdarg>
#include <cstdio>

bool format_fitting(wchar_t* buffer, size_t units, const wchar_t* format, ...) {
    if (buffer == nullptr || units == 0) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return false;
    }
    va_list args;
    va_start(args, format);
    // Negative when the text is longer than the count; equal to the count when
    // it fits exactly but leaves no room for the terminator.
    const int written = _vsnwprintf(buffer, units, format, args);
    va_end(args);
    if (written < 0 || static_cast<size_t>(written) >= units) {
        buffer[0] = L'\0';
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return false;
    }
    return true;
}
