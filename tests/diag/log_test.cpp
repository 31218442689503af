#define LOG_MODULE "..\\src\\Service"
#include "diag/log.h"

#include <gtest/gtest.h>

#include <cstring>
#include <regex>
#include <string>
#include <vector>

#include "diag/log_format.h"
#include "support/support.h"

using namespace test_support;

namespace {

SYSTEMTIME monday_3_jan_2011() {
    SYSTEMTIME t{};
    t.wYear = 2011;
    t.wMonth = 1;
    t.wDayOfWeek = 1;
    t.wDay = 3;
    t.wHour = 9;
    t.wMinute = 5;
    t.wSecond = 7;
    return t;
}

std::string bytes(const diag::entry_buffer& b) { return std::string(b.data(), b.size()); }

}  // namespace

TEST(LogFormat, ErrorEntryShape) {
    diag::entry_buffer b;
    diag::format_entry(b, diag::entry_kind::error, "..\\src\\Service", 42, monday_3_jan_2011(),
                       "service_main(): failed to CreateEvent().", 8);
    EXPECT_EQ(bytes(b),
              "\r\nERROR: file: ..\\src\\Service; line: 42; time: Mon Jan 03 09:05:07 2011;\r\n"
              "message: service_main(): failed to CreateEvent().\r\nerrcode: 8\r\n\r\n");
}

TEST(LogFormat, WarningEntryHasNoCodeLine) {
    diag::entry_buffer b;
    SYSTEMTIME t = monday_3_jan_2011();
    t.wDayOfWeek = 6;
    t.wMonth = 12;
    t.wDay = 31;
    t.wHour = 23;
    t.wMinute = 59;
    t.wSecond = 0;
    t.wYear = 10000;
    diag::format_entry(b, diag::entry_kind::warning, "..\\src\\pipe_srv", 7, t,
                       "driver_serv_proc(): terminate event happened.", 0);
    EXPECT_EQ(bytes(b),
              "\r\nWARNING: file: ..\\src\\pipe_srv; line: 7; time: Sat Dec 31 23:59:00 10000;\r\n"
              "message: driver_serv_proc(): terminate event happened.\r\n\r\n");
}

TEST(LogFormat, CodesPrintAsSignedDecimal) {
    struct {
        int code;
        const char* shown;
    } cases[] = {{-1, "errcode: -1\r\n"},
                 {static_cast<int>(0x80000000u), "errcode: -2147483648\r\n"},
                 {static_cast<int>(0xFFFFFFFEu), "errcode: -2\r\n"},
                 {0x7FFFFFFF, "errcode: 2147483647\r\n"}};
    for (const auto& c : cases) {
        diag::entry_buffer b;
        diag::format_entry(b, diag::entry_kind::error, "f", 1, monday_3_jan_2011(), "m", c.code);
        EXPECT_NE(bytes(b).find(c.shown), std::string::npos) << c.shown;
    }
}

TEST(LogFormat, WideTextStoredAsBytes) {
    diag::entry_buffer b;
    // U+00E9 and U+00FF fit a byte; U+0100 and each half of a surrogate pair do not.
    diag::format_entry(b, diag::entry_kind::warning, L"..\\src\\Service", 3, monday_3_jan_2011(),
                       L"user \u00e9\u00ff\u0100\xD83D\xDE00 \u00a0x", 0);
    EXPECT_NE(bytes(b).find("message: user \xE9\xFF??? \xA0x\r\n\r\n"), std::string::npos)
        << bytes(b);
}

TEST(LogFormat, TraceLine) {
    diag::entry_buffer b;
    diag::format_trace(b, "..\\src\\regtools", 99, "read_reg_settings()", "configure_reg_key()");
    EXPECT_EQ(bytes(b),
              "module read_reg_settings() exec configure_reg_key() in ..\\src\\regtools at 99\r\n");
}

TEST(LogFormat, WideMessageCutAt2047Units) {
    std::wstring long_name(3000, L'a');
    wchar_t out[kLogWideMessageUnits];
    struct composer {
        static void run(wchar_t* o, const wchar_t* fmt, ...) {
            va_list args;
            va_start(args, fmt);
            diag::compose_wide(o, kLogWideMessageUnits, fmt, args);
            va_end(args);
        }
    };
    composer::run(out, L"x%ls", long_name.c_str());
    EXPECT_EQ(std::wstring(out).size(), 2047u);
    EXPECT_EQ(out[0], L'x');
    // Both "%s" and "%ls" take a wide string in the wide format.
    composer::run(out, L"[%s|%ls]", L"ab", L"cd");
    EXPECT_EQ(std::wstring(out), L"[ab|cd]");
}

class LogFile : public ::testing::Test {
protected:
    void SetUp() override { clear_log(); }
    void TearDown() override { clear_log(); }
};

TEST_F(LogFile, ErrorEntryWrittenAndLastErrorSet) {
    SetLastError(5);
    LOG_ERROR("service_main(): failed to CreateEvent().");
    EXPECT_EQ(GetLastError(), 5u);
    LOG_ERROR_CODE(8, "pipe_srv_init(): failed to new().");
    EXPECT_EQ(GetLastError(), 8u);
    SetLastError(1234);
    LOG_WARNING("driver_serv_proc(): terminate event happened.");
    LOG_TRACE("processing()", "exec_progress()");
    EXPECT_EQ(GetLastError(), 1234u);

    const std::string log = read_log();
    const std::regex shape(
        "\r\nERROR: file: \\.\\.\\\\src\\\\Service; line: [0-9]+; time: "
        "(Sun|Mon|Tue|Wed|Thu|Fri|Sat) (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) "
        "[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} [0-9]{4,};\r\n"
        "message: service_main\\(\\): failed to CreateEvent\\(\\)\\.\r\nerrcode: 5\r\n\r\n"
        "\r\nERROR: [^\r\n]*\r\nmessage: pipe_srv_init\\(\\): failed to new\\(\\)\\.\r\nerrcode: "
        "8\r\n\r\n"
        "\r\nWARNING: [^\r\n]*\r\nmessage: driver_serv_proc\\(\\): terminate event "
        "happened\\.\r\n\r\n"
        "module processing\\(\\) exec exec_progress\\(\\) in \\.\\.\\\\src\\\\Service at "
        "[0-9]+\r\n");
    EXPECT_TRUE(std::regex_match(log, shape)) << log;
}

TEST_F(LogFile, WideErrorNamesUserAndKeepsCode) {
    SetLastError(87);
    LOG_ERROR(L"processing(): failed to find_session_id(\"%s\").", L"J\u00f6rg\u4e16");
    EXPECT_EQ(GetLastError(), 87u);
    LOG_WARNING(L"find_session_id(): domain \"%ls\" session ID was detected.", L"carol");
    const std::string log = read_log();
    EXPECT_EQ(count_log_messages(log, "processing(): failed to find_session_id(\"J\xF6rg?\")."), 1u)
        << log;
    EXPECT_NE(log.find("errcode: 87\r\n"), std::string::npos);
    EXPECT_EQ(
        count_log_messages(log, "find_session_id(): domain \"carol\" session ID was detected."),
        1u);
    // The wide header names the module as the narrow one does.
    EXPECT_NE(log.find("\r\nERROR: file: ..\\src\\Service; line: "), std::string::npos);
}

TEST_F(LogFile, DeletedFileStartsAnew) {
    LOG_ERROR_CODE(1, "first.");
    ASSERT_TRUE(DeleteFileW(kLogPath));
    LOG_ERROR_CODE(2, "second.");
    const std::string log = read_log();
    EXPECT_EQ(count_log_messages(log, "first."), 0u);
    EXPECT_EQ(count_log_messages(log, "second."), 1u);
}

TEST(LogNoDirectory, NothingWrittenCodeStillSet) {
    const wchar_t* parked = L"c:\\tmp-parked-by-diag-test";
    ensure_log_dir();
    DeleteFileW(kLogPath);
    ASSERT_TRUE(MoveFileW(L"c:\\tmp", parked));
    SetLastError(0);
    LOG_ERROR_CODE(31, "not written.");
    const DWORD after = GetLastError();
    LOG_WARNING("not written either.");
    LOG_TRACE("a()", "b()");
    const DWORD attributes = GetFileAttributesW(L"c:\\tmp");
    ASSERT_TRUE(MoveFileW(parked, L"c:\\tmp"));
    EXPECT_EQ(after, 31u);
    EXPECT_EQ(attributes, INVALID_FILE_ATTRIBUTES) << "the log must never create c:\\tmp";
}

TEST_F(LogFile, LinkAtLogNameIsNotFollowed) {
    const std::wstring victim = L"c:\\tmp\\diag-test-victim";
    ASSERT_TRUE(write_file(victim, "precious"));

    // A symbolic link planted at the log's name.
    const BOOL linked = CreateSymbolicLinkW(kLogPath, victim.c_str(), 0x2 /* unprivileged */) ||
                        CreateSymbolicLinkW(kLogPath, victim.c_str(), 0);
    if (linked) {
        LOG_ERROR_CODE(1, "through a symbolic link.");
        EXPECT_EQ(read_file(victim), "precious");
        RemoveDirectoryW(kLogPath);
        DeleteFileW(kLogPath);
    }

    // A second name of another file.
    ASSERT_TRUE(CreateHardLinkW(kLogPath, victim.c_str(), nullptr));
    LOG_ERROR_CODE(1, "through a hard link.");
    EXPECT_EQ(read_file(victim), "precious");
    DeleteFileW(kLogPath);
    DeleteFileW(victim.c_str());

    // A plain file is appended to as usual.
    LOG_ERROR_CODE(1, "plain.");
    EXPECT_EQ(count_log_messages(read_log(), "plain."), 1u);
    if (!linked) GTEST_SKIP() << "symbolic links unavailable here; hard link checked";
}

TEST_F(LogFile, ConcurrentWritersNeverMix) {
    constexpr int kPerWriter = 150;
    const std::wstring writer = beside_exe(L"log_writer.exe");
    // Four threads here and two other processes write at once.
    run_threads(6, [&writer](int index) {
        if (index < 4) {
            for (int i = 0; i < kPerWriter; ++i) {
                LOG_ERROR_CODE(i, L"log_writer(): thread%d entry %d of a long enough message text.",
                               index, i);
            }
        } else {
            EXPECT_EQ(run_process(L"\"" + writer + L"\" proc" + std::to_wstring(index) + L" " +
                                  std::to_wstring(kPerWriter)),
                      0);
        }
    });

    const std::string log = read_log();
    const std::regex entry(
        "\r\nERROR: file: \\.\\.\\\\src\\\\(Service|tools); line: [0-9]+; time: [^\r\n]+;\r\n"
        "message: log_writer\\(\\): (thread|proc)[0-9] entry ([0-9]+) of a long enough message "
        "text\\.\r\nerrcode: \\3\r\n\r\n");
    size_t count = 0;
    size_t consumed = 0;
    for (std::sregex_iterator it(log.begin(), log.end(), entry), end; it != end; ++it) {
        EXPECT_EQ(static_cast<size_t>(it->position()), consumed) << "garbage before an entry";
        consumed = static_cast<size_t>(it->position() + it->length());
        ++count;
    }
    EXPECT_EQ(consumed, log.size());
    // An entry whose writer waits for the others longer than the lock's bound
    // is dropped, by design: on a loaded machine a few are, never more.
    constexpr size_t kWritten = 6 * kPerWriter;
    EXPECT_LE(count, kWritten);
    EXPECT_GE(count, kWritten - kWritten / 100);
    if (count != kWritten) write_file(L"c:\\tmp\\mixed-log", log);
}

// A burst from one process's own threads (every job of the service meeting a
// stop at once) loses nothing: they take turns before the file's lock, which
// only another process may keep them from.
TEST_F(LogFile, ThreadsOfOneProcessNeverDropEachOthersEntries) {
    constexpr int kThreads = 16;
    constexpr int kPerThread = 200;
    run_threads(kThreads, [](int index) {
        for (int i = 0; i < kPerThread; ++i) {
            LOG_ERROR_CODE(i, L"burst(): thread%d entry %d.", index, i);
        }
    });
    const log_view view = log_view::read();
    size_t count = 0;
    for (const log_entry& entry : view.entries()) {
        if (entry.message.compare(0, 15, "burst(): thread") == 0) ++count;
    }
    EXPECT_EQ(count, static_cast<size_t>(kThreads * kPerThread));
}

// Another process may lock the whole log file and keep it locked: an entry
// then waits only a short, bounded while and is dropped; once the lock is
// gone entries are written again.
TEST_F(LogFile, HeldLockDropsEntriesWithoutWaiting) {
    LOG_ERROR_CODE(1, "before the lock.");
    HANDLE holder = CreateFileW(kLogPath, GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    OVERLAPPED whole{};
    ASSERT_TRUE(LockFileEx(holder, LOCKFILE_EXCLUSIVE_LOCK, 0, 0xFFFFFFFFu, 0xFFFFFFFFu, &whole));

    // The bound is a few tens of milliseconds; this limit only tells a bounded
    // wait from an unbounded one on a loaded machine.
    constexpr ULONGLONG kUnboundedMs = 5000;
    bool returned = false;
    ULONGLONG took = 0;
    HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    run_threads(2, [&](int index) {
        if (index == 0) {
            const ULONGLONG start = GetTickCount64();
            SetLastError(0);
            LOG_ERROR_CODE(42, "while locked.");
            EXPECT_EQ(GetLastError(), 42u);
            LOG_WARNING("while locked, a warning.");
            LOG_TRACE("locked()", "trace()");
            took = GetTickCount64() - start;
            returned = true;
            SetEvent(done);
        } else {
            // Without a bound the entry would wait for ever: let it go then.
            if (WaitForSingleObject(done, kUnboundedMs) != WAIT_OBJECT_0) {
                UnlockFileEx(holder, 0, 0xFFFFFFFFu, 0xFFFFFFFFu, &whole);
            }
        }
    });
    EXPECT_TRUE(returned);
    EXPECT_LT(took, kUnboundedMs);
    UnlockFileEx(holder, 0, 0xFFFFFFFFu, 0xFFFFFFFFu, &whole);
    CloseHandle(holder);
    CloseHandle(done);

    LOG_ERROR_CODE(2, "after the lock.");
    const std::string log = read_log();
    EXPECT_EQ(count_log_messages(log, "before the lock."), 1u);
    EXPECT_EQ(log.find("while locked"), std::string::npos) << log;
    EXPECT_EQ(log.find("trace()"), std::string::npos) << log;
    EXPECT_EQ(count_log_messages(log, "after the lock."), 1u) << log;
}

namespace {

// Makes `link` a directory link to `target`: a symbolic link, or else a
// junction. False when the platform makes neither.
bool make_directory_link(const wchar_t* link, const std::wstring& target) {
    const auto is_link = [link] {
        const DWORD attributes = GetFileAttributesW(link);
        return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
    };
    constexpr DWORD kDirectory = 0x1, kUnprivileged = 0x2;
    if (CreateSymbolicLinkW(link, target.c_str(), kDirectory | kUnprivileged) && is_link()) {
        return true;
    }
    if (CreateSymbolicLinkW(link, target.c_str(), kDirectory) && is_link()) return true;
    RemoveDirectoryW(link);
    if (!CreateDirectoryW(link, nullptr)) return false;

    // A mount-point reparse buffer: tag, data length, reserved, then the
    // offsets and lengths of the substitute and print names and both names.
    const std::wstring substitute = L"\\??\\" + target;
    std::vector<BYTE> buffer(8 + 8 + (substitute.size() + 1 + target.size() + 1) * 2);
    const auto put16 = [&buffer](size_t at, size_t value) {
        const USHORT v = static_cast<USHORT>(value);
        memcpy(&buffer[at], &v, 2);
    };
    const DWORD tag = 0xA0000003;  // IO_REPARSE_TAG_MOUNT_POINT
    memcpy(&buffer[0], &tag, 4);
    put16(4, buffer.size() - 8);
    put16(8, 0);
    put16(10, substitute.size() * 2);
    put16(12, (substitute.size() + 1) * 2);
    put16(14, target.size() * 2);
    memcpy(&buffer[16], substitute.c_str(), substitute.size() * 2);
    memcpy(&buffer[16 + (substitute.size() + 1) * 2], target.c_str(), target.size() * 2);
    HANDLE directory =
        CreateFileW(link, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (directory == INVALID_HANDLE_VALUE) return false;
    constexpr DWORD kSetReparsePoint = 0x000900A4;  // FSCTL_SET_REPARSE_POINT
    DWORD returned = 0;
    const BOOL set =
        DeviceIoControl(directory, kSetReparsePoint, buffer.data(),
                        static_cast<DWORD>(buffer.size()), nullptr, 0, &returned, nullptr);
    CloseHandle(directory);
    return set && is_link();
}

}  // namespace

// c:\tmp itself may be a link that any user planted: the log then writes
// nothing, there or at the link's target.
TEST(LogDirectoryLink, NotWrittenThrough) {
    const wchar_t* parked = L"c:\\tmp-parked-by-diag-link-test";
    const std::wstring target = L"c:\\diag-link-target";
    ensure_log_dir();
    CreateDirectoryW(target.c_str(), nullptr);
    DeleteFileW((target + L"\\log").c_str());
    ASSERT_TRUE(MoveFileW(L"c:\\tmp", parked));

    const bool linked = make_directory_link(L"c:\\tmp", target);
    if (linked) {
        LOG_ERROR_CODE(1, "through a linked directory.");
        LOG_TRACE("linked()", "trace()");
    }
    RemoveDirectoryW(L"c:\\tmp");
    const DWORD written = GetFileAttributesW((target + L"\\log").c_str());
    ASSERT_TRUE(MoveFileW(parked, L"c:\\tmp"));
    RemoveDirectoryW(target.c_str());

    if (!linked)
        GTEST_SKIP() << "this platform makes no directory links (symbolic link or junction)";
    EXPECT_EQ(written, INVALID_FILE_ATTRIBUTES) << "the log was written through the link";
}

// A plain c:\tmp whose log file is opened relative to the checked directory.
TEST_F(LogFile, PlainDirectoryIsWrittenAsEver) {
    LOG_ERROR_CODE(3, "plain directory.");
    EXPECT_EQ(count_log_messages(read_log(), "plain directory."), 1u);
    // A file named c:\tmp is no directory: nothing is written.
    const wchar_t* parked = L"c:\\tmp-parked-by-diag-file-test";
    ASSERT_TRUE(MoveFileW(L"c:\\tmp", parked));
    ASSERT_TRUE(write_file(L"c:\\tmp", "not a directory"));
    LOG_ERROR_CODE(4, "into a file.");
    const std::string file = read_file(L"c:\\tmp");
    DeleteFileW(L"c:\\tmp");
    ASSERT_TRUE(MoveFileW(parked, L"c:\\tmp"));
    EXPECT_EQ(file, "not a directory");
}
