// service_handle, service_main and driver_serv_proc in-process. Outside the
// service manager no status can be reported, so every re-report here logs its
// failure; the lifecycle with real reports is covered end to end.
#include <gtest/gtest.h>

#include "agent/Service/host/service.h"
#include "agent/Service/state/service_state.h"
#include "agent/Service/state_scope.h"
#include "fakes/fake_sessions.h"
#include "support/support.h"

namespace {

using test_support::clear_log;
using test_support::count_log_messages;
using test_support::has_error;
using test_support::has_message;
using test_support::read_log;

const char kReReportFailed[] =
    "service_handle(): failed to SetServiceStatus(): update current state.";

bool is_set(HANDLE event) { return WaitForSingleObject(event, 0) == WAIT_OBJECT_0; }

// The service's state, built as service_main builds it, from a session
// script that each test sets.
class ServiceControl : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(state_.built());
        clear_log();
    }

    DWORD session_change(DWORD type, DWORD session_id) {
        WTSSESSION_NOTIFICATION note = {sizeof note, session_id};
        return service_handle(SERVICE_CONTROL_SESSIONCHANGE, type, &note, nullptr);
    }

    fake_sessions::scripted_sessions sessions_;
    service_tests::state_scope state_;
};

// Started outside the service manager, service_main stops at the handler
// registration and builds nothing.
TEST(ServiceMain, OutsideTheServiceManagerStopsAtRegistration) {
    clear_log();
    service_main(0, nullptr);
    const std::string log = read_log();
    EXPECT_EQ(1u,
              count_log_messages(log, "service_main(): failed to RegisterServiceCtrlHandler()."));
    EXPECT_EQ(std::string::npos, log.find("SetServiceStatus")) << log;
    EXPECT_EQ(nullptr, terminate_event());
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
    sessions_.set_sessions(script);
    for (const change& c : changes) {
        SCOPED_TRACE(c.message);
        clear_log();
        EXPECT_EQ(static_cast<DWORD>(NO_ERROR), session_change(c.type, c.type + 20));
        const std::string log = read_log();
        EXPECT_EQ(1u, count_log_messages(log, c.message));
        EXPECT_EQ(1u, count_log_messages(log, kReReportFailed));
        const auto entry = state_.sessions().find(L"user" + std::to_wstring(c.type));
        EXPECT_EQ(c.records, entry != state_.sessions().end());
        if (c.records && entry != state_.sessions().end()) {
            EXPECT_EQ(c.type + 20, entry->second);
        }
    }
}

TEST_F(ServiceControl, LogoffKeepsTheUserAndALaterLogonMovesHim) {
    sessions_.set_sessions({{5, WTSActive, L"bob"}, {7, WTSActive, L"bob"}});
    session_change(WTS_SESSION_LOGON, 5);
    session_change(WTS_SESSION_LOGOFF, 5);
    EXPECT_EQ(5u, state_.sessions().at(L"bob"));
    session_change(WTS_SESSION_LOGON, 7);
    EXPECT_EQ(7u, state_.sessions().at(L"bob"));
    EXPECT_EQ(1u, state_.sessions().size());
}

TEST_F(ServiceControl, UnknownSessionChangeIsAnErrorWithItsType) {
    sessions_.set_sessions({{1, WTSActive, L"alice"}});
    for (DWORD type : {0u, 10u, 11u, 0x7FFFFFFFu}) {
        clear_log();
        EXPECT_EQ(static_cast<DWORD>(NO_ERROR), session_change(type, 1));
        const std::string log = read_log();
        EXPECT_TRUE(has_error(log, "service_handle(): Unknown state.", static_cast<int>(type)))
            << log;
        EXPECT_TRUE(has_message(log, kReReportFailed));
    }
    EXPECT_TRUE(state_.sessions().empty());
}

TEST_F(ServiceControl, UserDefinedCodesSetTheirOwnEventOnly) {
    for (DWORD code = 128; code <= 133; ++code) {
        EXPECT_EQ(static_cast<DWORD>(NO_ERROR), service_handle(code, 0, nullptr, nullptr));
        for (int i = 1; i < kServiceEventCount; ++i) {
            EXPECT_EQ(static_cast<DWORD>(i) <= code - 127, is_set(service_event(i)))
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
    for (int i = 0; i < kServiceEventCount; ++i) EXPECT_FALSE(is_set(service_event(i)));
}

TEST_F(ServiceControl, InterrogateReportsTheStatusAgain) {
    EXPECT_EQ(static_cast<DWORD>(NO_ERROR),
              service_handle(SERVICE_CONTROL_INTERROGATE, 0, nullptr, nullptr));
    EXPECT_EQ(1u, count_log_messages(read_log(), kReReportFailed));
}

TEST_F(ServiceControl, StopWhoseStopPendingReportFailsKeepsTheServiceRunning) {
    state_.sessions()[L"alice"] = 1;
    EXPECT_EQ(static_cast<DWORD>(NO_ERROR),
              service_handle(SERVICE_CONTROL_STOP, 0, nullptr, nullptr));
    EXPECT_EQ(1u, count_log_messages(
                      read_log(),
                      "service_handle(): failed to SetServiceStatus(): SERVICE_STOP_PENDING."));
    EXPECT_FALSE(is_set(terminate_event()));
    EXPECT_NE(nullptr, state_.session_mutex());
    EXPECT_EQ(1u, state_.sessions().size());
}

// A report that fails leaves the status last reported: a stop whose stop
// pending could not be reported must not leave "stop pending, accepts
// nothing" behind for the next interrogation or session change to re-send.
// Outside the service manager no report succeeds, so what was last reported
// is nothing at all.
TEST_F(ServiceControl, AFailedReportKeepsTheStatusLastReported) {
    const SERVICE_STATUS nothing = {};
    sessions_.set_sessions({{3, WTSActive, L"alice"}});
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
        const SERVICE_STATUS status = last_reported_status();
        EXPECT_EQ(0, memcmp(&nothing, &status, sizeof status))
            << "state " << status.dwCurrentState << " controls " << status.dwControlsAccepted;
    }
    EXPECT_FALSE(report_stopped(NO_ERROR));
    EXPECT_FALSE(report_running());
    const SERVICE_STATUS status = last_reported_status();
    EXPECT_EQ(0, memcmp(&nothing, &status, sizeof status));
    EXPECT_FALSE(is_set(terminate_event()));
}

TEST_F(ServiceControl, PipeThreadStopsItsServerOnTheTerminateEvent) {
    SetEvent(terminate_event());
    EXPECT_EQ(0u, driver_serv_proc(nullptr));
    const std::string log = read_log();
    EXPECT_EQ(1u, count_log_messages(log, "driver_serv_proc(): terminate event happened."));
    EXPECT_EQ(std::string::npos, log.find("ERROR:")) << log;
}

}  // namespace
