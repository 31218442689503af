// Diagnostic log shared by agent and winrelay: plain-text entries appended to
// "c:/tmp/log" when the directory c:\tmp exists, and dropped silently otherwise.
//
// Each source file names its module once, before including this header:
//     #define LOG_MODULE "..\\src\\Service"
//     #include "diag/log.h"
// and reports through the macros, which capture the line of the call site:
//     LOG_ERROR("service_main(): failed to CreateEvent().");      // code = GetLastError()
//     LOG_ERROR_CODE("pipe_srv_init(): failed to new().", 8);
//     LOG_WARNING("driver_serv_proc(): terminate event happened.");
//     LOG_ERROR_W(L"processing(): failed to find_session_id(\"%s\").", user);
//     LOG_ERROR_W_CODE(2, L"reg_read_records(): failed to RegOpenKeyEx(\"%s:%s\").", h, k);
//     LOG_WARNING_W(L"find_session_id(): domain \"%s\" session ID was detected.", user);
//     LOG_TRACE("processing()", "exec_progress()");
// After an error entry the thread's last-error value equals the code; warnings
// and traces leave it alone.
#pragma once

#include <windows.h>

// Composed wide messages are cut to this many units minus the terminator.
constexpr size_t kLogWideMessageUnits = 2048;

void log_error(const char* file, unsigned line, const char* message, int code);
void log_error(const wchar_t* file, unsigned line, const wchar_t* message, int code);
void log_warning(const char* file, unsigned line, const char* message);
void log_warning(const wchar_t* file, unsigned line, const wchar_t* message);
void log_trace(const char* file, unsigned line, const char* caller, const char* callee);

// Same as the error forms above with the code taken from GetLastError() on entry.
void log_error_last(const char* file, unsigned line, const char* message);

// Wide forms that compose the message from a printf-style format first.
void log_error_fmt(const wchar_t* file, unsigned line, int code, const wchar_t* format, ...);
void log_error_fmt_last(const wchar_t* file, unsigned line, const wchar_t* format, ...);
void log_warning_fmt(const wchar_t* file, unsigned line, const wchar_t* format, ...);

#define LOG_WIDEN2(s) L##s
#define LOG_WIDEN(s) LOG_WIDEN2(s)

#define LOG_ERROR(msg) log_error_last(LOG_MODULE, __LINE__, (msg))
#define LOG_ERROR_CODE(msg, code) log_error(LOG_MODULE, __LINE__, (msg), static_cast<int>(code))
#define LOG_WARNING(msg) log_warning(LOG_MODULE, __LINE__, (msg))
#define LOG_TRACE(caller, callee) log_trace(LOG_MODULE, __LINE__, (caller), (callee))
#define LOG_ERROR_W(...) log_error_fmt_last(LOG_WIDEN(LOG_MODULE), __LINE__, __VA_ARGS__)
#define LOG_ERROR_W_CODE(code, ...) \
    log_error_fmt(LOG_WIDEN(LOG_MODULE), __LINE__, static_cast<int>(code), __VA_ARGS__)
#define LOG_WARNING_W(...) log_warning_fmt(LOG_WIDEN(LOG_MODULE), __LINE__, __VA_ARGS__)
