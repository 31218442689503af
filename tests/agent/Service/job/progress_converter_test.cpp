// exec_progress and exec_converter with the stand-ins installed as
// progress.exe and jobdisp.exe.
#include <cwchar>
#include <string>

#include "agent/Service/service_events.h"
#include "agent/Service/stages.h"
#include "stages/stage_fixture.h"

using test_support::count_log_messages;
using test_support::read_log;
using test_support::to_narrow;

namespace stage_tests {
namespace {

constexpr DWORD kGuardMs = 30000;

class progress_converter_test : public stage_test {
protected:
    bool convert() {
        return exec_converter(install_dir().c_str(), job_ini().c_str(), kUserSession);
    }
    std::string expected(const wchar_t* program) const {
        return to_narrow(install_dir() + L"\\" + program + L" " + job_ini());
    }
    // Polls for the stand-in's record; false after the guard time.
    bool wait_for_record(const wchar_t* role) const {
        const ULONGLONG deadline = GetTickCount64() + kGuardMs;
        while (recorded_command(role).empty()) {
            if (GetTickCount64() >= deadline) return false;
            Sleep(50);
        }
        return true;
    }
};

TEST_F(progress_converter_test, converter_runs_hidden_unquoted_and_any_exit_code_succeeds) {
    write_job_ini("[converter]\r\nExitCode=5\r\n");

    EXPECT_TRUE(convert());

    EXPECT_EQ(expected(L"jobdisp.exe"), recorded_command(L"converter"));
    EXPECT_NE(std::string::npos, record(L"converter").find(" show=0 "));
    const std::string log = read_log();
    EXPECT_NE(std::string::npos, log.find("module exec_converter() exec exec_user_app() in"));
    EXPECT_EQ(std::string::npos, log.find("ERROR")) << log;
}

TEST_F(progress_converter_test, progress_window_is_shown_ready_and_left_running) {
    HANDLE progress = nullptr;

    ASSERT_TRUE(exec_progress(install_dir().c_str(), job_ini().c_str(), &progress, kUserSession));

    ASSERT_NE(nullptr, progress);
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(progress, 0));
    // On a loaded machine the window may take longer than the 500 ms idle wait.
    EXPECT_TRUE(wait_for_record(L"progress"));
    EXPECT_EQ(expected(L"progress.exe"), recorded_command(L"progress"));
    EXPECT_NE(std::string::npos, record(L"progress").find(" show=default "));
    TerminateProcess(progress, 0);
    CloseHandle(progress);
    EXPECT_NE(std::string::npos, read_log().find("module exec_progress() exec exec_user_app() in"));
}

TEST_F(progress_converter_test, terminate_event_ends_the_wait_and_leaves_the_converter_running) {
    write_job_ini(std::string("[converter]\r\nDelayMs=60000\r\nSignal=") + kStartedEvent + "\r\n");
    bool result = true;
    HANDLE converter = nullptr;

    test_support::run_threads(2, [&](int i) {
        if (i == 0)
            result = convert();
        else
            converter = terminate_after_start(L"converter");
    });

    EXPECT_FALSE(result);
    ASSERT_NE(nullptr, converter);
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(converter, 0));
    TerminateProcess(converter, 0);
    WaitForSingleObject(converter, kGuardMs);
    CloseHandle(converter);
    EXPECT_EQ(1u, count_log_messages(read_log(), "exec_converter(): terminate event happens."));
}

TEST_F(progress_converter_test, terminate_event_wins_over_a_converter_that_ended) {
    write_job_ini(std::string("[converter]\r\nSignal=") + kStartedEvent + "\r\n");
    terminate_now();

    EXPECT_FALSE(convert());

    EXPECT_EQ(1u, count_log_messages(read_log(), "exec_converter(): terminate event happens."));
    wait_for_end_of(L"converter");
}

TEST_F(progress_converter_test, a_wait_that_fails_fails_the_stage) {
    write_job_ini(std::string("[converter]\r\nSignal=") + kStartedEvent + "\r\n");
    service_events[0] = nullptr;  // no terminate event to wait on

    EXPECT_FALSE(convert());

    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
    const std::string log = read_log();
    EXPECT_EQ(1u, count_log_messages(log, "exec_converter(): failed to WaitForMultipleObjects()."))
        << log;
    EXPECT_NE(std::string::npos, log.find("errcode: 6\r\n")) << log;
    wait_for_end_of(L"converter");
}

// Both programs are started by their full path, so a program planted on the
// blank of the installation directory ("...\Program.exe") never runs; the
// command line carries the program's path in quotes (it holds a blank) and
// the job ini path unquoted behind it.
TEST_F(progress_converter_test, an_installation_directory_with_a_blank_runs_the_real_programs) {
    install_programs(dir_.file(L"Program Files"));
    const std::wstring planted_record = dir_.file(L"planted.txt");
    ASSERT_TRUE(CopyFileW(test_support::beside_exe(L"preproc_standin.exe").c_str(),
                          dir_.file(L"Program.exe").c_str(), FALSE));
    WritePrivateProfileStringW(L"preproc", L"Record", planted_record.c_str(),
                               dir_.file(L"Program.ini").c_str());
    write_job_ini("[converter]\r\nExitCode=5\r\n");

    EXPECT_TRUE(convert());
    HANDLE progress = nullptr;
    ASSERT_TRUE(exec_progress(install_dir().c_str(), job_ini().c_str(), &progress, kUserSession));
    EXPECT_TRUE(wait_for_record(L"progress"));
    TerminateProcess(progress, 0);
    CloseHandle(progress);

    const std::string ini = to_narrow(job_ini());
    EXPECT_EQ("\"" + to_narrow(install_dir()) + "\\jobdisp.exe\" " + ini,
              recorded_command(L"converter"));
    EXPECT_EQ("\"" + to_narrow(install_dir()) + "\\progress.exe\" " + ini,
              recorded_command(L"progress"));
    EXPECT_EQ("", test_support::read_file(planted_record));
    EXPECT_EQ(std::string::npos, read_log().find("ERROR"));
}

TEST_F(progress_converter_test, missing_programs_fail_the_stage) {
    DeleteFileW((install_dir() + L"\\progress.exe").c_str());
    DeleteFileW((install_dir() + L"\\jobdisp.exe").c_str());
    HANDLE progress = reinterpret_cast<HANDLE>(0x77);

    EXPECT_FALSE(exec_progress(install_dir().c_str(), job_ini().c_str(), &progress, kUserSession));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
    EXPECT_FALSE(convert());
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());

    EXPECT_EQ(reinterpret_cast<HANDLE>(0x77), progress);
    const std::string log = read_log();
    EXPECT_EQ(1u, count_log_messages(log, "exec_progress(): failed to exec_user_app()."));
    EXPECT_EQ(1u, count_log_messages(log, "exec_converter(): failed to exec_user_app()."));
}

TEST_F(progress_converter_test, bad_input_and_overlong_command_lines_start_nothing) {
    const std::wstring dir = install_dir();
    const std::wstring ini = job_ini();
    // Makes "<dir>\jobdisp.exe <ini>" 1024 units long, one beyond the 1023 that fit.
    const size_t converter_prefix = dir.size() + wcslen(L"\\jobdisp.exe ") + wcslen(L"c:\\");
    const std::wstring long_ini = L"c:\\" + std::wstring(1024 - converter_prefix, L'j');
    struct input_case {
        const wchar_t* dir;
        const wchar_t* ini;
        DWORD error;
        const char* progress_message;
        const char* converter_message;
    };
    const char* const bad_progress = "exec_progress(): invalid input parameter.";
    const char* const bad_converter = "exec_converter(): invalid input parameter.";
    const input_case cases[] = {
        {dir.c_str(), nullptr, ERROR_INVALID_PARAMETER, bad_progress, bad_converter},
        {dir.c_str(), L"", ERROR_INVALID_PARAMETER, bad_progress, bad_converter},
        {nullptr, ini.c_str(), ERROR_INVALID_PARAMETER, bad_progress, bad_converter},
        {dir.c_str(), long_ini.c_str(), ERROR_INSUFFICIENT_BUFFER,
         "exec_progress(): failed to format_fitting().",
         "exec_converter(): failed to format_fitting()."},
    };
    for (const input_case& c : cases) {
        SCOPED_TRACE(c.converter_message);
        test_support::clear_log();
        HANDLE progress = nullptr;

        EXPECT_FALSE(exec_progress(c.dir, c.ini, &progress, kUserSession));
        EXPECT_EQ(c.error, GetLastError());
        EXPECT_FALSE(exec_converter(c.dir, c.ini, kUserSession));
        EXPECT_EQ(c.error, GetLastError());

        EXPECT_EQ(nullptr, progress);
        const std::string log = read_log();
        EXPECT_EQ(1u, count_log_messages(log, c.progress_message)) << log;
        EXPECT_EQ(1u, count_log_messages(log, c.converter_message)) << log;
        EXPECT_EQ(std::string::npos, log.find("exec_user_app")) << log;
    }
}

}  // namespace
}  // namespace stage_tests
