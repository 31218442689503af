// The service's own life under faults: a stop with every work thread busy and
// a full queue, starts with a broken configuration, a hundred starts and stops
// in a row, and the log directory coming and going while jobs run.
#include <gtest/gtest.h>

#include <atomic>

#include "host/agent_host.h"
#include "support/support.h"

namespace {

using reliability::agent_host;
using test_support::file_exists;
using test_support::has_error;
using test_support::read_log;

const wchar_t kPrinter[] = L"Service Faults";

std::wstring root_folder(const std::wstring& base, const wchar_t* name) {
    return base + name + L"-" + std::to_wstring(GetCurrentProcessId());
}

// Queued jobs are never processed once the stop has begun: they keep their
// spool files and start no program, while the eight busy jobs are released.
TEST(ServiceFaults, StopWithEightJobsInFlightAndAFullQueue) {
    reliability::work_folder folder(root_folder(L"c:\\tmp\\tests\\", L"faults-stop"));
    agent_host agent(folder.path());
    agent.add_printer(kPrinter, L"TavirelServiceFaults");
    test_support::clear_log();
    ASSERT_TRUE(agent.start()) << read_log();

    std::vector<std::wstring> jobs;
    for (int i = 0; i < 20; ++i) {
        jobs.push_back(
            agent.make_job(L"job" + std::to_wstring(i), "[converter]\r\nDelayMs=60000\r\n"));
        ASSERT_TRUE(
            reliability::send_message(std::wstring(kPrinter) + L";" + jobs.back() + L";alice"));
    }
    // Oldest first: the first eight are the ones running.
    for (int i = 0; i < 8; ++i) {
        ASSERT_TRUE(reliability::eventually([&] {
            return file_exists(jobs[i] + L".converter.txt");
        })) << read_log();
    }
    ASSERT_TRUE(agent.stop());
    ASSERT_TRUE(agent.wait_for(SERVICE_STOPPED, 15000));
    EXPECT_EQ(0u, agent.exit_code());
    agent.end_job_programs();

    const std::string log = read_log();
    EXPECT_EQ(8u,
              test_support::count_log_messages(log, "exec_converter(): terminate event happens."))
        << log;
    for (size_t i = 8; i < jobs.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_FALSE(file_exists(jobs[i] + L".progress.txt"));
        EXPECT_FALSE(file_exists(jobs[i] + L".converter.txt"));
        EXPECT_TRUE(file_exists(agent_host::spool_of(jobs[i])));
    }
}

// Configurations the service cannot use: it stops with the reason in the
// log; one it can partly use: it runs with the printers it could read.
TEST(ServiceFaults, StartWithABrokenConfiguration) {
    reliability::work_folder folder(root_folder(L"c:\\tmp\\tests\\", L"faults-config"));
    const wchar_t two[] = L"two";
    const BYTE one_byte = 1;
    const DWORD huge = 0xFFFFFFFF;
    struct broken {
        const char* what;
        DWORD type;  // of "count"; 0: no "count" at all
        const void* data;
        DWORD bytes;
        bool runs;
    } const cases[] = {
        {"count missing", 0, nullptr, 0, false},
        {"count a string", REG_SZ, two, sizeof two, false},
        {"count one byte", REG_BINARY, &one_byte, sizeof one_byte, true},
        // Cut to the limit: the start ends and the log stays short.
        {"count 0xFFFFFFFF", REG_DWORD, &huge, sizeof huge, true},
    };
    for (const broken& c : cases) {
        SCOPED_TRACE(c.what);
        agent_host agent(folder.path());
        agent.add_printer(kPrinter, L"TavirelServiceFaults");
        agent.config().remove(L"count");
        if (c.type != 0) {
            ASSERT_TRUE(agent.config().set_raw(L"count", c.type, c.data, c.bytes));
        }
        test_support::clear_log();
        EXPECT_EQ(c.runs, agent.start()) << read_log();
        if (c.runs) {
            EXPECT_TRUE(agent.run_job(kPrinter, L"config")) << read_log();
            if (c.data == &huge) {
                const std::string log = read_log();
                EXPECT_TRUE(has_error(log,
                                      "read_srvregcfg(): \"count\" is above 64; only printer1 to "
                                      "printer64 are read.",
                                      ERROR_INVALID_PARAMETER))
                    << log.substr(0, 2000);
                // printer2 to printer64
                EXPECT_EQ(63u,
                          test_support::count_log_messages(
                              log, "read_srvregcfg(): failed to get settings via registry keys."));
            }
            continue;
        }
        ASSERT_TRUE(agent.wait_for(SERVICE_STOPPED));
        EXPECT_NE(0u, agent.exit_code());
        EXPECT_TRUE(
            test_support::has_message(read_log(), "service_main(): failed to read_srvregcfg()."))
            << read_log();
    }

    // Three printer values: no separator, missing, and not a string.
    agent_host agent(folder.path());
    agent.add_printer_value(L"NoSeparator");
    agent.config().set_dword(L"count", 3);
    agent.config().set_dword(L"printer3", 5);
    test_support::clear_log();
    ASSERT_TRUE(agent.start()) << read_log();
    const std::string log = read_log();
    EXPECT_TRUE(
        has_error(log, "read_srvregcfg(): invalid registry key value.", ERROR_INVALID_PARAMETER))
        << log;
    EXPECT_EQ(1u, test_support::count_log_messages(
                      log, "read_srvregcfg(): failed to get settings via registry keys."))
        << log;
}

TEST(ServiceFaults, HundredStartsAndStopsInARow) {
    reliability::work_folder folder(root_folder(L"c:\\tmp\\tests\\", L"faults-restart"));
    agent_host agent(folder.path());
    agent.add_printer(kPrinter, L"TavirelServiceFaults");
    test_support::clear_log();
    for (int i = 0; i < 100; ++i) {
        SCOPED_TRACE(i);
        ASSERT_TRUE(agent.start()) << read_log();
        if (i % 25 == 0) {
            ASSERT_TRUE(agent.run_job(kPrinter, L"round" + std::to_wstring(i)));
        }
        // The process must end after its stop; a start before that would
        // reach the old process under Wine.
        const HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, agent.pid());
        ASSERT_TRUE(process);
        ASSERT_TRUE(agent.stop());
        ASSERT_TRUE(agent.wait_for(SERVICE_STOPPED, 15000));
        ASSERT_EQ(0u, agent.exit_code());
        const DWORD ended = WaitForSingleObject(process, 15000);
        CloseHandle(process);
        ASSERT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), ended);
    }
    const std::string log = read_log();
    EXPECT_EQ(100u, test_support::count_log_messages(
                        log, "driver_serv_proc(): terminate event happened."));
    EXPECT_EQ(std::string::npos, log.find("\r\nERROR: file: ..\\src\\Service")) << log;
    EXPECT_EQ(std::string::npos, log.find("\r\nERROR: file: ..\\src\\pipe_srv")) << log;
}

// Renames c:\tmp away and back, so the log directory vanishes and reappears
// with its contents; puts it back whatever happens.
class log_directory_flicker {
public:
    log_directory_flicker() {
        thread_ = CreateThread(nullptr, 0, &log_directory_flicker::run, this, 0, nullptr);
    }
    ~log_directory_flicker() {
        stop_ = true;
        if (thread_) {
            WaitForSingleObject(thread_, INFINITE);
            CloseHandle(thread_);
        }
        MoveFileW(kAway, kLogDir);
    }
    int flips() const { return flips_; }

private:
    static constexpr const wchar_t* kLogDir = L"c:\\tmp";
    static constexpr const wchar_t* kAway = L"c:\\tmp-away";

    static DWORD WINAPI run(void* self) {
        auto* flicker = static_cast<log_directory_flicker*>(self);
        while (!flicker->stop_) {
            if (MoveFileW(kLogDir, kAway)) ++flicker->flips_;
            Sleep(20);
            MoveFileW(kAway, kLogDir);
            Sleep(20);
        }
        return 0;
    }

    HANDLE thread_ = nullptr;
    std::atomic<bool> stop_{false};
    std::atomic<int> flips_{0};
};

TEST(ServiceFaults, LogDirectoryComesAndGoesWhileJobsRun) {
    // Outside c:\tmp, so the jobs stay where they are.
    reliability::work_folder folder(root_folder(L"c:\\", L"faults-logdir"));
    agent_host agent(folder.path());
    agent.add_printer(kPrinter, L"TavirelServiceFaults");
    test_support::clear_log();
    ASSERT_TRUE(agent.start()) << read_log();
    ASSERT_TRUE(agent.warm_up(kPrinter)) << read_log();
    reliability::process_figures baseline;
    ASSERT_TRUE(agent.figures(baseline));

    std::vector<std::wstring> jobs;
    {
        log_directory_flicker flicker;
        for (int i = 0; i < 40; ++i) {
            jobs.push_back(agent.make_job(L"job" + std::to_wstring(i)));
            ASSERT_TRUE(
                reliability::send_message(std::wstring(kPrinter) + L";" + jobs.back() + L";alice"));
        }
        for (const std::wstring& ini : jobs) {
            EXPECT_TRUE(reliability::eventually([&] {
                return !file_exists(agent_host::spool_of(ini)) &&
                       file_exists(ini + L".converter.txt");
            }));
        }
        EXPECT_GT(flicker.flips(), 0);
    }
    ASSERT_TRUE(file_exists(L"c:\\tmp"));
    // The next entry starts the log anew.
    test_support::clear_log();
    ASSERT_TRUE(reliability::send_message(L"Unknown Printer;c:\\x.ini;alice"));
    EXPECT_TRUE(test_support::wait_for_text(
        test_support::kLogPath,
        "message: processing(): can't find printer's record in the table."));
    EXPECT_TRUE(agent.running());
    reliability::process_figures now;
    EXPECT_TRUE(reliability::back_to_baseline(agent, baseline, &now))
        << reliability::describe(baseline, now);
}

}  // namespace
