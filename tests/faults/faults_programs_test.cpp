// The programs a job starts, misbehaving: crashing, hanging, ending at once,
// missing, and a target window that never answers. The service keeps serving
// other jobs, a job whose program fails still ends in its cleanup, and a job
// stuck on a program ends when the service stops.
#include <gtest/gtest.h>

#include "host/agent_host.h"
#include "support/support.h"

namespace {

using reliability::agent_host;
using test_support::file_exists;
using test_support::has_message;
using test_support::read_log;
using test_support::wait_for_log;

const wchar_t kPrinter[] = L"Program Faults";
const wchar_t kPlain[] = L"Program Faults Plain";        // default settings, for jobs beside
const wchar_t kStatusAccessViolation[] = L"3221225477";  // 0xC0000005, a crash's exit code

std::wstring root_folder(const wchar_t* name) {
    return std::wstring(L"c:\\tmp\\tests\\") + name + L"-" + std::to_wstring(GetCurrentProcessId());
}

class ProgramFaults : public ::testing::Test {
protected:
    ProgramFaults() : folder_(root_folder(L"faults-programs")), agent_(folder_.path()) {
        settings_ = &agent_.add_printer(kPrinter, L"TavirelProgramFaults");
        agent_.add_printer(kPlain, L"TavirelProgramFaultsPlain");
    }

    // Starts the service; the first job loads what every later job reuses,
    // and the baseline follows it.
    void start() {
        test_support::clear_log();
        ASSERT_TRUE(agent_.start()) << read_log();
        ASSERT_TRUE(agent_.warm_up(kPlain)) << read_log();
        ASSERT_TRUE(agent_.figures(baseline_));
        test_support::clear_log();
    }

    // The job's ini path after it was sent.
    std::wstring send_job(const std::wstring& name, const std::string& sections = "") {
        const std::wstring ini = agent_.make_job(name, sections);
        EXPECT_TRUE(reliability::send_message(std::wstring(kPrinter) + L";" + ini + L";alice"));
        return ini;
    }

    bool cleaned_up(const std::wstring& ini, DWORD timeout_ms = 30000) {
        return reliability::eventually([&] { return !file_exists(agent_host::spool_of(ini)); },
                                       timeout_ms);
    }

    void expect_figures_back() {
        reliability::process_figures now;
        EXPECT_TRUE(reliability::back_to_baseline(agent_, baseline_, &now))
            << reliability::describe(baseline_, now);
    }

    reliability::work_folder folder_;
    agent_host agent_;
    test_support::scratch_key* settings_ = nullptr;
    reliability::process_figures baseline_;
};

// A crash is an ending like any other: the job goes on and is delivered.
TEST_F(ProgramFaults, CrashingProgramsLetTheJobGoOn) {
    settings_->set_dword(L"Preprocessing: Enabled", 1);
    start();
    const std::string crash =
        "ExitCode=" + test_support::to_narrow(kStatusAccessViolation) + "\r\n";
    const std::wstring ini =
        send_job(L"crash", "[preproc]\r\n" + crash + "[converter]\r\n" + crash);
    ASSERT_TRUE(cleaned_up(ini)) << read_log();
    EXPECT_TRUE(file_exists(ini + L".preproc.txt"));
    EXPECT_TRUE(file_exists(ini + L".converter.txt"));
    EXPECT_EQ(std::string::npos, read_log().find("message: processing()")) << read_log();
    expect_figures_back();
}

// Missing programs fail their stage; the job still ends in its cleanup.
TEST_F(ProgramFaults, MissingProgramsFailTheirStage) {
    settings_->set_dword(L"Preprocessing: Enabled", 1);
    settings_->set_dword(L"Transfer Mode", 1);
    start();
    struct missing {
        const wchar_t* program;
        std::string error;
    } const cases[] = {
        {L"preproc.exe", "processing(): failed to run_preprocessing()."},
        {L"progress.exe", "processing(): failed to exec_progress()."},
        {L"jobdisp.exe", "processing(): failed to exec_converter()."},
        {L"winrelay.exe", "run_client_app(): failed to exec_winrelay()."},
    };
    for (const missing& c : cases) {
        SCOPED_TRACE(c.error);
        test_support::clear_log();
        const std::wstring program = agent_.install_dir() + L"\\" + c.program;
        const std::wstring aside = program + L".aside";
        ASSERT_TRUE(MoveFileW(program.c_str(), aside.c_str()));
        const std::wstring ini = send_job(L"missing");
        EXPECT_TRUE(wait_for_log(c.error)) << read_log();
        EXPECT_TRUE(cleaned_up(ini)) << read_log();
        agent_.end_job_programs();  // the progress window that a failed converter leaves up
        ASSERT_TRUE(MoveFileW(aside.c_str(), program.c_str()));
    }
    expect_figures_back();
}

// A progress program that ends at once cannot be waited for nor ended: both
// are logged and the job still goes through.
TEST_F(ProgramFaults, ProgressThatEndsAtOnce) {
    const std::wstring progress = agent_.install_dir() + L"\\progress.exe";
    ASSERT_TRUE(CopyFileW(test_support::beside_exe(L"converter_standin.exe").c_str(),
                          progress.c_str(), FALSE));
    start();
    ASSERT_TRUE(agent_.run_job(kPrinter, L"quick-progress")) << read_log();
    EXPECT_TRUE(has_message(
        read_log(), "exec_user_app(): failed to WaitForInputIdle(): wait failed. Use Sleep()."))
        << read_log();
    expect_figures_back();
}

// A hanging converter holds one work thread and nothing else: other jobs go
// through meanwhile, and the job itself goes on once the converter ends.
TEST_F(ProgramFaults, HangingConverterHoldsOnlyItsOwnJob) {
    start();
    const std::wstring hung = send_job(L"hung", "[converter]\r\nDelayMs=600000\r\n");
    ASSERT_TRUE(test_support::wait_for_file(hung + L".converter.txt",
                                            [](const std::string& s) { return !s.empty(); }));
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(agent_.run_job(kPlain, L"beside-" + std::to_wstring(i))) << read_log();
    }
    EXPECT_TRUE(file_exists(agent_host::spool_of(hung)));
    agent_.end_job_programs();
    EXPECT_TRUE(cleaned_up(hung)) << read_log();
    expect_figures_back();
}

// winrelay waits without limit for a window that takes the job but never
// answers; the stop releases the job, and the service stops in time.
TEST_F(ProgramFaults, TargetWindowThatNeverAnswers) {
    CopyFileW(test_support::beside_exe(L"deaf_window.exe").c_str(),
              (agent_.install_dir() + L"\\deaf_window.exe").c_str(), FALSE);
    // Unique, so that no window of an earlier run can answer for it.
    const std::wstring title = L"Deaf Target " + std::to_wstring(GetCurrentProcessId());
    settings_->set_dword(L"Transfer Mode", 1);
    settings_->set_string(L"Target window title", title);
    settings_->set_string(L"Client Application",
                          agent_.install_dir() + L"\\deaf_window.exe \"" + title + L"\"");
    settings_->set_dword(L"Timeout", 1000);
    start();
    const std::wstring ini = send_job(L"deaf");
    // The first winrelay run found no window, the client opened it, and the
    // second run found it and now waits on it.
    ASSERT_TRUE(test_support::wait_for_file(test_support::kLogPath, [](const std::string& log) {
        const std::string trace = "module run_client_app() exec exec_winrelay() in";
        const size_t first = log.find(trace);
        return first != std::string::npos && log.find(trace, first + 1) != std::string::npos;
    })) << read_log();
    EXPECT_TRUE(agent_.run_job(kPlain, L"beside-deaf")) << read_log();
    EXPECT_TRUE(file_exists(agent_host::spool_of(ini)));

    const ULONGLONG stop_at = GetTickCount64();
    ASSERT_TRUE(agent_.stop());
    ASSERT_TRUE(agent_.wait_for(SERVICE_STOPPED, 15000));
    EXPECT_LT(GetTickCount64() - stop_at, 10000u);
    EXPECT_EQ(0u, agent_.exit_code());
    EXPECT_TRUE(wait_for_log("exec_winrelay(): terminate event happens.", 5000)) << read_log();
}

}  // namespace
