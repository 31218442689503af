// winrelay -id ID -wt TITLE -ini PATH: sends PATH and ID to the top-level window
// titled TITLE in a WM_COPYDATA message, then brings that window forward.
// Exit codes: 0 sent, 1 help shown, 2 no such window, 87 bad command line,
// any other code 3 or more is the reason FindWindowW failed.
#define LOG_MODULE "..\\src\\winrelay"
#include "diag/log.h"

#include <cstdio>
#include <cwchar>

#include "winrelay/command_line.h"
#include "winrelay/foreground.h"

namespace {

constexpr int kExitHelp = 1;
constexpr int kExitNoWindow = 2;

// Codes 0 to 2 carry their own meaning, so a failure never reports them.
int failure_exit_code(DWORD error) { return error < 3 ? 3 : static_cast<int>(error); }

int deliver(const relay_request& request) {
    // A stale value left by start-up code must not turn a missing window into a failure.
    SetLastError(0);
    const HWND window = FindWindowW(nullptr, request.window_title);
    if (window == nullptr) {
        const DWORD error = GetLastError();
        if (error != 0) {
            LOG_ERROR("main(): failed to FindWindow().");
            return failure_exit_code(error);
        }
        LOG_ERROR_CODE("main(): can't find target window.", 0);
        return kExitNoWindow;
    }
    if (!IsWindow(window)) {
        LOG_ERROR("main(): can't find target window.");
        return kExitNoWindow;
    }

    COPYDATASTRUCT data{};
    data.dwData = static_cast<ULONG_PTR>(static_cast<LONG_PTR>(request.message_id));
    data.cbData = static_cast<DWORD>((std::wcslen(request.ini_path) + 1) * sizeof(wchar_t));
    data.lpData = const_cast<wchar_t*>(request.ini_path);
    // The window must have the job before it is raised, so the send comes first.
    SendMessageW(window, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&data));
    bring_to_foreground(window);
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    relay_request request;
    switch (parse_command_line(argc, argv, request)) {
        case parse_outcome::help:
            std::printf("%s\n", kHelpText);
            return kExitHelp;
        case parse_outcome::invalid: {
            const DWORD error = GetLastError();
            std::printf("%s", kHelpText);
            return failure_exit_code(error);
        }
        case parse_outcome::relay:
            break;
    }
    return deliver(request);
}
