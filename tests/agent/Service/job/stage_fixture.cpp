#include "agent/Service/job/stage_fixture.h"

#include "agent/Service/state/service_state.h"

namespace stage_tests {

const wchar_t kSettingsKeyName[] = L"TavirelStagesTest";
const char stage_test::kStartedEvent[] = "stages_test_started";

namespace {
std::wstring settings_path() { return std::wstring(L"Software\\") + kSettingsKeyName; }
}  // namespace

stage_test::stage_test()
    : machine_(HKEY_LOCAL_MACHINE, settings_path()),
      user_(HKEY_USERS, test_support::process_user_sid() + L"\\" + settings_path()),
      started_(CreateEventA(nullptr, TRUE, FALSE, kStartedEvent)) {
    EXPECT_TRUE(state_.built());
    test_support::clear_log();
    install_programs(dir_.file(L"P"));
    job_ini_ = dir_.file(L"7.ini");
    write_job_ini("[Spool]\r\nType=EMF\r\n");
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
    DeleteFileW(record_file(role).c_str());
}

std::string stage_test::record(const wchar_t* role) const {
    return test_support::read_file(record_file(role));
}

std::string stage_test::recorded_command(const wchar_t* role) const {
    const std::string line = record(role);
    const size_t at = line.find(" cmd=");
    if (at == std::string::npos) return "";
    return line.substr(at + 5, line.find("\r\n", at) - at - 5);
}

owned::unique_handle stage_test::open_recorded_process(const wchar_t* role) const {
    const std::string line = record(role);
    if (line.find("pid=") == std::string::npos) return owned::unique_handle();
    const DWORD pid = static_cast<DWORD>(std::stoul(line.substr(line.find("pid=") + 4)));
    return owned::unique_handle(
        OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION | PROCESS_TERMINATE, FALSE, pid));
}

owned::unique_handle stage_test::open_started_process(const wchar_t* role) const {
    if (WaitForSingleObject(started_.get(), kGuardMs) != WAIT_OBJECT_0) {
        return owned::unique_handle();
    }
    return open_recorded_process(role);
}

owned::unique_handle stage_test::terminate_after_start(const wchar_t* role) const {
    owned::unique_handle process = open_started_process(role);
    terminate_now();
    return process;
}

void stage_test::terminate_now() const { SetEvent(terminate_event()); }

void stage_test::wait_for_end_of(const wchar_t* role) const {
    const owned::unique_handle process = open_started_process(role);
    if (process) WaitForSingleObject(process.get(), kGuardMs);
}

}  // namespace stage_tests
