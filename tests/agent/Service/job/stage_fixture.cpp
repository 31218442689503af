#include "stages/stage_fixture.h"

#include "agent/Service/service_events.h"

namespace stage_tests {

const wchar_t kSettingsKeyName[] = L"TavirelStagesTest";
const char stage_test::kStartedEvent[] = "stages_test_started";

namespace {
constexpr DWORD kGuardMs = 30000;  // only bounds a hung test; nothing is timed

std::wstring settings_path() { return std::wstring(L"Software\\") + kSettingsKeyName; }
}  // namespace

stage_test::stage_test()
    : machine_(HKEY_LOCAL_MACHINE, settings_path()),
      user_(HKEY_USERS, test_support::process_user_sid() + L"\\" + settings_path()) {
    test_support::clear_log();
    install_programs(dir_.file(L"P"));
    job_ini_ = dir_.file(L"7.ini");
    write_job_ini("[Spool]\r\nType=EMF\r\n");

    terminate_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    service_events[0] = terminate_;
    started_ = CreateEventA(nullptr, TRUE, FALSE, kStartedEvent);
}

stage_test::~stage_test() {
    service_events[0] = nullptr;
    CloseHandle(terminate_);
    CloseHandle(started_);
}

void stage_test::install_programs(const std::wstring& dir) {
    install_dir_ = dir;
    CreateDirectoryW(install_dir_.c_str(), nullptr);
    CopyFileW(test_support::beside_exe(L"progress_standin.exe").c_str(),
              (install_dir_ + L"\\progress.exe").c_str(), FALSE);
    CopyFileW(test_support::beside_exe(L"converter_standin.exe").c_str(),
              (install_dir_ + L"\\jobdisp.exe").c_str(), FALSE);
}

void stage_test::write_job_ini(const std::string& text) const {
    test_support::write_file(job_ini_, text);
}

void stage_test::forget_record(const wchar_t* role) const {
    DeleteFileW((job_ini_ + L"." + role + L".txt").c_str());
}

std::string stage_test::record(const wchar_t* role) const {
    return test_support::read_file(job_ini_ + L"." + role + L".txt");
}

std::string stage_test::recorded_command(const wchar_t* role) const {
    const std::string line = record(role);
    const size_t at = line.find(" cmd=");
    if (at == std::string::npos) return "";
    return line.substr(at + 5, line.find("\r\n", at) - at - 5);
}

HANDLE stage_test::open_recorded_process(const wchar_t* role) const {
    const std::string line = record(role);
    if (line.find("pid=") == std::string::npos) return nullptr;
    const DWORD pid = static_cast<DWORD>(std::stoul(line.substr(line.find("pid=") + 4)));
    return OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION | PROCESS_TERMINATE, FALSE, pid);
}

void stage_test::wait_for_end_of(const wchar_t* role) const {
    if (WaitForSingleObject(started_, kGuardMs) != WAIT_OBJECT_0) return;
    HANDLE process = open_recorded_process(role);
    if (process == nullptr) return;
    WaitForSingleObject(process, kGuardMs);
    CloseHandle(process);
}

HANDLE stage_test::terminate_after_start(const wchar_t* role) const {
    HANDLE process = nullptr;
    if (WaitForSingleObject(started_, kGuardMs) == WAIT_OBJECT_0) {
        process = open_recorded_process(role);
    }
    SetEvent(terminate_);
    return process;
}

}  // namespace stage_tests
