// run_preprocessing with the settings in a real registry and the preprocessing
// stand-in started for real.
#include <string>

#include "agent/Service/service_events.h"
#include "agent/Service/stages.h"
#include "stages/stage_fixture.h"

using test_support::count_log_messages;
using test_support::read_log;
using test_support::to_narrow;

namespace stage_tests {
namespace {

class run_preprocessing_test : public stage_test {
protected:
    run_preprocessing_test() {
        application_ = L"\"" + test_support::beside_exe(L"preproc_standin.exe") + L"\"";
    }

    void configure(DWORD enabled, const std::wstring& application) {
        machine_.set_dword(L"Preprocessing: Enabled", enabled);
        machine_.set_string(L"Preprocessing: Application", application);
    }

    std::string expected_command() const {
        return to_narrow(application_ + L" \"" + job_ini() + L"\"");
    }

    bool run() { return run_preprocessing(kSettingsKeyName, job_ini().c_str(), kUserSession); }

    std::wstring application_;
};

TEST_F(run_preprocessing_test, skip_rules_compare_the_spool_type_exactly) {
    struct skip_case {
        int skip;          // -1: "Preprocessing: Skip" absent
        const char* type;  // nullptr: no "Type" key
        DWORD enabled;
        const char* warning;  // nullptr: no skip
    };
    const char* const emf = "run_preprocessing(): preprocessing for EMF data was skipped.";
    const char* const raw = "run_preprocessing(): preprocessing for RAW data was skipped.";
    const char* const both = "run_preprocessing(): preprocessing for EMF/RAW data was skipped.";
    const skip_case cases[] = {
        {3, "EMF", 0, both},      {3, nullptr, 1, both},   {1, "EMF", 1, emf},
        {1, "EMF", 0, emf},       {1, "RAW", 1, nullptr},  {1, "emf", 1, nullptr},
        {1, nullptr, 1, nullptr}, {2, "RAW", 1, raw},      {2, "EMF", 1, nullptr},
        {2, "raw", 1, nullptr},   {7, "EMF", 1, nullptr},  {7, "RAW", 1, nullptr},
        {0, "EMF", 1, nullptr},   {-1, "RAW", 1, nullptr}, {0, "EMF", 0, nullptr},
    };
    for (const skip_case& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << "skip " << c.skip << " type " << (c.type ? c.type : "(none)") << " enabled "
                     << c.enabled);
        test_support::clear_log();
        forget_record(L"preproc");
        configure(c.enabled, application_);
        if (c.skip < 0) {
            machine_.remove(L"Preprocessing: Skip");
        } else {
            machine_.set_dword(L"Preprocessing: Skip", static_cast<DWORD>(c.skip));
        }
        write_job_ini(std::string(c.type ? "[Spool]\r\nType=" + std::string(c.type) : "[Spool]") +
                      "\r\n[preproc]\r\nExitCode=9\r\n");

        EXPECT_TRUE(run());

        const bool runs = c.warning == nullptr && c.enabled != 0;
        EXPECT_EQ(runs ? expected_command() : "", recorded_command(L"preproc"));
        const std::string log = read_log();
        if (c.warning) {
            EXPECT_EQ(1u, count_log_messages(log, c.warning)) << log;
        }
        EXPECT_EQ(c.warning ? 1u : 0u, count_log_messages(log, emf) + count_log_messages(log, raw) +
                                           count_log_messages(log, both))
            << log;
        EXPECT_EQ(std::string::npos, log.find("message: run_preprocessing(): failed")) << log;
        EXPECT_EQ(runs, log.find("exec_user_app(preprocessing)") != std::string::npos) << log;
    }
}

TEST_F(run_preprocessing_test, without_both_settings_preprocessing_is_disabled) {
    machine_.set_string(L"Preprocessing: Application", application_);  // "Enabled" missing

    EXPECT_TRUE(run());

    EXPECT_EQ("", record(L"preproc"));
    EXPECT_EQ(1u, count_log_messages(read_log(),
                                     "run_preprocessing(): failed to get preprocessing settings "
                                     "via registry keys. Preprocessing disabled."));
}

TEST_F(run_preprocessing_test, a_partial_user_copy_gives_way_to_the_machine_copy) {
    configure(1, application_);
    user_.set_dword(L"Preprocessing: Enabled", 0);

    EXPECT_TRUE(run());

    EXPECT_EQ(expected_command(), recorded_command(L"preproc"));
}

TEST_F(run_preprocessing_test, a_program_that_cannot_start_fails_the_stage) {
    configure(1, L"\"" + dir_.file(L"no such prep.exe") + L"\"");

    EXPECT_FALSE(run());

    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
    const std::string log = read_log();
    EXPECT_EQ(1u, count_log_messages(log, "exec_user_app(): failed to CreateProcessAsUser()."));
    EXPECT_EQ(
        1u, count_log_messages(log, "run_preprocessing(): failed to exec_user_app(preprocessing)."))
        << log;
}

TEST_F(run_preprocessing_test, a_command_line_too_long_for_its_buffer_is_refused) {
    // 2047 units would be cut; 2046 fit exactly (terminator included in 2048).
    const std::wstring quoted_ini = L" \"" + job_ini() + L"\"";
    const std::wstring fits =
        application_ + L" " +
        std::wstring(2047 - application_.size() - 1 - quoted_ini.size(), L'x');
    struct length_case {
        std::wstring application;
        bool refused;
    };
    const length_case cases[] = {{fits, false}, {fits + L"x", true}};
    for (const length_case& c : cases) {
        SCOPED_TRACE(c.refused ? "one unit too long" : "exactly fits");
        test_support::clear_log();
        forget_record(L"preproc");
        configure(1, c.application);
        write_job_ini("[Spool]\r\nType=RAW\r\n");

        EXPECT_EQ(!c.refused, run());

        const std::string log = read_log();
        EXPECT_EQ(c.refused ? 1u : 0u,
                  count_log_messages(log, "run_preprocessing(): failed to format_fitting()."))
            << log;
        EXPECT_EQ(c.refused ? "" : to_narrow(c.application) + to_narrow(quoted_ini),
                  recorded_command(L"preproc"));
    }
}

TEST_F(run_preprocessing_test, a_wait_that_fails_fails_the_stage) {
    configure(1, application_);
    write_job_ini(std::string("[preproc]\r\nSignal=") + kStartedEvent + "\r\n");
    service_events[0] = nullptr;  // no terminate event to wait on

    EXPECT_FALSE(run());

    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
    const std::string log = read_log();
    EXPECT_EQ(1u,
              count_log_messages(log, "run_preprocessing(): failed to WaitForMultipleObjects()."))
        << log;
    EXPECT_NE(std::string::npos, log.find("errcode: 6\r\n")) << log;
    wait_for_end_of(L"preproc");
}

TEST_F(run_preprocessing_test, the_terminate_event_ends_the_wait_and_the_program) {
    configure(1, application_);
    write_job_ini(std::string("[Spool]\r\nType=EMF\r\n[preproc]\r\nExitCode=9\r\nDelayMs=60000\r\n"
                              "Signal=") +
                  kStartedEvent + "\r\n");
    bool result = true;
    HANDLE program = nullptr;

    test_support::run_threads(2, [&](int i) {
        if (i == 0)
            result = run();
        else
            program = terminate_after_start(L"preproc");
    });

    EXPECT_FALSE(result);
    ASSERT_NE(nullptr, program);
    EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(program, 30000));
    DWORD exit_code = 9;
    GetExitCodeProcess(program, &exit_code);
    EXPECT_EQ(0u, exit_code);
    CloseHandle(program);
    EXPECT_EQ(1u, count_log_messages(read_log(), "run_preprocessing(): terminate event happens."));
}

TEST_F(run_preprocessing_test, a_terminate_event_set_before_the_stage_still_wins) {
    configure(1, application_);
    terminate_now();

    EXPECT_FALSE(run());

    EXPECT_EQ(1u, count_log_messages(read_log(), "run_preprocessing(): terminate event happens."));
}

}  // namespace
}  // namespace stage_tests
