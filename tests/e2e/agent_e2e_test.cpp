// The real agent.exe as the Wine service "Agent": printer configuration and
// settings in the real registry, stand-in programs and the real winrelay.exe in
// the installation directory, jobs sent with jobsend.exe. Wine has no user
// sessions, so the printers allow domain users in the self session.
#include <gtest/gtest.h>
#include <windows.h>

#include <memory>

#include "host/installed_service.h"
#include "fakes/scratch_key.h"
#include "support/support.h"

namespace {

using test_support::beside_exe;
using test_support::file_exists;
using test_support::has_error;
using test_support::has_message;
using test_support::kLogPath;
using test_support::read_log;
using test_support::to_narrow;
using test_support::wait_for_file;
using test_support::wait_for_log;
using test_support::wait_for_text;

const wchar_t kTargetTitle[] = L"E2E Target";

bool wait_until_gone(const std::wstring& path) {
    return wait_for_file(path, [&](const std::string&) { return !file_exists(path); });
}

struct printer {
    const wchar_t* name;
    const wchar_t* settings_key;
};
const printer kPrinter = {L"E2E Printer", L"TavirelE2E"};
const printer kStrict = {L"E2E Strict", L"TavirelE2EStrict"};  // no domain users
const printer kNoDir = {L"E2E NoDir", L"TavirelE2ENoDir"};     // no installation directory
const printer kBroken = {L"E2E Broken", L"TavirelE2EBroken"};  // no converter installed

// Everything one agent start needs, removed again at the end.
class agent_env {
public:
    agent_env()
        : scratch_(L"e2e"),
          config_(HKEY_LOCAL_MACHINE, L"Software\\Tavirel\\SrvCfg"),
          service_(beside_exe(L"agent.exe")) {
        install_ = scratch_.file(L"install");
        broken_install_ = scratch_.file(L"broken");
        records_ = scratch_.file(L"started.txt");
        received_ = scratch_.file(L"received.txt");
        CreateDirectoryW(scratch_.file(L"jobs").c_str(), nullptr);
        install_programs(install_, true);
        install_programs(broken_install_, false);

        const printer printers[] = {kPrinter, kStrict, kNoDir, kBroken};
        config_.set_dword(L"count", 4);
        for (int i = 0; i < 4; ++i) {
            config_.set_string((L"printer" + std::to_wstring(i + 1)).c_str(),
                               std::wstring(printers[i].name) + L";" + printers[i].settings_key);
        }
        add_settings(kPrinter, install_, 1);
        add_settings(kStrict, install_, 0);
        add_settings(kNoDir, L"", 1);
        add_settings(kBroken, broken_install_, 1);
        test_support::clear_log();
    }

    ~agent_env() {
        service_.stop();
        service_.wait_for(SERVICE_STOPPED);
        test_support::end_programs_under(scratch_.path());
    }

    e2e::installed_service& service() { return service_; }
    test_support::scratch_key& settings() { return *settings_[0]; }
    const std::wstring& install_dir() const { return install_; }
    const std::wstring& records() const { return records_; }
    const std::wstring& received() const { return received_; }

    // A job's ini and spool file; extra sections steer the stand-ins.
    std::wstring make_job(const std::wstring& name, const std::wstring& converter_delay = L"") {
        const std::wstring ini = scratch_.file(L"jobs\\" + name + L".ini");
        const std::wstring spool = spool_of(ini);
        test_support::write_file(spool, "spool data");
        WritePrivateProfileStringW(L"Spool", L"Type", L"EMF", ini.c_str());
        WritePrivateProfileStringW(L"Spool", L"File0", spool.c_str(), ini.c_str());
        if (!converter_delay.empty()) {
            WritePrivateProfileStringW(L"converter", L"DelayMs", converter_delay.c_str(),
                                       ini.c_str());
        }
        return ini;
    }

    static std::wstring spool_of(const std::wstring& ini) {
        return ini.substr(0, ini.size() - 4) + L".emf";
    }

    static bool send(const printer& target, const std::wstring& ini,
                     const std::wstring& user = L"alice") {
        return test_support::run_process(L"\"" + beside_exe(L"jobsend.exe") + L"\" --printer \"" +
                                         target.name + L"\" --ini \"" + ini + L"\" --user " +
                                         user) == 0;
    }

private:
    void install_programs(const std::wstring& dir, bool with_converter) {
        CreateDirectoryW(dir.c_str(), nullptr);
        struct program {
            const wchar_t* built;
            const wchar_t* installed;
            const wchar_t* role;  // the stand-in's settings section, beside it
        } const programs[] = {
            {L"progress_standin.exe", L"progress", L"progress"},
            {L"converter_standin.exe", L"jobdisp", L"converter"},
            {L"preproc_standin.exe", L"preproc", L"preproc"},
            {L"client_standin.exe", L"client", nullptr},
            {L"winrelay.exe", L"winrelay", nullptr},
        };
        for (const program& p : programs) {
            if (!with_converter && std::wstring(p.installed) == L"jobdisp") continue;
            const std::wstring base = dir + L"\\" + p.installed;
            CopyFileW(beside_exe(p.built).c_str(), (base + L".exe").c_str(), FALSE);
            if (p.role) {
                WritePrivateProfileStringW(p.role, L"Record", records_.c_str(),
                                           (base + L".ini").c_str());
            }
        }
    }

    void add_settings(const printer& target, const std::wstring& dir, DWORD domain_allowed) {
        auto key = std::make_unique<test_support::scratch_key>(
            HKEY_LOCAL_MACHINE, std::wstring(L"Software\\") + target.settings_key);
        key->set_dword(L"Allow domain session", domain_allowed);
        key->set_dword(L"Allow self session", 1);
        if (!dir.empty()) key->set_string(L"Installation Directory", dir);
        key->set_dword(L"Preprocessing: Enabled", 1);
        key->set_string(L"Preprocessing: Application", dir + L"\\preproc.exe");
        key->set_string(L"Client Application",
                        dir + L"\\client.exe -record " + records_ + L" -window \"" + kTargetTitle +
                            L"\" -copydata " + received_ + L" -close-after 1");
        key->set_dword(L"Transfer Mode", 1);
        key->set_string(L"Target window title", kTargetTitle);
        key->set_dword(L"Message ID", 7);
        key->set_dword(L"Timeout", 10000);
        key->set_string(L"Output Directory", scratch_.path());
        settings_.push_back(std::move(key));
    }

    test_support::scratch_dir scratch_;
    test_support::scratch_key config_;
    std::vector<std::unique_ptr<test_support::scratch_key>> settings_;
    e2e::installed_service service_;
    std::wstring install_;
    std::wstring broken_install_;
    std::wstring records_;
    std::wstring received_;
};

TEST(AgentProgram, StartedFromACommandPromptReturnsZeroAndWritesNothing) {
    test_support::clear_log();
    EXPECT_EQ(0, test_support::run_process(L"\"" + beside_exe(L"agent.exe") + L"\""));
    EXPECT_FALSE(file_exists(kLogPath));
}

TEST(AgentService, MissingCountStopsTheStartAndReportsWhy) {
    agent_env env;
    test_support::scratch_key config(HKEY_LOCAL_MACHINE, L"Software\\Tavirel\\SrvCfg");
    ASSERT_TRUE(env.service().installed());
    ASSERT_TRUE(env.service().start());
    ASSERT_TRUE(env.service().wait_for(SERVICE_STOPPED));
    const SERVICE_STATUS status = env.service().status();
    const std::string log = read_log();
    const size_t reader =
        log.find("message: read_srvregcfg(): failed to get settings via registry keys.");
    const size_t start = log.find("message: service_main(): failed to read_srvregcfg().");
    EXPECT_LT(reader, start) << log;
    EXPECT_NE(std::string::npos, start);
    // A failed start is no success: the stopped report names the failure.
    EXPECT_NE(0u, status.dwWin32ExitCode);
    EXPECT_TRUE(has_error(log, "service_main(): failed to read_srvregcfg().",
                          static_cast<int>(status.dwWin32ExitCode)))
        << log;
}

// One running agent for the job cases; each case clears the log first.
class RunningAgent : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        env = new agent_env;
        ASSERT_TRUE(env->service().start());
        ASSERT_TRUE(env->service().wait_for(SERVICE_RUNNING));
    }
    static void TearDownTestSuite() {
        ASSERT_TRUE(env->service().stop());
        EXPECT_TRUE(env->service().wait_for(SERVICE_STOPPED));
        EXPECT_EQ(0u, env->service().status().dwWin32ExitCode);
        delete env;
        env = nullptr;
    }
    void SetUp() override {
        ASSERT_EQ(static_cast<DWORD>(SERVICE_RUNNING), env->service().status().dwCurrentState);
        test_support::clear_log();
        DeleteFileW(env->records().c_str());
    }

    static agent_env* env;
};
agent_env* RunningAgent::env = nullptr;

TEST_F(RunningAgent, JobRunsEveryProgramInOrderAndReachesTheWindow) {
    const std::wstring ini = env->make_job(L"ok");
    ASSERT_TRUE(agent_env::send(kPrinter, ini));
    ASSERT_TRUE(wait_for_text(env->received(), to_narrow(ini))) << read_log();
    ASSERT_TRUE(wait_until_gone(agent_env::spool_of(ini))) << read_log();
    ASSERT_TRUE(wait_for_log("cleanup_print_files(): Spool file was deleted.")) << read_log();

    const std::string received = test_support::read_file(env->received());
    EXPECT_NE(std::string::npos, received.find("id=7 ")) << received;
    EXPECT_NE(std::string::npos, received.find("text=" + to_narrow(ini))) << received;

    const std::string started = test_support::read_file(env->records());
    const std::string dir = to_narrow(env->install_dir());
    const std::string job = to_narrow(ini);
    const size_t preproc = started.find("cmd=" + dir + "\\preproc.exe \"" + job + "\"\r\n");
    const size_t progress = started.find("cmd=" + dir + "\\progress.exe " + job + "\r\n");
    const size_t converter = started.find("cmd=" + dir + "\\jobdisp.exe " + job + "\r\n");
    const size_t client = started.find(dir + "\\client.exe -record ");
    ASSERT_NE(std::string::npos, preproc) << started;
    EXPECT_LT(preproc, progress) << started;
    EXPECT_LT(progress, converter) << started;
    EXPECT_LT(converter, client) << started;

    // No window at first: winrelay missed once, the client opened it, the second run delivered.
    const std::string log = read_log();
    EXPECT_EQ(1u, test_support::count_log_messages(log, "main(): can't find target window."));
    EXPECT_EQ(std::string::npos, log.find("message: processing()")) << log;
    EXPECT_TRUE(file_exists(ini));
}

TEST_F(RunningAgent, RefusedJobsLeaveTheirFilesAlone) {
    struct refusal {
        printer target;
        const wchar_t* user;
        std::string error;
        int code;
    } const cases[] = {
        {{L"Unknown Printer", L""},
         L"alice",
         "processing(): can't find printer's record in the table.",
         87},
        {kStrict, L"nobody", "processing(): failed to find_session_id(\"nobody\").", 87},
    };
    for (const refusal& c : cases) {
        SCOPED_TRACE(c.error);
        test_support::clear_log();
        const std::wstring ini = env->make_job(L"refused");
        ASSERT_TRUE(agent_env::send(c.target, ini, c.user));
        ASSERT_TRUE(wait_for_log(c.error)) << read_log();
        EXPECT_TRUE(has_error(read_log(), c.error, c.code)) << read_log();
        EXPECT_TRUE(file_exists(agent_env::spool_of(ini)));
        EXPECT_FALSE(file_exists(env->records()));
    }
}

TEST_F(RunningAgent, MissingInstallationDirectoryStillRemovesTheSpoolFile) {
    const std::wstring ini = env->make_job(L"nodir");
    ASSERT_TRUE(agent_env::send(kNoDir, ini));
    ASSERT_TRUE(wait_until_gone(agent_env::spool_of(ini))) << read_log();
    EXPECT_TRUE(has_message(
        read_log(), "processing(): failed to get \"Installation Directory\" value via HKLM hive."));
    EXPECT_FALSE(file_exists(env->records()));
}

TEST_F(RunningAgent, FailedConverterLeavesTheProgressWindowUpAndSkipsDelivery) {
    const std::wstring ini = env->make_job(L"broken");
    ASSERT_TRUE(agent_env::send(kBroken, ini));
    ASSERT_TRUE(wait_until_gone(agent_env::spool_of(ini))) << read_log();
    const std::string log = read_log();
    EXPECT_TRUE(has_message(log, "processing(): failed to exec_converter()."));
    EXPECT_FALSE(has_message(log, "processing(): failed to run_client_app()."));
    const std::string started = test_support::read_file(env->records());
    EXPECT_EQ(std::string::npos, started.find("client.exe")) << started;
    const size_t pid_at = started.rfind("pid=", started.find("progress.exe"));
    ASSERT_NE(std::string::npos, pid_at) << started;
    HANDLE window = OpenProcess(SYNCHRONIZE, FALSE, std::stoul(started.substr(pid_at + 4)));
    ASSERT_TRUE(window);
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(window, 0));
    CloseHandle(window);
}

TEST(AgentStop, StopWhileTheConverterRunsCleansUpAndStops) {
    agent_env env;
    ASSERT_TRUE(env.service().start());
    ASSERT_TRUE(env.service().wait_for(SERVICE_RUNNING));
    const std::wstring ini = env.make_job(L"slow", L"60000");
    ASSERT_TRUE(agent_env::send(kPrinter, ini));
    ASSERT_TRUE(wait_for_text(env.records(), "jobdisp.exe")) << read_log();

    ASSERT_TRUE(env.service().stop());
    ASSERT_TRUE(env.service().wait_for(SERVICE_STOPPED));
    EXPECT_EQ(0u, env.service().status().dwWin32ExitCode);
    const std::string log = read_log();
    EXPECT_TRUE(has_message(log, "exec_converter(): terminate event happens."));
    EXPECT_TRUE(has_message(log, "processing(): failed to exec_converter()."));
    EXPECT_TRUE(has_message(log, "driver_serv_proc(): terminate event happened."));
    EXPECT_FALSE(file_exists(agent_env::spool_of(ini)));
    EXPECT_FALSE(file_exists(env.received()));
}

// The client's input-idle wait ignores the terminate event, so this job
// outlives the pipe thread's 2000 ms: the stop must still finish and the
// process end without the job touching the released tables.
TEST(AgentStop, StopDuringAJobThatOutlivesThePipeThread) {
    agent_env env;
    env.settings().set_string(L"Client Application", env.install_dir() + L"\\client.exe -record " +
                                                         env.records() + L" -delay 60000");
    env.settings().set_dword(L"Timeout", 60000);
    ASSERT_TRUE(env.service().start());
    ASSERT_TRUE(env.service().wait_for(SERVICE_RUNNING));
    const std::wstring ini = env.make_job(L"stuck");
    ASSERT_TRUE(agent_env::send(kPrinter, ini));
    ASSERT_TRUE(wait_for_text(env.records(), "client.exe")) << read_log();

    ASSERT_TRUE(env.service().stop());
    ASSERT_TRUE(env.service().wait_for(SERVICE_STOPPED, 20000));
    EXPECT_EQ(0u, env.service().status().dwWin32ExitCode);
    const std::string log = read_log();
    EXPECT_TRUE(has_message(log, "driver_serv_proc(): terminate event happened."));
    EXPECT_EQ(std::string::npos, log.find("message: processing()")) << log;
    // The job was cut off before its cleanup.
    EXPECT_TRUE(file_exists(agent_env::spool_of(ini)));
}

}  // namespace
