// run_preprocessing with the settings in a real registry and the preprocessing
// stand-in started for real.
#include <string>

#include "agent/Service/job/preprocessing.h"
#include "agent/Service/job/stage_fixture.h"

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

// One unit more is refused (stage_cases_test.cpp): the buffer's last unit is
// its terminator, and the whole command reaches the program.
TEST_F(run_preprocessing_test, a_command_line_that_exactly_fits_its_buffer_runs) {
    const std::wstring quoted_ini = L" \"" + job_ini() + L"\"";
    const std::wstring fits =
        application_ + L" " +
        std::wstring(2047 - application_.size() - 1 - quoted_ini.size(), L'x');
    configure(1, fits);
    write_job_ini("[Spool]\r\nType=RAW\r\n");

    EXPECT_TRUE(run());

    const std::string log = read_log();
    EXPECT_EQ(0u, count_log_messages(log, "run_preprocessing(): failed to format_fitting()."))
        << log;
    EXPECT_EQ(to_narrow(fits + quoted_ini), recorded_command(L"preproc"));
}

}  // namespace
}  // namespace stage_tests
