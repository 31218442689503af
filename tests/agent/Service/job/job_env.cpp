#include "agent/Service/job/job_env.h"

#include <cstdlib>

#include "agent/Service/job/client_tokens.h"
#include "support/log_reader.h"

namespace service_tests {

const wchar_t kPrinter[] = L"P1";
const wchar_t kSettingsKey[] = L"TavirelServiceTest";

namespace {

void copy_program(const wchar_t* built, const std::wstring& target) {
    CopyFileW(test_support::beside_exe(built).c_str(), target.c_str(), FALSE);
}

}  // namespace

job_env::job_env(const wchar_t* name)
    : sessions_({{1, WTSActive, L"alice"}}, 1),
      state_({std::wstring(kPrinter) + L";" + kSettingsKey}),
      scratch_(name),
      settings_(HKEY_LOCAL_MACHINE, std::wstring(L"Software\\") + kSettingsKey),
      token_(own_token()) {
    install_dir_ = scratch_.file(L"install");
    CreateDirectoryW(install_dir_.c_str(), nullptr);
    copy_program(L"progress_standin.exe", install_dir_ + L"\\progress.exe");
    copy_program(L"converter_standin.exe", install_dir_ + L"\\jobdisp.exe");
    copy_program(L"winrelay.exe", install_dir_ + L"\\winrelay.exe");
    copy_program(L"client_standin.exe", install_dir_ + L"\\client.exe");

    record_file_ = scratch_.file(L"started.txt");
    settings_.set_dword(L"Allow self session", 1);
    settings_.set_string(L"Installation Directory", install_dir_);
    settings_.set_string(L"Client Application",
                         install_dir_ + L"\\client.exe -record " + record_file_);
    settings_.set_dword(L"Transfer Mode", 0);
    settings_.set_string(L"Target window title", L"Service test target");
    settings_.set_dword(L"Message ID", 7);
    settings_.set_string(L"Output Directory", scratch_.path());

    job_ini_ = add_job_ini(L"job");
    spool_file_ = scratch_.file(L"job.emf");
    test_support::clear_log();
}

job_env::~job_env() { end_started_programs(); }

std::wstring job_env::add_job_ini(const std::wstring& name) {
    const std::wstring ini = scratch_.file(name + L".ini");
    const std::wstring spool = scratch_.file(name + L".emf");
    test_support::write_file(spool, "spool data");
    WritePrivateProfileStringW(L"Spool", L"Type", L"EMF", ini.c_str());
    WritePrivateProfileStringW(L"Spool", L"File0", spool.c_str(), ini.c_str());
    for (const wchar_t* role : {L"progress", L"converter"}) {
        WritePrivateProfileStringW(role, L"Record", record_file_.c_str(), ini.c_str());
    }
    return ini;
}

void job_env::set_job(const wchar_t* section, const wchar_t* key, const std::wstring& value) {
    WritePrivateProfileStringW(section, key, value.c_str(), job_ini_.c_str());
}

std::string job_env::records() const { return test_support::read_file(record_file_); }

bool job_env::wait_for_record(const std::string& text, DWORD timeout_ms) const {
    return test_support::wait_for_text(record_file_, text, timeout_ms);
}

std::wstring job_env::message(const std::wstring& user) const {
    return std::wstring(kPrinter) + L";" + job_ini_ + L";" + user;
}

void job_env::end_started_programs() const {
    const std::string lines = records();
    for (size_t at = lines.find("pid="); at != std::string::npos; at = lines.find("pid=", at + 1)) {
        const DWORD pid = std::strtoul(lines.c_str() + at + 4, nullptr, 10);
        HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, pid);
        if (process) {
            TerminateProcess(process, 1);
            CloseHandle(process);
        }
    }
}

}  // namespace service_tests
