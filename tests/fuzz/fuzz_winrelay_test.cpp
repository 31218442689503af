// Seeded random command lines for winrelay: thousands through its parser in
// this process, with guard bytes around the request to catch any write past
// its buffers, and a few hundred through the real winrelay.exe. Every outcome
// must be the one the command-line rules foretell.
//
// FUZZ_SEED=<n> in the environment replays another run.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <random>

#include "support/support.h"
#include "winrelay/command_line.h"

namespace {

constexpr int kParsed = 20000;
constexpr int kStarted = 200;
constexpr size_t kTextLimit = contracts::kRelayTextUnits - 1;

unsigned seed() { return test_support::seed_from_environment(L"FUZZ_SEED", 20240611u); }

class argument_maker {
public:
    explicit argument_maker(unsigned seed) : random_(seed) {}

    unsigned pick(unsigned below) {
        return std::uniform_int_distribution<unsigned>(0, below - 1)(random_);
    }

    // Mostly seven arguments, options mostly where they belong.
    std::vector<std::wstring> next() {
        const int count = pick(4) == 0 ? static_cast<int>(pick(10)) : 7;
        std::vector<std::wstring> args;
        for (int i = 0; i < count; ++i) {
            args.push_back(i == 0 ? L"winrelay.exe" : (i % 2 && pick(6) != 0) ? option() : value());
        }
        return args;
    }

    std::wstring option() {
        static const wchar_t* const options[] = {L"-id", L"-ini", L"-wt", L"--help",
                                                 L"-ID", L"-",    L"id"};
        return options[pick(pick(3) == 0 ? 7 : 3)];
    }

    std::wstring value() {
        switch (pick(6)) {
            case 0:
                return std::to_wstring(static_cast<long long>(random_()) - (1LL << 31) * 2);
            case 1:
                return L" -" + std::to_wstring(random_()) + L"abc";
            case 2:
                return std::wstring(pick(2000), static_cast<wchar_t>(L'a' + pick(26)));
            case 3:
                return option();
            default: {
                std::wstring text;
                for (unsigned i = pick(30); i > 0; --i)
                    text += static_cast<wchar_t>(1 + pick(0xFFFE));
                return text;
            }
        }
    }

private:
    std::mt19937 random_;
};

struct foretold {
    parse_outcome outcome = parse_outcome::relay;
    int32_t message_id = 0;
    std::wstring ini_path;
    std::wstring window_title;
};

// The runtime's own conversion: its idea of a digit and its clamping rule.
int32_t read_id(const std::wstring& value) {
    return static_cast<int32_t>(std::wcstol(value.c_str(), nullptr, 10));
}

// Runs the command line with its output thrown away; the exit code, or -1.
int run_quietly(const std::wstring& line) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE nul = CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                             OPEN_EXISTING, 0, nullptr);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = startup.hStdError = nul;
    PROCESS_INFORMATION started{};
    int code = -1;
    if (!test_support::start_process(line, true, startup, started)) {
        std::printf("CreateProcess failed with %lu\n", GetLastError());
    } else {
        DWORD exit_code = 0;
        if (WaitForSingleObject(started.hProcess, 20000) == WAIT_OBJECT_0 &&
            GetExitCodeProcess(started.hProcess, &exit_code)) {
            code = static_cast<int>(exit_code);
        } else {
            TerminateProcess(started.hProcess, 1);
        }
        CloseHandle(started.hThread);
        CloseHandle(started.hProcess);
    }
    CloseHandle(nul);
    return code;
}

foretold foretell(const std::vector<std::wstring>& args) {
    foretold f;
    if (args.size() != 7) {
        f.outcome = parse_outcome::invalid;
        return f;
    }
    for (size_t at = 1; at < 7; at += 2) {
        const std::wstring& value = args[at + 1];
        if (args[at] == L"-id") {
            f.message_id = read_id(value);
        } else if (args[at] == L"-ini") {
            f.ini_path = value.substr(0, kTextLimit);
        } else if (args[at] == L"-wt") {
            f.window_title = value.substr(0, kTextLimit);
        } else {
            f.outcome = args[at] == L"--help" ? parse_outcome::help : parse_outcome::invalid;
            return f;
        }
    }
    return f;
}

// The request with guard bytes on both sides.
struct guarded_request {
    unsigned char before[64];
    relay_request request;
    unsigned char after[64];
};

TEST(FuzzWinrelay, ParserOutcomesAreForetoldAndStayInBounds) {
    const unsigned run_seed = seed();
    SCOPED_TRACE("FUZZ_SEED=" + std::to_string(run_seed));
    argument_maker maker(run_seed);
    for (int i = 0; i < kParsed; ++i) {
        const std::vector<std::wstring> args = maker.next();
        std::vector<const wchar_t*> argv;
        for (const std::wstring& arg : args) argv.push_back(arg.c_str());
        argv.push_back(nullptr);

        guarded_request guarded;
        memset(guarded.before, 0xA5, sizeof guarded.before);
        memset(guarded.after, 0xA5, sizeof guarded.after);
        const parse_outcome outcome =
            parse_command_line(static_cast<int>(args.size()), argv.data(), guarded.request);
        const foretold expected = foretell(args);
        ASSERT_EQ(expected.outcome, outcome) << "case " << i;
        for (unsigned char guard : guarded.before) ASSERT_EQ(0xA5, guard) << "case " << i;
        for (unsigned char guard : guarded.after) ASSERT_EQ(0xA5, guard) << "case " << i;
        if (outcome != parse_outcome::relay) continue;
        ASSERT_EQ(expected.message_id, guarded.request.message_id) << "case " << i;
        ASSERT_EQ(expected.ini_path, guarded.request.ini_path) << "case " << i;
        ASSERT_EQ(expected.window_title, guarded.request.window_title) << "case " << i;
    }
}

// The real program: quoted arguments as the agent writes them, and no title
// that any window could have, so a valid line ends in "no such window".
TEST(FuzzWinrelay, RealProgramExitsWithTheForetoldCode) {
    const unsigned run_seed = seed() + 1;
    SCOPED_TRACE("FUZZ_SEED=" + std::to_string(run_seed - 1));
    argument_maker maker(run_seed);
    const std::wstring program = test_support::beside_exe(L"winrelay.exe");
    for (int i = 0; i < kStarted; ++i) {
        std::vector<std::wstring> args = maker.next();
        // Printable values without quotes, so that the split is the one foretold.
        for (size_t a = 1; a < args.size(); ++a) {
            for (wchar_t& c : args[a]) {
                if (c < L' ' || c == L'"' || c == L'\\' || c > 0x7E) c = L'_';
            }
            if (args[a].empty()) args[a] = L"_";
            if (a % 2 == 0 && a >= 2 && args[a - 1] == L"-wt") args[a] = L"fuzz-" + args[a];
        }
        foretold expected = foretell(args);
        // Without -wt the title stays empty, which hidden windows may carry.
        if (expected.outcome == parse_outcome::relay && expected.window_title.empty()) continue;
        std::wstring line = L"\"" + program + L"\"";
        for (size_t a = 1; a < args.size(); ++a) line += L" \"" + args[a] + L"\"";
        const int expected_code = expected.outcome == parse_outcome::invalid ? 87
                                  : expected.outcome == parse_outcome::help  ? 1
                                                                             : 2;
        ASSERT_EQ(expected_code, run_quietly(line)) << "case " << i;
    }
}

}  // namespace
