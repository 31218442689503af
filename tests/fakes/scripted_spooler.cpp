#include "fakes/scripted_spooler.h"

#include <algorithm>

#include "agent/tools/spooler_api.h"

namespace {
scripted_spooler* script = nullptr;
spooler_api_table previous;
HANDLE const kPrinter = reinterpret_cast<HANDLE>(0x5150);
SRWLOCK calls_lock = SRWLOCK_INIT;

class calls_scope {
public:
    calls_scope() { AcquireSRWLockExclusive(&calls_lock); }
    ~calls_scope() { ReleaseSRWLockExclusive(&calls_lock); }
    calls_scope(const calls_scope&) = delete;
    calls_scope& operator=(const calls_scope&) = delete;
};
}  // namespace

const wchar_t scripted_spooler::kAnyPrinter[] = L"";

struct spooler_script_calls {
    static BOOL WINAPI open_printer(LPWSTR name, LPHANDLE printer, LPPRINTER_DEFAULTSW defaults) {
        calls_scope scope;
        script->requested_access = defaults ? defaults->DesiredAccess : 0;
        const bool any = script->printer_.empty();
        if (script->open_error != 0 || (!any && (name == nullptr || script->printer_ != name))) {
            SetLastError(script->open_error ? script->open_error : ERROR_INVALID_PRINTER_NAME);
            return FALSE;
        }
        script->opened.push_back(name ? name : L"");
        ++script->open_printers;
        *printer = kPrinter;
        return TRUE;
    }

    static BOOL WINAPI enum_jobs(HANDLE printer, DWORD first, DWORD count, DWORD level, LPBYTE jobs,
                                 DWORD bytes, LPDWORD needed, LPDWORD returned) {
        calls_scope scope;
        script->requested_counts.push_back(count);
        *returned = 0;
        if (printer != kPrinter || level != 1) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        if (script->enum_error != 0) {
            SetLastError(script->enum_error);
            return FALSE;
        }
        if (script->sized_) {
            for (DWORD i = 0; i < script->jobs_added_after_sizing; ++i) {
                script->queue_.push_back({9000 + i, 0});
            }
            script->jobs_added_after_sizing = 0;
        }
        script->sized_ = true;
        const std::vector<scripted_job>& queue = script->queue_;
        const size_t from = std::min<size_t>(first, queue.size());
        const size_t listed = std::min<size_t>(count, queue.size() - from);
        *needed = static_cast<DWORD>(listed * sizeof(JOB_INFO_1W));
        if (bytes < *needed) {
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return FALSE;
        }
        auto* records = reinterpret_cast<JOB_INFO_1W*>(jobs);
        for (size_t i = 0; i < listed; ++i) {
            records[i] = JOB_INFO_1W{};
            records[i].JobId = queue[from + i].id;
            records[i].Status = queue[from + i].status;
            records[i].Position = static_cast<DWORD>(from + i + 1);
        }
        *returned = static_cast<DWORD>(listed);
        return TRUE;
    }

    static BOOL WINAPI set_job(HANDLE printer, DWORD job_id, DWORD level, LPBYTE, DWORD command) {
        calls_scope scope;
        if (printer != kPrinter || command != JOB_CONTROL_DELETE) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        if (level != 0) script->deleted_only_with_level_0 = false;
        if (job_id == script->fail_delete_of) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        script->deleted.push_back(job_id);
        return TRUE;
    }

    static BOOL WINAPI close_printer(HANDLE printer) {
        calls_scope scope;
        if (printer == kPrinter) --script->open_printers;
        return printer == kPrinter;
    }
};

scripted_spooler::scripted_spooler(std::wstring printer, std::vector<scripted_job> queue)
    : printer_(std::move(printer)), queue_(std::move(queue)) {
    script = this;
    previous =
        set_spooler_api({spooler_script_calls::open_printer, spooler_script_calls::enum_jobs,
                         spooler_script_calls::set_job, spooler_script_calls::close_printer});
}

std::vector<std::wstring> scripted_spooler::opened_printers() const {
    calls_scope scope;
    return opened;
}

scripted_spooler::~scripted_spooler() {
    set_spooler_api(previous);
    script = nullptr;
}
