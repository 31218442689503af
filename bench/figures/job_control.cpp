// The control of the growth figures: runs jobs' programs directly, making the
// platform calls that the agent makes for them (process starts, the
// input-idle wait, waits for the end, TerminateProcess), and writes its own
// open handles and private memory before and after to a file:
// "<jobs run> <handles before> <handles after> <private bytes before> <private bytes after>".
// It stops starting jobs after LIMIT_S seconds.
//
// job_control N PROGRAM_DIR WINDOW_TITLE DESKTOP OUT_FILE LIMIT_S
//     (an empty WINDOW_TITLE: no delivery through winrelay)
#include <windows.h>
#include <psapi.h>

#include <atomic>
#include <cstdio>
#include <cwchar>
#include <string>
#include <thread>
#include <vector>

#include "bench_env.h"
#include "support/support.h"

namespace {

constexpr int kPool = 8;

// Open handles, counted one by one: Wine tells no handle count of the own
// process. Handle values are four apart and taken lowest free first, so the
// count ends after a long run of unused values.
DWORD open_handles() {
    constexpr ULONG_PTR kUnusedRun = 4096;
    DWORD open = 0, flags = 0;
    for (ULONG_PTR value = 4, unused = 0; unused < kUnusedRun; value += 4) {
        if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) {
            ++open;
            unused = 0;
        } else {
            ++unused;
        }
    }
    return open;
}

SIZE_T private_bytes() {
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof counters;
    return GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters)
               ? counters.PagefileUsage
               : 0;
}

struct job_round {
    long ran = 0, failed = 0;
};

// Runs jobs "<base><n>.ini" on eight threads, as the agent's pool runs them,
// starting none after limit_s seconds.
job_round run_round(const bench::direct_setup& setup, const std::wstring& base, long jobs,
                    long limit_s) {
    const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(limit_s) * 1000;
    std::atomic<long> next{0}, ran{0}, failed{0};
    std::vector<std::thread> pool;
    for (int t = 0; t < kPool; ++t) {
        pool.emplace_back([&] {
            for (long n = next++; n < jobs && GetTickCount64() < deadline; n = next++) {
                ++ran;
                if (!bench::run_direct_job(setup, base + std::to_wstring(n) + L".ini")) ++failed;
            }
        });
    }
    for (std::thread& t : pool) t.join();
    return {ran.load(), failed.load()};
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const long jobs = argc == 7 ? std::wcstol(argv[1], nullptr, 10) : 0;
    const long limit_s = argc == 7 ? std::wcstol(argv[6], nullptr, 10) : 0;
    if (jobs <= 0 || limit_s <= 0) {
        std::fputs("usage: job_control N PROGRAM_DIR WINDOW_TITLE DESKTOP OUT_FILE LIMIT_S\n",
                   stderr);
        return 87;
    }
    const bench::direct_setup setup{argv[2], argv[3], 7, argv[4]};
    const std::wstring ini_base = setup.install_dir + L"\\control";
    // A first round of eight, so that what the pool and the first jobs set up
    // is in the baseline, as the agent's warm-up does.
    const job_round warm_up = run_round(setup, ini_base + L"-warm-up", kPool, limit_s);
    if (warm_up.failed) return 1;
    const DWORD handles_before = open_handles();
    const SIZE_T memory_before = private_bytes();
    const job_round round = run_round(setup, ini_base, jobs, limit_s);
    const DWORD handles_after = open_handles();
    const SIZE_T memory_after = private_bytes();
    char text[128];
    std::snprintf(text, sizeof text, "%ld %lu %lu %llu %llu\n", round.ran,
                  static_cast<unsigned long>(handles_before),
                  static_cast<unsigned long>(handles_after),
                  static_cast<unsigned long long>(memory_before),
                  static_cast<unsigned long long>(memory_after));
    if (!test_support::write_file(argv[5], text)) return 1;
    if (round.ran < jobs)
        std::fprintf(stderr, "job_control: time limit reached after %ld of %ld jobs\n", round.ran,
                     jobs);
    if (round.failed)
        std::fprintf(stderr, "job_control: %ld of %ld jobs failed\n", round.failed, round.ran);
    return round.failed ? 1 : 0;
}
