#define LOG_MODULE "..\\src\\winrelay"
#include "diag/log.h"

#include "winrelay/delivery.h"

#include <cwchar>

#include "winrelay/foreground.h"

uint32_t deliver(const relay_request& request) {
    // A stale value left by start-up code must not turn a missing window into a failure.
    SetLastError(0);
    const HWND window = FindWindowW(nullptr, request.window_title);
    if (window == nullptr) {
        const DWORD error = GetLastError();
        if (error != 0) {
            LOG_ERROR("main(): failed to FindWindow().");
            return contracts::relay_failure_code(error);
        }
        LOG_ERROR_CODE(0, "main(): can't find target window.");
        return contracts::kRelayNoWindow;
    }
    if (!IsWindow(window)) {
        LOG_ERROR("main(): can't find target window.");
        return contracts::kRelayNoWindow;
    }

    COPYDATASTRUCT data{};
    data.dwData = static_cast<ULONG_PTR>(static_cast<LONG_PTR>(request.message_id));
    data.cbData = static_cast<DWORD>((std::wcslen(request.ini_path) + 1) * sizeof(wchar_t));
    data.lpData = const_cast<wchar_t*>(request.ini_path);
    // The window must have the job before it is raised, so the send comes first.
    SendMessageW(window, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&data));
    bring_to_foreground(window);
    return contracts::kRelayDelivered;
}
