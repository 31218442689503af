#include "diag/log.h"

#include <cstdarg>

#include "diag/log_format.h"

namespace {

// The log is written by a LocalSystem service into a directory any user may
// create, so a link planted at the file's name must not redirect the write.
// The name itself is opened (never its target) and anything but a plain file
// with one name is dropped like an open failure.
HANDLE open_log_file() {
    HANDLE file = CreateFileW(L"c:\\tmp\\log", FILE_APPEND_DATA,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
                              nullptr);
    if (file == INVALID_HANDLE_VALUE) return file;
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(file, &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) ||
        info.nNumberOfLinks > 1) {
        CloseHandle(file);
        return INVALID_HANDLE_VALUE;
    }
    return file;
}

// One write per entry, appended at the end, so concurrent writers never mix.
// Not every platform makes an append-only write atomic across processes (Wine
// seeks to the end, then writes), so the write also holds a byte-range lock far
// beyond any real data; it is released with the handle if the writer dies.
void append_entry(const diag::entry_buffer& entry) {
    HANDLE file = open_log_file();
    if (file == INVALID_HANDLE_VALUE) return;
    OVERLAPPED at_far_end{};
    at_far_end.Offset = 0xFFFFFFF0u;
    at_far_end.OffsetHigh = 0x7FFFFFFFu;
    const BOOL locked = LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &at_far_end);
    DWORD written = 0;
    WriteFile(file, entry.data(), static_cast<DWORD>(entry.size()), &written, nullptr);
    if (locked) UnlockFileEx(file, 0, 1, 0, &at_far_end);
    CloseHandle(file);
}

template <typename Char>
void write_entry(diag::entry_kind kind, const Char* file, unsigned line, const Char* message,
                 int code) {
    SYSTEMTIME now;
    GetLocalTime(&now);
    diag::entry_buffer entry;
    diag::format_entry(entry, kind, file, line, now, message, code);
    append_entry(entry);
}

}  // namespace

void log_error(const char* file, unsigned line, const char* message, int code) {
    write_entry(diag::entry_kind::error, file, line, message, code);
    SetLastError(static_cast<DWORD>(code));
}

void log_error(const wchar_t* file, unsigned line, const wchar_t* message, int code) {
    write_entry(diag::entry_kind::error, file, line, message, code);
    SetLastError(static_cast<DWORD>(code));
}

void log_error_last(const char* file, unsigned line, const char* message) {
    log_error(file, line, message, static_cast<int>(GetLastError()));
}

void log_warning(const char* file, unsigned line, const char* message) {
    const DWORD saved = GetLastError();
    write_entry(diag::entry_kind::warning, file, line, message, 0);
    SetLastError(saved);
}

void log_warning(const wchar_t* file, unsigned line, const wchar_t* message) {
    const DWORD saved = GetLastError();
    write_entry(diag::entry_kind::warning, file, line, message, 0);
    SetLastError(saved);
}

void log_trace(const char* file, unsigned line, const char* caller, const char* callee) {
    const DWORD saved = GetLastError();
    diag::entry_buffer entry;
    diag::format_trace(entry, file, line, caller, callee);
    append_entry(entry);
    SetLastError(saved);
}

namespace {

void log_error_composed(const wchar_t* file, unsigned line, int code, const wchar_t* format,
                        va_list args) {
    wchar_t message[kLogWideMessageUnits];
    diag::compose_wide(message, kLogWideMessageUnits, format, args);
    log_error(file, line, message, code);
}

}  // namespace

void log_error_fmt(const wchar_t* file, unsigned line, int code, const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    log_error_composed(file, line, code, format, args);
    va_end(args);
}

void log_error_fmt_last(const wchar_t* file, unsigned line, const wchar_t* format, ...) {
    const int code = static_cast<int>(GetLastError());
    va_list args;
    va_start(args, format);
    log_error_composed(file, line, code, format, args);
    va_end(args);
}

void log_warning_fmt(const wchar_t* file, unsigned line, const wchar_t* format, ...) {
    const DWORD saved = GetLastError();
    wchar_t message[kLogWideMessageUnits];
    va_list args;
    va_start(args, format);
    diag::compose_wide(message, kLogWideMessageUnits, format, args);
    va_end(args);
    log_warning(file, line, message);
    SetLastError(saved);
}
