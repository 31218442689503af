// Fast stand-in for the programs a benchmark job starts, installed under the
// name of the role it plays; each run records itself on the board (see
// load_board.h):
// - as progress.exe it waits for messages until it is ended;
// - as jobdisp.exe it lasts the board's convert_ms;
// - as client.exe it opens the target window titled [client] "Title" and
//   stamps every job handed to it by WM_COPYDATA as delivered; it names its
//   desktop under [client] "Desktop" beside it.
#include <windows.h>

#include <cwchar>
#include <string>

#include "load_board.h"

namespace {

std::wstring own_path() {
    wchar_t path[MAX_PATH];
    const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    return std::wstring(path, n);
}

bool started_as(const wchar_t* name) {
    const std::wstring path = own_path();
    const size_t file = path.find_last_of(L'\\');
    return file != std::wstring::npos && _wcsicmp(path.c_str() + file + 1, name) == 0;
}

std::wstring beside_ini_value(const wchar_t* section, const wchar_t* key) {
    std::wstring beside = own_path();
    beside.replace(beside.size() - 3, 3, L"ini");
    wchar_t value[MAX_PATH] = L"";
    GetPrivateProfileStringW(section, key, L"", value, MAX_PATH, beside.c_str());
    return value;
}

// As the other stand-ins do: one line per start to the file that [progress]
// "Record" names in the ini file beside the program.
void record_start() {
    const std::wstring record = beside_ini_value(L"progress", L"Record");
    if (record.empty()) return;
    HANDLE file = CreateFileW(record.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    WriteFile(file, "start\r\n", 7, &written, nullptr);
    CloseHandle(file);
}

// The number in "...\job<n>.ini" (quoted or not), or -1.
LONG job_number(const wchar_t* text) {
    const wchar_t* at = std::wcsrchr(text, L'\\');
    if (!at || std::wcsncmp(at, L"\\job", 4) != 0 || at[4] < L'0' || at[4] > L'9') return -1;
    return std::wcstol(at + 4, nullptr, 10);
}

// The board named beside the program, mapped for as long as the object lives.
class board_view {
public:
    board_view() {
        const std::wstring path = beside_ini_value(L"converter", L"Board");
        HANDLE file =
            CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
        if (file == INVALID_HANDLE_VALUE) return;
        section_ = CreateFileMappingW(file, nullptr, PAGE_READWRITE, 0, 0, nullptr);
        CloseHandle(file);
        if (section_)
            board_ =
                static_cast<load_board::header*>(MapViewOfFile(section_, FILE_MAP_WRITE, 0, 0, 0));
    }
    ~board_view() {
        if (board_) UnmapViewOfFile(board_);
        if (section_) CloseHandle(section_);
    }
    board_view(const board_view&) = delete;
    board_view& operator=(const board_view&) = delete;

    // The board when the number is on it, else nothing.
    load_board::header* for_job(LONG number) const {
        return board_ && number >= 0 && number < board_->capacity ? board_ : nullptr;
    }
    void stamp(load_board::stamp which, LONG number) const {
        if (load_board::header* board = for_job(number))
            load_board::stamps(board, which)[number] = load_board::now();
    }

private:
    HANDLE section_ = nullptr;
    load_board::header* board_ = nullptr;
};

void convert() {
    const board_view view;
    const LONG number = job_number(GetCommandLineW());
    view.stamp(load_board::stamp::converter, number);
    load_board::header* board = view.for_job(number);
    if (!board) return;
    const LONG running = InterlockedIncrement(&board->running);
    for (LONG peak = board->peak; running > peak; peak = board->peak) {
        InterlockedCompareExchange(&board->peak, running, peak);
    }
    InterlockedIncrement(&load_board::starts_of(board)[number]);
    load_board::order(board)[InterlockedIncrement(&board->started) - 1] = number;
    if (board->convert_ms > 0) Sleep(static_cast<DWORD>(board->convert_ms));
    InterlockedDecrement(&board->running);
    InterlockedIncrement(&board->ended);
}

const board_view* g_client_board = nullptr;

LRESULT CALLBACK target_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_COPYDATA) {
        const auto* data = reinterpret_cast<const COPYDATASTRUCT*>(lparam);
        // The job ini path, cut to what was sent.
        wchar_t path[MAX_PATH * 2] = L"";
        const size_t units = data->lpData ? data->cbData / sizeof(wchar_t) : 0;
        const size_t kept = units < MAX_PATH * 2 - 1 ? units : MAX_PATH * 2 - 1;
        std::wmemcpy(path, static_cast<const wchar_t*>(data->lpData), kept);
        path[kept] = L'\0';
        g_client_board->stamp(load_board::stamp::delivered, job_number(path));
        return TRUE;
    }
    if (message == WM_DESTROY) PostQuitMessage(0);
    return DefWindowProcW(window, message, wparam, lparam);
}

// Writes "<window station>\\<desktop>" of the window to [client] "Desktop"
// beside the program: programs started there find the window (under Wine a
// service's programs and the shell's see different window stations).
void publish_desktop() {
    wchar_t station[256] = L"", desktop[256] = L"";
    DWORD needed = 0;
    if (!GetUserObjectInformationW(GetProcessWindowStation(), UOI_NAME, station,
                                   sizeof station - sizeof(wchar_t), &needed) ||
        !GetUserObjectInformationW(GetThreadDesktop(GetCurrentThreadId()), UOI_NAME, desktop,
                                   sizeof desktop - sizeof(wchar_t), &needed)) {
        return;
    }
    std::wstring beside = own_path();
    beside.replace(beside.size() - 3, 3, L"ini");
    WritePrivateProfileStringW(L"client", L"Desktop",
                               (std::wstring(station) + L"\\" + desktop).c_str(), beside.c_str());
}

int run_target_window(HINSTANCE instance) {
    const board_view view;
    g_client_board = &view;
    WNDCLASSW type{};
    type.lpfnWndProc = target_proc;
    type.hInstance = instance;
    type.lpszClassName = L"BenchTargetWindow";
    if (!RegisterClassW(&type)) return 1;
    const std::wstring title = beside_ini_value(L"client", L"Title");
    if (!CreateWindowW(type.lpszClassName, title.c_str(), WS_OVERLAPPEDWINDOW, 0, 0, 200, 100,
                       nullptr, nullptr, instance, nullptr)) {
        return 1;
    }
    publish_desktop();
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) DispatchMessageW(&message);
    return 0;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    if (started_as(L"progress.exe")) {
        board_view().stamp(load_board::stamp::progress, job_number(GetCommandLineW()));
        record_start();
        // Waiting for messages is what makes the agent's input-idle wait end.
        MSG message;
        while (GetMessageW(&message, nullptr, 0, 0) > 0) DispatchMessageW(&message);
        return 0;
    }
    if (started_as(L"client.exe")) return run_target_window(instance);
    convert();
    return 0;
}
