#include "winrelay/relay_fixtures.h"

#include <sstream>

#include "support/support.h"

namespace relay_test {

namespace {

struct window_search {
    DWORD process_id;
    HWND found;
};

BOOL CALLBACK match_window(HWND window, LPARAM param) {
    auto* search = reinterpret_cast<window_search*>(param);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    wchar_t class_name[64] = {};
    GetClassNameW(window, class_name, 64);
    if (owner != search->process_id || std::wstring(class_name) != L"copydata_window") return TRUE;
    search->found = window;
    return FALSE;
}

}  // namespace

HWND find_fixture_window(DWORD process_id) {
    window_search search{process_id, nullptr};
    EnumWindows(match_window, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

target_window::target_window(const std::wstring& title, const std::wstring& record_path,
                             unsigned close_after) {
    const std::wstring line = in_quotes(test_support::beside_exe(L"target_window.exe")) + L" " +
                              in_quotes(title) + L" " + in_quotes(record_path) + L" " +
                              std::to_wstring(close_after);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (!test_support::start_process(line, false, startup, info)) return;
    CloseHandle(info.hThread);
    process_ = info.hProcess;
    // The first window of a fresh display can take a while; give up after 30 s.
    WaitForInputIdle(process_, 30000);
    for (int tries = 0; tries < 600 && window_ == nullptr; ++tries) {
        window_ = find_fixture_window(info.dwProcessId);
        if (window_ == nullptr) Sleep(50);
    }
}

target_window::~target_window() {
    if (process_ == nullptr) return;
    if (WaitForSingleObject(process_, 0) != WAIT_OBJECT_0) {
        TerminateProcess(process_, 0);
        WaitForSingleObject(process_, 10000);
    }
    CloseHandle(process_);
}

bool target_window::wait_for_exit(DWORD timeout_ms) {
    return process_ != nullptr && WaitForSingleObject(process_, timeout_ms) == WAIT_OBJECT_0;
}

std::vector<std::string> read_lines(const std::wstring& path) {
    std::vector<std::string> lines;
    std::istringstream stream(test_support::read_file(path));
    for (std::string line; std::getline(stream, line);) lines.push_back(line);
    return lines;
}

std::string record_text(const std::string& line) {
    const size_t at = line.find("text=");
    return at == std::string::npos ? std::string() : line.substr(at + 5);
}

std::wstring in_quotes(const std::wstring& text) { return L"\"" + text + L"\""; }

int run_captured(const std::wstring& command_line, std::string& output) {
    output.clear();
    SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
    HANDLE read_end = nullptr;
    HANDLE write_end = nullptr;
    if (!CreatePipe(&read_end, &write_end, &inheritable, 0)) return -1;
    SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = write_end;
    startup.hStdError = write_end;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    PROCESS_INFORMATION info{};
    const bool started = test_support::start_process(command_line, true, startup, info);
    CloseHandle(write_end);
    int code = -1;
    if (started) {
        char chunk[4096];
        DWORD got = 0;
        while (ReadFile(read_end, chunk, sizeof chunk, &got, nullptr) && got > 0) {
            output.append(chunk, got);
        }
        DWORD exit_code = 0;
        if (WaitForSingleObject(info.hProcess, 60000) == WAIT_OBJECT_0 &&
            GetExitCodeProcess(info.hProcess, &exit_code)) {
            code = static_cast<int>(exit_code);
        }
        CloseHandle(info.hThread);
        CloseHandle(info.hProcess);
    }
    CloseHandle(read_end);
    std::string plain;
    for (char c : output) {
        if (c != '\r') plain += c;
    }
    output = plain;
    return code;
}

}  // namespace relay_test
