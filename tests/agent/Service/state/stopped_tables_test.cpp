// Once the stop sequence has released the tables, a job that a surviving work
// thread still picks up must not reach them.
#include <gtest/gtest.h>

#include "agent/Service/job/dispatch.h"
#include "agent/Service/job/job_env.h"

namespace {

TEST(StoppedTables, AJobAfterTheReleaseIsDroppedUntouched) {
    service_tests::job_env env(L"stopped-tables");
    service_tests::state_scope& state = env.state();
    const HANDLE lock = state.session_mutex();
    EXPECT_TRUE(state.release());
    EXPECT_EQ(nullptr, state.session_mutex());
    EXPECT_EQ(WAIT_FAILED, WaitForSingleObject(lock, 0));
    EXPECT_TRUE(state.sessions().empty());
    EXPECT_TRUE(state.printers().empty());

    // The printer is known again, so only the closed gate can stop the job.
    state.printers()[service_tests::kPrinter] = service_tests::kSettingsKey;
    processing(env.message().c_str(), env.token());
    const std::string log = test_support::read_log();
    EXPECT_EQ(1u, test_support::count_log_messages(
                      log, "processing(): the service is stopping; the job is dropped."));
    EXPECT_EQ(std::string::npos, log.find("ERROR:")) << log;
    EXPECT_TRUE(env.records().empty());
    EXPECT_TRUE(env.cleaned_printers().empty());
}

}  // namespace
