// deaf_window TITLE: opens a top-level window titled TITLE, handles its first
// messages (so an input-idle wait ends), then stops reading messages for two
// minutes, so that a SendMessage to it never returns meanwhile.
#include <windows.h>
#include <shellapi.h>

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (!argv || argc < 2) return 2;

    WNDCLASSW window_class{};
    window_class.lpfnWndProc = DefWindowProcW;
    window_class.hInstance = instance;
    window_class.lpszClassName = L"deaf_window";
    RegisterClassW(&window_class);
    HWND window = CreateWindowW(L"deaf_window", argv[1], WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                                CW_USEDEFAULT, 200, 100, nullptr, nullptr, instance, nullptr);
    LocalFree(argv);
    if (!window) return 3;

    MSG message;
    const ULONGLONG until = GetTickCount64() + 300;
    while (GetTickCount64() < until) {
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
    }
    Sleep(120000);
    return 0;
}
