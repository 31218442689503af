// exec_progress and exec_converter with the stand-ins installed as
// progress.exe and jobdisp.exe.
#include <string>

#include "agent/Service/job/progress_converter.h"
#include "agent/Service/job/stage_fixture.h"

using test_support::count_log_messages;
using test_support::read_log;
using test_support::to_narrow;

namespace stage_tests {
namespace {

class progress_converter_test : public stage_test {
protected:
    bool convert() {
        return exec_converter(install_dir().c_str(), job_ini().c_str(), kUserSession);
    }
    std::string expected(const wchar_t* program) const {
        return to_narrow(install_dir() + L"\\" + program + L" " + job_ini());
    }
    // Until the stand-in has recorded its whole command line; false after the
    // guard time.
    bool wait_for_record(const wchar_t* role) const {
        return test_support::wait_for_file(
            record_file(role),
            [](const std::string& text) {
                const size_t command = text.find(" cmd=");
                return command != std::string::npos &&
                       text.find("\r\n", command) != std::string::npos;
            },
            kGuardMs);
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

    ASSERT_TRUE(exec_progress(install_dir().c_str(), job_ini().c_str(), &progress, kUserSession))
        << read_log();

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
    ASSERT_TRUE(exec_progress(install_dir().c_str(), job_ini().c_str(), &progress, kUserSession))
        << read_log();
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

TEST_F(progress_converter_test, bad_input_starts_nothing) {
    const std::wstring dir = install_dir();
    const std::wstring ini = job_ini();
    struct input_case {
        const char* name;
        const wchar_t* dir;
        const wchar_t* ini;
    };
    const input_case cases[] = {
        {"no job ini", dir.c_str(), nullptr},
        {"an empty job ini", dir.c_str(), L""},
        {"no installation directory", nullptr, ini.c_str()},
    };
    for (const input_case& c : cases) {
        SCOPED_TRACE(c.name);
        test_support::clear_log();
        HANDLE progress = nullptr;

        EXPECT_FALSE(exec_progress(c.dir, c.ini, &progress, kUserSession));
        EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
        EXPECT_FALSE(exec_converter(c.dir, c.ini, kUserSession));
        EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());

        EXPECT_EQ(nullptr, progress);
        const std::string log = read_log();
        EXPECT_EQ(1u, count_log_messages(log, "exec_progress(): invalid input parameter.")) << log;
        EXPECT_EQ(1u, count_log_messages(log, "exec_converter(): invalid input parameter.")) << log;
        EXPECT_EQ(std::string::npos, log.find("exec_user_app")) << log;
    }
}

}  // namespace
}  // namespace stage_tests
