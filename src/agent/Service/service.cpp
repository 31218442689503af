#include "Service/service.h"

#include "Service/dispatch.h"
#include "Service/printer_table.h"
#include "Service/service_events.h"
#include "Service/session_table.h"
#include "Service/shared_tables.h"
#include "pipe_srv/pipe_srv.h"

#define LOG_MODULE "..\\src\\Service"
#include "diag/log.h"

const wchar_t kServiceName[] = L"Agent";

SERVICE_STATUS_HANDLE status_handle = nullptr;
SERVICE_STATUS service_status = {};
HANDLE pipe_thread = nullptr;

namespace {

constexpr DWORD kPipeThreadGraceMs = 2000;
constexpr DWORD kFirstUserControl = 128;
constexpr DWORD kLastUserControl = 133;

// Serialises the reports, which come from three threads.
SRWLOCK status_lock = SRWLOCK_INIT;
// Held by service_main for the whole start-up; every control takes it first,
// so no control sees a half-built state or races the session table's fill.
SRWLOCK startup_lock = SRWLOCK_INIT;

class exclusive_lock {
public:
    explicit exclusive_lock(SRWLOCK* lock) : lock_(lock) { AcquireSRWLockExclusive(lock_); }
    ~exclusive_lock() { ReleaseSRWLockExclusive(lock_); }
    exclusive_lock(const exclusive_lock&) = delete;
    exclusive_lock& operator=(const exclusive_lock&) = delete;

private:
    SRWLOCK* lock_;
};

bool report(DWORD state, DWORD controls_accepted, DWORD win32_exit_code) {
    exclusive_lock hold(&status_lock);
    service_status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    service_status.dwCurrentState = state;
    service_status.dwControlsAccepted = controls_accepted;
    service_status.dwWin32ExitCode = win32_exit_code;
    service_status.dwServiceSpecificExitCode = 0;
    service_status.dwCheckPoint = 0;
    service_status.dwWaitHint = 0;
    return SetServiceStatus(status_handle, &service_status) != FALSE;
}

bool already_stopped() {
    exclusive_lock hold(&status_lock);
    return service_status.dwCurrentState == SERVICE_STOPPED;
}

// The exit code a failed start reports: the failure's own Win32 error, never 0.
DWORD failure_code() {
    const DWORD code = GetLastError();
    return code != ERROR_SUCCESS ? code : ERROR_UNIDENTIFIED_ERROR;
}

bool create_service_events() {
    for (HANDLE& event : service_events) {
        event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (!event) return false;
    }
    return true;
}

// Steps 3 to 8 of the start-up; false after the failure has been logged.
bool build_shared_state() {
    if (!create_service_events()) {
        LOG_ERROR("service_main(): failed to CreateEvent().");
        return false;
    }
    if (!read_srvregcfg()) {
        LOG_ERROR("service_main(): failed to read_srvregcfg().");
        return false;
    }
    session_table_mutex = CreateMutexW(nullptr, FALSE, nullptr);
    if (!session_table_mutex) {
        LOG_ERROR("service_main(): failed to CreateMutex().");
        return false;
    }
    fill_session_table();
    pipe_thread = CreateThread(nullptr, 0, driver_serv_proc, nullptr, 0, nullptr);
    if (!pipe_thread) {
        LOG_ERROR("service_main(): failed to CreateThread().");
        return false;
    }
    return true;
}

void set_control_event(DWORD control) {
    SetEvent(service_events[control - kFirstUserControl + 1]);
}

void re_report() {
    if (!report_current()) {
        LOG_ERROR("service_handle(): failed to SetServiceStatus(): update current state.");
    }
}

void stop_service() {
    if (already_stopped()) return;
    if (!report_stop_pending()) {
        LOG_ERROR("service_handle(): failed to SetServiceStatus(): SERVICE_STOP_PENDING.");
        return;
    }
    SetEvent(terminate_event());
    if (pipe_thread) {
        if (WaitForSingleObject(pipe_thread, kPipeThreadGraceMs) != WAIT_OBJECT_0) {
            TerminateThread(pipe_thread, 0);
        }
        CloseHandle(pipe_thread);
        pipe_thread = nullptr;
    }
    for (int i = 1; i < kServiceEventCount; ++i) {
        if (service_events[i]) CloseHandle(service_events[i]);
        service_events[i] = nullptr;
    }
    release_shared_tables();
    if (!report_stopped(NO_ERROR)) {
        LOG_ERROR("service_handle(): failed to SetServiceStatus():SERVICE_STOPPED.");
    }
}

// The log entry of each session-change type; true for the types that add the
// session's user to the table.
struct session_change {
    DWORD type;
    const char* message;
    bool records_user;
};

constexpr session_change kSessionChanges[] = {
    {WTS_CONSOLE_CONNECT, "service_handle(): WTS_CONSOLE_CONNECT.", true},
    {WTS_CONSOLE_DISCONNECT, "service_handle(): WTS_CONSOLE_DISCONNECT.", false},
    {WTS_REMOTE_CONNECT, "service_handle(): WTS_REMOTE_CONNECT.", true},
    {WTS_REMOTE_DISCONNECT, "service_handle(): WTS_REMOTE_DISCONNECT.", false},
    {WTS_SESSION_LOGON, "service_handle(): WTS_SESSION_LOGON.", true},
    {WTS_SESSION_LOGOFF, "service_handle(): WTS_SESSION_LOGOFF.", false},
    {WTS_SESSION_LOCK, "service_handle(): WTS_SESSION_LOCK.", false},
    {WTS_SESSION_UNLOCK, "service_handle(): WTS_SESSION_UNLOCK.", false},
    {WTS_SESSION_REMOTE_CONTROL, "service_handle(): WTS_REMOTE_CONTROL.", false},
};

void handle_session_change(DWORD event_type, const void* event_data) {
    const session_change* known = nullptr;
    for (const session_change& change : kSessionChanges) {
        if (change.type == event_type) known = &change;
    }
    if (!known) {
        LOG_ERROR_CODE("service_handle(): Unknown state.", event_type);
    } else {
        LOG_WARNING(known->message);
        if (known->records_user && event_data) {
            const auto* note = static_cast<const WTSSESSION_NOTIFICATION*>(event_data);
            add_session_info(session_table, note->dwSessionId);
        }
    }
    re_report();
}

}  // namespace

bool report_running() {
    return report(SERVICE_RUNNING, SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SESSIONCHANGE, NO_ERROR);
}

bool report_stop_pending() { return report(SERVICE_STOP_PENDING, 0, NO_ERROR); }

bool report_stopped(DWORD win32_exit_code) { return report(SERVICE_STOPPED, 0, win32_exit_code); }

bool report_current() {
    exclusive_lock hold(&status_lock);
    return SetServiceStatus(status_handle, &service_status) != FALSE;
}

void WINAPI service_main(DWORD /*argc*/, LPWSTR* /*argv*/) {
    exclusive_lock starting(&startup_lock);
    status_handle = RegisterServiceCtrlHandlerExW(kServiceName, service_handle, nullptr);
    if (!status_handle) {
        LOG_ERROR("service_main(): failed to RegisterServiceCtrlHandler().");
        return;
    }
    if (!report_running()) {
        LOG_ERROR("service_main(): failed to SetServiceStatus().");
        return;
    }
    if (build_shared_state()) return;
    // What was built before the failure stays until the process ends.
    if (!report_stopped(failure_code())) {
        LOG_ERROR("service_main(): failed to SetServiceStatus():SERVICE_STOPPED.");
    }
}

DWORD WINAPI driver_serv_proc(LPVOID /*parameter*/) {
    pipe_srv_set_default_handler(processing);
    pipe_server* server = pipe_srv_init();
    if (!server) {
        LOG_ERROR("driver_serv_proc(): failed to pipe_srv_init().");
    } else if (!pipe_srv_run(server)) {
        LOG_ERROR("driver_serv_proc(): failed to pipe_srv_run().");
    } else if (WaitForSingleObject(terminate_event(), INFINITE) != WAIT_OBJECT_0) {
        LOG_ERROR("driver_serv_proc(): failed to WaitForSingleObject().");
    } else {
        LOG_WARNING("driver_serv_proc(): terminate event happened.");
        pipe_srv_stop(server);
        pipe_srv_destroy(&server);
        return 0;
    }
    const DWORD code = failure_code();
    SetEvent(terminate_event());
    if (!report_stopped(code)) {
        LOG_ERROR("driver_serv_proc(): failed to SetServiceStatus().");
    }
    pipe_srv_destroy(&server);
    return 0;
}

DWORD WINAPI service_handle(DWORD control, DWORD event_type, LPVOID event_data,
                            LPVOID /*context*/) {
    exclusive_lock started(&startup_lock);
    if (control == SERVICE_CONTROL_STOP) {
        stop_service();
    } else if (control == SERVICE_CONTROL_INTERROGATE) {
        re_report();
    } else if (control == SERVICE_CONTROL_SESSIONCHANGE) {
        handle_session_change(event_type, event_data);
    } else if (control >= kFirstUserControl && control <= kLastUserControl) {
        set_control_event(control);
        re_report();
    } else {
        return ERROR_CALL_NOT_IMPLEMENTED;
    }
    return NO_ERROR;
}
