// The spooler pass of cleanup_print_jobs over scripted queues, and once over
// Wine's real spooler, which has no printer.
#include <gtest/gtest.h>

#include <vector>

#include "fakes/scripted_spooler.h"
#include "support/support.h"
#include "agent/tools/print_jobs.h"

using test_support::count_log_messages;
using test_support::read_log;

namespace {

const wchar_t* const kPrinterName = L"Corvix TIF Printer";

class cleanup_print_jobs_test : public ::testing::Test {
protected:
    void SetUp() override { test_support::clear_log(); }
};

TEST_F(cleanup_print_jobs_test, deletes_only_printed_jobs_in_queue_order) {
    scripted_spooler spooler(kPrinterName, {{11, JOB_STATUS_PRINTED},
                                            {12, JOB_STATUS_PRINTING},
                                            {13, JOB_STATUS_PAUSED},
                                            {14, JOB_STATUS_PRINTED | JOB_STATUS_DELETING},
                                            {15, JOB_STATUS_SPOOLING | JOB_STATUS_ERROR},
                                            {16, JOB_STATUS_PRINTED}});

    EXPECT_TRUE(cleanup_print_jobs(kPrinterName));

    EXPECT_EQ((std::vector<DWORD>{11, 14, 16}), spooler.deleted);
    EXPECT_TRUE(spooler.deleted_only_with_level_0);
    EXPECT_EQ(static_cast<DWORD>(PRINTER_ACCESS_USE), spooler.requested_access);
    EXPECT_EQ(0, spooler.open_printers);
    EXPECT_EQ("", read_log());
}

TEST_F(cleanup_print_jobs_test, examines_only_the_first_256_of_300_jobs) {
    std::vector<scripted_job> queue;
    for (DWORD id = 1; id <= 300; ++id) queue.push_back({id, JOB_STATUS_PRINTED});
    scripted_spooler spooler(kPrinterName, queue);

    EXPECT_TRUE(cleanup_print_jobs(kPrinterName));

    ASSERT_EQ(256u, spooler.deleted.size());
    EXPECT_EQ(1u, spooler.deleted.front());
    EXPECT_EQ(256u, spooler.deleted.back());
    EXPECT_EQ((std::vector<DWORD>{256, 256}), spooler.requested_counts);
}

TEST_F(cleanup_print_jobs_test, a_failed_deletion_is_logged_and_the_pass_goes_on) {
    scripted_spooler spooler(
        kPrinterName, {{1, JOB_STATUS_PRINTED}, {2, JOB_STATUS_PRINTED}, {3, JOB_STATUS_PRINTED}});
    spooler.fail_delete_of = 2;

    EXPECT_TRUE(cleanup_print_jobs(kPrinterName));

    EXPECT_EQ((std::vector<DWORD>{1, 3}), spooler.deleted);
    EXPECT_EQ(1u, count_log_messages(read_log(), "cleanup_print_jobs(): failed to SetJob()."));
    EXPECT_EQ(0, spooler.open_printers);
}

// Every way the pass ends early: false, nothing deleted, the printer closed again.
TEST_F(cleanup_print_jobs_test, ends_early_without_deleting) {
    struct early_end {
        const char* name;
        const wchar_t* printer;
        std::vector<scripted_job> queue;
        DWORD open_error, enum_error, added_after_sizing;
        const char* message;  // nullptr: no log entry
        DWORD code;
    };
    const std::vector<scripted_job> printed = {{1, JOB_STATUS_PRINTED}};
    const early_end cases[] = {
        {"empty queue", kPrinterName, {}, 0, 0, 0, nullptr, 0},
        {"null printer name", nullptr, printed, 0, 0, 0,
         "cleanup_print_jobs(): invalid input parameter.", ERROR_INVALID_PARAMETER},
        {"printer not there", kPrinterName, printed, ERROR_INVALID_PRINTER_NAME, 0, 0,
         "cleanup_print_jobs(): failed to OpenPrinter().", ERROR_INVALID_PRINTER_NAME},
        {"listing refused", kPrinterName, printed, 0, ERROR_ACCESS_DENIED, 0,
         "cleanup_print_jobs(): failed to EnumJobs().", ERROR_ACCESS_DENIED},
        {"queue grew between the listings", kPrinterName, printed, 0, 0, 1,
         "cleanup_print_jobs(): failed to EnumJobs().", ERROR_INSUFFICIENT_BUFFER},
    };
    for (const early_end& c : cases) {
        SCOPED_TRACE(c.name);
        test_support::clear_log();
        scripted_spooler spooler(kPrinterName, c.queue);
        spooler.open_error = c.open_error;
        spooler.enum_error = c.enum_error;
        spooler.jobs_added_after_sizing = c.added_after_sizing;

        EXPECT_FALSE(cleanup_print_jobs(c.printer));
        const DWORD error = GetLastError();

        EXPECT_TRUE(spooler.deleted.empty());
        EXPECT_EQ(0, spooler.open_printers);
        const std::string log = read_log();
        if (c.message) {
            EXPECT_EQ(1u, count_log_messages(log, c.message)) << log;
            EXPECT_NE(std::string::npos, log.find("errcode: " + std::to_string(c.code) + "\r\n"))
                << log;
            EXPECT_EQ(c.code, error);
        } else {
            EXPECT_EQ("", log);
        }
    }
}

TEST_F(cleanup_print_jobs_test, real_spooler_without_the_printer_fails_to_open_it) {
    EXPECT_FALSE(cleanup_print_jobs(L"No Such Printer Here"));
    EXPECT_EQ(1u, count_log_messages(read_log(), "cleanup_print_jobs(): failed to OpenPrinter()."));
}

}  // namespace
