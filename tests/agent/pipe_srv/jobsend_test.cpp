// jobsend.exe driven from outside, against the real pipe server.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "common/owned.h"
#include "agent/pipe_srv/pipe_srv.h"
#include "fakes/recorder.h"
#include "support/support.h"
using contracts::kJobPipeName;

using namespace test_support;

namespace {

int jobsend(const std::wstring& args) {
    return run_process(L"\"" + beside_exe(L"jobsend.exe") + L"\" " + args, 30000);
}

std::wstring ini_value(const std::wstring& ini, const wchar_t* key) {
    wchar_t value[2048] = {};
    GetPrivateProfileStringW(L"Spool", key, L"", value, 2048, ini.c_str());
    return value;
}

TEST(JobsendCommandLine, ExitCodeTable) {
    struct row {
        const wchar_t* args;
        int exit_code;
    };
    const row rows[] = {
        {L"", 87},
        {L"--help", 0},
        {L"--printer P --ini c:\\j.ini --bogus x", 87},
        {L"--printer P --ini c:\\j.ini --user", 87},
        {L"--printer P --user U", 87},
        {L"--printer P;Q --ini c:\\j.ini --user U", 87},
        {L"--printer P --ini c:\\j.ini --user U --timeout 5s", 87},
        {L"--printer P --ini c:\\j.ini --user U --type RAW", 87},
        {L"--printer P --ini c:\\j.ini --user U --make-job c:\\tmp", 87},
        {L"--raw-message x --user U", 87},
        // Nothing listens on the pipe.
        {L"--printer P --ini c:\\j.ini --user U", 2},
        {L"--raw-message x", 2},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(to_narrow(r.args));
        EXPECT_EQ(jobsend(r.args), r.exit_code);
    }
}

// Names created in a folder, in the order the file system reports them.
class creation_order {
public:
    explicit creation_order(const std::wstring& dir)
        : dir_(CreateFileW(dir.c_str(), FILE_LIST_DIRECTORY,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED,
                           nullptr)),
          done_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
        arm();
    }
    ~creation_order() {
        if (dir_) {
            CancelIo(dir_.get());
            DWORD ignored = 0;
            GetOverlappedResult(dir_.get(), &overlapped_, &ignored, TRUE);
        }
    }
    bool watching() const { return dir_ && armed_; }

    // Collects until the folder has been quiet for quiet_ms.
    std::vector<std::wstring> names(DWORD quiet_ms = 1000) {
        std::vector<std::wstring> added;
        while (armed_ && WaitForSingleObject(done_.get(), quiet_ms) == WAIT_OBJECT_0) {
            DWORD bytes = 0;
            if (!GetOverlappedResult(dir_.get(), &overlapped_, &bytes, FALSE)) break;
            for (DWORD at = 0; bytes != 0;) {
                const auto* note = reinterpret_cast<const FILE_NOTIFY_INFORMATION*>(buffer_ + at);
                if (note->Action == FILE_ACTION_ADDED) {
                    added.emplace_back(note->FileName, note->FileNameLength / sizeof(wchar_t));
                }
                if (note->NextEntryOffset == 0) break;
                at += note->NextEntryOffset;
            }
            arm();
        }
        return added;
    }

private:
    void arm() {
        ResetEvent(done_.get());
        overlapped_ = {};
        overlapped_.hEvent = done_.get();
        armed_ = dir_ && ReadDirectoryChangesW(dir_.get(), buffer_, sizeof buffer_, FALSE,
                                               FILE_NOTIFY_CHANGE_FILE_NAME, nullptr, &overlapped_,
                                               nullptr);
    }

    owned::unique_file dir_;
    owned::unique_handle done_;
    OVERLAPPED overlapped_{};
    bool armed_ = false;
    alignas(DWORD) BYTE buffer_[16384];
};

// The service relies on a job ini that exists naming a complete spool file.
TEST(JobsendCommandLine, MakeJobWritesTheSpoolFileBeforeTheIni) {
    scratch_dir dir(L"jobsend-order");
    for (const wchar_t* type : {L"EMF", L"RAW"}) {
        SCOPED_TRACE(to_narrow(type));
        creation_order order(dir.path());
        ASSERT_TRUE(order.watching());
        // Nothing listens on the pipe: the files are written all the same.
        EXPECT_EQ(
            jobsend(L"--printer P --user U --make-job \"" + dir.path() + L"\" --type " + type), 2);
        const std::vector<std::wstring> names = order.names();
        const std::wstring spool = std::wstring(type) == L"EMF" ? L"job1.emf" : L"job2.prn";
        const std::wstring ini = std::wstring(type) == L"EMF" ? L"job1.ini" : L"job2.ini";
        const auto spool_at = std::find(names.begin(), names.end(), spool);
        const auto ini_at = std::find(names.begin(), names.end(), ini);
        ASSERT_NE(spool_at, names.end());
        ASSERT_NE(ini_at, names.end());
        EXPECT_LT(spool_at - names.begin(), ini_at - names.begin());
        EXPECT_EQ(ini_value(dir.file(ini), L"File0"), dir.file(spool));
    }
}

// A ";" in the folder, given or from the current directory, would split the
// message: refused as a bad command line before anything is written.
TEST(JobsendCommandLine, MakeJobRefusesAFolderWithASeparator) {
    scratch_dir dir(L"jobsend;split");
    scratch_dir plain(L"jobsend-plain");
    const struct {
        std::wstring args;
        const wchar_t* current_dir;
    } rows[] = {
        {L"--printer P --user U --make-job \"" + dir.path() + L"\"", nullptr},
        {L"--printer P --user U --make-job \"" + dir.path() + L"\\sub\"", nullptr},
        {L"--printer P --user U --make-job sub", dir.path().c_str()},
    };
    wchar_t before[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, before);
    for (const auto& r : rows) {
        SCOPED_TRACE(to_narrow(r.args));
        if (r.current_dir) SetCurrentDirectoryW(r.current_dir);
        EXPECT_EQ(jobsend(r.args), 87);
        SetCurrentDirectoryW(before);
    }
    WIN32_FIND_DATAW found;
    const HANDLE search = FindFirstFileW(dir.file(L"*").c_str(), &found);
    ASSERT_NE(search, INVALID_HANDLE_VALUE);
    std::vector<std::wstring> entries;
    do {
        if (wcscmp(found.cFileName, L".") != 0 && wcscmp(found.cFileName, L"..") != 0) {
            entries.push_back(found.cFileName);
        }
    } while (FindNextFileW(search, &found));
    FindClose(search);
    EXPECT_TRUE(entries.empty()) << to_narrow(entries.empty() ? L"" : entries.front());
    // The same folder without the separator works.
    EXPECT_EQ(jobsend(L"--printer P --user U --make-job \"" + plain.path() + L"\""), 2);
    EXPECT_NE(GetFileAttributesW(plain.file(L"job1.ini").c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST(JobsendCommandLine, BusyPipeTimesOut) {
    // Our own one instance, held by a connected client.
    const owned::unique_file pipe(CreateNamedPipeW(kJobPipeName, PIPE_ACCESS_DUPLEX,
                                                   PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE, 1,
                                                   4096, 4096, 0, nullptr));
    ASSERT_TRUE(pipe);
    const owned::unique_file holder(
        CreateFileW(kJobPipeName, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(holder);
    EXPECT_EQ(jobsend(L"--printer P --ini c:\\j.ini --user U --timeout 300"), 3);
}

class JobsendToServer : public recorder::shared_server_test {
protected:
    static std::wstring sent_message(const std::wstring& args) {
        EXPECT_EQ(jobsend(args), 0);
        if (!recorder::wait_for(1)) return L"<nothing arrived>";
        return recorder::messages().front();
    }
};

TEST_F(JobsendToServer, MessageTable) {
    struct row {
        const wchar_t* args;
        const wchar_t* message;
    };
    const row rows[] = {
        {L"--printer \"Corvix TIF Printer\" --ini \"C:\\jobs\\job 1.ini\" --user alice",
         L"Corvix TIF Printer;C:\\jobs\\job 1.ini;alice"},
        {L"--user bob --ini c:\\j.ini --printer P --timeout 0", L"P;c:\\j.ini;bob"},
        {L"--raw-message \"no fields at all\"", L"no fields at all"},
        {L"--raw-message \"\"", L""},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(to_narrow(r.args));
        recorder::reset();
        EXPECT_EQ(sent_message(r.args), r.message);
    }
}

TEST_F(JobsendToServer, MakeJobWritesSpoolFileAndIniThenNamesTheIni) {
    scratch_dir dir(L"jobsend");
    struct row {
        const wchar_t* type;
        const wchar_t* spool_name;
    };
    const row rows[] = {{L"EMF", L"job1.emf"}, {L"RAW", L"job2.prn"}, {L"PDF", L"job3.spl"}};
    for (const row& r : rows) {
        SCOPED_TRACE(to_narrow(r.type));
        recorder::reset();
        const std::wstring number = std::wstring(r.spool_name).substr(3, 1);
        const std::wstring ini = dir.file(L"job" + number + L".ini");
        EXPECT_EQ(sent_message(L"--printer P --user carol --make-job \"" + dir.path() +
                               L"\" --type " + r.type),
                  L"P;" + ini + L";carol");
        EXPECT_EQ(ini_value(ini, L"Type"), r.type);
        EXPECT_EQ(ini_value(ini, L"File0"), dir.file(r.spool_name));
        EXPECT_FALSE(read_file(dir.file(r.spool_name)).empty());
    }
    // The EMF is a real metafile holding the drawn test page.
    const HENHMETAFILE emf = GetEnhMetaFileW(dir.file(L"job1.emf").c_str());
    ASSERT_NE(emf, nullptr);
    ENHMETAHEADER header{};
    GetEnhMetaFileHeader(emf, sizeof header, &header);
    EXPECT_GT(header.nRecords, 20u);
    wchar_t description[64] = {};
    GetEnhMetaFileDescriptionW(emf, 64, description);
    EXPECT_STREQ(description + wcslen(description) + 1, L"Test page");
    DeleteEnhMetaFile(emf);
}

}  // namespace
