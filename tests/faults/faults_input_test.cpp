// Bad producers, bad job messages and broken registry values against one
// running agent service. After every case the service still runs in the same
// process, the next good job goes through, the log names what went wrong, and
// the service's handle count and private memory are back at their baseline.
#include <gtest/gtest.h>

#include <memory>
#include <random>

#include "host/agent_host.h"
#include "jobsend/pipe_client.h"
#include "support/support.h"

namespace {

using reliability::agent_host;
using test_support::file_exists;
using test_support::has_error;
using test_support::read_log;
using test_support::to_narrow;
using test_support::wait_for_log;

const wchar_t kGood[] = L"Fault Printer";
const wchar_t kGoodKey[] = L"TavirelFaults";
const wchar_t kStrict[] = L"Fault Strict";  // no domain users
const wchar_t kNoKey[] = L"Fault NoKey";    // its settings key does not exist
const wchar_t kLong[] = L"Fault Long";      // settings key name of 1000 characters

// Four components of 249 characters and three separators: 1000 in all.
std::wstring long_key_name() {
    std::wstring name;
    for (wchar_t part = L'a'; part < L'e'; ++part) {
        if (!name.empty()) name += L'\\';
        name += std::wstring(249, part);
    }
    return name;
}

class RunningAgent : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        folder = new reliability::work_folder(L"c:\\tmp\\tests\\faults-input-" +
                                              std::to_wstring(GetCurrentProcessId()));
        agent = new agent_host(folder->path());
        good = &agent->add_printer(kGood, kGoodKey);
        agent->add_printer(kStrict, L"TavirelFaultsStrict").set_dword(L"Allow domain session", 0);
        agent->add_printer_value(std::wstring(kNoKey) + L";TavirelFaultsMissing");
        // The long name is a path of nested keys; the outer key takes them all away.
        long_root = new test_support::scratch_key(HKEY_LOCAL_MACHINE,
                                                  L"Software\\" + std::wstring(249, L'a'));
        test_support::scratch_key& long_key = agent->add_printer(kLong, long_key_name());
        ASSERT_TRUE(long_key.set_dword(L"Allow self session", 1));

        test_support::clear_log();
        ASSERT_TRUE(agent->start()) << read_log();
        pid = agent->pid();
        ASSERT_TRUE(agent->warm_up(kGood)) << read_log();
        ASSERT_TRUE(agent->figures(baseline));
    }

    static void TearDownTestSuite() {
        EXPECT_TRUE(agent->stop());
        EXPECT_TRUE(agent->wait_for(SERVICE_STOPPED));
        delete agent;
        delete long_root;
        delete folder;
    }

    void SetUp() override {
        ASSERT_TRUE(agent->running());
        test_support::clear_log();
    }

    // Every case ends with a good job going through the same, still running
    // service, and the figures back where they were.
    void TearDown() override {
        EXPECT_EQ(pid, agent->pid());
        EXPECT_TRUE(run_good_job(L"after")) << read_log();
        reliability::process_figures now;
        EXPECT_TRUE(reliability::back_to_baseline(*agent, baseline, &now))
            << reliability::describe(baseline, now);
    }

    static bool run_good_job(const std::wstring& name, const wchar_t* printer = kGood) {
        return agent->run_job(printer, name);
    }

    static reliability::work_folder* folder;
    static agent_host* agent;
    static test_support::scratch_key* good;
    static test_support::scratch_key* long_root;
    static DWORD pid;
    static reliability::process_figures baseline;
};
reliability::work_folder* RunningAgent::folder = nullptr;
agent_host* RunningAgent::agent = nullptr;
test_support::scratch_key* RunningAgent::good = nullptr;
test_support::scratch_key* RunningAgent::long_root = nullptr;
DWORD RunningAgent::pid = 0;
reliability::process_figures RunningAgent::baseline;

// The system closes a dead producer's handles: the server sees the same
// broken pipe as here.
TEST_F(RunningAgent, ProducerThatDiesBeforeWritingIsDropped) {
    for (int i = 0; i < 3; ++i) {
        owned::unique_file pipe;
        ASSERT_EQ(job_pipe::send_result::sent, job_pipe::open(10000, pipe));
    }
    ASSERT_TRUE(reliability::eventually([] {
        return test_support::count_log_messages(
                   read_log(), "pipe_srv_read_pipe_proc(): failed to ReadFile().") == 3;
    }));
    EXPECT_TRUE(has_error(read_log(), "pipe_srv_read_pipe_proc(): failed to ReadFile().",
                          ERROR_BROKEN_PIPE))
        << read_log();
}

// A silent producer holds the one pipe instance until the server gives up on
// it; a producer waiting behind it then gets through.
TEST_F(RunningAgent, SilentProducerGivesThePipeBackToTheNext) {
    owned::unique_file silent;
    ASSERT_EQ(job_pipe::send_result::sent, job_pipe::open(10000, silent));
    const ULONGLONG start = GetTickCount64();
    ASSERT_TRUE(run_good_job(L"behind-silent"));
    const ULONGLONG waited = GetTickCount64() - start;
    EXPECT_TRUE(
        has_error(read_log(), "pipe_srv_read_pipe_proc(): failed to ReadFile().", ERROR_TIMEOUT))
        << read_log();
    EXPECT_LT(waited, 20000u);
}

TEST_F(RunningAgent, OversizedAndRandomMessagesAreRejectedOrRefused) {
    std::vector<unsigned char> bytes(8193, 'A');
    ASSERT_TRUE(reliability::send_bytes(bytes.data(), static_cast<DWORD>(bytes.size())));
    ASSERT_TRUE(wait_for_log("pipe_srv_read_pipe_proc(): failed to ReadFile().")) << read_log();
    EXPECT_TRUE(
        has_error(read_log(), "pipe_srv_read_pipe_proc(): failed to ReadFile().", ERROR_MORE_DATA));

    std::mt19937 random(9);
    for (unsigned char& byte : bytes) byte = static_cast<unsigned char>(random());
    ASSERT_TRUE(reliability::send_bytes(bytes.data(), 8192));
    // Random units hold no job ini path and no printer of the table: refused
    // as a whole.
    EXPECT_TRUE(reliability::eventually([] {
        const std::string log = read_log();
        return log.find("message: processing(): job ini path is not a plain local path.") !=
                   std::string::npos ||
               log.find("message: processing(): can't find printer's record in the table.") !=
                   std::string::npos ||
               log.find("message: processing(): invalid input parameter.") != std::string::npos;
    })) << read_log();
}

TEST_F(RunningAgent, BadJobMessagesAreRefusedWithTheirReason) {
    const std::wstring ini = agent->make_job(L"refused");
    const std::wstring strict = std::wstring(kStrict) + L";" + ini + L";";
    const std::string not_plain = "processing(): job ini path is not a plain local path.";
    struct bad_message {
        std::wstring text;
        std::string error;
        int code = ERROR_INVALID_PARAMETER;
    } const cases[] = {
        {L";;;", "processing(): invalid input parameter."},
        {kGood, "processing(): invalid input parameter."},
        {std::wstring(kGood) + L";" + ini, "processing(): invalid input parameter."},
        {std::wstring(kGood) + L";" + ini + std::wstring(1, L'\0') + L";alice",
         "processing(): invalid input parameter."},
        {L"Unknown Printer;" + ini + L";alice",
         "processing(): can't find printer's record in the table."},
        // Cut to 1023 characters, the name is no printer of the table.
        {std::wstring(kStrict) + std::wstring(1500, L'x') + L";" + ini + L";alice",
         "processing(): can't find printer's record in the table."},
        {strict + L"nobody", "processing(): failed to find_session_id(\"nobody\")."},
        {strict + L"bob" + std::wstring(1, L'\0') + L"tail",
         "processing(): failed to find_session_id(\"bob\")."},
        {L";;;" + strict + L";;carol;;extra;",
         "processing(): failed to find_session_id(\"carol\")."},
        {strict + std::wstring(3000, L'u'),
         "processing(): failed to find_session_id(\"" + std::string(1023, 'u') + "\")."},
        {strict + L"\u00e9\u4e2d", "processing(): failed to find_session_id(\"\xe9?\")."},
        // Only plain local job ini paths are opened, and before the printer is looked at.
        {L"Unknown Printer;jobs\\refused.ini;alice", not_plain, ERROR_BAD_PATHNAME},
        {std::wstring(kGood) + L";\\\\?\\" + ini + L";alice", not_plain, ERROR_BAD_PATHNAME},
        {std::wstring(kGood) + L";\\\\.\\pipe\\x;alice", not_plain, ERROR_BAD_PATHNAME},
        {std::wstring(kGood) + L";" + ini + L"\" -x;alice", not_plain, ERROR_BAD_PATHNAME},
    };
    for (const bad_message& c : cases) {
        SCOPED_TRACE(c.error);
        test_support::clear_log();
        ASSERT_TRUE(reliability::send_message(c.text));
        ASSERT_TRUE(wait_for_log(c.error)) << read_log();
        EXPECT_TRUE(has_error(read_log(), c.error, c.code)) << read_log();
    }
    // No job got as far as its cleanup.
    EXPECT_TRUE(file_exists(agent_host::spool_of(ini)));
}

// A job ini path too long for the programs' command lines: the job fails
// before any program starts and is still cleaned up.
TEST_F(RunningAgent, HugeJobIniPathEndsInCleanup) {
    const std::wstring message = std::wstring(kGood) + L";" + agent->jobs_dir() + L"\\" +
                                 std::wstring(4000, L'p') + L".ini;alice";
    ASSERT_TRUE(reliability::send_message(message));
    ASSERT_TRUE(wait_for_log("processing(): failed to exec_progress().")) << read_log();
    EXPECT_TRUE(has_error(read_log(), "exec_progress(): failed to format_fitting().",
                          ERROR_INSUFFICIENT_BUFFER))
        << read_log();
}

// Registry values of the wrong type or length, for the good printer. Each
// case writes its values, runs a job and restores the defaults.
TEST_F(RunningAgent, RegistryValuesOfTheWrongTypeOrLength) {
    const DWORD dword = 0x00430043;
    const unsigned long long qword = 2;
    const std::vector<BYTE> huge(65536, 'Q');
    const wchar_t text[] = L"yes";
    struct bad_value {
        const wchar_t* name;
        DWORD type;
        const void* data;
        DWORD bytes;
        std::string outcome;  // the dispatch's error for the job
        bool cleaned_up;
    } const cases[] = {
        {L"Installation Directory", REG_DWORD, &dword, sizeof dword,
         "processing(): failed to exec_progress().", true},
        {L"Installation Directory", REG_BINARY, huge.data(), static_cast<DWORD>(huge.size()),
         "processing(): failed to exec_progress().", true},
        {L"Allow self session", REG_SZ, text, sizeof text,
         "processing(): failed to find_session_id(\"alice\").", false},
        {L"Transfer Mode", REG_QWORD, &qword, sizeof qword,
         "processing(): failed to run_client_app().", true},
    };
    for (const bad_value& c : cases) {
        SCOPED_TRACE(to_narrow(c.name));
        test_support::clear_log();
        ASSERT_TRUE(good->set_raw(c.name, c.type, c.data, c.bytes));
        const std::wstring ini = agent->make_job(L"bad-value");
        ASSERT_TRUE(reliability::send_message(std::wstring(kGood) + L";" + ini + L";alice"));
        ASSERT_TRUE(wait_for_log(c.outcome)) << read_log();
        EXPECT_EQ(c.cleaned_up, reliability::eventually(
                                    [&] { return !file_exists(agent_host::spool_of(ini)); }, 3000));
        good->set_dword(L"Allow self session", 1);
        good->set_dword(L"Transfer Mode", 2);
        good->set_string(L"Installation Directory", agent->install_dir());
    }
}

TEST_F(RunningAgent, MissingSettingsKeyRefusesTheJob) {
    const std::wstring ini = agent->make_job(L"no-key");
    ASSERT_TRUE(reliability::send_message(std::wstring(kNoKey) + L";" + ini + L";alice"));
    ASSERT_TRUE(wait_for_log("processing(): failed to find_session_id(\"alice\").")) << read_log();
    EXPECT_TRUE(has_error(read_log(),
                          "reg_read_records(): failed to RegOpenKeyEx(\"HKEY_LOCAL_MACHINE:"
                          "Software\\TavirelFaultsMissing\").",
                          ERROR_FILE_NOT_FOUND))
        << read_log();
}

// The per-user path would not fit: the machine-wide settings serve the job.
TEST_F(RunningAgent, SettingsKeyNameOfAThousandCharacters) {
    ASSERT_TRUE(run_good_job(L"long-key", kLong)) << read_log();
    EXPECT_TRUE(has_error(read_log(), "configure_reg_key(): input buffer size is to small.",
                          ERROR_INSUFFICIENT_BUFFER))
        << read_log();
    EXPECT_EQ(std::string::npos, read_log().find("message: processing()")) << read_log();
}

}  // namespace
