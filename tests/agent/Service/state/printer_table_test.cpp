#include "agent/Service/state/printer_table.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "fakes/scratch_key.h"
#include "support/support.h"

using namespace test_support;

namespace {

const char kReadFailed[] = "read_srvregcfg(): failed to get settings via registry keys.";
const char kInvalidValue[] = "read_srvregcfg(): invalid registry key value.";

class PrinterTable : public ::testing::Test {
protected:
    void SetUp() override { clear_log(); }

    // count, then printer1.. from the list (null: that number is left out).
    void configure(DWORD count, const std::vector<const wchar_t*>& printers) {
        ASSERT_TRUE(config_.set_dword(L"count", count));
        for (size_t i = 0; i < printers.size(); ++i) {
            if (printers[i]) {
                ASSERT_TRUE(config_.set_string(value_name(i + 1).c_str(), printers[i]));
            }
        }
    }
    static std::wstring value_name(size_t number) { return L"printer" + std::to_wstring(number); }

    scratch_key config_{HKEY_LOCAL_MACHINE, L"Software\\Tavirel\\SrvCfg"};
};

const wchar_t* lookup(const wchar_t* printer) { return find_printer_settings_key(printer); }

}  // namespace

TEST_F(PrinterTable, ValuesSplitLikeATokenizer) {
    const struct {
        const wchar_t* value;
        const wchar_t* printer;  // null: the value is refused
        const wchar_t* settings_key;
    } cases[] = {
        {L"Office;OfficeKey", L"Office", L"OfficeKey"},
        {L";;Office;;OfficeKey;old", L"Office", L"OfficeKey"},
        {L"Office;A;B", L"Office", L"A"},
        {L" Office ; Key ", L" Office ", L" Key "},
        {L"Office", nullptr, nullptr},
        {L"Office;", nullptr, nullptr},
        {L";Office;;;", nullptr, nullptr},
        {L"", nullptr, nullptr},
        {L";;;", nullptr, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(to_narrow(c.value));
        clear_log();
        configure(1, {c.value});
        ASSERT_TRUE(read_srvregcfg());
        const std::string log = read_log();
        if (c.printer) {
            ASSERT_EQ(printer_table.size(), 1u);
            EXPECT_STREQ(lookup(c.printer), c.settings_key);
            EXPECT_EQ(count_log_messages(log, kInvalidValue), 0u);
        } else {
            EXPECT_TRUE(printer_table.empty());
            EXPECT_EQ(count_log_messages(log, kInvalidValue), 1u);
            EXPECT_NE(log.find("errcode: 87\r\n"), std::string::npos);
        }
    }
}

TEST_F(PrinterTable, LookupIsExactAndCaseSensitive) {
    configure(2, {L"Office;OfficeKey", L"Lab;LabKey"});
    ASSERT_TRUE(read_srvregcfg());
    EXPECT_EQ(printer_table.size(), 2u);
    EXPECT_STREQ(lookup(L"Office"), L"OfficeKey");
    EXPECT_STREQ(lookup(L"Lab"), L"LabKey");
    for (const wchar_t* absent : {L"office", L"Offic", L"Office ", L""}) {
        EXPECT_EQ(lookup(absent), nullptr) << to_narrow(absent);
    }
    EXPECT_EQ(lookup(nullptr), nullptr);
    EXPECT_NE(read_log().find(
                  "module read_srvregcfg() exec reg_read_records(counter) in ..\\src\\Service at "),
              std::string::npos);
}

TEST_F(PrinterTable, FirstListingOfAPrinterWins) {
    configure(2, {L"Office;A", L"Office;B"});
    ASSERT_TRUE(read_srvregcfg());
    EXPECT_EQ(printer_table.size(), 1u);
    EXPECT_STREQ(lookup(L"Office"), L"A");
    EXPECT_EQ(read_log().find("ERROR"), std::string::npos);
}

TEST_F(PrinterTable, EveryNumberUpToCountIsTried) {
    configure(4, {L"Office;A", nullptr, L"Lab;B"});
    ASSERT_TRUE(read_srvregcfg());
    EXPECT_EQ(printer_table, (printer_table_map{{L"Office", L"A"}, {L"Lab", L"B"}}));
    EXPECT_EQ(count_log_messages(read_log(), kReadFailed), 2u);  // printer2 and printer4
}

TEST_F(PrinterTable, CountZeroGivesAnEmptyTable) {
    configure(0, {L"Office;A"});
    ASSERT_TRUE(read_srvregcfg());
    EXPECT_TRUE(printer_table.empty());
    EXPECT_EQ(read_log().find("ERROR"), std::string::npos);
}

TEST_F(PrinterTable, MissingCountFailsAndEmptiesTheTable) {
    configure(1, {L"Office;A"});
    ASSERT_TRUE(read_srvregcfg());
    ASSERT_TRUE(config_.remove(L"count"));
    clear_log();

    EXPECT_FALSE(read_srvregcfg());
    EXPECT_TRUE(printer_table.empty());
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(count_log_messages(read_log(), kReadFailed), 1u);
}

TEST_F(PrinterTable, ReloadReplacesTheWholeContent) {
    configure(2, {L"Office;A", L"Lab;B"});
    ASSERT_TRUE(read_srvregcfg());
    ASSERT_TRUE(config_.remove(L"printer2"));
    configure(1, {L"Office;C"});

    ASSERT_TRUE(read_srvregcfg());
    EXPECT_EQ(printer_table, (printer_table_map{{L"Office", L"C"}}));
}

// A broken "count" must not keep the start-up going for billions of values:
// above the limit one error entry says so and only the first 64 are read.
TEST_F(PrinterTable, CountAboveTheLimitIsCutWithOneError) {
    const char kCut[] =
        "read_srvregcfg(): \"count\" is above 64; only printer1 to printer64 are read.";
    configure(0, {});
    ASSERT_TRUE(config_.set_string(L"printer1", L"First;A"));
    ASSERT_TRUE(config_.set_string(L"printer64", L"Last;B"));
    ASSERT_TRUE(config_.set_string(L"printer65", L"Beyond;C"));
    const struct {
        DWORD count;
        size_t cut_entries;
    } cases[] = {{65, 1}, {0xFFFFFFFF, 1}, {0x80000000, 1}, {64, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.count);
        clear_log();
        ASSERT_TRUE(config_.set_dword(L"count", c.count));
        ASSERT_TRUE(read_srvregcfg());
        EXPECT_EQ(printer_table, (printer_table_map{{L"First", L"A"}, {L"Last", L"B"}}));
        const std::string log = read_log();
        EXPECT_EQ(count_log_messages(log, kCut), c.cut_entries);
        EXPECT_EQ(count_log_messages(log, kReadFailed), 62u);  // printer2 to printer63
        // The missing values carry code 2; only the cut's entry carries 87.
        EXPECT_EQ(log.find("errcode: 87\r\n") != std::string::npos, c.cut_entries == 1);
    }
}
