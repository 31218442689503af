// Surroundings for one stage test: scripted sessions, the service's state
// (built and released by the service itself), the printer's settings key
// machine-wide and per user, an installation directory holding the stand-ins
// as progress.exe and jobdisp.exe, and a job ini file.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "agent/Service/state_scope.h"
#include "common/owned.h"
#include "fakes/fake_sessions.h"
#include "fakes/scratch_key.h"
#include "support/support.h"

namespace stage_tests {

constexpr uint32_t kUserSession = 1;
constexpr DWORD kGuardMs = 30000;  // only bounds a hung test; nothing is timed
extern const wchar_t kSettingsKeyName[];

class stage_test : public ::testing::Test {
protected:
    stage_test();

    const std::wstring& install_dir() const { return install_dir_; }
    const std::wstring& job_ini() const { return job_ini_; }
    // Replaces the job ini file's text.
    void write_job_ini(const std::string& text) const;
    // Where the stand-in of this role ("preproc", "converter", "progress")
    // records its starts.
    std::wstring record_file(const wchar_t* role) const { return job_ini_ + L"." + role + L".txt"; }
    void forget_record(const wchar_t* role) const;
    // What the stand-in of this role recorded.
    std::string record(const wchar_t* role) const;
    // The command line of its one recorded start, or "" when it did not start.
    std::string recorded_command(const wchar_t* role) const;
    // Once the stand-in of this role has set its Signal event (its section of
    // the job ini names kStartedEvent): its process (empty if it never started).
    owned::unique_handle open_started_process(const wchar_t* role) const;
    // The same, then sets the service's terminate event.
    owned::unique_handle terminate_after_start(const wchar_t* role) const;
    void terminate_now() const;
    // Waits until the stand-in of this role, started with kStartedEvent as its
    // Signal, has ended, so its program file can go.
    void wait_for_end_of(const wchar_t* role) const;
    // Starts over with the installation directory at this path.
    void install_programs(const std::wstring& dir);

    static const char kStartedEvent[];

    // Before the state: its session table is filled from this script.
    fake_sessions::scripted_sessions sessions_{{{kUserSession, WTSActive, L"alice"}}};
    service_tests::state_scope state_;
    test_support::scratch_dir dir_{L"stages"};
    test_support::scratch_key machine_;
    test_support::scratch_key user_;

private:
    // Process of the one recorded start of this role, opened for waiting.
    owned::unique_handle open_recorded_process(const wchar_t* role) const;

    std::wstring install_dir_;
    std::wstring job_ini_;
    owned::unique_handle started_;
};

}  // namespace stage_tests
