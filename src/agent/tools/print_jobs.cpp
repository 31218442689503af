#define LOG_MODULE "..\\src\\tools"
#include "diag/log.h"

#include "agent/tools/print_jobs.h"

#include <algorithm>

#include "common/last_error.h"
#include "common/owned.h"

#include "agent/tools/spooler_api.h"

namespace {

constexpr DWORD kMaxJobsExamined = 256;

// A printer handle, closed through the same seam that opened it.
struct printer_traits {
    using type = HANDLE;
    static type invalid() { return nullptr; }
    static void close(type printer) { spooler_api().close_printer(printer); }
};
using unique_printer = owned::unique_any<printer_traits>;

bool list_jobs(HANDLE printer, BYTE* buffer, DWORD bytes, DWORD* needed, DWORD* returned) {
    return spooler_api().enum_jobs(printer, 0, kMaxJobsExamined, 1, buffer, bytes, needed,
                                   returned) != FALSE;
}

// One pass over the open printer's queue; false when it could not be listed
// or is empty.
bool delete_printed_jobs(HANDLE printer) {
    DWORD needed = 0;
    DWORD returned = 0;
    if (list_jobs(printer, nullptr, 0, &needed, &returned)) return false;  // empty queue
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
        LOG_ERROR("cleanup_print_jobs(): failed to EnumJobs().");
        return false;
    }

    const owned::unique_heap list(HeapAlloc(GetProcessHeap(), 0, needed));
    if (!list) {
        LOG_ERROR_CODE(ERROR_NOT_ENOUGH_MEMORY, "cleanup_print_jobs(): failed to malloc().");
        return false;
    }
    // One listing only: a queue that grew in between fails here and waits for the next job.
    if (!list_jobs(printer, static_cast<BYTE*>(list.get()), needed, &needed, &returned)) {
        LOG_ERROR("cleanup_print_jobs(): failed to EnumJobs().");
        return false;
    }

    const auto* jobs = static_cast<const JOB_INFO_1W*>(list.get());
    const DWORD examined = std::min(returned, kMaxJobsExamined);
    for (DWORD i = 0; i < examined; ++i) {
        if ((jobs[i].Status & JOB_STATUS_PRINTED) == 0) continue;
        if (!spooler_api().set_job(printer, jobs[i].JobId, 0, nullptr, JOB_CONTROL_DELETE)) {
            LOG_ERROR("cleanup_print_jobs(): failed to SetJob().");
        }
    }
    return true;
}

}  // namespace

bool cleanup_print_jobs(const wchar_t* printer_name) {
    if (printer_name == nullptr || *printer_name == L'\0') {
        LOG_ERROR_CODE(ERROR_INVALID_PARAMETER, "cleanup_print_jobs(): invalid input parameter.");
        return false;
    }

    SetLastError(0);
    PRINTER_DEFAULTSW defaults{};
    defaults.DesiredAccess = PRINTER_ACCESS_USE;
    unique_printer printer;
    if (!spooler_api().open_printer(const_cast<LPWSTR>(printer_name), printer.put(), &defaults)) {
        LOG_ERROR("cleanup_print_jobs(): failed to OpenPrinter().");
        return false;
    }
    const bool done = delete_printed_jobs(printer.get());
    // Closing must not overwrite the reason that was logged.
    const owned::last_error_keeper keep;
    printer.reset();
    return done;
}
