#include "agent/Service/state/session_table.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "agent/Service/state_scope.h"
#include "fakes/fake_sessions.h"
#include "support/support.h"
#include "agent/tools/sessions.h"

using namespace test_support;
using fake_sessions::scripted_sessions;
using fake_sessions::session;

namespace {

size_t count_entries(const std::string& log) { return log_view(log).entries().size(); }

// Takes session_table_mutex on a thread of its own and keeps it until the
// object dies, or lets that thread end while owning it (abandoned).
class lock_holder {
public:
    explicit lock_holder(bool abandon) : abandon_(abandon) {
        thread_ = CreateThread(nullptr, 0, run, this, 0, nullptr);
        WaitForSingleObject(held_, INFINITE);
        if (abandon_) WaitForSingleObject(thread_, INFINITE);
    }
    ~lock_holder() {
        SetEvent(release_);
        WaitForSingleObject(thread_, INFINITE);
        CloseHandle(thread_);
        CloseHandle(held_);
        CloseHandle(release_);
    }
    lock_holder(const lock_holder&) = delete;
    lock_holder& operator=(const lock_holder&) = delete;

private:
    static DWORD WINAPI run(void* parameter) {
        auto* self = static_cast<lock_holder*>(parameter);
        WaitForSingleObject(session_table_mutex, INFINITE);
        SetEvent(self->held_);
        if (self->abandon_) return 0;
        WaitForSingleObject(self->release_, INFINITE);
        ReleaseMutex(session_table_mutex);
        return 0;
    }

    const bool abandon_;
    HANDLE held_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE release_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE thread_ = nullptr;
};

// Whether another thread can take the lock at once (so nobody owns it).
bool lock_is_free() {
    bool free = false;
    run_threads(1, [&](int) {
        const DWORD wait = WaitForSingleObject(session_table_mutex, 0);
        free = wait == WAIT_OBJECT_0;
        if (wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED) ReleaseMutex(session_table_mutex);
    });
    return free;
}

// The service's state over a session script that each test sets; it starts
// with an empty table.
class SessionTable : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(state_.built());
        ASSERT_NE(state_.session_mutex(), nullptr);
        clear_log();
    }

    scripted_sessions sessions_;
    service_tests::state_scope state_;
};

}  // namespace

TEST_F(SessionTable, FillKeepsTheLastSessionOfEachUser) {
    sessions_.set_sessions({{1, WTSActive, L"alice"},
                            {0, WTSDisconnected, L""},
                            {2, WTSActive, L"bob", ERROR_ACCESS_DENIED},
                            {3, WTSDisconnected, L"alice"},
                            {4, WTSActive, L"Alice"}});
    fill_session_table();
    EXPECT_EQ(state_.sessions(), (session_table_map{{L"alice", 3}, {L"Alice", 4}}));
    EXPECT_EQ(
        count_log_messages(read_log(), "get_uname(): failed to WTSQuerySessionInformation()."), 1u);
}

TEST_F(SessionTable, FillWithoutASessionListOnlyWarns) {
    sessions_.fail_enumeration(RPC_S_SERVER_UNAVAILABLE);
    fill_session_table();
    EXPECT_TRUE(state_.sessions().empty());
    const std::string log = read_log();
    EXPECT_EQ(count_log_messages(log, "enumerate_sid(): failed to WTSEnumerateSessions()."), 1u);
    EXPECT_EQ(count_log_messages(log, "service_main(): failed to enumerate_sid()."), 1u);
    EXPECT_NE(log.find("\r\nWARNING: file: ..\\src\\Service;"), std::string::npos);
}

TEST_F(SessionTable, NotificationsAddAndReplaceButNeverRemove) {
    sessions_.set_sessions({{5, WTSActive, L"bob"}, {6, WTSListen, L""}});
    add_session_info(state_.sessions(), 5);
    EXPECT_EQ(state_.sessions(), (session_table_map{{L"bob", 5}}));

    // bob logs off: the entry stays; notifications for sessions without a
    // user, or gone, change nothing.
    sessions_.set_sessions({{6, WTSListen, L""}});
    add_session_info(state_.sessions(), 5);
    add_session_info(state_.sessions(), 6);
    EXPECT_EQ(state_.sessions(), (session_table_map{{L"bob", 5}}));

    sessions_.set_sessions({{7, WTSActive, L"bob"}});
    add_session_info(state_.sessions(), 7);
    EXPECT_EQ(state_.sessions(), (session_table_map{{L"bob", 7}}));
    EXPECT_TRUE(lock_is_free());
}

TEST_F(SessionTable, FindSessionIdDecisions) {
    const std::vector<session> guest_disconnected = {{1, WTSActive, L"alice"},
                                                     {2, WTSDisconnected, L"Guest"}};
    const std::vector<session> console_active = {{2, WTSActive, L"dave"}, {1, WTSActive, L"alice"}};
    const std::vector<session> second_active = {{1, WTSDisconnected, L"alice"},
                                                {3, WTSIdle, L""},
                                                {2, WTSActive, L"dave"},
                                                {4, WTSActive, L"eve"}};
    const std::vector<session> none_active = {{1, WTSDisconnected, L"alice"}, {2, WTSListen, L""}};

    constexpr uint32_t kUntouched = 0x1234;
    const std::string guest_detected = "find_session_id(): \"Guest\" session was detected.";
    const std::string guest_found = "find_session_id(): \"Guest\" session ID was found.";
    const std::string guest_not_found = "find_session_id(): \"Guest\" session ID was not found.";
    const std::string no_active = "find_session_id(): active session ID was not found.";
    const std::string domain = "find_session_id(): domain \"carol\" session ID was detected.";
    auto not_in_table = [](const char* user) {
        return std::string("find_session_id(): can't find user name \"") + user +
               "\" in the table.";
    };

    const struct {
        const char* user;
        const std::vector<session>* script;
        session_policy policy;  // guest, domain, self
        bool ok;
        uint32_t id;
        std::vector<std::string> logged;
    } cases[] = {
        {"alice", &none_active, {0, 0, 0}, true, 9, {}},
        {"alice", &none_active, {0, 0, 1}, true, kSelfSession, {}},
        {"ALICE", &console_active, {1, 0, 1}, false, kUntouched, {not_in_table("ALICE")}},
        {"guest", &guest_disconnected, {1, 0, 0}, false, kUntouched, {not_in_table("guest")}},
        {"Guest", &guest_disconnected, {0, 0, 0}, true, 2, {guest_detected, guest_found}},
        {"Guest", &guest_disconnected, {1, 1, 1}, true, 2, {guest_detected, guest_found}},
        {"Guest", &console_active, {0, 1, 1}, false, kUntouched, {guest_detected, guest_not_found}},
        {"Guest", &console_active, {1, 0, 1}, true, kSelfSession, {guest_detected}},
        {"Guest", &console_active, {1, 0, 0}, true, 1, {guest_detected}},
        {"Guest", &second_active, {1, 1, 0}, true, 2, {guest_detected}},
        {"Guest", &none_active, {1, 0, 0}, false, kSelfSession, {guest_detected, no_active}},
        {"carol", &console_active, {1, 0, 1}, false, kUntouched, {not_in_table("carol")}},
        {"carol", &none_active, {0, 1, 1}, true, kSelfSession, {domain}},
        {"carol", &console_active, {0, 1, 0}, true, 1, {domain}},
        {"carol", &second_active, {0, 1, 0}, true, 2, {domain}},
        {"carol", &none_active, {1, 1, 0}, false, kSelfSession, {domain, no_active}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << c.user << " G" << c.policy.guest_allowed << " D" << c.policy.domain_allowed
                     << " S" << c.policy.self_allowed);
        clear_log();
        state_.sessions() = {{L"alice", 9}, {L"bob", 5}};
        sessions_.set_sessions(*c.script);
        uint32_t id = kUntouched;
        ASSERT_EQ(find_session_id(to_wide(c.user).c_str(), &id, c.policy), c.ok);
        EXPECT_EQ(id, c.id);
        if (c.logged.size() == 1 && c.logged[0] == not_in_table(c.user)) {
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
        }
        const std::string log = read_log();
        for (const std::string& message : c.logged)
            EXPECT_EQ(count_log_messages(log, message), 1u) << message;
        EXPECT_EQ(count_entries(log), c.logged.size()) << log;
        EXPECT_TRUE(lock_is_free());
    }
}

TEST_F(SessionTable, LockHeldElsewhereGivesUpAfterOneWarning) {
    state_.sessions() = {{L"alice", 1}};
    sessions_.set_sessions({{5, WTSActive, L"bob"}});
    bool found = true;
    {
        const lock_holder holder(false);
        // Both waits run at once so the test costs one time-out, not two.
        run_threads(2, [&](int t) {
            if (t == 0) {
                uint32_t id = 0;
                found = find_session_id(L"alice", &id, {0, 0, 0});
            } else {
                add_session_info(state_.sessions(), 5);
            }
        });
    }
    EXPECT_FALSE(found);
    EXPECT_EQ(state_.sessions(), (session_table_map{{L"alice", 1}}));
    const std::string log = read_log();
    EXPECT_EQ(
        count_log_messages(
            log, "find_session_id(): failed to WaitForSingleObject():WAIT_TIMEOUT for \"alice\"."),
        1u);
    EXPECT_EQ(
        count_log_messages(
            log, "add_session_info(): failed to WaitForSingleObject():WAIT_TIMEOUT for \"bob\"."),
        1u);
    EXPECT_EQ(count_entries(log), 2u);
}

TEST_F(SessionTable, AbandonedLockIsHandedBackUnused) {
    state_.sessions() = {{L"alice", 1}};
    sessions_.set_sessions({{5, WTSActive, L"bob"}});
    uint32_t id = 0;
    {
        const lock_holder holder(true);
        EXPECT_FALSE(find_session_id(L"alice", &id, {0, 0, 0}));
    }
    EXPECT_TRUE(lock_is_free());
    {
        const lock_holder holder(true);
        add_session_info(state_.sessions(), 5);
    }
    EXPECT_TRUE(lock_is_free());
    EXPECT_EQ(state_.sessions(), (session_table_map{{L"alice", 1}}));
    EXPECT_EQ(read_log(), "");

    // And the next caller gets the lock as usual.
    EXPECT_TRUE(find_session_id(L"alice", &id, {0, 0, 0}));
    EXPECT_EQ(id, 1u);
}

TEST_F(SessionTable, FailedLockWaitIsAWarning) {
    sessions_.set_sessions({{5, WTSActive, L"bob"}});
    ASSERT_TRUE(state_.release());  // as after the stop: the mutex is closed
    uint32_t id = 0;
    EXPECT_FALSE(find_session_id(L"alice", &id, {1, 1, 1}));
    add_session_info(state_.sessions(), 5);
    EXPECT_TRUE(state_.sessions().empty());
    const std::string log = read_log();
    EXPECT_EQ(
        count_log_messages(
            log, "find_session_id(): failed to WaitForSingleObject():WAIT_FAILED for \"alice\"."),
        1u);
    EXPECT_EQ(
        count_log_messages(
            log, "add_session_info(): failed to WaitForSingleObject():WAIT_FAILED for \"bob\"."),
        1u);
}

TEST_F(SessionTable, FirstActiveSessionPrefersTheConsole) {
    const struct {
        const char* what;
        std::vector<session> script;
        uint32_t console;
        uint32_t expected;
    } cases[] = {
        {"console active, listed last", {{2, WTSActive, L"a"}, {1, WTSActive, L"b"}}, 1, 1},
        {"console disconnected",
         {{1, WTSDisconnected, L"b"}, {3, WTSIdle, L""}, {4, WTSActive, L"c"}},
         1,
         4},
        {"console not listed", {{2, WTSConnected, L""}, {3, WTSActive, L"c"}}, 0xFFFFFFFFu, 3},
        {"nothing active", {{1, WTSDisconnected, L"b"}, {65536, WTSListen, L""}}, 1, kSelfSession},
        {"no sessions", {}, 1, kSelfSession},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        sessions_.set_sessions(c.script);
        sessions_.set_console(c.console);
        EXPECT_EQ(find_first_active_session_id(), c.expected);
    }
    EXPECT_EQ(read_log(), "");

    sessions_.fail_enumeration(RPC_S_SERVER_UNAVAILABLE);
    EXPECT_EQ(find_first_active_session_id(), kSelfSession);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(RPC_S_SERVER_UNAVAILABLE));
    EXPECT_EQ(count_log_messages(read_log(),
                                 "find_first_active_session_id(): failed to enumerate_sid()."),
              1u);
}

TEST_F(SessionTable, GuestSessionIsTheFirstExactMatch) {
    uint32_t id = 42;
    sessions_.set_sessions({{1, WTSActive, L"guest"},
                            {2, WTSActive, L"GUEST"},
                            {3, WTSActive, L"Guest2"},
                            {4, WTSActive, L"Guest", ERROR_ACCESS_DENIED},
                            {5, WTSDisconnected, L"Guest"},
                            {6, WTSActive, L"Guest"}});
    ASSERT_TRUE(find_guest_session_id(&id));
    EXPECT_EQ(id, 5u);

    id = 42;
    sessions_.set_sessions({{1, WTSActive, L"guest"}, {2, WTSActive, L"Guest "}});
    EXPECT_FALSE(find_guest_session_id(&id));
    EXPECT_EQ(id, 42u);

    clear_log();
    sessions_.fail_enumeration(RPC_S_SERVER_UNAVAILABLE);
    EXPECT_FALSE(find_guest_session_id(&id));
    EXPECT_EQ(id, 42u);
    EXPECT_EQ(count_log_messages(read_log(), "find_guest_session_id(): failed to enumerate_sid()."),
              1u);
}

TEST_F(SessionTable, LookupsAndUpdatesFromManyThreads) {
    state_.sessions() = {{L"alice", 1}};
    sessions_.set_sessions({{1, WTSActive, L"alice"}, {2, WTSActive, L"bob"}});
    std::vector<int> failures(8, -1);
    run_threads(8, [&](int t) {
        int failed = 0;
        for (int i = 0; i < 40; ++i) {
            if (t == 0) {
                add_session_info(state_.sessions(), 1 + i % 2);
                continue;
            }
            uint32_t id = 0;
            if (!find_session_id(L"alice", &id, {0, 0, 0}) || id != 1) ++failed;
        }
        failures[static_cast<size_t>(t)] = failed;
    });
    failures[0] = 0;
    EXPECT_EQ(failures, std::vector<int>(8, 0));
    EXPECT_EQ(state_.sessions(), (session_table_map{{L"alice", 1}, {L"bob", 2}}));
}
