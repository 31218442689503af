// What a job message can make the real agent service (LocalSystem) open and
// delete, and who may use its pipe. A job ini path that is not a plain local path starts nothing
// and cleans nothing up; a spool file that is not a regular file with one name at a plain local
// path is left, and the cleanup says why.
#include <gtest/gtest.h>
#include <windows.h>

#include "common/contracts.h"
#include "common/owned.h"
#include "host/agent_host.h"
#include "support/pipe_security.h"
#include "support/support.h"
using contracts::kJobPipeClientAccess;
using contracts::kJobPipeName;

namespace {

using reliability::agent_host;
using test_support::file_exists;
using test_support::has_error;
using test_support::read_log;
using test_support::to_narrow;
using test_support::wait_for_log;

const wchar_t kPrinter[] = L"Security Printer";
const wchar_t kPipeName[] = L"\\\\.\\pipe\\agent-security-e2e";

class SecurityAgent : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        folder = new reliability::work_folder(L"c:\\tmp\\tests\\security-" +
                                              std::to_wstring(GetCurrentProcessId()));
        agent = new agent_host(folder->path());
        agent->add_printer(kPrinter, L"TavirelSecurity");
        test_support::clear_log();
        ASSERT_TRUE(agent->start()) << read_log();
    }

    static void TearDownTestSuite() {
        EXPECT_TRUE(agent->stop());
        delete agent;
        delete folder;
    }

    void SetUp() override {
        ASSERT_TRUE(agent->running());
        test_support::clear_log();
    }

    static std::wstring message(const std::wstring& ini) {
        return std::wstring(kPrinter) + L";" + ini + L";alice";
    }

    static reliability::work_folder* folder;
    static agent_host* agent;
};
reliability::work_folder* SecurityAgent::folder = nullptr;
agent_host* SecurityAgent::agent = nullptr;

// A pipe of the test's own: had the service opened it as a job ini file,
// whoever serves it could act as LocalSystem.
class bait_pipe {
public:
    bait_pipe()
        : pipe_(CreateNamedPipeW(kPipeName, PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                 PIPE_TYPE_BYTE, 1, 4096, 4096, 0, nullptr)) {}
    bool valid() const { return pipe_.valid(); }
    // True when a client has connected since the pipe was created.
    bool was_opened() const {
        OVERLAPPED overlapped = {};
        const owned::unique_handle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        overlapped.hEvent = event.get();
        if (ConnectNamedPipe(pipe_.get(), &overlapped)) return true;
        const DWORD error = GetLastError();
        if (error == ERROR_IO_PENDING) {
            CancelIo(pipe_.get());
            DWORD bytes = 0;
            GetOverlappedResult(pipe_.get(), &overlapped, &bytes, TRUE);
            return false;
        }
        return error == ERROR_PIPE_CONNECTED || error == ERROR_NO_DATA;
    }

private:
    owned::unique_file pipe_;
};

TEST_F(SecurityAgent, JobIniPathsThatAreNoPlainLocalPathStartNothing) {
    // A real job: read through another form of its path, its cleanup would
    // delete its spool file.
    const std::wstring ini = agent->make_job(L"other-forms");
    const bait_pipe pipe;
    ASSERT_TRUE(pipe.valid());
    struct path_case {
        const char* name;
        std::wstring path;
    } const cases[] = {
        {"UNC", L"\\\\127.0.0.1\\c$" + ini.substr(2)},
        {"a pipe", kPipeName},
        {"the \\\\?\\ namespace", L"\\\\?\\" + ini},
        {"the \\\\.\\ namespace", L"\\\\.\\" + ini},
        {"relative", L"jobs\\other-forms.ini"},
        {"drive-relative", ini.substr(0, 2) + ini.substr(3)},
        {"quoted", ini + L"\" -extra \"" + ini},
        {"a control character", ini + L"\t"},
        {"a device", agent->jobs_dir() + L"\\COM1"},
    };
    const DWORD starts = agent->progress_starts();
    for (const path_case& c : cases) {
        SCOPED_TRACE(c.name);
        test_support::clear_log();
        ASSERT_TRUE(reliability::send_message(message(c.path)));
        ASSERT_TRUE(wait_for_log("processing(): job ini path is not a plain local path."))
            << read_log();
        EXPECT_TRUE(has_error(read_log(), "processing(): job ini path is not a plain local path.",
                              ERROR_BAD_PATHNAME));
    }
    EXPECT_EQ(starts, agent->progress_starts());
    EXPECT_FALSE(pipe.was_opened());
    EXPECT_TRUE(file_exists(agent_host::spool_of(ini)));
    EXPECT_TRUE(file_exists(ini));
}

TEST_F(SecurityAgent, OnlyARegularFileWithOneNameIsDeletedAsTheSpoolFile) {
    // Someone else's file, named through a second name, a namespace or a share.
    const std::wstring victim = folder->file(L"victim.dat");
    ASSERT_TRUE(test_support::write_file(victim, "not the job's"));
    const std::wstring second_name = agent->jobs_dir() + L"\\second-name.emf";
    ASSERT_TRUE(CreateHardLinkW(second_name.c_str(), victim.c_str(), nullptr));
    const std::wstring directory = folder->file(L"directory.emf");
    ASSERT_TRUE(CreateDirectoryW(directory.c_str(), nullptr));
    const bait_pipe pipe;
    ASSERT_TRUE(pipe.valid());

    const std::string not_plain =
        "cleanup_print_files(): spool file is not a plain local path; it is left.";
    auto not_regular = [](const std::wstring& path) {
        return "cleanup_print_files(): spool file \"" + to_narrow(path) +
               "\" is not a regular file with one name; it is left.";
    };
    struct file0_case {
        const char* name;
        std::wstring file0;
        std::string error;
        int code;
    } const cases[] = {
        {"a second name", second_name, not_regular(second_name), ERROR_ACCESS_DENIED},
        {"a directory", directory, not_regular(directory), ERROR_ACCESS_DENIED},
        {"UNC", L"\\\\127.0.0.1\\c$" + victim.substr(2), not_plain, ERROR_BAD_PATHNAME},
        {"a pipe", kPipeName, not_plain, ERROR_BAD_PATHNAME},
        {"the \\\\?\\ namespace", L"\\\\?\\" + victim, not_plain, ERROR_BAD_PATHNAME},
        {"the \\\\.\\ namespace", L"\\\\.\\" + victim, not_plain, ERROR_BAD_PATHNAME},
        {"relative", L"victim.dat", not_plain, ERROR_BAD_PATHNAME},
    };
    int job = 0;
    for (const file0_case& c : cases) {
        SCOPED_TRACE(c.name);
        test_support::clear_log();
        const std::wstring ini = agent->jobs_dir() + L"\\file0-" + std::to_wstring(++job) + L".ini";
        ASSERT_TRUE(test_support::write_file(
            ini, "[Spool]\r\nType=EMF\r\nFile0=" + to_narrow(c.file0) + "\r\n"));
        ASSERT_TRUE(reliability::send_message(message(ini)));
        ASSERT_TRUE(wait_for_log(c.error)) << read_log();
        EXPECT_TRUE(has_error(read_log(), c.error, c.code)) << read_log();
        EXPECT_TRUE(file_exists(victim));
        EXPECT_TRUE(file_exists(second_name));
        EXPECT_TRUE(file_exists(directory));
    }
    EXPECT_FALSE(pipe.was_opened());
    EXPECT_EQ("not the job's", test_support::read_file(victim));
}

// The descriptor of the installed service's pipe, read back through a client
// handle: no null DACL, and ordinary users may write but not add instances.
TEST_F(SecurityAgent, ThePipeOfTheRunningServiceCarriesItsDescriptor) {
    ASSERT_TRUE(WaitNamedPipeW(kJobPipeName, 10000)) << GetLastError();
    const owned::unique_file client(CreateFileW(kJobPipeName, READ_CONTROL | FILE_READ_ATTRIBUTES,
                                                0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(client) << GetLastError();
    test_support::expect_job_pipe_descriptor(client.get());
    EXPECT_EQ(kJobPipeClientAccess & FILE_CREATE_PIPE_INSTANCE, 0u);
}

}  // namespace
