// What every job stage does alike, one table over the stages: a command line
// that does not fit its buffer, and, for the stages that wait for their
// program, a wait that fails and the service's terminate event before and
// during that wait.
#include <cwchar>
#include <ostream>
#include <string>

#include "agent/Service/job/preprocessing.h"
#include "agent/Service/job/progress_converter.h"
#include "agent/Service/job/stage_fixture.h"

using test_support::count_log_messages;
using test_support::read_log;

namespace stage_tests {
namespace {

// What a stage is handed, and the progress window it hands back.
struct stage_call {
    test_support::scratch_key& machine;  // the printer's machine-wide settings
    std::wstring install_dir;
    std::wstring job_ini;
    std::wstring application;  // "Preprocessing: Application"
    HANDLE progress;
};

struct stage {
    const char* name;
    const wchar_t* role;  // whose record its stand-in writes
    // Makes the stand-in the stage's program.
    void (*install)(stage_call&);
    bool (*run)(stage_call&);
    // Makes the stage's command line this many units long, terminator aside.
    void (*lengthen)(stage_call&, size_t units);
    size_t command_units;  // its command line's buffer, terminator included
    const char* too_long;
    // For the stages that wait for their program (nullptr for the others):
    const char* wait_failed;
    const char* terminated;
    bool ends_program_on_terminate;
};

std::wstring padding(size_t units) { return std::wstring(units, L'x'); }

// An installed program's command line: "<dir>\<program> <job ini>"; the job
// ini path is made longer, nothing needs to exist there.
void lengthen_job_ini(stage_call& call, const wchar_t* program, size_t units) {
    const size_t fixed = call.install_dir.size() + 1 + wcslen(program) + 1 + wcslen(L"c:\\");
    call.job_ini = L"c:\\" + padding(units - fixed);
}

const stage kPreprocessing = {
    "preprocessing",
    L"preproc",
    [](stage_call& call) {
        call.machine.set_dword(L"Preprocessing: Enabled", 1);
        call.machine.set_string(L"Preprocessing: Application", call.application);
    },
    [](stage_call& call) {
        return run_preprocessing(kSettingsKeyName, call.job_ini.c_str(), kUserSession);
    },
    // "<application> "<job ini>"", with arguments of its own in the application.
    [](stage_call& call, size_t units) {
        const size_t fixed = call.application.size() + 1 + call.job_ini.size() + 3;
        call.application += L" " + padding(units - fixed);
        call.machine.set_string(L"Preprocessing: Application", call.application);
    },
    2048,
    "run_preprocessing(): failed to format_fitting().",
    "run_preprocessing(): failed to WaitForMultipleObjects().",
    "run_preprocessing(): terminate event happens.",
    true,
};

const stage kProgress = {
    "progress",
    L"progress",
    [](stage_call&) {},
    [](stage_call& call) {
        return exec_progress(call.install_dir.c_str(), call.job_ini.c_str(), &call.progress,
                             kUserSession);
    },
    [](stage_call& call, size_t units) { lengthen_job_ini(call, L"progress.exe", units); },
    1024,
    "exec_progress(): failed to format_fitting().",
    nullptr,
    nullptr,
    false,
};

const stage kConverter = {
    "converter",
    L"converter",
    [](stage_call&) {},
    [](stage_call& call) {
        return exec_converter(call.install_dir.c_str(), call.job_ini.c_str(), kUserSession);
    },
    [](stage_call& call, size_t units) { lengthen_job_ini(call, L"jobdisp.exe", units); },
    1024,
    "exec_converter(): failed to format_fitting().",
    "exec_converter(): failed to WaitForMultipleObjects().",
    "exec_converter(): terminate event happens.",
    false,
};

const stage kEveryStage[] = {kPreprocessing, kProgress, kConverter};
const stage kWaitingStages[] = {kPreprocessing, kConverter};

std::string stage_name(const testing::TestParamInfo<stage>& info) { return info.param.name; }
void PrintTo(const stage& s, std::ostream* out) { *out << s.name; }

class stage_case_test : public stage_test, public testing::WithParamInterface<stage> {
protected:
    stage_case_test()
        : stage_(GetParam()),
          call_{machine_, install_dir(), job_ini(),
                L"\"" + test_support::beside_exe(L"preproc_standin.exe") + L"\"", nullptr} {
        stage_.install(call_);
    }
    ~stage_case_test() override {
        if (call_.progress) {
            TerminateProcess(call_.progress, 0);
            CloseHandle(call_.progress);
        }
    }

    bool run() { return stage_.run(call_); }

    // The job ini with these settings for the stage's stand-in, which says
    // when it has started.
    void write_job(const std::string& settings) const {
        write_job_ini("[Spool]\r\nType=EMF\r\n[" + test_support::to_narrow(stage_.role) + "]\r\n" +
                      settings + "Signal=" + kStartedEvent + "\r\n");
    }
    // Runs far longer than any wait of a test; exits with 9 if it ends on its own.
    void write_long_running_job() const { write_job("ExitCode=9\r\nDelayMs=60000\r\n"); }

    // After the terminate event: the stage has ended its program, or left it
    // running (it is ended here then).
    void expect_program_after_terminate(HANDLE program) const {
        if (stage_.ends_program_on_terminate) {
            EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(program, kGuardMs));
            DWORD exit_code = 9;
            GetExitCodeProcess(program, &exit_code);
            EXPECT_EQ(0u, exit_code);
        } else {
            EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(program, 0));
            TerminateProcess(program, 0);
            WaitForSingleObject(program, kGuardMs);
        }
    }

    const stage& stage_;
    stage_call call_;
};

class every_stage_test : public stage_case_test {};
class waiting_stage_test : public stage_case_test {};

INSTANTIATE_TEST_SUITE_P(stages, every_stage_test, testing::ValuesIn(kEveryStage), stage_name);
INSTANTIATE_TEST_SUITE_P(stages, waiting_stage_test, testing::ValuesIn(kWaitingStages), stage_name);

// A cut command line would start the wrong program or hand it the wrong file.
TEST_P(every_stage_test, a_command_line_one_unit_too_long_is_refused) {
    stage_.lengthen(call_, stage_.command_units);

    EXPECT_FALSE(run());

    EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());
    EXPECT_EQ(nullptr, call_.progress);
    EXPECT_EQ("", recorded_command(stage_.role));
    const std::string log = read_log();
    EXPECT_EQ(1u, count_log_messages(log, stage_.too_long)) << log;
    EXPECT_EQ(std::string::npos, log.find("exec_user_app")) << log;
}

TEST_P(waiting_stage_test, a_wait_that_fails_fails_the_stage) {
    write_job("");
    ASSERT_TRUE(state_.release(INFINITE, terminate_event_after::closed));  // nothing to wait on

    EXPECT_FALSE(run());

    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
    const std::string log = read_log();
    EXPECT_EQ(1u, count_log_messages(log, stage_.wait_failed)) << log;
    EXPECT_NE(std::string::npos, log.find("errcode: 6\r\n")) << log;
    wait_for_end_of(stage_.role);
}

TEST_P(waiting_stage_test, a_terminate_event_set_before_the_stage_still_wins) {
    write_long_running_job();
    terminate_now();

    EXPECT_FALSE(run());

    EXPECT_EQ(1u, count_log_messages(read_log(), stage_.terminated));
    // One that the stage ends may be gone before it could say it started.
    if (!stage_.ends_program_on_terminate) {
        const owned::unique_handle program = open_started_process(stage_.role);
        ASSERT_TRUE(program);
        expect_program_after_terminate(program.get());
    }
}

TEST_P(waiting_stage_test, the_terminate_event_ends_the_wait) {
    write_long_running_job();
    bool result = true;
    owned::unique_handle program;

    test_support::run_threads(2, [&](int i) {
        if (i == 0)
            result = run();
        else
            program = terminate_after_start(stage_.role);
    });

    EXPECT_FALSE(result);
    ASSERT_TRUE(program);
    expect_program_after_terminate(program.get());
    EXPECT_EQ(1u, count_log_messages(read_log(), stage_.terminated));
}

}  // namespace
}  // namespace stage_tests
