// winrelay.exe run as a real program against real windows.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/support.h"
#include "winrelay/relay_fixtures.h"

using namespace test_support;
using relay_test::in_quotes;

namespace {

const char kHelp[] =
    "--help\n  display this help and exit\n-id msg_id\n  message ID\n"
    "-ini ini_file\n  path to ini file\n-wt window_title\n  target window title\n";
const char kInvalid[] = "main(): invalid input parameters.";
const char kNoWindow[] = "main(): can't find target window.";

std::wstring winrelay_line(const std::vector<std::wstring>& args) {
    std::wstring line = in_quotes(beside_exe(L"winrelay.exe"));
    for (const std::wstring& arg : args) line += L" " + in_quotes(arg);
    return line;
}

struct run_result {
    int exit_code;
    std::string output;
    std::string log;
};

run_result run_winrelay(const std::vector<std::wstring>& args) {
    clear_log();
    run_result result;
    result.exit_code = relay_test::run_captured(winrelay_line(args), result.output);
    result.log = read_log();
    return result;
}

// An error entry of the forwarder's own module.
bool logged_error(const std::string& log, const std::string& message, int code) {
    return test_support::log_view(log).has_error("..\\src\\winrelay", message, code);
}

class Winrelay : public ::testing::Test {
protected:
    scratch_dir dir{L"winrelay"};
    std::wstring record = dir.file(L"record.txt");
};

}  // namespace

TEST_F(Winrelay, CommandLineShapes) {
    struct {
        const char* name;
        std::vector<std::wstring> args;
        int exit_code;
        std::string output;
        bool logged;
    } cases[] = {
        {"help alone is two arguments", {L"--help"}, 87, kHelp, true},
        {"no arguments", {}, 87, kHelp, true},
        {"five arguments", {L"-id", L"1", L"-wt", L"t", L"-ini"}, 87, kHelp, true},
        {"seven arguments", {L"-id", L"1", L"-wt", L"t", L"-ini", L"x", L"y"}, 87, kHelp, true},
        {"help at an option position",
         {L"-id", L"1", L"--help", L"x", L"-wt", L"y"},
         1,
         std::string(kHelp) + "\n",
         false},
        {"help first, later pairs unseen",
         {L"--help", L"x", L"-bogus", L"y", L"-ID", L"z"},
         1,
         std::string(kHelp) + "\n",
         false},
        {"help as a value is a value",
         {L"-id", L"1", L"-wt", L"--help", L"x", L"--help"},
         87,
         kHelp,
         true},
        {"options are case-sensitive",
         {L"-ID", L"1", L"-wt", L"t", L"-ini", L"x"},
         87,
         kHelp,
         true},
        {"help is case-sensitive", {L"-id", L"1", L"-wt", L"t", L"--HELP", L"x"}, 87, kHelp, true},
        {"unknown option after good ones",
         {L"-id", L"1", L"-wt", L"t", L"-title", L"x"},
         87,
         kHelp,
         true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const run_result r = run_winrelay(c.args);
        EXPECT_EQ(r.exit_code, c.exit_code);
        EXPECT_EQ(r.output, c.output);
        EXPECT_EQ(count_log_messages(r.log, kInvalid), c.logged ? 1u : 0u);
        EXPECT_EQ(logged_error(r.log, kInvalid, 87), c.logged) << r.log;
    }
}

TEST_F(Winrelay, MissingWindowExitsTwo) {
    const run_result r = run_winrelay(
        {L"-id", L"1", L"-wt", L"no window has this title 5f1c", L"-ini", L"c:\\a.ini"});
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_EQ(r.output, "");
    EXPECT_TRUE(logged_error(r.log, kNoWindow, 0)) << r.log;
}

TEST_F(Winrelay, SendsIdAndPath) {
    const std::wstring title = L"winrelay target";
    relay_test::target_window target(title, record);
    ASSERT_NE(target.handle(), nullptr);

    struct {
        const char* name;
        std::vector<std::wstring> args;
        std::string expected;  // the record line up to the foreground flag, then the text
    } cases[] = {
        {"agent's order",
         {L"-id", L"7", L"-wt", title, L"-ini", L"c:\\spool\\7.ini"},
         "id=7 cb=30|c:\\spool\\7.ini"},
        {"any order", {L"-ini", L"c:\\b.ini", L"-id", L"8", L"-wt", title}, "id=8 cb=18|c:\\b.ini"},
        {"id without digits", {L"-id", L"abc", L"-wt", title, L"-ini", L"x"}, "id=0 cb=4|x"},
        {"id with trailing text", {L"-id", L"12abc", L"-wt", title, L"-ini", L"x"}, "id=12 cb=4|x"},
        {"negative id is sign-extended",
         {L"-id", L"-5", L"-wt", title, L"-ini", L"x"},
         "id=-5 cb=4|x"},
        {"blanks and sign", {L"-id", L"  +42", L"-wt", title, L"-ini", L"x"}, "id=42 cb=4|x"},
        {"clamped high",
         {L"-id", L"99999999999", L"-wt", title, L"-ini", L"x"},
         "id=2147483647 cb=4|x"},
        {"clamped low",
         {L"-id", L"-99999999999", L"-wt", title, L"-ini", L"x"},
         "id=-2147483648 cb=4|x"},
        {"no id option", {L"-ini", L"x", L"-wt", title, L"-ini", L"y"}, "id=0 cb=4|y"},
        {"empty ini path is the terminator only",
         {L"-id", L"3", L"-wt", title, L"-ini", L""},
         "id=3 cb=2|"},
        {"later pair wins, shorter path",
         {L"-ini", L"c:\\longer\\path.ini", L"-wt", title, L"-ini", L"c:\\p"},
         "id=0 cb=10|c:\\p"},
        {"values are never options",
         {L"-wt", L"wrong", L"-wt", title, L"-id", L"-ini"},
         "id=0 cb=2|"},
    };
    size_t sent = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const run_result r = run_winrelay(c.args);
        EXPECT_EQ(r.exit_code, 0);
        EXPECT_EQ(r.output, "");
        EXPECT_EQ(r.log, "");
        const std::vector<std::string> lines = relay_test::read_lines(record);
        ASSERT_EQ(lines.size(), ++sent);
        const std::string& line = lines.back();
        const std::string got =
            line.substr(0, line.find(" fg=")) + "|" + relay_test::record_text(line);
        EXPECT_EQ(got, c.expected);
    }
}

TEST_F(Winrelay, ValueThatLooksLikeAnOptionIsATitle) {
    relay_test::target_window target(L"-id", record);
    ASSERT_NE(target.handle(), nullptr);
    const run_result r = run_winrelay({L"-wt", L"-id", L"-ini", L"a", L"-id", L"5"});
    EXPECT_EQ(r.exit_code, 0);
    const std::vector<std::string> lines = relay_test::read_lines(record);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].substr(0, 5), "id=5 ");
    EXPECT_EQ(relay_test::record_text(lines[0]), "a");
}

TEST_F(Winrelay, LongValuesAreCutTo1023) {
    std::wstring long_title;
    for (int i = 0; long_title.size() < 1500; ++i) long_title += L"t" + std::to_wstring(i);
    long_title.resize(1500);
    const std::wstring cut_title = long_title.substr(0, 1023);
    const std::wstring long_path = L"c:\\" + std::wstring(1497, L'p');

    {
        // The cut title no longer matches the full one.
        relay_test::target_window full(long_title, record);
        ASSERT_NE(full.handle(), nullptr);
        EXPECT_EQ(run_winrelay({L"-id", L"1", L"-wt", long_title, L"-ini", L"x"}).exit_code, 2);
    }
    relay_test::target_window cut(cut_title, record);
    ASSERT_NE(cut.handle(), nullptr);
    EXPECT_EQ(run_winrelay({L"-id", L"1", L"-wt", long_title, L"-ini", long_path}).exit_code, 0);
    const std::vector<std::string> lines = relay_test::read_lines(record);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].substr(0, 13), "id=1 cb=2048 ");
    EXPECT_EQ(relay_test::record_text(lines[0]), to_narrow(long_path.substr(0, 1023)));
}

// The window gets the job while another window is still in front, and comes
// forward afterwards; the user's foreground lock time-out is left as it was.
TEST_F(Winrelay, SendsBeforeBringingForward) {
    const std::wstring title = L"winrelay foreground target";
    relay_test::target_window target(title, record);
    ASSERT_NE(target.handle(), nullptr);

    relay_test::target_window other(L"winrelay other window", dir.file(L"other.txt"));
    ASSERT_NE(other.handle(), nullptr);
    SetForegroundWindow(other.handle());
    ASSERT_NE(GetForegroundWindow(), target.handle());

    DWORD original = 0;
    ASSERT_TRUE(SystemParametersInfoW(SPI_GETFOREGROUNDLOCKTIMEOUT, 0, &original, 0));
    const DWORD marker = 12345;
    SystemParametersInfoW(SPI_SETFOREGROUNDLOCKTIMEOUT, 0,
                          reinterpret_cast<PVOID>(static_cast<UINT_PTR>(marker)),
                          SPIF_UPDATEINIFILE);

    const run_result r = run_winrelay({L"-id", L"1", L"-wt", title, L"-ini", L"c:\\f.ini"});

    DWORD after = 0;
    SystemParametersInfoW(SPI_GETFOREGROUNDLOCKTIMEOUT, 0, &after, 0);
    SystemParametersInfoW(SPI_SETFOREGROUNDLOCKTIMEOUT, 0,
                          reinterpret_cast<PVOID>(static_cast<UINT_PTR>(original)),
                          SPIF_UPDATEINIFILE);

    EXPECT_EQ(r.exit_code, 0);
    const std::vector<std::string> lines = relay_test::read_lines(record);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find(" fg=0 "), std::string::npos) << lines[0];
    EXPECT_EQ(GetForegroundWindow(), target.handle());
    EXPECT_EQ(after, marker);
}
