// Fast stand-in for the programs a load job starts, installed twice: as
// progress.exe it waits for messages until the agent ends it; as jobdisp.exe
// it records its run on the load board (see load_board.h) and lasts the
// board's convert_ms.
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
    HANDLE file = CreateFileW(record.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    WriteFile(file, "start\r\n", 7, &written, nullptr);
    CloseHandle(file);
}

// The number in "...\job<n>.ini" on the command line, or -1.
LONG job_number() {
    const wchar_t* at = std::wcsrchr(GetCommandLineW(), L'\\');
    if (!at || std::wcsncmp(at, L"\\job", 4) != 0 || at[4] < L'0' || at[4] > L'9') return -1;
    return std::wcstol(at + 4, nullptr, 10);
}

void convert() {
    const std::wstring path = beside_ini_value(L"converter", L"Board");
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    HANDLE section = CreateFileMappingW(file, nullptr, PAGE_READWRITE, 0, 0, nullptr);
    CloseHandle(file);
    if (!section) return;
    auto* board = static_cast<load_board::header*>(MapViewOfFile(section, FILE_MAP_WRITE, 0, 0, 0));
    const LONG number = job_number();
    if (board && number >= 0 && number < board->capacity) {
        const LONG running = InterlockedIncrement(&board->running);
        for (LONG peak = board->peak; running > peak; peak = board->peak) {
            InterlockedCompareExchange(&board->peak, running, peak);
        }
        InterlockedIncrement(&load_board::starts_of(board)[number]);
        load_board::order(board)[InterlockedIncrement(&board->started) - 1] = number;
        Sleep(static_cast<DWORD>(board->convert_ms));
        InterlockedDecrement(&board->running);
        InterlockedIncrement(&board->ended);
    }
    if (board) UnmapViewOfFile(board);
    CloseHandle(section);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    if (started_as(L"progress.exe")) {
        record_start();
        // Waiting for messages is what makes the agent's input-idle wait end.
        MSG message;
        while (GetMessageW(&message, nullptr, 0, 0) > 0) DispatchMessageW(&message);
        return 0;
    }
    convert();
    return 0;
}
