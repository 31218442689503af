#include "agent/tools/format_fitting.h"

#include <windows.h>

#include <cstdarg>
#include <cwchar>

bool format_fitting(wchar_t* buffer, size_t units, const wchar_t* format, ...) {
    if (buffer == nullptr || units == 0) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return false;
    }
    va_list args;
    va_start(args, format);
    // Runtimes differ on a text that does not fit: negative, or the length it
    // would have had. Either way it is not at most units - 1.
    const int written = std::vswprintf(buffer, units, format, args);
    va_end(args);
    if (written < 0 || static_cast<size_t>(written) >= units) {
        buffer[0] = L'\0';
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return false;
    }
    return true;
}
