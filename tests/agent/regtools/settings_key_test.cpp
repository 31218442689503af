#include "agent/regtools/settings_key.h"

#include <gtest/gtest.h>

#include <string>

#include "fakes/fake_sessions.h"
#include "fakes/scratch_key.h"
#include "support/support.h"
#include "agent/tools/sessions.h"

using namespace test_support;

namespace {

const wchar_t kName[] = L"RegtoolsSettingsTest";
const wchar_t kMachinePath[] = L"Software\\RegtoolsSettingsTest";
constexpr uint32_t kAliceSession = 1;
constexpr uint32_t kEmptySession = 2;

class SettingsKey : public ::testing::Test {
protected:
    void SetUp() override {
        clear_log();
        ASSERT_FALSE(sid_.empty());
        wmemset(key_path_, L'#', kKeyPathChars);
    }

    // A group of a string and a number, built as callers build it: per user first.
    static settings_group make_group(const wchar_t* name, uint32_t session_id) {
        return settings_group(name, settings_home::user, session_id,
                              {{L"Client Application", REG_SZ}, {L"Transfer Mode", REG_DWORD}});
    }

    fake_sessions::scripted_sessions sessions_{
        {{kAliceSession, WTSActive, L"alice"}, {kEmptySession, WTSDisconnected, L""}}};
    const std::wstring sid_ = process_user_sid();
    scratch_key machine_{HKEY_LOCAL_MACHINE, kMachinePath};
    scratch_key user_{HKEY_USERS, sid_ + L"\\" + kMachinePath};
    wchar_t key_path_[kKeyPathChars];
};

}  // namespace

TEST_F(SettingsKey, UserCopyServesTheWholeGroup) {
    ASSERT_TRUE(user_.set_string(L"Client Application", L"user.exe"));
    ASSERT_TRUE(user_.set_dword(L"Transfer Mode", 1));
    ASSERT_TRUE(machine_.set_string(L"Client Application", L"machine.exe"));
    ASSERT_TRUE(machine_.set_dword(L"Transfer Mode", 2));
    settings_group group = make_group(kName, kAliceSession);

    ASSERT_TRUE(group.read());
    EXPECT_EQ(std::wstring(group.key_path()), sid_ + L"\\Software\\" + kName);
    EXPECT_STREQ(group.string(0), L"user.exe");
    EXPECT_EQ(group.dword(1), 1u);
    EXPECT_EQ(group.hive(), kHiveUsers);

    const std::string log = read_log();
    const size_t outer =
        log.find("module read_reg_settings() exec configure_reg_key() in ..\\src\\regtools at ");
    const size_t size_query =
        log.find("module configure_reg_key() exec get_sid(NULL) in ..\\src\\regtools at ");
    const size_t lookup =
        log.find("module configure_reg_key() exec get_sid() in ..\\src\\regtools at ");
    EXPECT_LT(outer, size_query);
    EXPECT_LT(size_query, lookup);
    EXPECT_NE(lookup, std::string::npos);
}

TEST_F(SettingsKey, OneValueMissingPerUserTakesTheGroupFromTheMachine) {
    ASSERT_TRUE(user_.set_string(L"Client Application", L"user.exe"));
    ASSERT_TRUE(machine_.set_string(L"Client Application", L"machine.exe"));
    ASSERT_TRUE(machine_.set_dword(L"Transfer Mode", 2));
    settings_group group = make_group(kName, kAliceSession);

    ASSERT_TRUE(group.read());
    EXPECT_STREQ(group.key_path(), kMachinePath);
    EXPECT_STREQ(group.string(0), L"machine.exe");
    EXPECT_EQ(group.dword(1), 2u);
    EXPECT_EQ(group.hive(), kHiveLocalMachine);
}

TEST_F(SettingsKey, NobodyLoggedOnFallsBackToTheMachine) {
    ASSERT_TRUE(machine_.set_string(L"Client Application", L"machine.exe"));
    ASSERT_TRUE(machine_.set_dword(L"Transfer Mode", 2));
    settings_group group = make_group(kName, kEmptySession);

    ASSERT_TRUE(group.read());
    EXPECT_STREQ(group.string(0), L"machine.exe");
    EXPECT_EQ(group.hive(), kHiveLocalMachine);

    const std::string log = read_log();
    const char* const chain[] = {
        "message: get_sid(): failed to WTSQueryUserToken().\r\nerrcode: 1008\r\n",
        "message: configure_reg_key(): failed to get_sid().\r\nerrcode: 1008\r\n",
        "message: read_reg_settings(): failed to configure_reg_key(). Use HKLM hive as "
        "default.\r\n\r\n",
    };
    size_t at = 0;
    for (const char* entry : chain) {
        const size_t found = log.find(entry, at);
        ASSERT_NE(found, std::string::npos) << entry << "\n" << log;
        EXPECT_EQ(log.find(entry, found + 1), std::string::npos) << entry;
        at = found;
    }
}

TEST_F(SettingsKey, SelfSessionReadsTheServiceAccountsHive) {
    ASSERT_TRUE(user_.set_string(L"Client Application", L"own.exe"));
    ASSERT_TRUE(user_.set_dword(L"Transfer Mode", 0));
    settings_group group = make_group(kName, kSelfSession);

    ASSERT_TRUE(group.read());
    EXPECT_EQ(std::wstring(group.key_path()), sid_ + L"\\Software\\" + kName);
    EXPECT_STREQ(group.string(0), L"own.exe");
    EXPECT_EQ(group.hive(), kHiveUsers);
    EXPECT_EQ(sessions_.calls().query_user_token, 0u);
}

TEST_F(SettingsKey, GroupFoundNowhereFailsWithNoStringsLeft) {
    ASSERT_TRUE(user_.set_string(L"Client Application", L"user.exe"));
    ASSERT_TRUE(machine_.set_string(L"Client Application", L"machine.exe"));
    settings_group group = make_group(kName, kAliceSession);

    EXPECT_FALSE(group.read());
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(group.string(0), nullptr);
    EXPECT_EQ(count_log_messages(read_log(),
                                 "read_reg_settings(): failed to get settings via registry keys."),
              1u);
}

TEST_F(SettingsKey, PerUserPathMustLeaveTwentyCharactersSpare) {
    const size_t sid_length = sid_.size() + 1;
    const size_t longest = kKeyPathChars - 20 - sid_length;
    const struct {
        size_t name_length;
        bool fits;
    } cases[] = {{longest, true}, {longest + 1, false}, {1000, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name_length);
        clear_log();
        wmemset(key_path_, L'#', kKeyPathChars);
        const std::wstring name(c.name_length, L'n');
        ASSERT_EQ(configure_reg_key(key_path_, name.c_str(), kAliceSession), c.fits);
        if (c.fits) {
            EXPECT_EQ(std::wstring(key_path_), sid_ + L"\\Software\\" + name);
            EXPECT_EQ(key_path_[kKeyPathChars - 1], L'\0');
        } else {
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
            EXPECT_EQ(key_path_[0], L'#') << "buffer must stay untouched";
            EXPECT_EQ(count_log_messages(read_log(),
                                         "configure_reg_key(): input buffer size is to small."),
                      1u);
        }
    }
}

TEST_F(SettingsKey, OverlongNameFallsBackToTheMachinePathOnlyWhereItFits) {
    // 1000 characters still fit machine-wide; 1100 do not and are refused, not cut.
    const struct {
        size_t length;
        bool fits;
    } cases[] = {{1000, true}, {1100, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.length);
        clear_log();
        const std::wstring name(c.length, L'n');
        settings_group group = make_group(name.c_str(), kAliceSession);

        EXPECT_FALSE(group.read());
        if (c.fits) {
            EXPECT_EQ(std::wstring(group.key_path()), L"Software\\" + name);
        } else {
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
            EXPECT_STREQ(group.key_path(), L"");
        }
        EXPECT_EQ(group.hive(), kHiveLocalMachine);
        const std::string log = read_log();
        EXPECT_EQ(count_log_messages(log, "configure_reg_key(): input buffer size is to small."),
                  1u);
        EXPECT_EQ(
            count_log_messages(
                log,
                "read_reg_settings(): failed to configure_reg_key(). Use HKLM hive as default."),
            1u);
        EXPECT_EQ(count_log_messages(
                      log, "read_reg_settings(): failed to get settings via registry keys."),
                  1u);
    }
}

// The dispatch's own reads cut where the path does not fit; the rest refuse.
TEST_F(SettingsKey, MachineGroupCutsOnlyWhenAskedTo) {
    const std::wstring name(1100, L'n');
    for (const overlong_key rule : {overlong_key::cut, overlong_key::refuse}) {
        settings_group group(name.c_str(), settings_home::machine, kSelfSession,
                             {{L"Transfer Mode", REG_DWORD}}, rule);
        EXPECT_FALSE(group.read());
        if (rule == overlong_key::cut) {
            EXPECT_EQ(std::wstring(group.key_path()),
                      (L"Software\\" + name).substr(0, kKeyPathChars - 1));
        } else {
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
            EXPECT_STREQ(group.key_path(), L"");
        }
    }
}

TEST_F(SettingsKey, NullNameIsRefused) {
    settings_group group = make_group(nullptr, kAliceSession);
    SetLastError(0);
    EXPECT_FALSE(group.read());
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(count_log_messages(read_log(), "read_reg_settings(): invalid input parameter."), 1u);
    EXPECT_EQ(sessions_.calls().query_user_token, 0u);
}
