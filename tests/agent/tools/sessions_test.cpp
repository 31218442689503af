#include "agent/tools/sessions.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fakes/fake_sessions.h"
#include "fakes/scratch_key.h"
#include "support/support.h"

using namespace test_support;
using fake_sessions::scripted_sessions;

static bool operator==(const session_entry& a, const session_entry& b) {
    return a.session_id == b.session_id && a.state == b.state;
}

namespace {

class Sessions : public ::testing::Test {
protected:
    void SetUp() override { clear_log(); }
    void TearDown() override {
        EXPECT_EQ(sessions_.outstanding_memory(), 0) << "session memory leaked";
    }

    scripted_sessions sessions_{{{0, WTSDisconnected, L""},  // the services' session
                                 {1, WTSActive, L"alice"},
                                 {65536, WTSListen, L""},
                                 {3, WTSDisconnected, L"Guest"},
                                 {4, WTSActive, L"bob", ERROR_ACCESS_DENIED}}};
    const std::wstring sid_ = process_user_sid();
};

}  // namespace

TEST_F(Sessions, EnumerationKeepsEverySessionInOrder) {
    std::vector<session_entry> listed = {{99, 7}};
    ASSERT_TRUE(enumerate_sid(listed));
    const std::vector<session_entry> expected = {{0, WTSDisconnected},
                                                 {1, WTSActive},
                                                 {65536, WTSListen},
                                                 {3, WTSDisconnected},
                                                 {4, WTSActive}};
    EXPECT_EQ(listed, expected);
    EXPECT_EQ(read_log(), "");
}

TEST_F(Sessions, FailedEnumerationEmptiesTheList) {
    sessions_.fail_enumeration(RPC_S_SERVER_UNAVAILABLE);
    std::vector<session_entry> listed = {{1, WTSActive}, {2, WTSActive}};
    EXPECT_FALSE(enumerate_sid(listed));
    EXPECT_TRUE(listed.empty());
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(RPC_S_SERVER_UNAVAILABLE));
    const std::string log = read_log();
    EXPECT_EQ(count_log_messages(log, "enumerate_sid(): failed to WTSEnumerateSessions()."), 1u);
    EXPECT_NE(log.find("file: ..\\src\\tools;"), std::string::npos);
}

TEST_F(Sessions, UserNames) {
    const struct {
        uint32_t session;
        bool ok;
        const wchar_t* name;  // the string afterwards
        DWORD error;
    } cases[] = {
        {1, true, L"alice", 0},
        {0, true, L"", 0},      // nobody logged on
        {65536, true, L"", 0},  // listening
        {4, false, L"unchanged", ERROR_ACCESS_DENIED},
        {77, false, L"unchanged", ERROR_FILE_NOT_FOUND},  // no such session
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.session);
        clear_log();
        std::wstring name = L"unchanged";
        EXPECT_EQ(get_uname(c.session, name), c.ok);
        if (!c.ok) {
            EXPECT_EQ(GetLastError(), c.error);
        }
        EXPECT_EQ(name, c.name);
        const size_t logged =
            count_log_messages(read_log(), "get_uname(): failed to WTSQuerySessionInformation().");
        EXPECT_EQ(logged, c.ok ? 0u : 1u);
    }
}

TEST_F(Sessions, SidSizeQueryProtocol) {
    const uint32_t needed = static_cast<uint32_t>(sid_.size()) + 1;
    const struct {
        bool with_buffer;
        uint32_t capacity;
        bool ok;
    } cases[] = {
        {false, 0, false},          // size query
        {false, 500, false},        // no buffer, whatever the length says
        {true, needed - 1, false},  // one character short
        {true, needed, true},      {true, needed + 40, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.capacity);
        std::vector<wchar_t> buffer(needed + 40, L'#');
        uint32_t length = c.capacity;
        EXPECT_EQ(get_sid(1, c.with_buffer ? buffer.data() : nullptr, &length), c.ok);
        EXPECT_EQ(length, needed);
        if (c.ok) {
            EXPECT_EQ(GetLastError(), 0u);
            EXPECT_EQ(std::wstring(buffer.data()), sid_);
            EXPECT_EQ(buffer[needed], L'#') << "wrote past the terminator";
        } else {
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
            EXPECT_EQ(buffer[0], L'#');
        }
    }
    EXPECT_EQ(read_log(), "");
}

TEST_F(Sessions, SidOfTheSelfSessionComesFromTheProcessToken) {
    uint32_t length = 0;
    EXPECT_FALSE(get_sid(kSelfSession, nullptr, &length));
    std::vector<wchar_t> buffer(length);
    ASSERT_TRUE(get_sid(kSelfSession, buffer.data(), &length));
    EXPECT_EQ(std::wstring(buffer.data()), sid_);
    EXPECT_EQ(sessions_.calls().query_user_token, 0u);
}

TEST_F(Sessions, SidOfASessionWithoutUserFails) {
    const struct {
        uint32_t session;
        DWORD error;
    } cases[] = {{0, ERROR_NO_TOKEN}, {77, ERROR_FILE_NOT_FOUND}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.session);
        clear_log();
        wchar_t buffer[200];
        uint32_t length = 200;
        EXPECT_FALSE(get_sid(c.session, buffer, &length));
        EXPECT_EQ(GetLastError(), c.error);
        EXPECT_EQ(count_log_messages(read_log(), "get_sid(): failed to WTSQueryUserToken()."), 1u);
    }
}

// The production seam: Wine lists no sessions and gives the process's own
// token for any session, which is all these can show without a fake.
TEST(RealSessionManager, AnswersThroughTheSeam) {
    clear_log();
    std::vector<session_entry> listed = {{5, WTSActive}};
    EXPECT_TRUE(enumerate_sid(listed));
    EXPECT_TRUE(listed.empty());
    wchar_t buffer[200];
    uint32_t length = 200;
    ASSERT_TRUE(get_sid(1, buffer, &length));
    EXPECT_EQ(std::wstring(buffer), process_user_sid());
}

TEST_F(Sessions, ConcurrentQueries) {
    std::vector<int> failures(8, -1);
    run_threads(8, [&](int t) {
        int failed = 0;
        for (int i = 0; i < 25; ++i) {
            std::vector<session_entry> listed;
            std::wstring name;
            wchar_t sid[200];
            uint32_t length = 200;
            if (!enumerate_sid(listed) || listed.size() != 5 || !get_uname(1, name) ||
                name != L"alice" || !get_sid(t % 2 ? 1 : kSelfSession, sid, &length) ||
                sid_ != sid) {
                ++failed;
            }
        }
        failures[static_cast<size_t>(t)] = failed;
    });
    EXPECT_EQ(failures, std::vector<int>(8, 0));
}
