// service_handle, service_main and driver_serv_proc in-process. Outside the
// service manager no status can be reported, so every re-report here logs its
// failure; the lifecycle with real reports is covered end to end.
#include <gtest/gtest.h>

#include "agent/Service/service.h"
#include "agent/Service/service_events.h"
#include "agent/Service/session_table.h"
#include "agent/Service/shared_tables.h"
#include "fakes/fake_sessions.h"
#include "service/job_env.h"

namespace {

using test_support::clear_log;
using test_support::count_log_messages;
using test_support::has_error;
using test_support::has_message;
using test_support::read_log;

const char kReReportFailed[] =
    "service_handle(): failed to SetServiceStatus(): update current state.";

bool is_set(HANDLE event) { return WaitForSingleObject(event, 0) == WAIT_OBJECT_0; }

class ServiceControl : public ::testing::Test {
protected:
    void SetUp() override {
        for (HANDLE& event : service_events) event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        session_table_mutex = CreateMutexW(nullptr, FALSE, nullptr);
        session_table.clear();
        clear_log();
    }
    void TearDown() override {
        for (HANDLE& event : service_events) {
            CloseHandle(event);
            event = nullptr;
        }
        CloseHandle(session_table_mutex);
        session_table_mutex = nullptr;
        session_table.clear();
    }

    DWORD session_change(DWORD type, DWORD session_id) {
        WTSSESSION_NOTIFICATION note = {sizeof note, session_id};
        return service_handle(SERVICE_CONTROL_SESSIONCHANGE, type, &note, nullptr);
    }
};

// Must run before anything creates the events: started outside the service
// manager, service_main stops at the handler registration.
TEST(ServiceMain, OutsideTheServiceManagerStopsAtRegistration) {
    clear_log();
    service_main(0, nullptr);
    const std::string log = read_log();
    EXPECT_EQ(1u,
              count_log_messages(log, "service_main(): failed to RegisterServiceCtrlHandler()."));
    EXPECT_EQ(std::string::npos, log.find("SetServiceStatus")) << log;
    EXPECT_EQ(nullptr, terminate_event());
    EXPECT_EQ(nullptr, pipe_thread);
}

TEST_F(ServiceControl, EverySessionChangeLogsOneEntryAndConnectsRecordTheUser) {
    struct change {
        DWORD type;
        const char* message;
        bool records;
    } const changes[] = {
        {1, "service_handle(): WTS_CONSOLE_CONNECT.", true},
        {2, "service_handle(): WTS_CONSOLE_DISCONNECT.", false},
        {3, "service_handle(): WTS_REMOTE_CONNECT.", true},
        {4, "service_handle(): WTS_REMOTE_DISCONNECT.", false},
        {5, "service_handle(): WTS_SESSION_LOGON.", true},
        {6, "service_handle(): WTS_SESSION_LOGOFF.", false},
        {7, "service_handle(): WTS_SESSION_LOCK.", false},
        {8, "service_handle(): WTS_SESSION_UNLOCK.", false},
        {9, "service_handle(): WTS_REMOTE_CONTROL.", false},
    };
    std::vector<fake_sessions::session> script;
    for (const change& c : changes) {
        script.push_back({c.type + 20, WTSActive, L"user" + std::to_wstring(c.type)});
    }
    fake_sessions::scripted_sessions sessions(script);
    for (const change& c : changes) {
        SCOPED_TRACE(c.message);
        clear_log();
        EXPECT_EQ(static_cast<DWORD>(NO_ERROR), session_change(c.type, c.type + 20));
        const std::string log = read_log();
        EXPECT_EQ(1u, count_log_messages(log, c.message));
        EXPECT_EQ(1u, count_log_messages(log, kReReportFailed));
        const auto entry = session_table.find(L"user" + std::to_wstring(c.type));
        EXPECT_EQ(c.records, entry != session_table.end());
        if (c.records && entry != session_table.end()) {
            EXPECT_EQ(c.type + 20, entry->second);
        }
    }
}

TEST_F(ServiceControl, LogoffKeepsTheUserAndALaterLogonMovesHim) {
    fake_sessions::scripted_sessions sessions({{5, WTSActive, L"bob"}, {7, WTSActive, L"bob"}});
    session_change(WTS_SESSION_LOGON, 5);
    session_change(WTS_SESSION_LOGOFF, 5);
    EXPECT_EQ(5u, session_table.at(L"bob"));
    session_change(WTS_SESSION_LOGON, 7);
    EXPECT_EQ(7u, session_table.at(L"bob"));
    EXPECT_EQ(1u, session_table.size());
}

TEST_F(ServiceControl, UnknownSessionChangeIsAnErrorWithItsType) {
    fake_sessions::scripted_sessions sessions({{1, WTSActive, L"alice"}});
    for (DWORD type : {0u, 10u, 11u, 0x7FFFFFFFu}) {
        clear_log();
        EXPECT_EQ(static_cast<DWORD>(NO_ERROR), session_change(type, 1));
        const std::string log = read_log();
        EXPECT_TRUE(has_error(log, "service_handle(): Unknown state.", static_cast<int>(type)))
            << log;
        EXPECT_TRUE(has_message(log, kReReportFailed));
    }
    EXPECT_TRUE(session_table.empty());
}

TEST_F(ServiceControl, UserDefinedCodesSetTheirOwnEventOnly) {
    for (DWORD code = 128; code <= 133; ++code) {
        EXPECT_EQ(static_cast<DWORD>(NO_ERROR), service_handle(code, 0, nullptr, nullptr));
        for (int i = 1; i < kServiceEventCount; ++i) {
            EXPECT_EQ(static_cast<DWORD>(i) <= code - 127, is_set(service_events[i]))
                << "code " << code << " event " << i;
        }
    }
    EXPECT_FALSE(is_set(terminate_event()));
}

TEST_F(ServiceControl, UnhandledCodesAnswerNotImplementedAndDoNothing) {
    for (DWORD code : {2u, 3u, 5u, 6u, 13u, 15u, 127u, 134u, 0xFFFFFFFFu}) {
        EXPECT_EQ(static_cast<DWORD>(ERROR_CALL_NOT_IMPLEMENTED),
                  service_handle(code, 0, nullptr, nullptr))
            << code;
    }
    EXPECT_TRUE(read_log().empty());
    for (HANDLE event : service_events) EXPECT_FALSE(is_set(event));
}

TEST_F(ServiceControl, InterrogateReportsTheStatusAgain) {
    EXPECT_EQ(static_cast<DWORD>(NO_ERROR),
              service_handle(SERVICE_CONTROL_INTERROGATE, 0, nullptr, nullptr));
    EXPECT_EQ(1u, count_log_messages(read_log(), kReReportFailed));
}

TEST_F(ServiceControl, StopWhoseStopPendingReportFailsKeepsTheServiceRunning) {
    session_table[L"alice"] = 1;
    EXPECT_EQ(static_cast<DWORD>(NO_ERROR),
              service_handle(SERVICE_CONTROL_STOP, 0, nullptr, nullptr));
    EXPECT_EQ(1u, count_log_messages(
                      read_log(),
                      "service_handle(): failed to SetServiceStatus(): SERVICE_STOP_PENDING."));
    EXPECT_FALSE(is_set(terminate_event()));
    EXPECT_NE(nullptr, session_table_mutex);
    EXPECT_EQ(1u, session_table.size());
}

// A report that fails leaves the status last reported: a stop whose stop
// pending could not be reported must not leave "stop pending, accepts
// nothing" behind for the next interrogation or session change to re-send.
TEST_F(ServiceControl, AFailedReportKeepsTheStatusLastReported) {
    SERVICE_STATUS running = {};
    running.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    running.dwCurrentState = SERVICE_RUNNING;
    running.dwControlsAccepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SESSIONCHANGE;
    service_status = running;
    fake_sessions::scripted_sessions sessions({{3, WTSActive, L"alice"}});
    const struct {
        const char* what;
        DWORD control;
        DWORD event_type;
    } requests[] = {
        {"stop", SERVICE_CONTROL_STOP, 0},
        {"interrogate", SERVICE_CONTROL_INTERROGATE, 0},
        {"session logon", SERVICE_CONTROL_SESSIONCHANGE, WTS_SESSION_LOGON},
        {"stop again", SERVICE_CONTROL_STOP, 0},
    };
    for (const auto& r : requests) {
        SCOPED_TRACE(r.what);
        WTSSESSION_NOTIFICATION note = {sizeof note, 3};
        EXPECT_EQ(static_cast<DWORD>(NO_ERROR),
                  service_handle(r.control, r.event_type, &note, nullptr));
        EXPECT_EQ(0, memcmp(&running, &service_status, sizeof running))
            << "state " << service_status.dwCurrentState << " controls "
            << service_status.dwControlsAccepted;
    }
    EXPECT_FALSE(report_stopped(NO_ERROR));
    EXPECT_FALSE(report_running());
    EXPECT_EQ(0, memcmp(&running, &service_status, sizeof running));
    EXPECT_FALSE(is_set(terminate_event()));
    service_status = {};
}

TEST_F(ServiceControl, PipeThreadStopsItsServerOnTheTerminateEvent) {
    SetEvent(terminate_event());
    EXPECT_EQ(0u, driver_serv_proc(nullptr));
    const std::string log = read_log();
    EXPECT_EQ(1u, count_log_messages(log, "driver_serv_proc(): terminate event happened."));
    EXPECT_EQ(std::string::npos, log.find("ERROR:")) << log;
}

// 0 when the tables were still there all the time it was inside the gate.
DWORD WINAPI hold_tables_a_while(void* inside) {
    const shared_tables_use tables;
    SetEvent(static_cast<HANDLE>(inside));
    Sleep(300);
    const bool intact = tables.open() && session_table_mutex && !session_table.empty();
    return intact ? 0 : 1;
}

// The stop releases the tables once the work threads inside them have left,
// waiting no longer than it is told. Last: the gate closes for good.
TEST(SharedTables, ReleaseWaitsForAHolderThatLeavesInTime) {
    session_table_mutex = CreateMutexW(nullptr, FALSE, nullptr);
    session_table[L"alice"] = 1;
    const HANDLE inside = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    const HANDLE holder = CreateThread(nullptr, 0, hold_tables_a_while, inside, 0, nullptr);
    ASSERT_NE(nullptr, holder);
    ASSERT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(inside, 10000));
    EXPECT_TRUE(release_shared_tables(20000));
    ASSERT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(holder, 10000));
    DWORD holder_saw = 2;
    GetExitCodeThread(holder, &holder_saw);
    EXPECT_EQ(0u, holder_saw);
    EXPECT_EQ(nullptr, session_table_mutex);
    EXPECT_TRUE(session_table.empty());
    CloseHandle(holder);
    CloseHandle(inside);
}

}  // namespace
