// Once the stop sequence has released the tables, a job that a surviving work
// thread still picks up must not reach them. A program of its own: the release
// is for good.
#include <gtest/gtest.h>

#include "agent/Service/dispatch.h"
#include "agent/Service/printer_table.h"
#include "agent/Service/session_table.h"
#include "agent/Service/shared_tables.h"
#include "service/job_env.h"

namespace {

TEST(StoppedTables, AJobAfterTheReleaseIsDroppedUntouched) {
    service_tests::job_env env(L"stopped-tables");
    const HANDLE lock = session_table_mutex;
    release_shared_tables();
    EXPECT_EQ(nullptr, session_table_mutex);
    EXPECT_EQ(WAIT_FAILED, WaitForSingleObject(lock, 0));
    EXPECT_TRUE(session_table.empty());
    EXPECT_TRUE(printer_table.empty());

    // The printer is known again, so only the closed gate can stop the job.
    printer_table[service_tests::kPrinter] = service_tests::kSettingsKey;
    processing(env.message().c_str(), env.token());
    const std::string log = test_support::read_log();
    EXPECT_EQ(1u, test_support::count_log_messages(
                      log, "processing(): the service is stopping; the job is dropped."));
    EXPECT_EQ(std::string::npos, log.find("ERROR:")) << log;
    EXPECT_TRUE(env.records().empty());
    EXPECT_TRUE(env.cleaned_printers().empty());
}

}  // namespace
