// In-process surroundings for one job: the service's state with the printer
// in its printer table, the printer's settings key, an installation directory with the stand-in
// programs, a job ini file with its spool file, scripted sessions and a spooler that records which
// printers were cleaned.
#pragma once

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "agent/Service/state_scope.h"
#include "common/owned.h"
#include "fakes/fake_sessions.h"
#include "fakes/scratch_key.h"
#include "fakes/scripted_spooler.h"
#include "support/support.h"

namespace service_tests {

extern const wchar_t kPrinter[];      // L"P1"
extern const wchar_t kSettingsKey[];  // L"TavirelServiceTest"

class job_env {
public:
    // name: the scratch folder's, one per test, so that a program a test left
    // behind cannot write into the next test's files.
    explicit job_env(const wchar_t* name);
    ~job_env();
    job_env(const job_env&) = delete;
    job_env& operator=(const job_env&) = delete;

    test_support::scratch_key& settings() { return settings_; }
    const std::wstring& install_dir() const { return install_dir_; }
    const std::wstring& job_ini() const { return job_ini_; }
    const std::wstring& spool_file() const { return spool_file_; }
    // One line per started stand-in, in start order (all roles share it).
    const std::wstring& record_file() const { return record_file_; }
    // A job ini of its own (with its own spool file) for concurrent jobs.
    std::wstring add_job_ini(const std::wstring& name);
    // Writes key=value into [section] of the job ini.
    void set_job(const wchar_t* section, const wchar_t* key, const std::wstring& value);

    std::string records() const;
    // Waits, at most timeout_ms, until the records hold `text` (programs that
    // the job does not wait for record on their own time).
    bool wait_for_record(const std::string& text, DWORD timeout_ms = 20000) const;
    std::wstring message(const std::wstring& user = L"alice") const;
    // The sending client's token, as the pipe reader hands it on: this
    // process's own, an administrator's under Wine.
    HANDLE token() const { return token_.get(); }
    // Every printer name the spooler was opened for, in order.
    std::vector<std::wstring> cleaned_printers() const { return spooler_.opened_printers(); }

    // Ends the stand-ins that a job left running (the progress window after a
    // failed converter, a converter cut off by the terminate event).
    void end_started_programs() const;

    // The service's state: kPrinter in the printer table, alice in session 1.
    state_scope& state() { return state_; }

private:
    fake_sessions::scripted_sessions sessions_;
    state_scope state_;
    scripted_spooler spooler_{scripted_spooler::kAnyPrinter, {}};  // an empty queue
    test_support::scratch_dir scratch_;
    test_support::scratch_key settings_;
    std::wstring install_dir_;
    std::wstring job_ini_;
    std::wstring spool_file_;
    std::wstring record_file_;
    owned::unique_handle token_;
};

}  // namespace service_tests
