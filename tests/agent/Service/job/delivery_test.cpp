// Client delivery with the real winrelay.exe, real windows and real processes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "agent/Service/job/client_delivery.h"
#include "agent/Service/state/service_state.h"
#include "agent/Service/state_scope.h"
#include "fakes/scratch_key.h"
#include "support/support.h"
#include "winrelay/relay_fixtures.h"

using namespace test_support;
using relay_test::in_quotes;

namespace {

const wchar_t kKeyName[] = L"DeliveryTestPrinter";
const uint32_t kSession = 1;
const char kService[] = "..\\src\\Service";
const char kRelayFailedError[] = "run_client_app(): failed to exec_winrelay().";

bool logged_error(const std::string& log, const std::string& message, int code) {
    return log_view(log).has_error(kService, message, code);
}

size_t relay_runs(const std::string& log) {
    return log_view(log).count_traces("exec_winrelay()", "exec_user_app()");
}

size_t client_starts(const std::string& log) {
    return log_view(log).count_traces("run_client_app()", "exec_user_app()");
}

class Delivery : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(terminate_event(), nullptr);
        ASSERT_TRUE(write_file(job_ini, "[Spool]\r\nType=EMF\r\nFile0=c:\\spool\\7.emf\r\n"));
        ASSERT_TRUE(machine.set_string(L"Installation Directory", exe_dir()));
        ASSERT_TRUE(machine.set_string(L"Output Directory", dir.path()));
        ASSERT_TRUE(machine.set_dword(L"Timeout", 20000));
        ASSERT_TRUE(machine.set_dword(L"Application: Skip", 0));
        clear_log();
    }

    void set_delivery(DWORD mode, const std::wstring& title, DWORD message_id,
                      const std::wstring& client) {
        ASSERT_TRUE(machine.set_dword(L"Transfer Mode", mode));
        ASSERT_TRUE(machine.set_string(L"Target window title", title));
        ASSERT_TRUE(machine.set_dword(L"Message ID", message_id));
        ASSERT_TRUE(machine.set_string(L"Client Application", client));
    }

    // The stand-in client's "Client Application" value with its own arguments.
    std::wstring client(const std::wstring& extra = L"") const {
        return in_quotes(beside_exe(L"client_standin.exe")) + L" -record " +
               in_quotes(client_record) + extra;
    }

    bool deliver() { return run_client_app(job_ini.c_str(), kKeyName, kSession); }

    service_tests::state_scope state;  // the terminate event
    scratch_dir dir{L"delivery"};
    // An empty per-user copy: every group falls back to the machine-wide one.
    scratch_key user{HKEY_USERS, process_user_sid() + L"\\Software\\" + kKeyName};
    scratch_key machine{HKEY_LOCAL_MACHINE, std::wstring(L"Software\\") + kKeyName};
    std::wstring job_ini = dir.file(L"7.ini");
    std::wstring client_record = dir.file(L"client.txt");
    std::wstring window_record = dir.file(L"window.txt");
};

}  // namespace

TEST_F(Delivery, WindowPresentGetsTheJobOnce) {
    const std::wstring title = L"delivery target";
    relay_test::target_window target(title, window_record);
    ASSERT_NE(target.handle(), nullptr);
    set_delivery(1, title, 77, client());

    EXPECT_TRUE(deliver());

    const std::vector<std::string> records = relay_test::read_lines(window_record);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].substr(0, 6), "id=77 ");
    EXPECT_EQ(relay_test::record_text(records[0]), to_narrow(job_ini));
    const std::string log = read_log();
    EXPECT_EQ(relay_runs(log), 1u);
    EXPECT_EQ(client_starts(log), 0u);
    EXPECT_EQ(log.find("ERROR"), std::string::npos) << log;
    EXPECT_EQ(log.find("WARNING"), std::string::npos) << log;
    EXPECT_EQ(read_file(client_record), "");
}

TEST_F(Delivery, MessageIdTravelsSigned) {
    const std::wstring title = L"delivery signed id";
    relay_test::target_window target(title, window_record);
    ASSERT_NE(target.handle(), nullptr);
    set_delivery(1, title, 4294967295u, client());
    ASSERT_TRUE(machine.remove(L"Timeout"));

    EXPECT_TRUE(deliver());

    const std::vector<std::string> records = relay_test::read_lines(window_record);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].substr(0, 6), "id=-1 ");
    const std::string log = read_log();
    EXPECT_EQ(count_log_messages(log,
                                 "run_client_app(): failed to get \"Timeout\" value via "
                                 "registry key. Use default timeout value."),
              1u);
}

// The client comes up late, opens the window, and the second run finds it.
TEST_F(Delivery, MissingWindowStartsTheClientAndRelaysAgain) {
    const std::wstring title = L"delivery late window";
    const std::wstring value = client(L" -delay 500 -window " + in_quotes(title) + L" -copydata " +
                                      in_quotes(window_record) + L" -close-after 1");
    set_delivery(1, title, 5, value);

    EXPECT_TRUE(deliver());

    // Started with its own value alone: no job ini path appended.
    EXPECT_EQ(relay_test::read_lines(client_record), std::vector<std::string>{to_narrow(value)});
    const std::vector<std::string> records = relay_test::read_lines(window_record);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(relay_test::record_text(records[0]), to_narrow(job_ini));
    const std::string log = read_log();
    EXPECT_EQ(relay_runs(log), 2u);
    EXPECT_EQ(client_starts(log), 1u);
    EXPECT_EQ(count_log_messages(log, kRelayFailedError), 0u);
}

TEST_F(Delivery, WindowThatNeverComesIsAnErrorWithCodeTwo) {
    ASSERT_TRUE(machine.set_dword(L"Timeout", 300));
    set_delivery(1, L"delivery window never opens", 5, client());

    EXPECT_TRUE(deliver());

    EXPECT_EQ(relay_test::read_lines(client_record).size(), 1u);
    const std::string log = read_log();
    EXPECT_EQ(relay_runs(log), 2u);
    EXPECT_TRUE(logged_error(log, kRelayFailedError, 2)) << log;
}

TEST_F(Delivery, ModeZeroStartsTheClientWithTheJob) {
    const std::wstring event_name =
        L"delivery-client-recorded-" + std::to_wstring(GetCurrentProcessId());
    HANDLE recorded = CreateEventW(nullptr, TRUE, FALSE, event_name.c_str());
    ASSERT_NE(recorded, nullptr);
    const std::wstring value = client(L" -signal " + event_name);
    set_delivery(0, L"unused", 5, value);

    EXPECT_TRUE(deliver());

    EXPECT_EQ(WaitForSingleObject(recorded, 30000), WAIT_OBJECT_0);
    CloseHandle(recorded);
    EXPECT_EQ(relay_test::read_lines(client_record),
              std::vector<std::string>{to_narrow(value + L" \"" + job_ini + L"\"")});
    const std::string log = read_log();
    EXPECT_EQ(client_starts(log), 1u);
    EXPECT_EQ(relay_runs(log), 0u);
}

TEST_F(Delivery, ModesThatStartNothing) {
    struct {
        DWORD mode;
        const char* warning;  // nullptr: nothing logged at all
    } cases[] = {
        {2, nullptr},
        {3, "run_client_app(): unsupported transfer mode: through clipboard."},
        {4, "run_client_app(): unsupported transfer mode: through pipe."},
        {5, "run_client_app(): unknown transfer mode."},
        {0xFFFFFFFFu, "run_client_app(): unknown transfer mode."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.mode);
        set_delivery(c.mode, L"unused", 5, client());
        clear_log();
        EXPECT_TRUE(deliver());
        const std::string log = read_log();
        EXPECT_EQ(client_starts(log) + relay_runs(log), 0u);
        EXPECT_EQ(log.find("ERROR"), std::string::npos) << log;
        if (c.warning) {
            EXPECT_EQ(count_log_messages(log, c.warning), 1u);
        } else {
            EXPECT_EQ(log.find("WARNING"), std::string::npos) << log;
        }
    }
}

TEST_F(Delivery, SkipRules) {
    const char kBoth[] = "run_client_app(): exec client for EMF/RAW data was skipped.";
    const char kEmf[] = "run_client_app(): exec client app for EMF data was skipped.";
    const char kRaw[] = "run_client_app(): exec client app for RAW data was skipped.";
    struct {
        DWORD skip;
        const char* spool;  // the job ini file's [Spool] section, or nullptr for no file
        const char* warning;
    } cases[] = {
        {3, nullptr, kBoth},      {1, "Type=EMF", kEmf},    {1, "Type=RAW", nullptr},
        {1, "Type=emf", nullptr}, {2, "Type=RAW", kRaw},    {2, "Type=EMF", nullptr},
        {2, "", nullptr},         {7, "Type=EMF", nullptr}, {0, "Type=RAW", nullptr},
    };
    // Mode 5 warns when delivery goes ahead, so each case shows which way it went.
    set_delivery(5, L"unused", 5, client());
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.skip) + " " + (c.spool ? c.spool : "no file"));
        DeleteFileW(job_ini.c_str());
        if (c.spool) write_file(job_ini, std::string("[Spool]\r\n") + c.spool + "\r\n");
        ASSERT_TRUE(machine.set_dword(L"Application: Skip", c.skip));
        clear_log();
        EXPECT_TRUE(deliver());
        const std::string log = read_log();
        for (const char* warning : {kBoth, kEmf, kRaw}) {
            EXPECT_EQ(count_log_messages(log, warning), warning == c.warning ? 1u : 0u) << warning;
        }
        EXPECT_EQ(count_log_messages(log, "run_client_app(): unknown transfer mode."),
                  c.warning ? 0u : 1u);
    }
}

TEST_F(Delivery, SettingsThatMustBeThere) {
    struct {
        const wchar_t* removed;
        const char* error;
    } cases[] = {
        {L"Output Directory", "run_client_app(): failed to read_reg_settings()."},
        {L"Client Application", "run_client_app(): failed to read_reg_settings()."},
        {L"Installation Directory",
         "run_client_app(): failed to get \"Installation Directory\" value via HKLM hive."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(to_narrow(c.removed));
        set_delivery(0, L"unused", 5, client());
        ASSERT_TRUE(machine.set_string(L"Installation Directory", exe_dir()));
        ASSERT_TRUE(machine.set_string(L"Output Directory", dir.path()));
        ASSERT_TRUE(machine.set_dword(L"Application: Skip", 3));  // fails even when skipped
        ASSERT_TRUE(machine.remove(c.removed));
        clear_log();
        EXPECT_FALSE(deliver());
        const std::string log = read_log();
        EXPECT_EQ(count_log_messages(log, c.error), 1u) << log;
        EXPECT_EQ(client_starts(log) + relay_runs(log), 0u);
        EXPECT_EQ(log.find("was skipped"), std::string::npos);
    }
}

TEST_F(Delivery, UserCopyIsTakenWhole) {
    relay_test::target_window machine_window(L"delivery machine window", dir.file(L"machine.txt"));
    relay_test::target_window user_window(L"delivery user window", window_record);
    ASSERT_NE(user_window.handle(), nullptr);
    set_delivery(1, L"delivery machine window", 5, client());
    ASSERT_TRUE(user.set_string(L"Client Application", client()));
    ASSERT_TRUE(user.set_dword(L"Transfer Mode", 1));
    ASSERT_TRUE(user.set_string(L"Target window title", L"delivery user window"));
    ASSERT_TRUE(user.set_dword(L"Message ID", 9));
    ASSERT_TRUE(user.set_string(L"Output Directory", dir.path()));

    EXPECT_TRUE(deliver());

    const std::vector<std::string> records = relay_test::read_lines(window_record);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].substr(0, 5), "id=9 ");
    EXPECT_EQ(read_file(dir.file(L"machine.txt")), "");
}

// Set before the stage begins, the terminate event still lets winrelay start,
// ends the wait at once and leaves winrelay to finish its delivery.
TEST_F(Delivery, TerminateEventEndsTheWaitNotWinrelay) {
    const std::wstring title = L"delivery while stopping";
    relay_test::target_window target(title, window_record, 1);
    ASSERT_NE(target.handle(), nullptr);
    set_delivery(1, title, 5, client());
    SetEvent(terminate_event());

    EXPECT_TRUE(deliver());

    const std::string log = read_log();
    EXPECT_EQ(count_log_messages(log, "exec_winrelay(): terminate event happens."), 1u);
    EXPECT_TRUE(logged_error(log, kRelayFailedError, 3)) << log;
    EXPECT_EQ(client_starts(log), 0u);
    ASSERT_TRUE(target.wait_for_exit(30000));
    EXPECT_EQ(relay_test::read_lines(window_record).size(), 1u);
}

// A copy of the client stand-in named winrelay.exe records the command line.
TEST_F(Delivery, WinrelayCommandLine) {
    ASSERT_TRUE(CopyFileW(beside_exe(L"client_standin.exe").c_str(),
                          dir.file(L"winrelay.exe").c_str(), FALSE));
    EXPECT_EQ(exec_winrelay(dir.path().c_str(), L"Job Window", -1, job_ini.c_str(), kSession), 0u);
    EXPECT_EQ(
        relay_test::read_lines(dir.file(L"winrelay.exe.txt")),
        std::vector<std::string>{to_narrow(
            dir.file(L"winrelay.exe") + L" -id -1 -wt \"Job Window\" -ini \"" + job_ini + L"\"")});
}

TEST_F(Delivery, ExecWinrelayResults) {
    const std::wstring title = L"delivery exec results";
    relay_test::target_window target(title, window_record);
    ASSERT_NE(target.handle(), nullptr);
    const std::wstring ini = job_ini;
    struct {
        const char* name;
        std::wstring install_dir;
        std::wstring title;
        uint32_t result;
        const char* error;
    } cases[] = {
        {"delivered", exe_dir(), title, 0, nullptr},
        {"no such window", exe_dir(), L"delivery nobody", 2, nullptr},
        {"winrelay missing: file not found is reported as 3", dir.path(), title, 3,
         "exec_winrelay(): failed to exec_user_app()."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        clear_log();
        EXPECT_EQ(exec_winrelay(c.install_dir.c_str(), c.title.c_str(), 4, ini.c_str(), kSession),
                  c.result);
        if (c.error) {
            EXPECT_EQ(count_log_messages(read_log(), c.error), 1u) << read_log();
        }
    }
    EXPECT_EQ(relay_test::read_lines(window_record).size(), 1u);
}

// A command line that would not fit its 1024 units is refused, never cut.
TEST_F(Delivery, CommandLinesThatDoNotFitAreRefused) {
    const std::wstring long_text(1000, L'x');
    struct {
        const char* name;
        DWORD mode;
        std::wstring title;
        std::wstring client;
        const char* error;
        int code;
    } cases[] = {
        {"client with the job", 0, L"unused", client(L" " + long_text),
         "run_client_app(): failed to format_fitting().", ERROR_INSUFFICIENT_BUFFER},
        {"winrelay with a long title", 1, long_text, client(),
         "exec_winrelay(): failed to format_fitting().", ERROR_INSUFFICIENT_BUFFER},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        set_delivery(c.mode, c.title, 5, c.client);
        clear_log();
        EXPECT_TRUE(deliver());
        const std::string log = read_log();
        EXPECT_TRUE(logged_error(log, c.error, c.code)) << log;
        EXPECT_EQ(client_starts(log) + relay_runs(log), 0u);
    }
    // The winrelay refusal reaches run_client_app as the failure's reason.
    EXPECT_TRUE(logged_error(read_log(), kRelayFailedError, ERROR_INSUFFICIENT_BUFFER));
}

// With a blank in the installation directory, winrelay is started by its full
// path: a program planted on the blank never runs, and winrelay finds its
// arguments because its own path stands in quotes.
TEST_F(Delivery, WinrelayInADirectoryWithABlank) {
    const std::wstring install = dir.file(L"Relay Dir");
    ASSERT_TRUE(CreateDirectoryW(install.c_str(), nullptr));
    const std::wstring planted = dir.file(L"Relay.exe");
    ASSERT_TRUE(CopyFileW(beside_exe(L"client_standin.exe").c_str(), planted.c_str(), FALSE));

    // A stand-in as winrelay.exe records the command line it was given.
    const std::wstring recorder = install + L"\\winrelay.exe";
    ASSERT_TRUE(CopyFileW(beside_exe(L"client_standin.exe").c_str(), recorder.c_str(), FALSE));
    EXPECT_EQ(exec_winrelay(install.c_str(), L"Job Window", 5, job_ini.c_str(), kSession), 0u);
    EXPECT_EQ(relay_test::read_lines(recorder + L".txt"),
              std::vector<std::string>{to_narrow(
                  L"\"" + recorder + L"\" -id 5 -wt \"Job Window\" -ini \"" + job_ini + L"\"")});

    // The real winrelay delivers from there.
    ASSERT_TRUE(CopyFileW(beside_exe(L"winrelay.exe").c_str(), recorder.c_str(), FALSE));
    const std::wstring title = L"delivery from a blank directory";
    relay_test::target_window target(title, window_record);
    ASSERT_NE(target.handle(), nullptr);
    EXPECT_EQ(exec_winrelay(install.c_str(), title.c_str(), 6, job_ini.c_str(), kSession), 0u);
    const std::vector<std::string> records = relay_test::read_lines(window_record);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(relay_test::record_text(records[0]), to_narrow(job_ini));

    EXPECT_FALSE(file_exists(planted + L".txt")) << "the planted program ran";
}

// "Timeout" is the user's own setting, and 0xFFFFFFFF would be an endless
// wait: a console client (it cannot be waited for, so the pause stands in)
// holds the job at most 60 s, and a stop ends the pause at once.
class ConsoleClientDelivery : public Delivery {
protected:
    void SetUp() override {
        Delivery::SetUp();
        ASSERT_TRUE(
            CopyFileW(beside_exe(L"converter_standin.exe").c_str(), console.c_str(), FALSE));
        const std::wstring beside = dir.file(L"console client.ini");
        WritePrivateProfileStringW(L"converter", L"DelayMs", L"300000", beside.c_str());
        WritePrivateProfileStringW(L"converter", L"Signal", started_name.c_str(), beside.c_str());
        started = CreateEventW(nullptr, TRUE, FALSE, started_name.c_str());
        ASSERT_NE(started, nullptr);
        set_delivery(1, L"delivery console client window", 5, in_quotes(console));
        ASSERT_TRUE(machine.set_dword(L"Timeout", 0xFFFFFFFFu));
        clear_log();
    }
    void TearDown() override {
        end_programs_under(dir.path());
        CloseHandle(started);
        Delivery::TearDown();
    }

    // Delivers and returns how long it took.
    ULONGLONG timed_delivery() {
        const ULONGLONG start = GetTickCount64();
        EXPECT_TRUE(deliver());
        return GetTickCount64() - start;
    }

    std::wstring console = dir.file(L"console client.exe");
    std::wstring started_name =
        L"delivery-console-started-" + std::to_wstring(GetCurrentProcessId());
    HANDLE started = nullptr;
};

TEST_F(ConsoleClientDelivery, StopEndsThePauseAtOnce) {
    ULONGLONG took = 0;
    run_threads(2, [&](int index) {
        if (index == 0) {
            took = timed_delivery();
        } else {
            EXPECT_EQ(WaitForSingleObject(started, 30000), WAIT_OBJECT_0);
            SetEvent(terminate_event());
        }
    });
    EXPECT_LT(took, 30000u);  // far below the 60 s the pause is cut to
    const std::string log = read_log();
    EXPECT_EQ(count_log_messages(
                  log, "exec_user_app(): failed to WaitForInputIdle(): wait failed. Use Sleep()."),
              1u)
        << log;
    // The second winrelay run meets the terminate event too.
    EXPECT_EQ(count_log_messages(log, "exec_winrelay(): terminate event happens."), 1u) << log;
    EXPECT_TRUE(logged_error(log, kRelayFailedError, 3)) << log;
}

TEST_F(ConsoleClientDelivery, EndlessTimeoutIsCutToSixtySeconds) {
    const ULONGLONG took = timed_delivery();
    EXPECT_GE(took, 59000u);
    EXPECT_LT(took, 120000u);
    const std::string log = read_log();
    EXPECT_EQ(relay_runs(log), 2u);
    EXPECT_TRUE(logged_error(log, kRelayFailedError, 2)) << log;
}
