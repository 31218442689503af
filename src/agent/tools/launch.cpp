#define LOG_MODULE "..\\src\\tools"
#include "diag/log.h"

#include "agent/tools/launch.h"

#include <userenv.h>

#include <algorithm>
#include <cwchar>

#include "common/owned.h"
#include "agent/tools/format_fitting.h"
#include "agent/tools/session_api.h"
#include "agent/tools/sessions.h"

namespace {

struct environment_traits {
    using type = LPVOID;
    static type invalid() { return nullptr; }
    static void close(type block) { DestroyEnvironmentBlock(block); }
};
using unique_environment = owned::unique_any<environment_traits>;

// Starts the program as the user logged on in the session, with that user's
// environment. Returns 0 or the error code of the call that failed (already
// logged); the owners have released token and environment by then.
DWORD start_as_session_user(uint32_t session_id, const wchar_t* application, wchar_t* command_line,
                            STARTUPINFOW& startup, PROCESS_INFORMATION& started) {
    owned::unique_handle user_token;
    if (!session_api().query_user_token(session_id, user_token.put())) {
        LOG_ERROR("exec_user_app(): failed to WTSQueryUserToken().");
        return GetLastError();
    }
    owned::unique_handle primary_token;
    if (!DuplicateTokenEx(user_token.get(), MAXIMUM_ALLOWED, nullptr, SecurityIdentification,
                          TokenPrimary, primary_token.put())) {
        LOG_ERROR("exec_user_app(): failed to DuplicateTokenEx().");
        return GetLastError();
    }
    unique_environment environment;
    if (!CreateEnvironmentBlock(environment.put(), primary_token.get(), FALSE)) {
        LOG_ERROR("exec_user_app(): failed to CreateEnvironmentBlock().");
        return GetLastError();
    }
    if (!CreateProcessAsUserW(primary_token.get(), application, command_line, nullptr, nullptr,
                              FALSE, CREATE_UNICODE_ENVIRONMENT | NORMAL_PRIORITY_CLASS,
                              environment.get(), nullptr, &startup, &started)) {
        LOG_ERROR("exec_user_app(): failed to CreateProcessAsUser().");
        return GetLastError();
    }
    return 0;
}

// The service's own context: its token, environment and current directory.
DWORD start_in_own_context(const wchar_t* application, wchar_t* command_line, STARTUPINFOW& startup,
                           PROCESS_INFORMATION& started) {
    if (!CreateProcessW(application, command_line, nullptr, nullptr, FALSE, NORMAL_PRIORITY_CLASS,
                        nullptr, nullptr, &startup, &started)) {
        // Both paths report the same message, so the log reads alike either way.
        LOG_ERROR("exec_user_app(): failed to CreateProcessAsUser().");
        return GetLastError();
    }
    return 0;
}

// A program without a message queue (a console program) cannot be waited for:
// the fixed pause then gives it the same time to come up, unless the pause's
// end (the service stopping) comes first.
void wait_until_idle(HANDLE process, const launch_options& options) {
    const DWORD timeout = (std::min)(options.idle_timeout, kMaxIdleWaitMs);
    switch (WaitForInputIdle(process, timeout)) {
        case 0:
            break;
        case WAIT_TIMEOUT:
            LOG_WARNING("exec_user_app(): failed to WaitForInputIdle(): wait timeout.");
            break;
        default:
            LOG_ERROR("exec_user_app(): failed to WaitForInputIdle(): wait failed. Use Sleep().");
            if (options.pause_end) {
                WaitForSingleObject(options.pause_end, timeout);
            } else {
                Sleep(timeout);
            }
            break;
    }
}

}  // namespace

bool exec_user_app(uint32_t session_id, const wchar_t* application, wchar_t* command_line,
                   HANDLE* process, const launch_options& options) {
    SetLastError(0);
    if (command_line == nullptr || process == nullptr) {
        LOG_ERROR_CODE(ERROR_INVALID_PARAMETER, "exec_user_app(): incorrect input parameters.");
        return false;
    }

    const bool self_session = session_id == kSelfSession;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    if (options.hide_window || self_session) {
        startup.dwFlags = STARTF_USESHOWWINDOW;
        startup.wShowWindow = SW_HIDE;
    }

    owned::process_info started;
    const DWORD error =
        self_session
            ? start_in_own_context(application, command_line, startup, *started.put())
            : start_as_session_user(session_id, application, command_line, startup, *started.put());
    if (error != 0) {
        SetLastError(error);
        return false;
    }

    if (options.wait_for_idle) wait_until_idle(started.process(), options);
    *process = started.release_process();
    return true;
}

bool exec_user_app(uint32_t session_id, wchar_t* command_line, HANDLE* process,
                   const launch_options& options) {
    return exec_user_app(session_id, nullptr, command_line, process, options);
}

bool installed_program::locate(const wchar_t* install_dir, const wchar_t* program) {
    if (!format_fitting(path_, L"%ls\\%ls", install_dir, program)) return false;
    const bool has_blank = std::wcspbrk(path_, L" \t") != nullptr;
    return format_fitting(command_name_, has_blank ? L"\"%ls\"" : L"%ls", path_);
}
