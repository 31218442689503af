#include "service/observe.h"

#include "support/support.h"

namespace test_support {

bool wait_for_file(const std::wstring& path, const std::function<bool(const std::string&)>& holds,
                   DWORD timeout_ms) {
    const std::wstring folder = path.substr(0, path.find_last_of(L'\\'));
    HANDLE change = FindFirstChangeNotificationW(
        folder.c_str(), FALSE,
        FILE_NOTIFY_CHANGE_SIZE | FILE_NOTIFY_CHANGE_LAST_WRITE | FILE_NOTIFY_CHANGE_FILE_NAME);
    const ULONGLONG deadline = GetTickCount64() + timeout_ms;
    bool held = holds(read_file(path));
    while (!held && GetTickCount64() < deadline) {
        // The notification wakes us early; the short bound covers a missed one.
        if (change != INVALID_HANDLE_VALUE) {
            WaitForSingleObject(change, 200);
            FindNextChangeNotification(change);
        } else {
            Sleep(200);
        }
        held = holds(read_file(path));
    }
    if (change != INVALID_HANDLE_VALUE) FindCloseChangeNotification(change);
    return held;
}

bool wait_for_text(const std::wstring& path, const std::string& text, DWORD timeout_ms) {
    return wait_for_file(
        path, [&](const std::string& contents) { return contents.find(text) != std::string::npos; },
        timeout_ms);
}

bool has_error(const std::string& log, const std::string& message, int code) {
    return log.find("message: " + message + "\r\nerrcode: " + std::to_string(code) + "\r\n") !=
           std::string::npos;
}

bool has_message(const std::string& log, const std::string& message) {
    return log.find("message: " + message + "\r\n") != std::string::npos;
}

}  // namespace test_support
