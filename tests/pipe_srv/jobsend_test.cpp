// jobsend.exe driven from outside, against the real pipe server.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/owned.h"
#include "pipe_srv/pipe_srv.h"
#include "pipe_srv/recorder.h"
#include "support/support.h"

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

class JobsendToServer : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        ensure_log_dir();
        server_ = new recorder::running_server;
    }
    static void TearDownTestSuite() {
        delete server_;
        server_ = nullptr;
    }
    void SetUp() override {
        ASSERT_NE(server_->get(), nullptr);
        recorder::reset();
    }

    static std::wstring sent_message(const std::wstring& args) {
        EXPECT_EQ(jobsend(args), 0);
        if (!recorder::wait_for(1)) return L"<nothing arrived>";
        return recorder::messages().front();
    }

    static recorder::running_server* server_;
};

recorder::running_server* JobsendToServer::server_ = nullptr;

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
