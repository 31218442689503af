// processing() with the real stages and stand-in programs, scripted sessions
// and a recording spooler.
#include <gtest/gtest.h>

#include "agent/Service/job/dispatch.h"
#include "agent/Service/state/service_state.h"
#include "agent/Service/job/client_tokens.h"
#include "agent/Service/job/job_env.h"

namespace {

using service_tests::job_env;
using test_support::file_exists;
using test_support::has_error;
using test_support::has_message;
using test_support::read_log;

size_t count(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

DWORD pid_of(const std::string& records, const std::string& program) {
    const size_t at = records.rfind("pid=", records.find(program));
    return at == std::string::npos ? 0 : std::strtoul(records.c_str() + at + 4, nullptr, 10);
}

struct split_case {
    const char* name;
    std::wstring message;
    bool runs;
};

TEST(Dispatch, SplitsTheMessageLikeATokenizer) {
    job_env env(L"dispatch-split");
    env.settings().set_dword(L"Transfer Mode", 2);  // nothing runs after the job returns
    const std::wstring ini = env.job_ini();
    const std::wstring long_name(1023, L'P');
    env.state().printers()[long_name] = service_tests::kSettingsKey;
    const split_case cases[] = {
        {"plain", L"P1;" + ini + L";alice", true},
        {"leading, repeated and extra separators", L";P1;;" + ini + L";alice;extra", true},
        {"printer name cut to 1023", long_name + std::wstring(477, L'Q') + L";" + ini + L";alice",
         true},
        {"empty", L"", false},
        {"two fields", L"P1;" + ini, false},
        {"only separators", L";;;", false},
    };
    for (const split_case& c : cases) {
        SCOPED_TRACE(c.name);
        test_support::clear_log();
        DeleteFileW(env.record_file().c_str());
        EXPECT_EQ(0, processing(c.message.c_str(), env.token()));
        const std::string started = env.records();
        if (c.runs) {
            EXPECT_NE(std::string::npos,
                      started.find("jobdisp.exe " + test_support::to_narrow(ini)));
        } else {
            EXPECT_TRUE(started.empty());
            EXPECT_TRUE(has_error(read_log(), "processing(): invalid input parameter.", 87));
            EXPECT_EQ(1u, count(read_log(), "ERROR:"));
        }
    }
}

TEST(Dispatch, UnknownPrinterOrUserEndsTheJobWithoutCleanup) {
    job_env env(L"dispatch-refused");
    env.settings().set_dword(L"Allow self session", 0);
    struct refusal {
        std::wstring message;
        std::string error;
        int code;
    } const cases[] = {
        {L"p1;" + env.job_ini() + L";alice",
         "processing(): can't find printer's record in the table.", 87},
        {env.message(L"bob"), "processing(): failed to find_session_id(\"bob\").", 87},
    };
    for (const refusal& c : cases) {
        test_support::clear_log();
        processing(c.message.c_str(), env.token());
        EXPECT_TRUE(has_error(read_log(), c.error, c.code)) << read_log();
        EXPECT_TRUE(env.records().empty());
        EXPECT_TRUE(env.cleaned_printers().empty());
        EXPECT_TRUE(file_exists(env.spool_file()));
    }
}

TEST(Dispatch, MissingInstallationDirectoryStillCleansUp) {
    job_env env(L"dispatch-nodir");
    env.settings().remove(L"Installation Directory");
    processing(env.message().c_str(), env.token());
    const std::string log = read_log();
    EXPECT_TRUE(has_message(
        log, "processing(): failed to get \"Installation Directory\" value via HKLM hive."));
    EXPECT_TRUE(env.records().empty());
    EXPECT_EQ(std::vector<std::wstring>{service_tests::kPrinter}, env.cleaned_printers());
    EXPECT_FALSE(file_exists(env.spool_file()));
    EXPECT_TRUE(file_exists(env.job_ini()));
}

TEST(Dispatch, SuccessfulJobRunsTheStagesInOrder) {
    job_env env(L"dispatch-success");
    env.set_job(L"progress", L"ExitCode", L"9");     // an own exit would give 9, the agent's end 0
    env.set_job(L"converter", L"ExitCode", L"5");    // the converter's code is not looked at
    env.set_job(L"converter", L"DelayMs", L"1000");  // the window is opened while it is up
    HANDLE window = nullptr;
    const std::wstring message = env.message();
    test_support::run_threads(2, [&](int index) {
        if (index == 0) {
            processing(message.c_str(), env.token());
        } else if (env.wait_for_record("progress.exe")) {
            window = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE,
                                 pid_of(env.records(), "progress.exe"));
        }
    });

    const std::string ini = test_support::to_narrow(env.job_ini());
    const std::string dir = test_support::to_narrow(env.install_dir());
    ASSERT_TRUE(env.wait_for_record("client.exe")) << env.records();
    const std::string started = env.records();
    const size_t progress = started.find("cmd=" + dir + "\\progress.exe " + ini + "\r\n");
    const size_t converter = started.find("cmd=" + dir + "\\jobdisp.exe " + ini + "\r\n");
    const size_t client = started.find(dir + "\\client.exe -record ");
    ASSERT_NE(std::string::npos, progress) << started;
    ASSERT_NE(std::string::npos, converter) << started;
    ASSERT_NE(std::string::npos, client) << started;
    EXPECT_LT(progress, converter);
    EXPECT_LT(converter, client);
    EXPECT_NE(std::string::npos, started.find("\"" + ini + "\"", client));

    ASSERT_TRUE(window);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(window, 10000));
    DWORD exit_code = 1;
    GetExitCodeProcess(window, &exit_code);
    CloseHandle(window);
    EXPECT_EQ(0u, exit_code);

    const std::string log = read_log();
    EXPECT_EQ(std::string::npos, log.find("message: processing()")) << log;
    const size_t converter_trace = log.find("module processing() exec exec_converter()");
    const size_t delivery_trace = log.find("module run_client_app() exec");
    const size_t cleanup_trace = log.find("module processing() exec cleanup_print_jobs()");
    EXPECT_LT(converter_trace, delivery_trace);
    EXPECT_LT(delivery_trace, cleanup_trace);
    EXPECT_NE(std::string::npos, cleanup_trace);
    EXPECT_EQ(std::vector<std::wstring>{service_tests::kPrinter}, env.cleaned_printers());
    EXPECT_FALSE(file_exists(env.spool_file()));
    EXPECT_TRUE(file_exists(env.job_ini()));
}

TEST(Dispatch, FailedConverterLeavesTheProgressWindowAndSkipsDelivery) {
    job_env env(L"dispatch-noconverter");
    DeleteFileW((env.install_dir() + L"\\jobdisp.exe").c_str());
    processing(env.message().c_str(), env.token());

    const std::string started = env.records();
    EXPECT_EQ(std::string::npos, started.find("client.exe")) << started;
    HANDLE window = OpenProcess(SYNCHRONIZE, FALSE, pid_of(started, "progress.exe"));
    ASSERT_TRUE(window);
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(window, 0));
    CloseHandle(window);

    const std::string log = read_log();
    EXPECT_TRUE(has_message(log, "processing(): failed to exec_converter()."));
    EXPECT_FALSE(has_message(log, "processing(): failed to run_client_app()."));
    EXPECT_FALSE(file_exists(env.spool_file()));
}

TEST(Dispatch, TerminateEventDuringTheConverterGoesToCleanup) {
    job_env env(L"dispatch-terminate");
    HANDLE converter_started = CreateEventW(nullptr, TRUE, FALSE, L"service_test_converter");
    env.set_job(L"converter", L"Signal", L"service_test_converter");
    env.set_job(L"converter", L"DelayMs", L"60000");
    const std::wstring message = env.message();
    test_support::run_threads(2, [&](int index) {
        if (index == 0) {
            processing(message.c_str(), env.token());
        } else {
            WaitForSingleObject(converter_started, 30000);
            SetEvent(terminate_event());
        }
    });
    CloseHandle(converter_started);

    const std::string log = read_log();
    EXPECT_TRUE(has_message(log, "exec_converter(): terminate event happens."));
    EXPECT_TRUE(has_message(log, "processing(): failed to exec_converter()."));
    EXPECT_EQ(std::string::npos, env.records().find("client.exe"));
    EXPECT_EQ(std::vector<std::wstring>{service_tests::kPrinter}, env.cleaned_printers());
    EXPECT_FALSE(file_exists(env.spool_file()));
}

TEST(Dispatch, ConcurrentJobsKeepTheirOwnFields) {
    job_env env(L"dispatch-concurrent");
    env.settings().set_dword(L"Transfer Mode", 2);
    constexpr int kJobs = 4;
    std::wstring inis[kJobs];
    for (int i = 0; i < kJobs; ++i) inis[i] = env.add_job_ini(L"job" + std::to_wstring(i));
    test_support::run_threads(kJobs, [&](int i) {
        const std::wstring message = L";;P1;" + inis[i] + L";;alice;x" + std::to_wstring(i);
        processing(message.c_str(), env.token());
    });
    const std::string started = env.records();
    for (const std::wstring& ini : inis) {
        EXPECT_EQ(1u, count(started, "jobdisp.exe " + test_support::to_narrow(ini) + "\r\n"));
    }
    EXPECT_EQ(static_cast<size_t>(kJobs), env.cleaned_printers().size());
}

// Who sent the job decides whom it may name; a refused job starts nothing and
// cleans nothing up.
TEST(Dispatch, RefusedClientsTouchNothing) {
    job_env env(L"dispatch-clients");
    const owned::unique_handle filtered = service_tests::filtered_token();
    ASSERT_TRUE(filtered);
    const std::string me = test_support::to_narrow(service_tests::own_account());
    struct refusal {
        const char* name;
        HANDLE token;
        std::string error;
    } const cases[] = {
        {"identity unreadable", nullptr,
         "processing(): can't read the client's identity; the job is refused."},
        {"an ordinary client naming another user", filtered.get(),
         "processing(): client \"" + me + "\" may not name user \"alice\"."},
    };
    for (const refusal& c : cases) {
        SCOPED_TRACE(c.name);
        test_support::clear_log();
        processing(env.message().c_str(), c.token);
        const std::string log = read_log();
        EXPECT_TRUE(has_error(log, c.error, ERROR_ACCESS_DENIED)) << log;
        EXPECT_EQ(1u, count(log, "ERROR:")) << log;
        EXPECT_TRUE(env.records().empty());
        EXPECT_TRUE(env.cleaned_printers().empty());
        EXPECT_TRUE(file_exists(env.spool_file()));
    }
}

// An ordinary client names its own account in any case; its job then runs in
// its own session, or in the self session where that is allowed, with the
// job's files read and deleted as the client.
TEST(Dispatch, AnOrdinaryClientMayNameItsOwnAccount) {
    job_env env(L"dispatch-own");
    env.settings().set_dword(L"Transfer Mode", 2);
    const owned::unique_handle filtered = service_tests::filtered_token();
    ASSERT_TRUE(filtered);
    std::wstring name = service_tests::own_account();
    ASSERT_FALSE(name.empty());
    name[0] = IsCharUpperW(name[0]) ? towlower(name[0]) : towupper(name[0]);
    env.state().sessions()[name] = 1;  // the scripted session hands out this process's token
    for (DWORD self : {0u, 1u}) {
        SCOPED_TRACE(self ? "self session" : "own session");
        test_support::clear_log();
        DeleteFileW(env.record_file().c_str());
        test_support::write_file(env.spool_file(), "spool data");
        env.settings().set_dword(L"Allow self session", self);
        processing(env.message(name).c_str(), filtered.get());
        const std::string log = read_log();
        EXPECT_EQ(std::string::npos, log.find("message: processing()")) << log;
        EXPECT_NE(std::string::npos, env.records().find("jobdisp.exe")) << env.records();
        EXPECT_FALSE(file_exists(env.spool_file()));
    }
}

// Between the terminate event and the pipe server's stop a work thread can
// still take a queued message: that job must start and delete nothing.
TEST(Dispatch, AJobTakenAfterTheTerminateEventStartsNothing) {
    job_env env(L"dispatch-stopping");
    SetEvent(terminate_event());
    processing(env.message().c_str(), env.token());
    const std::string log = read_log();
    EXPECT_EQ(1u, test_support::count_log_messages(
                      log, "processing(): the service is stopping; the job is dropped."))
        << log;
    EXPECT_EQ(std::string::npos, log.find("ERROR:")) << log;
    EXPECT_TRUE(env.records().empty()) << env.records();
    EXPECT_TRUE(env.cleaned_printers().empty());
    EXPECT_TRUE(file_exists(env.spool_file()));
}

}  // namespace
