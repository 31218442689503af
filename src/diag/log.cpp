#include "diag/log.h"

#include <winternl.h>

#include <cstdarg>

#include "common/last_error.h"
#include "common/lock.h"
#include "common/owned.h"
#include "diag/log_format.h"

namespace {

constexpr wchar_t kLogDirectory[] = L"c:\\tmp";
constexpr wchar_t kLogName[] = L"log";

// A directory any user may create, or replace by a junction or a symbolic
// link: it is opened itself, never its target, and only a plain directory
// serves. The file is then opened relative to this handle, so a swap of the
// name c:\tmp after the check cannot redirect the write.
owned::unique_file open_log_directory() {
    owned::unique_file directory(
        CreateFileW(kLogDirectory, FILE_TRAVERSE | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    BY_HANDLE_FILE_INFORMATION info;
    if (!directory || !GetFileInformationByHandle(directory.get(), &info) ||
        !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        return owned::unique_file();
    }
    return directory;
}

// The name itself is opened (never the target of a link planted there), and
// anything but a plain file with one name is dropped like an open failure.
owned::unique_file open_log_file() {
    const owned::unique_file directory = open_log_directory();
    if (!directory) return owned::unique_file();
    UNICODE_STRING name;
    name.Buffer = const_cast<wchar_t*>(kLogName);
    name.Length = static_cast<USHORT>((sizeof kLogName) - sizeof(wchar_t));
    name.MaximumLength = static_cast<USHORT>(sizeof kLogName);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, directory.get(), nullptr);
    IO_STATUS_BLOCK status;
    HANDLE opened = nullptr;
    const NTSTATUS result = NtCreateFile(
        &opened, FILE_APPEND_DATA | SYNCHRONIZE, &attributes, &status, nullptr,
        FILE_ATTRIBUTE_NORMAL, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN_IF,
        FILE_NON_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT | FILE_OPEN_REPARSE_POINT, nullptr,
        0);
    if (result < 0) return owned::unique_file();  // an error status
    owned::unique_file file(opened);
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(file.get(), &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) ||
        info.nNumberOfLinks > 1) {
        return owned::unique_file();
    }
    return file;
}

// Any process may lock any range of the file for as long as it likes, so the
// lock is only tried, for a short while; an entry that meets a held lock is
// dropped. Where locks are not supported at all the entry goes out unlocked,
// as it always did.
enum class lock_result { held, busy, unsupported };
constexpr LONGLONG kLockBoundMs = 20;
constexpr DWORD kLockPauseMs = 2;

lock_result try_lock(HANDLE file, OVERLAPPED& range) {
    LARGE_INTEGER frequency, start, now;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    for (;;) {
        if (LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0,
                       &range)) {
            return lock_result::held;
        }
        if (GetLastError() != ERROR_LOCK_VIOLATION) return lock_result::unsupported;
        QueryPerformanceCounter(&now);
        if ((now.QuadPart - start.QuadPart) * 1000 >= kLockBoundMs * frequency.QuadPart) {
            return lock_result::busy;
        }
        Sleep(kLockPauseMs);
    }
}

// This process's writers take turns before they try the file's lock, so a
// burst of entries from its own threads (every job meeting a stop at once)
// never has them drop each other's entries: only another process can hold the
// file's lock for long. A kernel mutex, because a writer cut off inside its
// turn abandons it instead of blocking every later entry. The wait is bounded
// with room for a whole burst from a full pool of work threads on a loaded
// machine. Made when the program loads, so the process's handle count does not
// grow at its first entry.
constexpr DWORD kTurnBoundMs = 500;
const HANDLE writer_turns = CreateMutexW(nullptr, FALSE, nullptr);

// One write per entry, appended at the end, so concurrent writers never mix.
// Not every platform makes an append-only write atomic across processes (Wine
// seeks to the end, then writes), so the write also holds a byte-range lock far
// beyond any real data; it is released with the handle if the writer dies.
void append_entry(const diag::entry_buffer& entry) {
    // Without the mutex (it could not be made) entries go out as before.
    const owned::mutex_hold turn(writer_turns, kTurnBoundMs);
    if (writer_turns && !turn.held()) return;
    const owned::unique_file file = open_log_file();
    if (!file) return;
    OVERLAPPED at_far_end{};
    at_far_end.Offset = 0xFFFFFFF0u;
    at_far_end.OffsetHigh = 0x7FFFFFFFu;
    const lock_result lock = try_lock(file.get(), at_far_end);
    if (lock == lock_result::busy) return;
    DWORD written = 0;
    WriteFile(file.get(), entry.data(), static_cast<DWORD>(entry.size()), &written, nullptr);
    if (lock == lock_result::held) UnlockFileEx(file.get(), 0, 1, 0, &at_far_end);
}

template <typename Char>
void write_entry(diag::entry_kind kind, const char* file, unsigned line, const Char* message,
                 int code) {
    SYSTEMTIME now;
    GetLocalTime(&now);
    diag::entry_buffer entry;
    diag::format_entry(entry, kind, file, line, now, message, code);
    append_entry(entry);
}

template <typename Char>
void write_error_entry(const char* file, unsigned line, int code, const Char* message) {
    write_entry(diag::entry_kind::error, file, line, message, code);
    SetLastError(static_cast<DWORD>(code));
}

template <typename Char>
void write_warning_entry(const char* file, unsigned line, const Char* message) {
    const owned::last_error_keeper keep;
    write_entry(diag::entry_kind::warning, file, line, message, 0);
}

}  // namespace

namespace diag {

void write_error(const char* file, unsigned line, int code, const char* message) {
    write_error_entry(file, line, code, message);
}

void write_error(const char* file, unsigned line, int code, const wchar_t* message) {
    write_error_entry(file, line, code, message);
}

void write_error_format(const char* file, unsigned line, int code, const wchar_t* format, ...) {
    wchar_t message[kLogWideMessageUnits];
    va_list args;
    va_start(args, format);
    compose_wide(message, kLogWideMessageUnits, format, args);
    va_end(args);
    write_error_entry(file, line, code, message);
}

void write_warning(const char* file, unsigned line, const char* message) {
    write_warning_entry(file, line, message);
}

void write_warning(const char* file, unsigned line, const wchar_t* message) {
    write_warning_entry(file, line, message);
}

void write_warning_format(const char* file, unsigned line, const wchar_t* format, ...) {
    const owned::last_error_keeper keep;  // the composing may touch it too
    wchar_t message[kLogWideMessageUnits];
    va_list args;
    va_start(args, format);
    compose_wide(message, kLogWideMessageUnits, format, args);
    va_end(args);
    write_entry(entry_kind::warning, file, line, message, 0);
}

void write_trace(const char* file, unsigned line, const char* caller, const char* callee) {
    const owned::last_error_keeper keep;
    entry_buffer entry;
    format_trace(entry, file, line, caller, callee);
    append_entry(entry);
}

}  // namespace diag
