#include "bench_env.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "support/support.h"

namespace bench {

board_file::board_file(const std::wstring& path, LONG capacity, LONG convert_ms) : path_(path) {
    file_.reset(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, CREATE_ALWAYS, 0,
                            nullptr));
    if (!file_) return;
    section_.reset(CreateFileMappingW(file_.get(), nullptr, PAGE_READWRITE, 0,
                                      static_cast<DWORD>(load_board::bytes_for(capacity)),
                                      nullptr));
    if (!section_) return;
    board_ =
        static_cast<load_board::header*>(MapViewOfFile(section_.get(), FILE_MAP_WRITE, 0, 0, 0));
    if (!board_) return;
    board_->capacity = capacity;
    board_->convert_ms = convert_ms;
}

board_file::~board_file() {
    if (board_) UnmapViewOfFile(board_);
}

void point_standins_at(const std::wstring& install_dir, const board_file& board) {
    for (const wchar_t* role : {L"progress", L"jobdisp", L"client"}) {
        const std::wstring beside = install_dir + L"\\" + role + L".ini";
        WritePrivateProfileStringW(L"converter", L"Board", board.path().c_str(), beside.c_str());
    }
}

double ms_between(LONGLONG from, LONGLONG to) {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(to - from) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

double quantile(std::vector<double> values, double q) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const double rank = std::ceil(q * static_cast<double>(values.size()));
    const size_t at = rank < 1 ? 0 : static_cast<size_t>(rank) - 1;
    return values[std::min(at, values.size() - 1)];
}

namespace {

// Starts a command line as the agent does in its own context: hidden, no
// handles inherited. The thread handle is closed at once.
bool start(const std::wstring& command, const std::wstring& desktop,
           owned::unique_handle& process) {
    std::vector<wchar_t> line(command.begin(), command.end());
    line.push_back(L'\0');
    std::vector<wchar_t> desktop_name(desktop.begin(), desktop.end());
    desktop_name.push_back(L'\0');
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    if (!desktop.empty()) startup.lpDesktop = desktop_name.data();
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    PROCESS_INFORMATION started{};
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, NORMAL_PRIORITY_CLASS,
                        nullptr, nullptr, &startup, &started)) {
        return false;
    }
    CloseHandle(started.hThread);
    process.reset(started.hProcess);
    return true;
}

}  // namespace

bool run_direct_job(const direct_setup& setup, const std::wstring& ini, DWORD limit_ms) {
    owned::unique_handle progress, converter, relay;
    if (!start(setup.install_dir + L"\\progress.exe " + ini, setup.desktop, progress)) return false;
    WaitForInputIdle(progress.get(), 500);
    if (!start(setup.install_dir + L"\\jobdisp.exe " + ini, setup.desktop, converter)) return false;
    if (WaitForSingleObject(converter.get(), limit_ms) != WAIT_OBJECT_0) return false;
    TerminateProcess(progress.get(), 0);
    progress.reset();
    if (setup.window_title.empty()) return true;
    const std::wstring relay_line = setup.install_dir + L"\\winrelay.exe -id " +
                                    std::to_wstring(static_cast<int>(setup.message_id)) +
                                    L" -wt \"" + setup.window_title + L"\" -ini \"" + ini + L"\"";
    if (!start(relay_line, setup.desktop, relay)) return false;
    DWORD code = 1;
    return WaitForSingleObject(relay.get(), limit_ms) == WAIT_OBJECT_0 &&
           GetExitCodeProcess(relay.get(), &code) && code == 0;
}

void install_control_programs(const std::wstring& dir) {
    CreateDirectoryW(dir.c_str(), nullptr);
    for (const wchar_t* role : {L"progress.exe", L"jobdisp.exe"}) {
        CopyFileW(test_support::beside_exe(L"load_standin.exe").c_str(),
                  (dir + L"\\" + role).c_str(), FALSE);
    }
    CopyFileW(test_support::beside_exe(L"winrelay.exe").c_str(), (dir + L"\\winrelay.exe").c_str(),
              FALSE);
}

bool run_control(const direct_setup& setup, long jobs, long limit_s, control_growth& out) {
    const std::wstring figures = setup.install_dir + L"\\control-figures.txt";
    DeleteFileW(figures.c_str());
    const std::wstring line = L"\"" + test_support::beside_exe(L"job_control.exe") + L"\" " +
                              std::to_wstring(jobs) + L" \"" + setup.install_dir + L"\" \"" +
                              setup.window_title + L"\" \"" + setup.desktop + L"\" \"" + figures +
                              L"\" " + std::to_wstring(limit_s);
    // Its own limit ends it first; this one only guards against a hang.
    const int code = test_support::run_process(line, static_cast<DWORD>(limit_s + 120) * 1000);
    const std::string text = test_support::read_file(figures);
    if (code != 0 ||
        std::sscanf(text.c_str(), "%ld %ld %ld %lf %lf", &out.jobs, &out.handles_before,
                    &out.handles_after, &out.private_before, &out.private_after) != 5) {
        std::fprintf(stderr, "job_control.exe failed (exit %d): %s\n", code, text.c_str());
        return false;
    }
    return true;
}

namespace {

// The whole of a host file (the host's files are on drive Z: under Wine);
// empty when unreadable. Files under /proc tell no size: read until the end.
std::string read_host_file(const std::string& path) {
    std::wstring windows = L"Z:";
    for (char c : path) windows += c == '/' ? L'\\' : static_cast<wchar_t>(c);
    const owned::unique_file file(CreateFileW(
        windows.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr, OPEN_EXISTING, 0, nullptr));
    std::string text;
    if (!file) return text;
    char chunk[4096];
    DWORD got = 0;
    while (ReadFile(file.get(), chunk, sizeof chunk, &got, nullptr) && got > 0)
        text.append(chunk, got);
    return text;
}

// The numeric names in a host directory (process or thread ids).
std::vector<unsigned long> numbered_entries(const std::string& dir) {
    std::vector<unsigned long> ids;
    std::wstring pattern = L"Z:";
    for (char c : dir) pattern += c == '/' ? L'\\' : static_cast<wchar_t>(c);
    pattern += L"\\*";
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(pattern.c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return ids;
    do {
        wchar_t* end = nullptr;
        const unsigned long id = std::wcstoul(found.cFileName, &end, 10);
        if (end != found.cFileName && *end == L'\0') ids.push_back(id);
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return ids;
}

unsigned long long field_after(const std::string& text, const char* label) {
    const size_t at = text.find(label);
    return at == std::string::npos
               ? 0
               : std::strtoull(text.c_str() + at + std::strlen(label), nullptr, 10);
}

std::string lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

}  // namespace

unsigned long host_pid_of(const std::wstring& program) {
    // A host process's first argument is the program as it was started: the
    // Windows path, or the host path for a program started from the host.
    const std::string windows = lower(test_support::to_narrow(program));
    std::string host = windows.compare(0, 2, "z:") == 0 ? windows.substr(2) : std::string();
    for (char& c : host) c = c == '\\' ? '/' : c;
    for (unsigned long pid : numbered_entries("/proc")) {
        const std::string cmdline = read_host_file("/proc/" + std::to_string(pid) + "/cmdline");
        const std::string first = lower(cmdline.substr(0, cmdline.find('\0')));
        if (first == windows || (!host.empty() && first == host)) return pid;
    }
    return 0;
}

bool thread_accounts(unsigned long host_pid, std::vector<thread_account>& out) {
    out.clear();
    const std::string tasks = "/proc/" + std::to_string(host_pid) + "/task";
    for (unsigned long tid : numbered_entries(tasks)) {
        const std::string dir = tasks + "/" + std::to_string(tid);
        const std::string status = read_host_file(dir + "/status");
        if (status.empty()) continue;  // ended meanwhile
        thread_account account;
        account.id = tid;
        account.name = read_host_file(dir + "/comm");
        while (!account.name.empty() && account.name.back() == '\n') account.name.pop_back();
        account.woken = field_after(status, "\nvoluntary_ctxt_switches:");
        // The first figure of schedstat is the time run on a CPU, in ns.
        account.cpu_ns = std::strtoull(read_host_file(dir + "/schedstat").c_str(), nullptr, 10);
        out.push_back(account);
    }
    return !out.empty();
}

}  // namespace bench
