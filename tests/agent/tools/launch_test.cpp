// exec_user_app against real processes under Wine: the stand-in programs
// record how they were started (show state, environment, command line).
#include <gtest/gtest.h>

#include <string>

#include "fakes/fake_sessions.h"
#include "support/support.h"
#include "agent/tools/launch.h"
#include "agent/tools/sessions.h"

using test_support::count_log_messages;
using test_support::read_file;
using test_support::read_log;

namespace {

constexpr DWORD kGuardMs = 30000;  // only bounds a hung test; nothing is timed
constexpr uint32_t kUserSession = 1;
constexpr uint32_t kEmptySession = 2;
const std::string kMark = "launch-test-mark";

class exec_user_app_test : public ::testing::Test {
protected:
    void SetUp() override {
        test_support::clear_log();
        SetEnvironmentVariableW(L"STANDIN_MARK", test_support::to_wide(kMark).c_str());
    }

    // A job ini with the stand-ins' settings; the record lands beside it.
    std::wstring job_ini(const std::string& settings = "") {
        const std::wstring path = dir_.file(L"job.ini");
        test_support::write_file(path, settings);
        return path;
    }

    std::wstring command(const wchar_t* program, const std::wstring& ini) {
        return L"\"" + test_support::beside_exe(program) + L"\" " + ini;
    }

    std::string record(const std::wstring& ini, const wchar_t* role) {
        return read_file(ini + L"." + role + L".txt");
    }

    test_support::scratch_dir dir_{L"launch"};
    fake_sessions::scripted_sessions sessions_{
        {{kUserSession, WTSActive, L"alice"}, {kEmptySession, WTSActive, L""}}};
};

// Where the 64th free slot of the handle table lies: any handle left open in
// between moves it up (the handle count itself is not kept by every platform).
HANDLE handle_mark() {
    HANDLE probes[64];
    for (HANDLE& probe : probes) probe = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    for (HANDLE probe : probes) CloseHandle(probe);
    return probes[63];
}

// Runs the command line through exec_user_app and waits for the program to end.
bool run_to_end(uint32_t session, std::wstring command_line, const launch_options& options,
                DWORD* exit_code = nullptr) {
    HANDLE process = nullptr;
    if (!exec_user_app(session, &command_line[0], &process, options)) return false;
    const bool ended = WaitForSingleObject(process, kGuardMs) == WAIT_OBJECT_0;
    if (exit_code) GetExitCodeProcess(process, exit_code);
    CloseHandle(process);
    return ended;
}

TEST_F(exec_user_app_test, starts_hidden_or_shown_in_the_right_context) {
    struct start_case {
        uint32_t session;
        uint8_t hide_window;
        const char* show;        // as the program sees it
        unsigned token_queries;  // the self session never touches a token
        bool inherits_own_environment;
    };
    const start_case cases[] = {
        {kSelfSession, 0, "show=0", 0, true},
        {kSelfSession, 1, "show=0", 0, true},
        {kUserSession, 1, "show=0", 1, false},
        {kUserSession, 0, "show=default", 1, false},
    };
    for (const start_case& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << "session " << c.session << " hide " << int(c.hide_window));
        const std::wstring ini = job_ini("[converter]\r\nExitCode=5\r\n");
        DeleteFileW((ini + L".converter.txt").c_str());
        const unsigned queries_before = sessions_.calls().query_user_token;

        DWORD exit_code = 0;
        ASSERT_TRUE(run_to_end(c.session, command(L"converter_standin.exe", ini),
                               {c.hide_window, 0, 0}, &exit_code));

        EXPECT_EQ(5u, exit_code);
        const std::string line = record(ini, L"converter");
        EXPECT_NE(std::string::npos, line.find(std::string(" ") + c.show + " ")) << line;
        EXPECT_EQ(c.inherits_own_environment, line.find("env=" + kMark) != std::string::npos)
            << line;
        EXPECT_NE(std::string::npos, line.find(test_support::to_narrow(ini) + "\r\n")) << line;
        EXPECT_EQ(c.token_queries, sessions_.calls().query_user_token - queries_before);
    }
    EXPECT_EQ("", read_log());
}

TEST_F(exec_user_app_test, failures_return_false_and_leave_the_handle_untouched) {
    const std::wstring missing = L"\"" + dir_.file(L"no such program.exe") + L"\" x";
    struct failure_case {
        uint32_t session;
        std::wstring command_line;
        DWORD error;
        const char* message;
    };
    const failure_case cases[] = {
        {kEmptySession, command(L"converter_standin.exe", job_ini()), ERROR_NO_TOKEN,
         "exec_user_app(): failed to WTSQueryUserToken()."},
        {kUserSession, missing, ERROR_FILE_NOT_FOUND,
         "exec_user_app(): failed to CreateProcessAsUser()."},
        {kSelfSession, missing, ERROR_FILE_NOT_FOUND,
         "exec_user_app(): failed to CreateProcessAsUser()."},
    };
    for (const failure_case& c : cases) {
        SCOPED_TRACE(c.message);
        test_support::clear_log();
        std::wstring command_line = c.command_line;
        HANDLE process = reinterpret_cast<HANDLE>(0x1234);
        const HANDLE mark_before = handle_mark();

        EXPECT_FALSE(exec_user_app(c.session, &command_line[0], &process, {0, 1, 100}));

        EXPECT_EQ(c.error, GetLastError());
        EXPECT_EQ(mark_before, handle_mark());
        EXPECT_EQ(reinterpret_cast<HANDLE>(0x1234), process);
        const std::string log = read_log();
        EXPECT_EQ(1u, count_log_messages(log, c.message)) << log;
        EXPECT_EQ(std::string::npos, log.find("WaitForInputIdle")) << log;
    }
}

TEST_F(exec_user_app_test, null_command_line_is_refused_before_any_token) {
    HANDLE process = nullptr;
    EXPECT_FALSE(exec_user_app(kUserSession, nullptr, &process, {0, 0, 0}));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
    EXPECT_EQ(nullptr, process);
    EXPECT_EQ(0u, sessions_.calls().query_user_token);
    const std::string log = read_log();
    EXPECT_EQ(1u, count_log_messages(log, "exec_user_app(): incorrect input parameters.")) << log;
    EXPECT_NE(std::string::npos, log.find("errcode: 87\r\n")) << log;
}

TEST_F(exec_user_app_test, success_releases_everything_but_the_process_handle) {
    for (uint32_t session : {kSelfSession, kUserSession}) {
        const HANDLE mark_before = handle_mark();
        ASSERT_TRUE(run_to_end(session, command(L"converter_standin.exe", job_ini()), {1, 0, 0}));
        EXPECT_EQ(mark_before, handle_mark()) << "session " << session;
    }
}

struct idle_case {
    const char* name;
    const wchar_t* program;
    const char* settings;
    DWORD idle_timeout;            // generous where the wait must succeed on a loaded machine
    const char* expected_message;  // nullptr: no log entry at all
};

class input_idle_test : public exec_user_app_test,
                        public ::testing::WithParamInterface<idle_case> {};

TEST_P(input_idle_test, waits_then_hands_over_the_running_program) {
    const idle_case& c = GetParam();
    const std::wstring ini = job_ini(c.settings);
    std::wstring command_line = command(c.program, ini);
    HANDLE process = nullptr;

    ASSERT_TRUE(exec_user_app(kUserSession, &command_line[0], &process, {0, 1, c.idle_timeout}));

    ASSERT_NE(nullptr, process);
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(process, 0))
        << "the program must still run";
    TerminateProcess(process, 0);
    WaitForSingleObject(process, kGuardMs);
    CloseHandle(process);
    const std::string log = read_log();
    if (c.expected_message) {
        EXPECT_EQ(1u, count_log_messages(log, c.expected_message)) << log;
    } else {
        EXPECT_EQ("", log);
    }
}

INSTANTIATE_TEST_SUITE_P(
    cases, input_idle_test,
    ::testing::Values(
        idle_case{"window_ready_in_time", L"progress_standin.exe", "", 20000, nullptr},
        idle_case{"window_busy_too_long", L"progress_standin.exe",
                  "[progress]\r\nDelayMs=20000\r\n", 300,
                  "exec_user_app(): failed to WaitForInputIdle(): wait timeout."},
        idle_case{"console_program_falls_back_to_a_pause", L"converter_standin.exe",
                  "[converter]\r\nDelayMs=20000\r\n", 300,
                  "exec_user_app(): failed to WaitForInputIdle(): wait failed. Use Sleep()."}),
    [](const ::testing::TestParamInfo<idle_case>& info) { return std::string(info.param.name); });

// Where the installation directory holds a blank, the platform looks for the
// program at every blank of an unquoted path first ("...\TIF.exe" for
// "...\TIF Printer\jobdisp.exe"). A program planted there must never run.
class planted_program_test : public exec_user_app_test {
protected:
    void SetUp() override {
        exec_user_app_test::SetUp();
        ASSERT_TRUE(CreateDirectoryW(install_dir_.c_str(), nullptr));
        ASSERT_TRUE(CopyFileW(test_support::beside_exe(L"converter_standin.exe").c_str(),
                              (install_dir_ + L"\\jobdisp.exe").c_str(), FALSE));
        WritePrivateProfileStringW(L"converter", L"Record", real_record_.c_str(),
                                   (install_dir_ + L"\\jobdisp.ini").c_str());
        ASSERT_TRUE(CopyFileW(test_support::beside_exe(L"preproc_standin.exe").c_str(),
                              dir_.file(L"TIF.exe").c_str(), FALSE));
        WritePrivateProfileStringW(L"preproc", L"Record", planted_record_.c_str(),
                                   dir_.file(L"TIF.ini").c_str());
    }

    std::wstring install_dir_ = dir_.file(L"TIF Printer");
    std::wstring real_record_ = dir_.file(L"real.txt");
    std::wstring planted_record_ = dir_.file(L"planted.txt");
};

bool start_and_wait(uint32_t session, const wchar_t* application, std::wstring command_line) {
    HANDLE process = nullptr;
    if (!exec_user_app(session, application, &command_line[0], &process, {1, 0, 0})) return false;
    const bool ended = WaitForSingleObject(process, kGuardMs) == WAIT_OBJECT_0;
    CloseHandle(process);
    return ended;
}

TEST_F(planted_program_test, started_by_its_path_the_real_program_runs) {
    const std::wstring ini = job_ini();
    const std::wstring program = install_dir_ + L"\\jobdisp.exe";
    const std::wstring unquoted = program + L" " + ini;
    for (uint32_t session : {kSelfSession, kUserSession}) {
        SCOPED_TRACE(session);
        DeleteFileW(real_record_.c_str());
        DeleteFileW(planted_record_.c_str());

        // Taken from the command line, the path finds the planted program:
        // what these tests guard against.
        ASSERT_TRUE(start_and_wait(session, nullptr, unquoted));
        EXPECT_NE("", read_file(planted_record_));
        EXPECT_EQ("", read_file(real_record_));
        DeleteFileW(planted_record_.c_str());

        // By its path the real program runs, with the command line as given.
        ASSERT_TRUE(start_and_wait(session, program.c_str(), unquoted));
        EXPECT_EQ("", read_file(planted_record_));
        const std::string line = read_file(real_record_);
        EXPECT_NE(std::string::npos,
                  line.find(" cmd=" + test_support::to_narrow(unquoted) + "\r\n"))
            << line;
    }
}

TEST_F(planted_program_test, installed_program_quotes_only_a_path_with_a_blank) {
    struct locate_case {
        std::wstring dir;
        std::wstring command_name;
    };
    const std::wstring plain = dir_.file(L"plain");
    const locate_case cases[] = {
        {plain, plain + L"\\jobdisp.exe"},
        {install_dir_, L"\"" + install_dir_ + L"\\jobdisp.exe\""},
        {L"c:\\tab\there", L"\"c:\\tab\there\\jobdisp.exe\""},
    };
    for (const locate_case& c : cases) {
        installed_program program;
        ASSERT_TRUE(program.locate(c.dir.c_str(), L"jobdisp.exe"));
        EXPECT_EQ(c.dir + L"\\jobdisp.exe", program.path());
        EXPECT_EQ(c.command_name, program.command_name());
    }
    // One unit short of its buffer's terminator: refused, never cut.
    const std::wstring too_long(installed_program::kPathUnits - 12, L'd');
    installed_program program;
    EXPECT_FALSE(program.locate(too_long.c_str(), L"jobdisp.exe"));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());
    const std::wstring fits(installed_program::kPathUnits - 13, L'd');
    EXPECT_TRUE(program.locate(fits.c_str(), L"jobdisp.exe"));

    // The quoted command line starts the real program too, with the job ini
    // path behind it as it is.
    ASSERT_TRUE(program.locate(install_dir_.c_str(), L"jobdisp.exe"));
    const std::wstring ini = job_ini();
    ASSERT_TRUE(start_and_wait(kUserSession, program.path(),
                               std::wstring(program.command_name()) + L" " + ini));
    EXPECT_EQ("", read_file(planted_record_));
    EXPECT_NE(std::string::npos,
              read_file(real_record_).find("\" " + test_support::to_narrow(ini) + "\r\n"));
}

// "Timeout" is a per-user setting and can ask for an endless wait: the pause
// that replaces a failed input-idle wait ends when its event is set.
TEST_F(exec_user_app_test, pause_ends_at_once_when_its_event_is_set) {
    const std::wstring started_name =
        L"launch-test-started-" + std::to_wstring(GetCurrentProcessId());
    HANDLE started = CreateEventW(nullptr, TRUE, FALSE, started_name.c_str());
    HANDLE pause_end = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(nullptr, started);
    ASSERT_NE(nullptr, pause_end);
    const std::wstring ini = job_ini(
        "[converter]\r\nDelayMs=60000\r\nSignal=" + test_support::to_narrow(started_name) + "\r\n");
    const launch_options endless{0, 1, 0xFFFFFFFFu, pause_end};

    for (bool set_before : {true, false}) {
        SCOPED_TRACE(set_before ? "set before the start" : "set during the pause");
        test_support::clear_log();
        ResetEvent(started);
        if (set_before) {
            SetEvent(pause_end);
        } else {
            ResetEvent(pause_end);
        }
        HANDLE process = nullptr;
        ULONGLONG took = 0;
        test_support::run_threads(2, [&](int index) {
            if (index == 0) {
                std::wstring command_line = command(L"converter_standin.exe", ini);
                const ULONGLONG start = GetTickCount64();
                EXPECT_TRUE(exec_user_app(kUserSession, &command_line[0], &process, endless));
                took = GetTickCount64() - start;
            } else if (!set_before) {
                EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0),
                          WaitForSingleObject(started, kGuardMs));
                SetEvent(pause_end);
            }
        });
        // Far below the 60 s that the pause is cut to without the event.
        EXPECT_LT(took, 20000u);
        ASSERT_NE(nullptr, process);
        EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(process, 0));
        TerminateProcess(process, 0);
        WaitForSingleObject(process, kGuardMs);
        CloseHandle(process);
        EXPECT_EQ(1u, count_log_messages(read_log(),
                                         "exec_user_app(): failed to WaitForInputIdle(): "
                                         "wait failed. Use Sleep()."));
    }
    CloseHandle(started);
    CloseHandle(pause_end);
}

}  // namespace
