// Which paths a job may name, and reading the job ini file with the client's
// rights.
#include <gtest/gtest.h>

#include "agent/Service/job/job_ini.h"
#include "agent/Service/job/client_tokens.h"
#include "support/support.h"

namespace {

using test_support::read_log;

TEST(JobIni, OnlyPlainLocalPathsAreAccepted) {
    struct path_case {
        const wchar_t* path;
        bool plain;
    } const cases[] = {
        {L"C:\\spool\\7.ini", true},
        {L"c:\\tmp\\a b\\7.ini", true},
        {L"Z:\\", true},
        {L"C:\\spool\\..\\7.ini", true},
        {L"\\\\host\\share\\7.ini", false},
        {L"\\\\.\\pipe\\x", false},
        {L"\\\\?\\C:\\spool\\7.ini", false},
        {L"\\??\\C:\\spool\\7.ini", false},
        {L"7.ini", false},
        {L"spool\\7.ini", false},
        {L"C:7.ini", false},
        {L"\\spool\\7.ini", false},
        {L"C:/spool/7.ini", false},
        {L"1:\\spool\\7.ini", false},
        {L"C:\\spool\\7\" -x \".ini", false},
        {L"C:\\spool\\7\t.ini", false},
        {L"C:\\spool\\7\r\nmessage: forged", false},
        {L"C:\\spool\\\x7f.ini", false},
        {L"C:\\spool\\COM1", false},
        {L"", false},
        {nullptr, false},
    };
    for (const path_case& c : cases) {
        SCOPED_TRACE(c.path ? test_support::to_narrow(c.path) : "(null)");
        EXPECT_EQ(c.plain, is_plain_local_path(c.path));
    }
}

class job_ini_read : public ::testing::Test {
protected:
    job_ini_read() {
        test_support::write_file(ini_, "[Spool]\r\nType=EMF\r\nFile0=C:\\spool\\7.emf\r\n");
        test_support::clear_log();
    }

    std::string type() {
        wchar_t value[64] = L"unset";
        last_ = read_job_ini(ini_.c_str(), L"Type", value, 64);
        return test_support::to_narrow(value);
    }

    static bool thread_has_token() {
        HANDLE token = nullptr;
        if (!OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token)) return false;
        CloseHandle(token);
        return true;
    }

    test_support::scratch_dir dir_{L"job-ini"};
    std::wstring ini_ = dir_.file(L"7.ini");
    bool last_ = false;
};

TEST_F(job_ini_read, AsTheClientAndBackToTheService) {
    EXPECT_EQ("EMF", type());  // no job: the service itself
    EXPECT_TRUE(last_);
    const owned::unique_handle filtered = service_tests::filtered_token();
    ASSERT_TRUE(filtered);
    {
        const job_client_scope scope(filtered.get(), false);
        EXPECT_EQ("EMF", type());
        EXPECT_TRUE(last_);
        EXPECT_FALSE(thread_has_token());
        const as_job_client client(L"test");
        ASSERT_TRUE(client.ok());
        EXPECT_TRUE(thread_has_token());
    }
    EXPECT_FALSE(thread_has_token());
    EXPECT_EQ("", read_log());
}

TEST_F(job_ini_read, NothingIsReadWithoutTheClientOrFromAnotherPath) {
    {
        // No token, or a handle that is no token: nothing is read as the service.
        const owned::unique_handle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        for (HANDLE token : {static_cast<HANDLE>(nullptr), event.get()}) {
            test_support::clear_log();
            const job_client_scope scope(token, false);
            EXPECT_EQ("", type());
            EXPECT_FALSE(last_);
            EXPECT_EQ(1u, test_support::count_log_messages(
                              read_log(), "read_job_ini(): failed to ImpersonateLoggedOnUser()."))
                << read_log();
            EXPECT_FALSE(thread_has_token());
        }
    }
    // LocalSystem is the service's own identity: nothing to impersonate.
    {
        const job_client_scope scope(nullptr, true);
        EXPECT_EQ("EMF", type());
    }
    test_support::clear_log();
    ini_ = L"\\\\?\\" + ini_;
    EXPECT_EQ("", type());
    EXPECT_FALSE(last_);
    EXPECT_TRUE(test_support::has_error(read_log(), "read_job_ini(): invalid input parameter.",
                                        ERROR_INVALID_PARAMETER));
}

}  // namespace
