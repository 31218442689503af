// Diagnostic log shared by agent and winrelay: plain-text entries appended to
// "c:/tmp/log" when the directory c:\tmp exists, and dropped silently otherwise.
//
// Each source file names its module once, before including this header:
//     #define LOG_MODULE "..\\src\\Service"
//     #include "diag/log.h"
// and reports through one family of macros, which capture the line of the call
// site. The message is narrow or wide; a wide message followed by arguments is
// a printf-style format (Microsoft's rules: %s is a wide string). An explicit
// code always comes first.
//     LOG_ERROR("service_main(): failed to CreateEvent().");       // code = GetLastError()
//     LOG_ERROR(L"processing(): failed to find_session_id(\"%ls\").", user);
//     LOG_ERROR_CODE(8, "pipe_srv_init(): failed to new().");
//     LOG_ERROR_CODE(2, L"reg_read_records(): failed to RegOpenKeyEx(\"%ls:%ls\").", h, k);
//     LOG_WARNING("driver_serv_proc(): terminate event happened.");
//     LOG_WARNING(L"find_session_id(): domain \"%ls\" session ID was detected.", user);
//     LOG_TRACE("processing()", "exec_progress()");
// After an error entry the thread's last-error value equals the code; warnings
// and traces leave it alone.
#pragma once

#include <windows.h>

#include <cstddef>
#include <type_traits>

// Composed wide messages are cut to this many units minus the terminator.
constexpr size_t kLogWideMessageUnits = 2048;

namespace diag {

// A code as an entry shows it: any integer or enumeration (DWORD, LSTATUS, HRESULT).
struct log_code {
    template <typename T,
              typename = std::enable_if_t<std::is_integral<T>::value || std::is_enum<T>::value>>
    log_code(T code) : value(static_cast<int>(code)) {}
    int value;
};

void write_error(const char* file, unsigned line, int code, const char* message);
void write_error(const char* file, unsigned line, int code, const wchar_t* message);
void write_error_format(const char* file, unsigned line, int code, const wchar_t* format, ...);
void write_warning(const char* file, unsigned line, const char* message);
void write_warning(const char* file, unsigned line, const wchar_t* message);
void write_warning_format(const char* file, unsigned line, const wchar_t* format, ...);
void write_trace(const char* file, unsigned line, const char* caller, const char* callee);

// A message with arguments is a wide format; a message alone is written as it is.
template <typename Char, typename... Args>
void log_error(const char* file, unsigned line, log_code code, const Char* message, Args... args) {
    if constexpr (sizeof...(Args) == 0) {
        write_error(file, line, code.value, message);
    } else {
        static_assert(std::is_same<Char, wchar_t>::value, "formats are wide");
        write_error_format(file, line, code.value, message, args...);
    }
}

// The code is the thread's last-error value once the arguments are evaluated.
template <typename Char, typename... Args>
void log_error_last(const char* file, unsigned line, const Char* message, Args... args) {
    log_error(file, line, log_code(GetLastError()), message, args...);
}

template <typename Char, typename... Args>
void log_warning(const char* file, unsigned line, const Char* message, Args... args) {
    if constexpr (sizeof...(Args) == 0) {
        write_warning(file, line, message);
    } else {
        static_assert(std::is_same<Char, wchar_t>::value, "formats are wide");
        write_warning_format(file, line, message, args...);
    }
}

}  // namespace diag

#define LOG_ERROR(...) diag::log_error_last(LOG_MODULE, __LINE__, __VA_ARGS__)
#define LOG_ERROR_CODE(...) diag::log_error(LOG_MODULE, __LINE__, __VA_ARGS__)
#define LOG_WARNING(...) diag::log_warning(LOG_MODULE, __LINE__, __VA_ARGS__)
#define LOG_TRACE(caller, callee) diag::write_trace(LOG_MODULE, __LINE__, (caller), (callee))
