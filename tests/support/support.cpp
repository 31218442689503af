#include "support/support.h"

#include <tlhelp32.h>

#include <cwchar>

namespace test_support {

const wchar_t* const kLogPath = L"c:\\tmp\\log";

std::wstring exe_dir() {
    wchar_t path[MAX_PATH];
    const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring dir(path, n);
    return dir.substr(0, dir.find_last_of(L"\\/"));
}

std::wstring beside_exe(const std::wstring& file_name) { return exe_dir() + L"\\" + file_name; }

std::string read_file(const std::wstring& path) { return read_file_from(path, 0); }

std::string read_file_from(const std::wstring& path, unsigned long long offset) {
    std::string bytes;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return bytes;
    LARGE_INTEGER start;
    start.QuadPart = static_cast<LONGLONG>(offset);
    if (!SetFilePointerEx(file, start, nullptr, FILE_BEGIN)) {
        CloseHandle(file);
        return bytes;
    }
    char chunk[65536];
    DWORD got = 0;
    while (ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got > 0) bytes.append(chunk, got);
    CloseHandle(file);
    return bytes;
}

bool write_file(const std::wstring& path, const std::string& bytes) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                              0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    const BOOL ok =
        WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
    return ok && written == bytes.size();
}

void ensure_log_dir() { CreateDirectoryW(L"c:\\tmp", nullptr); }

void clear_log() {
    ensure_log_dir();
    DeleteFileW(kLogPath);
}

std::string read_log() { return read_file(kLogPath); }

bool file_exists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

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

bool start_process(const std::wstring& command_line, bool inherit_handles, STARTUPINFOW& startup,
                   PROCESS_INFORMATION& started) {
    for (int attempt = 0; attempt < 3; ++attempt) {
        // CreateProcessW may write to the line it is given.
        std::vector<wchar_t> line(command_line.begin(), command_line.end());
        line.push_back(L'\0');
        if (CreateProcessW(nullptr, line.data(), nullptr, nullptr, inherit_handles, 0, nullptr,
                           nullptr, &startup, &started)) {
            return true;
        }
        if (GetLastError() != ERROR_INTERNAL_ERROR) break;
    }
    return false;
}

int run_process(const std::wstring& command_line, DWORD timeout_ms) {
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!start_process(command_line, false, si, pi)) return -1;
    CloseHandle(pi.hThread);
    int code = -1;
    if (WaitForSingleObject(pi.hProcess, timeout_ms) == WAIT_OBJECT_0) {
        DWORD exit_code = 0;
        if (GetExitCodeProcess(pi.hProcess, &exit_code)) code = static_cast<int>(exit_code);
    } else {
        TerminateProcess(pi.hProcess, 1);
    }
    CloseHandle(pi.hProcess);
    return code;
}

std::wstring to_wide(const std::string& text) {
    if (text.empty()) return {};
    const int n =
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &wide[0], n);
    return wide;
}

std::string to_narrow(const std::wstring& text) {
    if (text.empty()) return {};
    const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                      nullptr, 0, nullptr, nullptr);
    std::string narrow(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &narrow[0], n,
                        nullptr, nullptr);
    return narrow;
}

namespace {
struct thread_call {
    const std::function<void(int)>* body;
    int index;
};

DWORD WINAPI thread_entry(void* param) {
    auto* call = static_cast<thread_call*>(param);
    (*call->body)(call->index);
    return 0;
}
}  // namespace

void run_threads(int count, const std::function<void(int)>& body) {
    std::vector<thread_call> calls(static_cast<size_t>(count));
    std::vector<HANDLE> threads;
    for (int i = 0; i < count; ++i) {
        calls[static_cast<size_t>(i)] = {&body, i};
        HANDLE t =
            CreateThread(nullptr, 0, thread_entry, &calls[static_cast<size_t>(i)], 0, nullptr);
        if (t) threads.push_back(t);
    }
    for (HANDLE t : threads) {
        WaitForSingleObject(t, INFINITE);
        CloseHandle(t);
    }
}

void remove_tree(const std::wstring& dir) {
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileW((dir + L"\\*").c_str(), &found);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = found.cFileName;
            if (name == L"." || name == L"..") continue;
            const std::wstring path = dir + L"\\" + name;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                remove_tree(path);
            } else {
                SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileW(path.c_str());
            }
        } while (FindNextFileW(find, &found));
        FindClose(find);
    }
    RemoveDirectoryW(dir.c_str());
}

void end_programs_under(const std::wstring& folder) {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more;
         more = Process32NextW(snapshot, &entry)) {
        HANDLE process = OpenProcess(PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE,
                                     entry.th32ProcessID);
        if (!process) continue;
        wchar_t image[MAX_PATH] = L"";
        DWORD size = MAX_PATH;
        if (QueryFullProcessImageNameW(process, 0, image, &size) &&
            _wcsnicmp(image, folder.c_str(), folder.size()) == 0) {
            TerminateProcess(process, 1);
        }
        CloseHandle(process);
    }
    CloseHandle(snapshot);
}

scratch_dir::scratch_dir(const std::wstring& name) {
    ensure_log_dir();
    CreateDirectoryW(L"c:\\tmp\\tests", nullptr);
    path_ = L"c:\\tmp\\tests\\" + name + L"-" + std::to_wstring(GetCurrentProcessId());
    remove_tree(path_);
    CreateDirectoryW(path_.c_str(), nullptr);
}

scratch_dir::~scratch_dir() { remove_tree(path_); }

unsigned seed_from_environment(const wchar_t* variable, unsigned fallback) {
    wchar_t text[32] = L"";
    const DWORD length = GetEnvironmentVariableW(variable, text, 32);
    return length > 0 && length < 32 ? wcstoul(text, nullptr, 10) : fallback;
}

}  // namespace test_support
