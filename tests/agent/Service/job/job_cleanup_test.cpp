// cleanup_print_files against real files and the real registry.
#include <string>

#include "agent/Service/job/job_cleanup.h"
#include "support/log_reader.h"
#include "agent/Service/job/stage_fixture.h"

using test_support::count_log_messages;
using test_support::file_exists;
using test_support::read_log;

namespace stage_tests {
namespace {

class cleanup_print_files_test : public stage_test {
protected:
    cleanup_print_files_test() : spool_file_(dir_.file(L"7.spl")) {
        test_support::write_file(spool_file_, "spool data");
        write_job_ini("[Spool]\r\nType=RAW\r\nFile0=" + test_support::to_narrow(spool_file_) +
                      "\r\n");
    }
    std::wstring spool_file_;
};

TEST_F(cleanup_print_files_test, raw_enabled_decides_and_the_job_ini_always_stays) {
    struct raw_case {
        int raw_enabled;  // -1: absent
        bool deleted;
    };
    const raw_case cases[] = {{1, false}, {2, false}, {0, true}, {-1, true}};
    for (const raw_case& c : cases) {
        SCOPED_TRACE(testing::Message() << "RAW: Enabled " << c.raw_enabled);
        test_support::clear_log();
        test_support::write_file(spool_file_, "spool data");
        if (c.raw_enabled < 0) {
            machine_.remove(L"RAW: Enabled");
        } else {
            machine_.set_dword(L"RAW: Enabled", static_cast<DWORD>(c.raw_enabled));
        }
        user_.set_dword(L"RAW: Enabled", c.deleted ? 1 : 0);  // has no per-user form

        cleanup_print_files(job_ini().c_str(), kSettingsKeyName);

        EXPECT_EQ(!c.deleted, file_exists(spool_file_));
        EXPECT_TRUE(file_exists(job_ini()));
        const std::string log = read_log();
        EXPECT_EQ(c.deleted ? 1u : 0u,
                  count_log_messages(log, "cleanup_print_files(): Spool file was deleted."))
            << log;
        if (!c.deleted) {
            EXPECT_EQ("", log);
        }
    }
}

TEST_F(cleanup_print_files_test, a_spool_file_that_cannot_be_deleted_is_a_warning) {
    struct undeletable_case {
        const char* name;
        std::string job_ini_text;
    };
    const undeletable_case cases[] = {
        {"already gone",
         "[Spool]\r\nFile0=" + test_support::to_narrow(dir_.file(L"gone.spl")) + "\r\n"},
        {"no File0 key", "[Spool]\r\nType=EMF\r\n"},
    };
    for (const undeletable_case& c : cases) {
        SCOPED_TRACE(c.name);
        test_support::clear_log();
        write_job_ini(c.job_ini_text);

        cleanup_print_files(job_ini().c_str(), kSettingsKeyName);

        const std::string log = read_log();
        EXPECT_NE(std::string::npos, log.find("WARNING")) << log;
        EXPECT_NE(std::string::npos,
                  log.find("message: cleanup_print_files(): failed to DeleteFile("))
            << log;
        EXPECT_EQ(std::string::npos, log.find("ERROR")) << log;
        EXPECT_TRUE(file_exists(spool_file_));
        EXPECT_TRUE(file_exists(job_ini()));
    }
}

// File0 is written by whoever sent the job: only a regular file with one name
// at a plain local path is deleted, and it is opened without following links.
TEST_F(cleanup_print_files_test, anything_but_a_plain_file_is_left_with_an_error) {
    const std::wstring second_name = dir_.file(L"second.spl");
    ASSERT_TRUE(CreateHardLinkW(second_name.c_str(), spool_file_.c_str(), nullptr));
    const std::wstring folder = dir_.file(L"folder.spl");
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    const std::string not_plain =
        "cleanup_print_files(): spool file is not a plain local path; it is left.";
    auto not_regular = [](const std::wstring& path) {
        return "cleanup_print_files(): spool file \"" + test_support::to_narrow(path) +
               "\" is not a regular file with one name; it is left.";
    };
    struct kept_case {
        const char* name;
        std::wstring file0;
        std::string error;
        int code;
    } const cases[] = {
        {"a second name of the file", second_name, not_regular(second_name), ERROR_ACCESS_DENIED},
        {"a directory", folder, not_regular(folder), ERROR_ACCESS_DENIED},
        {"UNC", L"\\\\host\\share\\7.spl", not_plain, ERROR_BAD_PATHNAME},
        {"a pipe", L"\\\\.\\pipe\\spool", not_plain, ERROR_BAD_PATHNAME},
        {"the \\?\\ namespace", L"\\\\?\\" + spool_file_, not_plain, ERROR_BAD_PATHNAME},
        {"relative", L"7.spl", not_plain, ERROR_BAD_PATHNAME},
        {"a device", dir_.file(L"COM1"), not_plain, ERROR_BAD_PATHNAME},
    };
    for (const kept_case& c : cases) {
        SCOPED_TRACE(c.name);
        test_support::clear_log();
        write_job_ini("[Spool]\r\nFile0=" + test_support::to_narrow(c.file0) + "\r\n");

        cleanup_print_files(job_ini().c_str(), kSettingsKeyName);

        const std::string log = read_log();
        EXPECT_TRUE(test_support::has_error(log, c.error, c.code)) << log;
        EXPECT_EQ(0u, count_log_messages(log, "cleanup_print_files(): Spool file was deleted."));
        EXPECT_TRUE(file_exists(spool_file_));
        EXPECT_TRUE(file_exists(second_name));
        EXPECT_TRUE(file_exists(folder));
    }
}

TEST_F(cleanup_print_files_test, an_empty_job_ini_path_does_nothing) {
    cleanup_print_files(L"", kSettingsKeyName);
    cleanup_print_files(nullptr, kSettingsKeyName);

    EXPECT_TRUE(file_exists(spool_file_));
    EXPECT_EQ("", read_log());
}

}  // namespace
}  // namespace stage_tests
