#include "agent/Service/host/service.h"

#include "agent/Service/job/dispatch.h"
#include "agent/Service/state/service_state.h"
#include "agent/Service/state/session_table.h"
#include "common/lock.h"
#include "common/owned.h"
#include "agent/pipe_srv/pipe_srv.h"

#define LOG_MODULE "..\\src\\Service"
#include "diag/log.h"

const wchar_t kServiceName[] = L"Agent";

namespace {

SERVICE_STATUS_HANDLE status_handle = nullptr;
SERVICE_STATUS service_status = {};  // the status last reported
HANDLE pipe_thread = nullptr;

constexpr DWORD kPipeThreadGraceMs = 2000;
constexpr DWORD kFirstUserControl = 128;
constexpr DWORD kLastUserControl = 133;

// Serialises the reports, which come from three threads.
SRWLOCK status_lock = SRWLOCK_INIT;
// Held by service_main for the whole start-up; every control takes it (a stop
// right after its stop-pending report), so no control sees a half-built
// state or races the session table's fill.
SRWLOCK startup_lock = SRWLOCK_INIT;

// service_status keeps the status last reported: a report that fails leaves
// it as it was, so a later interrogation cannot re-send a state that never
// took effect (a failed stop-pending report would otherwise leave a running
// service announcing "stop pending, accepts nothing" for good).
bool send_status(const SERVICE_STATUS& status) {
    if (!SetServiceStatus(status_handle, const_cast<SERVICE_STATUS*>(&status))) return false;
    service_status = status;
    return true;
}

SERVICE_STATUS make_status(DWORD state, DWORD controls_accepted, DWORD win32_exit_code) {
    SERVICE_STATUS status = {};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted = controls_accepted;
    status.dwWin32ExitCode = win32_exit_code;
    return status;
}

bool report(DWORD state, DWORD controls_accepted, DWORD win32_exit_code) {
    owned::exclusive_hold hold(status_lock);
    return send_status(make_status(state, controls_accepted, win32_exit_code));
}

// What the stop's first step makes of the request.
enum class stop_start { pending, already_stopped, report_failed };

// Stop pending, unless the service has already reported stopped (a failed
// start, or the pipe thread after a pipe server failure): checked and
// reported under one hold, so a stopped report is never followed by another.
stop_start report_stop_pending_unless_stopped() {
    owned::exclusive_hold hold(status_lock);
    if (service_status.dwCurrentState == SERVICE_STOPPED) return stop_start::already_stopped;
    return send_status(make_status(SERVICE_STOP_PENDING, 0, NO_ERROR)) ? stop_start::pending
                                                                       : stop_start::report_failed;
}

bool already_stopped() {
    owned::exclusive_hold hold(status_lock);
    return service_status.dwCurrentState == SERVICE_STOPPED;
}

// The exit code a failed start reports: the failure's own Win32 error, never 0.
DWORD failure_code() {
    const DWORD code = GetLastError();
    return code != ERROR_SUCCESS ? code : ERROR_UNIDENTIFIED_ERROR;
}

// The process-wide state, then the pipe thread; false after the failure has
// been logged.
bool build_shared_state() {
    if (!build_service_state()) return false;
    pipe_thread = CreateThread(nullptr, 0, driver_serv_proc, nullptr, 0, nullptr);
    if (!pipe_thread) {
        LOG_ERROR("service_main(): failed to CreateThread().");
        return false;
    }
    return true;
}

void set_control_event(DWORD control) {
    SetEvent(service_event(static_cast<int>(control - kFirstUserControl) + 1));
}

void re_report() {
    if (!report_current()) {
        LOG_ERROR("service_handle(): failed to SetServiceStatus(): update current state.");
    }
}

DWORD ms_left(ULONGLONG deadline) {
    const ULONGLONG now = GetTickCount64();
    return now < deadline ? static_cast<DWORD>(deadline - now) : 0;
}

// The rest of the stop, once stop pending is reported: terminate event, pipe
// thread, control events, tables, stopped. Every wait ends by the pipe
// thread's grace time: the tables' holders are given what is left of it.
void stop_service() {
    SetEvent(terminate_event());
    const ULONGLONG deadline = GetTickCount64() + kPipeThreadGraceMs;
    if (pipe_thread) {
        // Never cut off: wherever its grace time ends it (inside the heap, a
        // lock or the log), a dead owner would hang the rest of the stop, the
        // status report or the exit. A thread still running is left to the
        // process's end, which follows the stopped report.
        WaitForSingleObject(pipe_thread, ms_left(deadline));
        owned::close_slot(pipe_thread);
    }
    // Work threads may outlive the stop, still waiting on the terminate event.
    release_service_state(ms_left(deadline), terminate_event_after::kept);
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
        LOG_ERROR_CODE(event_type, "service_handle(): Unknown state.");
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

bool report_stopped(DWORD win32_exit_code) { return report(SERVICE_STOPPED, 0, win32_exit_code); }

bool report_current() {
    owned::exclusive_hold hold(status_lock);
    return SetServiceStatus(status_handle, &service_status) != FALSE;
}

SERVICE_STATUS last_reported_status() {
    owned::exclusive_hold hold(status_lock);
    return service_status;
}

void WINAPI service_main(DWORD /*argc*/, LPWSTR* /*argv*/) {
    owned::exclusive_hold starting(startup_lock);
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
    } else {
        const DWORD waited = WaitForSingleObject(terminate_event(), INFINITE);
        if (waited == WAIT_OBJECT_0) {
            LOG_WARNING("driver_serv_proc(): terminate event happened.");
            pipe_srv_stop(server);  // waits for the server's threads
            pipe_srv_destroy(&server);
            return 0;
        }
        LOG_ERROR("driver_serv_proc(): failed to WaitForSingleObject().");
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
    if (control == SERVICE_CONTROL_STOP) {
        // Answered at once, before the start-up is waited for.
        const stop_start start = report_stop_pending_unless_stopped();
        if (start == stop_start::report_failed) {
            LOG_ERROR("service_handle(): failed to SetServiceStatus(): SERVICE_STOP_PENDING.");
        }
        if (start != stop_start::pending) return NO_ERROR;
    }
    owned::exclusive_hold started(startup_lock);
    if (control == SERVICE_CONTROL_STOP) {
        // A start-up that failed meanwhile has reported stopped itself.
        if (!already_stopped()) stop_service();
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
