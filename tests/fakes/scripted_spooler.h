// A scripted print queue behind the spooler seam (tools/spooler_api.h): while a
// scripted_spooler lives, opening its printer, listing and deleting jobs act on
// the script and are recorded. Only one object may live at a time; its calls
// may come from several threads at once (concurrent jobs).
#pragma once

#include <windows.h>
#include <winspool.h>

#include <string>
#include <vector>

struct scripted_job {
    DWORD id;
    DWORD status;  // JOB_STATUS_*
};

class scripted_spooler {
public:
    // kAnyPrinter: every printer name opens, onto the same queue.
    static const wchar_t kAnyPrinter[];
    scripted_spooler(std::wstring printer, std::vector<scripted_job> queue);
    ~scripted_spooler();
    scripted_spooler(const scripted_spooler&) = delete;
    scripted_spooler& operator=(const scripted_spooler&) = delete;

    // Failures to script (0: the call works).
    DWORD open_error = 0;
    DWORD enum_error = 0;
    DWORD fail_delete_of = 0;           // job id whose deletion fails
    DWORD jobs_added_after_sizing = 0;  // the queue grows between the two listings

    // What the code under test did.
    std::vector<std::wstring> opened;  // every name an open succeeded for, in order
    std::vector<DWORD> deleted;
    std::vector<DWORD> requested_counts;  // `count` of every listing
    DWORD requested_access = 0;
    int open_printers = 0;  // opened minus closed
    bool deleted_only_with_level_0 = true;

    // `opened` taken under the calls' lock, for reading while jobs still run.
    std::vector<std::wstring> opened_printers() const;

private:
    friend struct spooler_script_calls;
    std::wstring printer_;
    std::vector<scripted_job> queue_;
    bool sized_ = false;
};
