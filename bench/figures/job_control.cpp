// The control of the growth figure: runs N jobs' programs directly, making
// the platform calls that the agent makes for them (process starts, the
// input-idle wait, waits for the end, TerminateProcess), and writes its own
// open handles and private memory before and after to a file:
// "<handles before> <handles after> <private bytes before> <private bytes after>".
//
// job_control N INSTALL_DIR WINDOW_TITLE DESKTOP JOBS_DIR OUT_FILE
#include <windows.h>
#include <psapi.h>

#include <cstdio>
#include <cwchar>
#include <string>

#include "bench_env.h"
#include "support/support.h"

namespace {

// Open handles, counted one by one: under Wine the handle count is the size
// of the handle table, which grows in steps, and handle values are the
// table's entries, four apart.
DWORD open_handles() {
    DWORD table = 0;
    GetProcessHandleCount(GetCurrentProcess(), &table);
    DWORD open = 0, flags = 0;
    for (ULONG_PTR value = 4; value <= (static_cast<ULONG_PTR>(table) + 64) * 4; value += 4) {
        open += GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags) != FALSE;
    }
    return open;
}

SIZE_T private_bytes() {
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof counters;
    return GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters) ? counters.PagefileUsage : 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const long jobs = argc == 7 ? std::wcstol(argv[1], nullptr, 10) : 0;
    if (jobs <= 0) {
        std::fputs("usage: job_control N INSTALL_DIR WINDOW_TITLE DESKTOP JOBS_DIR OUT_FILE\n", stderr);
        return 87;
    }
    const bench::direct_setup setup{argv[2], argv[3], 7, argv[4]};
    const std::wstring jobs_dir = argv[5];
    // One job first, so that what the first one sets up is in the baseline,
    // as the agent's warm-up does.
    if (!bench::run_direct_job(setup, jobs_dir + L"\\control-warm-up.ini")) return 1;
    const DWORD handles_before = open_handles();
    const SIZE_T memory_before = private_bytes();
    long failed = 0;
    for (long n = 0; n < jobs; ++n) {
        failed += !bench::run_direct_job(setup, jobs_dir + L"\\control" + std::to_wstring(n) + L".ini");
    }
    const DWORD handles_after = open_handles();
    const SIZE_T memory_after = private_bytes();
    char text[128];
    std::snprintf(text, sizeof text, "%lu %lu %llu %llu\n", static_cast<unsigned long>(handles_before),
                  static_cast<unsigned long>(handles_after), static_cast<unsigned long long>(memory_before),
                  static_cast<unsigned long long>(memory_after));
    if (!test_support::write_file(argv[6], text)) return 1;
    if (failed) std::fprintf(stderr, "job_control: %ld of %ld jobs not delivered\n", failed, jobs);
    return failed ? 1 : 0;
}
