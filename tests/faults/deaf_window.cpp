// deaf_window TITLE: opens a top-level window titled TITLE, reads the messages
// already queued (so an input-idle wait ends), then reads none for two
// minutes, so that a SendMessage to it does not return meanwhile.
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

    // One look at an empty queue counts as ready for input; after that nothing
    // is read any more.
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
    Sleep(120000);
    return 0;
}
