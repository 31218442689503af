// Seeded random job messages through the real pipe into the real agent
// service. Each message's outcome is foretold by the rules of the message
// (framing, NUL, separators, field limits) and the printers configured; the
// log must hold exactly the foretold outcomes, and the service must still run
// in the same process with its figures back at the baseline.
//
// FUZZ_SEED=<n> in the environment replays another run.
#include <gtest/gtest.h>

#include <map>
#include <random>

#include "host/agent_host.h"
#include "support/support.h"

namespace {

using reliability::agent_host;
using test_support::read_log;

constexpr int kMessages = 2000;
constexpr size_t kMaxUnits = 4096;  // 8192 bytes
constexpr size_t kFieldUnits = 1023;

const wchar_t kGood[] = L"Fuzz Good";      // for the warm-up only
const wchar_t kStrict[] = L"Fuzz Strict";  // no domain users: no session
const wchar_t kNoDir[] = L"Fuzz NoDir";    // no installation directory
const wchar_t kEmpty[] = L"Fuzz Empty";    // an installation directory without programs

// The outcomes, as the log names them.
const char kOversized[] = "pipe_srv_read_pipe_proc(): failed to ReadFile().";
const char kMissingField[] = "processing(): invalid input parameter.";
const char kNotPlainIni[] = "processing(): job ini path is not a plain local path.";
const char kUnknownPrinter[] = "processing(): can't find printer's record in the table.";
const char kNoSession[] = "processing(): failed to find_session_id(\"";
const char kNoDirectory[] =
    "processing(): failed to get \"Installation Directory\" value via HKLM hive.";
const char kNoProgress[] = "processing(): failed to exec_progress().";

unsigned seed() { return test_support::seed_from_environment(L"FUZZ_SEED", 20240611u); }

class message_maker {
public:
    explicit message_maker(unsigned seed) : random_(seed) {}

    std::vector<BYTE> next() {
        if (pick(20) == 0) return raw_bytes();
        std::wstring text;
        if (pick(4) == 0) text += separators();
        const int fields = static_cast<int>(pick(6));
        for (int i = 0; i < fields; ++i) {
            if (i) text += separators();
            text += i == 0 && pick(4) != 0   ? printer()
                    : i == 1 && pick(4) != 0 ? job_ini_path()
                                             : random_text();
        }
        if (pick(5) == 0) text += separators();
        std::vector<BYTE> bytes(text.size() * sizeof(wchar_t));
        if (!bytes.empty()) memcpy(bytes.data(), text.data(), bytes.size());
        if (bytes.empty()) bytes.assign(2, 0);  // an empty write is no message at all
        return bytes;
    }

private:
    unsigned pick(unsigned below) {
        return std::uniform_int_distribution<unsigned>(0, below - 1)(random_);
    }

    std::wstring separators() { return std::wstring(1 + pick(3), L';'); }

    std::wstring printer() {
        static const wchar_t* const names[] = {kStrict, kNoDir, kEmpty, L"fuzz strict", L"Fuzz"};
        std::wstring name = names[pick(5)];
        if (pick(8) == 0) name += std::wstring(pick(2) ? 1500 : 3, L'x');  // cut, or another name
        return name;
    }

    // Mostly plain local paths, else the forms that are refused; a random tail
    // may add a quote, a control character or a separator.
    std::wstring job_ini_path() {
        static const wchar_t* const starts[] = {
            L"C:\\fuzz\\job.ini", L"c:\\",    L"\\\\host\\share\\", L"\\\\.\\pipe\\",
            L"\\\\?\\C:\\",       L"job.ini", L"C:job.ini"};
        std::wstring path = starts[pick(3) != 0 ? pick(2) : pick(7)];
        if (pick(3) == 0) path += random_text();
        return path;
    }

    wchar_t unit() {
        switch (pick(8)) {
            case 0:
                return static_cast<wchar_t>(pick(0x10000));  // anything, surrogates included
            case 1:
                return static_cast<wchar_t>(0x80 + pick(0x180));
            case 2:
                return pick(10) == 0 ? L'\0' : L';';
            default:
                return static_cast<wchar_t>(L' ' + pick(0x5F));
        }
    }

    std::wstring random_text() {
        const size_t length = pick(10) == 0 ? pick(3000) : pick(24);
        std::wstring text;
        for (size_t i = 0; i < length; ++i) text += unit();
        return text;
    }

    std::vector<BYTE> raw_bytes() {
        std::vector<BYTE> bytes(1 + pick(pick(4) == 0 ? 9000 : 300));
        for (BYTE& byte : bytes) byte = static_cast<BYTE>(pick(256));
        return bytes;
    }

    std::mt19937 random_;
};

// The next token as the agent splits: runs of ";" are one separator.
bool next_token(const std::wstring& text, size_t& at, std::wstring& token) {
    at = text.find_first_not_of(L';', at);
    if (at == std::wstring::npos) return false;
    const size_t end = text.find(L';', at);
    token = text.substr(at, end == std::wstring::npos ? std::wstring::npos : end - at);
    at = end == std::wstring::npos ? text.size() : end;
    return true;
}

// The only job ini paths the service opens: "X:\..." without '"' or control
// characters, naming no device.
bool plain_local_path(const std::wstring& path) {
    const wchar_t drive = path.empty() ? L'\0' : static_cast<wchar_t>(path[0] | 0x20);
    if (path.size() < 3 || drive < L'a' || drive > L'z' || path[1] != L':' || path[2] != L'\\') {
        return false;
    }
    for (wchar_t c : path) {
        if (c < L' ' || c == 0x7F || c == L'"') return false;
    }
    wchar_t full[4096];
    const DWORD units = GetFullPathNameW(path.c_str(), 4096, full, nullptr);
    return units > 0 && units < 4096 && full[1] == L':';
}

std::string foretell(const std::vector<BYTE>& bytes) {
    if (bytes.size() > kMaxUnits * sizeof(wchar_t)) return kOversized;
    std::wstring text(bytes.size() / sizeof(wchar_t), L'\0');
    if (!text.empty()) memcpy(&text[0], bytes.data(), text.size() * sizeof(wchar_t));
    text = text.c_str();  // ends at the first NUL
    size_t at = 0;
    std::wstring fields[3];
    for (std::wstring& field : fields) {
        if (!next_token(text, at, field)) return kMissingField;
        field.resize(std::min(field.size(), kFieldUnits));
    }
    // Every process is an administrator under Wine: any user may be named.
    if (!plain_local_path(fields[1])) return kNotPlainIni;
    if (fields[0] == kStrict) return kNoSession;
    if (fields[0] == kNoDir) return kNoDirectory;
    if (fields[0] == kEmpty) return kNoProgress;
    return kUnknownPrinter;
}

TEST(FuzzPipe, EveryMessageEndsInOneForetoldOutcome) {
    const unsigned run_seed = seed();
    SCOPED_TRACE("FUZZ_SEED=" + std::to_string(run_seed));
    reliability::work_folder folder(L"c:\\tmp\\tests\\fuzz-pipe-" +
                                    std::to_wstring(GetCurrentProcessId()));
    agent_host agent(folder.path());
    agent.add_printer(kGood, L"TavirelFuzzGood");
    agent.add_printer(kStrict, L"TavirelFuzzStrict").set_dword(L"Allow domain session", 0);
    agent.add_printer(kNoDir, L"TavirelFuzzNoDir").remove(L"Installation Directory");
    const std::wstring empty_dir = folder.file(L"empty");
    CreateDirectoryW(empty_dir.c_str(), nullptr);
    agent.add_printer(kEmpty, L"TavirelFuzzEmpty").set_string(L"Installation Directory", empty_dir);
    test_support::clear_log();
    ASSERT_TRUE(agent.start()) << read_log();
    const DWORD pid = agent.pid();
    ASSERT_TRUE(agent.warm_up(kGood)) << read_log();
    test_support::clear_log();
    reliability::process_figures baseline;
    ASSERT_TRUE(agent.figures(baseline));

    message_maker maker(run_seed);
    std::map<std::string, size_t> foretold;
    for (int i = 0; i < kMessages; ++i) {
        const std::vector<BYTE> bytes = maker.next();
        ASSERT_TRUE(reliability::send_bytes(bytes.data(), static_cast<DWORD>(bytes.size())))
            << "message " << i;
        ++foretold[foretell(bytes)];
    }

    std::map<std::string, size_t> seen;
    const bool settled = reliability::eventually(
        [&] {
            const test_support::log_view log = test_support::log_view::read();
            size_t total = 0;
            for (const auto& outcome : foretold) {
                total += seen[outcome.first] = log.count_starting(outcome.first);
            }
            return total >= kMessages;
        },
        180000);
    EXPECT_TRUE(settled);
    for (const auto& outcome : foretold) {
        EXPECT_EQ(outcome.second, seen[outcome.first]) << outcome.first;
    }
    EXPECT_TRUE(agent.running());
    EXPECT_EQ(pid, agent.pid());
    reliability::process_figures now;
    EXPECT_TRUE(reliability::back_to_baseline(agent, baseline, &now))
        << reliability::describe(baseline, now);
}

}  // namespace
