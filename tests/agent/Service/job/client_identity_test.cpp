// Whom a client may name and where its job may run: the rule over the client
// identity, and the identity as it is read from real tokens.
#include <gtest/gtest.h>
#include <windows.h>

#include <sddl.h>

#include <cstring>

#include "agent/Service/job/client_identity.h"
#include "agent/Service/job/client_tokens.h"
#include "support/support.h"
#include "agent/tools/sessions.h"

namespace {

using test_support::read_log;

constexpr uint32_t kAliceSession = 1;

const wchar_t kLocalAlice[] = L"S-1-5-21-1-2-3-1001";

struct sid_bytes {
    BYTE bytes[SECURITY_MAX_SID_SIZE] = {};
};

sid_bytes sid_of(const wchar_t* text) {
    sid_bytes sid;
    PSID converted = nullptr;
    if (ConvertStringSidToSidW(text, &converted)) {
        CopySid(sizeof sid.bytes, sid.bytes, converted);
        LocalFree(converted);
    }
    return sid;
}

client_identity identity(const wchar_t* sid, const wchar_t* account, bool system = false,
                         bool admin = false) {
    client_identity client;
    std::memset(&client, 0, sizeof client);
    client.readable = true;
    client.is_system = system;
    client.is_admin = admin;
    std::memcpy(client.sid, sid_of(sid).bytes, sizeof client.sid);
    wcsncpy(client.account, account, kAccountNameUnits - 1);
    return client;
}

client_identity unreadable() {
    client_identity client;
    std::memset(&client, 0, sizeof client);
    return client;
}

TEST(ClientIdentity, WhomAClientMayNameAndWhereItsJobMayRun) {
    const sid_bytes alice_session = sid_of(kLocalAlice);
    struct rule_case {
        const char* name;
        client_identity client;
        const wchar_t* user;
        bool may_name;
        bool in_alice_session;    // the session of local alice
        bool in_unknown_session;  // a session whose user could not be read
        bool self_refused;        // self session, "Allow self session" 0
        bool self_allowed;        // self session, "Allow self session" 1
    };
    const rule_case cases[] = {
        {"LocalSystem", identity(L"S-1-5-18", L"SYSTEM", true), L"bob", true, true, true, true,
         true},
        {"an administrator", identity(L"S-1-5-21-1-2-3-500", L"Administrator", false, true), L"bob",
         true, true, true, true, true},
        {"the named user itself", identity(kLocalAlice, L"alice"), L"alice", true, true, false,
         false, true},
        {"the named user itself, other case", identity(kLocalAlice, L"alice"), L"ALICE", true, true,
         false, false, true},
        {"non-Latin name, other case", identity(kLocalAlice, L"J\u00f6rg"), L"J\u00d6RG", true,
         true, false, false, true},
        {"a longer name", identity(kLocalAlice, L"alice"), L"alice ", false, true, false, false,
         true},
        {"a prefix", identity(kLocalAlice, L"alice"), L"ali", false, true, false, false, true},
        {"another user", identity(L"S-1-5-21-1-2-3-1002", L"bob"), L"alice", false, false, false,
         false, true},
        {"a domain user with the same plain name", identity(L"S-1-5-21-7-8-9-1105", L"alice"),
         L"alice", true, false, false, false, true},
        {"an account without a name", identity(kLocalAlice, L""), L"alice", false, true, false,
         false, true},
        {"an identity that could not be read", unreadable(), L"alice", false, false, false, false,
         false},
    };
    for (const rule_case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.may_name, may_name_user(c.client, c.user));
        EXPECT_EQ(c.in_alice_session,
                  may_run_in_session(c.client, kAliceSession, alice_session.bytes, false));
        EXPECT_EQ(c.in_unknown_session,
                  may_run_in_session(c.client, kAliceSession, nullptr, false));
        EXPECT_EQ(c.self_refused, may_run_in_session(c.client, kSelfSession, nullptr, false));
        EXPECT_EQ(c.self_allowed, may_run_in_session(c.client, kSelfSession, nullptr, true));
    }
    EXPECT_FALSE(may_name_user(identity(L"S-1-5-18", L"SYSTEM", true), nullptr));
}

bool same_sid(const BYTE* sid, const std::wstring& text) {
    return EqualSid(const_cast<BYTE*>(sid), sid_of(text.c_str()).bytes) != FALSE;
}

std::wstring own_sid() {
    const owned::unique_handle token = service_tests::own_token();
    union {
        TOKEN_USER user;
        BYTE bytes[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    } info;
    DWORD size = 0;
    wchar_t* text = nullptr;
    if (!GetTokenInformation(token.get(), TokenUser, &info, sizeof info, &size) ||
        !ConvertSidToStringSidW(info.user.User.Sid, &text)) {
        return L"";
    }
    const std::wstring copy = text;
    LocalFree(text);
    return copy;
}

TEST(ClientIdentity, ReadFromRealTokens) {
    test_support::clear_log();
    const std::wstring me = service_tests::own_account();
    ASSERT_FALSE(me.empty());

    client_identity client;
    const owned::unique_handle own = service_tests::own_token();
    ASSERT_TRUE(read_client_identity(own.get(), &client)) << read_log();
    EXPECT_TRUE(client.readable);
    EXPECT_FALSE(client.is_system);
    EXPECT_TRUE(client.is_admin);  // every process is an administrator under Wine
    EXPECT_EQ(me, client.account);
    EXPECT_TRUE(same_sid(client.sid, own_sid()));

    // Administrators disabled, as UAC filters an administrator's token.
    const owned::unique_handle filtered = service_tests::filtered_token();
    ASSERT_TRUE(filtered);
    ASSERT_TRUE(read_client_identity(filtered.get(), &client)) << read_log();
    EXPECT_FALSE(client.is_admin);
    EXPECT_FALSE(client.is_system);
    EXPECT_EQ(me, client.account);
    EXPECT_TRUE(same_sid(client.sid, own_sid()));
    EXPECT_EQ("", read_log());

    EXPECT_FALSE(read_client_identity(nullptr, &client));
    EXPECT_FALSE(client.readable);
    EXPECT_EQ("", read_log());

    // A token that may not be duplicated cannot be checked for its groups.
    const owned::unique_handle query_only = service_tests::own_token(TOKEN_QUERY);
    ASSERT_TRUE(query_only);
    EXPECT_FALSE(read_client_identity(query_only.get(), &client));
    EXPECT_FALSE(client.readable);
    EXPECT_FALSE(may_name_user(client, me.c_str()));
    EXPECT_TRUE(test_support::has_error(
        read_log(), "read_client_identity(): failed to DuplicateTokenEx().", ERROR_ACCESS_DENIED))
        << read_log();
}

}  // namespace
