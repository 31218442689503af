#include "agent/regtools/reg_records.h"

#include <gtest/gtest.h>
#include <malloc.h>

#include <string>
#include <vector>

#include "fakes/scratch_key.h"
#include "support/support.h"

using namespace test_support;

namespace {

const wchar_t kKey[] = L"Software\\RegtoolsRecordTest";

reg_record sz(uint32_t hive, const wchar_t* path, const wchar_t* name) {
    return {hive, path, name, REG_SZ, 0, nullptr};
}
reg_record dword(uint32_t hive, const wchar_t* path, const wchar_t* name, uint32_t preset = 0) {
    return {hive, path, name, REG_DWORD, preset, nullptr};
}

class RegRecords : public ::testing::Test {
protected:
    void SetUp() override { clear_log(); }
    scratch_key key_{HKEY_LOCAL_MACHINE, kKey};
};

}  // namespace

TEST_F(RegRecords, TerminatorFirstReadsNothing) {
    reg_record records[1] = {};
    EXPECT_EQ(reg_read_records(records), 0u);
    EXPECT_EQ(read_log(), "");
}

TEST_F(RegRecords, MissingDwordKeepsCallersValueAndOthersAreRead) {
    ASSERT_TRUE(key_.set_dword(L"first", 11));
    ASSERT_TRUE(key_.set_dword(L"third", 0xFFFFFFFFu));
    reg_record records[] = {dword(kHiveLocalMachine, kKey, L"first"),
                            dword(kHiveLocalMachine, kKey, L"second", 0x5A5A5A5Au),
                            dword(kHiveLocalMachine, kKey, L"third"),
                            {}};

    EXPECT_EQ(reg_read_records(records), 1u);
    EXPECT_EQ(records[0].dword_result, 11u);
    EXPECT_EQ(records[1].dword_result, 0x5A5A5A5Au);
    EXPECT_EQ(records[2].dword_result, 0xFFFFFFFFu);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(read_log(), "");
}

// How stored data of any type is taken by a REG_DWORD record.
TEST_F(RegRecords, DwordRecordTakesAnyDataUpToFourBytes) {
    const BYTE two[] = {0x34, 0x12};
    const wchar_t long_text[] = L"12345";
    ASSERT_TRUE(key_.set_raw(L"two bytes", REG_BINARY, two, sizeof two));
    ASSERT_TRUE(key_.set_raw(L"text", REG_SZ, long_text, sizeof long_text));
    ASSERT_TRUE(key_.set_raw(L"empty", REG_BINARY, nullptr, 0));

    struct {
        const wchar_t* name;
        bool read;
        uint32_t result;
    } cases[] = {
        {L"two bytes", true, 0xABCD1234u},  // low bytes written, high bytes kept
        {L"text", false, 0xABCDEF01u},      // more than 4 bytes: fails, untouched
        {L"empty", true, 0xABCDEF01u},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(to_narrow(c.name));
        reg_record records[] = {dword(kHiveLocalMachine, kKey, c.name, 0xABCDEF01u), {}};
        EXPECT_EQ(reg_read_records(records), c.read ? 0u : 1u);
        EXPECT_EQ(records[0].dword_result, c.result);
    }
    EXPECT_EQ(read_log(), "");
}

TEST_F(RegRecords, StringsAreAlwaysTerminated) {
    const wchar_t five[] = {L'a', L'b', L'c', L'd', L'e'};
    const wchar_t multi[] = L"one\0two\0";
    ASSERT_TRUE(key_.set_raw(L"unterminated", REG_SZ, five, sizeof five));
    ASSERT_TRUE(key_.set_raw(L"empty", REG_SZ, L"", sizeof(wchar_t)));
    ASSERT_TRUE(key_.set_raw(L"no data", REG_SZ, nullptr, 0));
    ASSERT_TRUE(key_.set_raw(L"expand", REG_EXPAND_SZ, L"%WINDIR%\\x", sizeof L"%WINDIR%\\x"));
    ASSERT_TRUE(key_.set_raw(L"multi", REG_MULTI_SZ, multi, sizeof multi));
    ASSERT_TRUE(key_.set_dword(L"number", 0x00420041u));  // 'A','B' as UTF-16

    struct {
        const wchar_t* name;
        const wchar_t* text;
        size_t allocated;  // 2 * stored bytes + 2
    } cases[] = {
        {L"unterminated", L"abcde", 22},
        {L"empty", L"", 6},
        {L"no data", L"", 2},
        {L"expand", L"%WINDIR%\\x", 2 * sizeof L"%WINDIR%\\x" + 2},
        {L"multi", L"one", 2 * sizeof multi + 2},
        {L"number", L"AB", 10},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(to_narrow(c.name));
        reg_record records[] = {sz(kHiveLocalMachine, kKey, c.name), {}};
        ASSERT_EQ(reg_read_records(records), 0u);
        ASSERT_NE(records[0].string_result, nullptr);
        EXPECT_EQ(std::wstring(records[0].string_result), c.text);
        EXPECT_EQ(_msize(records[0].string_result), c.allocated);
        // Everything past the stored data is zero.
        const size_t stored_chars = (c.allocated - 2) / 2 / sizeof(wchar_t);
        const std::vector<wchar_t> tail(records[0].string_result + stored_chars,
                                        records[0].string_result + c.allocated / sizeof(wchar_t));
        EXPECT_EQ(tail, std::vector<wchar_t>(tail.size(), L'\0'));
        reg_free_records(records);
    }
}

TEST_F(RegRecords, MissingStringValueFailsQuietly) {
    reg_record records[] = {sz(kHiveLocalMachine, kKey, L"absent"), {}};
    EXPECT_EQ(reg_read_records(records), 1u);
    EXPECT_EQ(records[0].string_result, nullptr);
    EXPECT_EQ(read_log(), "");
}

TEST_F(RegRecords, MissingKeyIsLoggedWithCode2) {
    reg_record records[] = {sz(kHiveLocalMachine, L"Software\\RegtoolsNoSuchKey", L"a"),
                            dword(kHiveUsers, L"NoSuchSid\\Software\\X", L"b"),
                            {}};
    EXPECT_EQ(reg_read_records(records), 2u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    const std::string log = read_log();
    EXPECT_EQ(count_log_messages(log,
                                 "reg_read_records(): failed to RegOpenKeyEx(\"HKEY_LOCAL_MACHINE:"
                                 "Software\\RegtoolsNoSuchKey\")."),
              1u);
    EXPECT_EQ(count_log_messages(log,
                                 "reg_read_records(): failed to RegOpenKeyEx(\"HKEY_USERS:"
                                 "NoSuchSid\\Software\\X\")."),
              1u);
    EXPECT_NE(log.find("file: ..\\src\\regtools;"), std::string::npos);
    EXPECT_NE(log.find("errcode: 2\r\n"), std::string::npos);
}

TEST_F(RegRecords, UnsupportedTypeIsLoggedAndCounted) {
    ASSERT_TRUE(key_.set_dword(L"good", 7));
    reg_record records[] = {{kHiveLocalMachine, kKey, L"good", REG_BINARY, 0, nullptr},
                            dword(kHiveLocalMachine, kKey, L"good"),
                            {}};
    EXPECT_EQ(reg_read_records(records), 1u);
    EXPECT_EQ(records[1].dword_result, 7u);
    const std::string log = read_log();
    EXPECT_EQ(count_log_messages(log,
                                 "reg_read_records(): unsupporter value type: "
                                 "\"HKEY_LOCAL_MACHINE:Software\\RegtoolsRecordTest:good\"."),
              1u);
    EXPECT_NE(log.find("errcode: 3\r\n"), std::string::npos);

    // Alone, the type number is left as the reason.
    reg_record alone[] = {{kHiveLocalMachine, kKey, L"good", 3, 0, nullptr}, {}};
    EXPECT_EQ(reg_read_records(alone), 1u);
    EXPECT_EQ(GetLastError(), 3u);
}

TEST_F(RegRecords, PredefinedHivesWorkOnBothArchitectures) {
    // HKEY_USERS\<own SID> is the current user's hive: the same value is seen
    // through both predefined keys.
    scratch_key user_key(HKEY_CURRENT_USER, L"Software\\RegtoolsRecordTest");
    ASSERT_TRUE(user_key.set_string(L"where", L"user"));
    const std::wstring users_path = process_user_sid() + L"\\Software\\RegtoolsRecordTest";
    ASSERT_TRUE(key_.set_string(L"where", L"machine"));

    reg_record records[] = {sz(kHiveCurrentUser, L"Software\\RegtoolsRecordTest", L"where"),
                            sz(kHiveUsers, users_path.c_str(), L"where"),
                            sz(kHiveLocalMachine, kKey, L"where"),
                            {}};
    ASSERT_EQ(reg_read_records(records), 0u);
    EXPECT_STREQ(records[0].string_result, L"user");
    EXPECT_STREQ(records[1].string_result, L"user");
    EXPECT_STREQ(records[2].string_result, L"machine");
    reg_free_records(records);
}

TEST_F(RegRecords, FreeReleasesOnlyStringsAndTwiceIsHarmless) {
    ASSERT_TRUE(key_.set_string(L"present", L"x"));
    wchar_t not_owned[] = L"caller's";
    reg_record records[] = {sz(kHiveLocalMachine, kKey, L"present"),
                            sz(kHiveLocalMachine, kKey, L"absent"),
                            {kHiveLocalMachine, kKey, L"absent", REG_DWORD, 5, not_owned},
                            {}};
    EXPECT_EQ(reg_read_records(records), 2u);
    ASSERT_NE(records[0].string_result, nullptr);
    ASSERT_EQ(records[1].string_result, nullptr);

    reg_free_records(records);
    EXPECT_EQ(records[0].string_result, nullptr);
    EXPECT_EQ(records[1].string_result, nullptr);
    EXPECT_EQ(records[2].string_result, not_owned);
    reg_free_records(records);
    EXPECT_EQ(records[0].string_result, nullptr);
}

TEST(RegHiveName, NamesOnlyTheThreeHivesRead) {
    const struct {
        uint32_t hive;
        const wchar_t* name;
    } cases[] = {
        {kHiveLocalMachine, L"HKEY_LOCAL_MACHINE"},
        {kHiveCurrentUser, L"HKEY_CURRENT_USER"},
        {kHiveUsers, L"HKEY_USERS"},
        {0x80000000u, L"Unknown"},  // HKEY_CLASSES_ROOT
        {0x80000005u, L"Unknown"},
        {0, L"Unknown"},
    };
    for (const auto& c : cases) EXPECT_STREQ(reg_hive_name(c.hive), c.name) << c.hive;
}

TEST_F(RegRecords, ConcurrentReadersShareNothing) {
    ASSERT_TRUE(key_.set_string(L"name", L"value"));
    ASSERT_TRUE(key_.set_dword(L"number", 42));
    std::vector<int> failures(8, -1);
    run_threads(8, [&](int t) {
        int failed = 0;
        for (int i = 0; i < 50; ++i) {
            reg_record records[] = {sz(kHiveLocalMachine, kKey, L"name"),
                                    dword(kHiveLocalMachine, kKey, L"number"),
                                    {}};
            if (reg_read_records(records) != 0 || wcscmp(records[0].string_result, L"value") != 0 ||
                records[1].dword_result != 42) {
                ++failed;
            }
            reg_free_records(records);
        }
        failures[static_cast<size_t>(t)] = failed;
    });
    EXPECT_EQ(failures, std::vector<int>(8, 0));
}
