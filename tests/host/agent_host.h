// The real agent.exe as the service "Agent", set up for reliability runs: its
// printer configuration and settings in the real registry, an installation
// directory of chosen programs, job files in a folder of its own, and a view
// of the service process's handle count and private memory. Everything is
// removed again when the object dies, the service stopped first.
//
// Wine has no user sessions, so the printers default to domain users served
// in the self session, with preprocessing off and no delivery.
#pragma once

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "host/installed_service.h"
#include "fakes/scratch_key.h"

namespace reliability {

// A folder removed with all its files; outside c:\tmp when asked, so that the
// log directory can come and go without it.
class work_folder {
public:
    explicit work_folder(const std::wstring& path);
    ~work_folder();
    work_folder(const work_folder&) = delete;
    work_folder& operator=(const work_folder&) = delete;

    const std::wstring& path() const { return path_; }
    std::wstring file(const std::wstring& name) const { return path_ + L"\\" + name; }

private:
    std::wstring path_;
};

struct process_figures {
    DWORD handles = 0;
    DWORD events = 0;  // of the handles
    SIZE_T private_bytes = 0;
    DWORD progress_starts = 0;  // jobs' progress windows started so far
};

// A built program copied into the installation directory under another name.
struct installed_program {
    const wchar_t* built;      // file name beside the running program
    const wchar_t* installed;  // file name in the installation directory
};

// progress, converter, preprocessing, client stand-ins and the real winrelay.
extern const std::vector<installed_program> kStandardPrograms;

class agent_host {
public:
    // root: the folder for the installation directory and the jobs.
    agent_host(const std::wstring& root,
               const std::vector<installed_program>& programs = kStandardPrograms);
    ~agent_host();
    agent_host(const agent_host&) = delete;
    agent_host& operator=(const agent_host&) = delete;

    // The printer configuration key (count and printer values).
    test_support::scratch_key& config() { return config_; }
    // Adds "printer<n>" = "<name>;<settings key>" and the settings key with the
    // defaults above; the key is returned for changes.
    test_support::scratch_key& add_printer(const std::wstring& name,
                                           const std::wstring& settings_key);
    // Only the printer value, for settings keys that a test builds itself.
    void add_printer_value(const std::wstring& value);

    // Starts the service and waits until it runs and listens on its pipe.
    bool start();
    // Asks for a stop; true too when Wine lost the reply of a stop that went
    // through, else false with the service manager's error as the last-error
    // value.
    bool stop();
    bool running() const;
    // Waits for the state; false after timeout_ms.
    bool wait_for(DWORD state, DWORD timeout_ms = 30000) const;
    DWORD exit_code() const { return service_.status().dwWin32ExitCode; }
    // The service process, 0 while there is none.
    DWORD pid() const;
    // Figures of the service process; false when they can't be had.
    bool figures(process_figures& out) const;

    // Starts of progress.exe so far: each one waits for input idle.
    DWORD progress_starts() const;

    const std::wstring& install_dir() const { return install_; }
    const std::wstring& jobs_dir() const { return jobs_; }

    // Writes a job ini file and its spool file; extra is appended to the ini
    // text (sections for the stand-ins). Returns the ini path.
    std::wstring make_job(const std::wstring& name, const std::string& extra = "") const;
    static void write_job(const std::wstring& ini, const std::string& extra = "");
    static std::wstring spool_of(const std::wstring& ini);
    // Sends a new job and waits until its converter has run and its cleanup
    // has removed the spool file: the whole pipeline went through.
    bool run_job(const std::wstring& printer, const std::wstring& name,
                 DWORD timeout_ms = 30000) const;

    // Runs enough overlapping jobs that every work thread has had one: what a
    // thread sets up on its first job is then in place for the baseline.
    bool warm_up(const std::wstring& printer) const;

    // Ends the programs that jobs started from the installation directory.
    void end_job_programs() const;

private:
    std::wstring progress_record() const;

    std::wstring root_;
    std::wstring install_;
    std::wstring jobs_;
    test_support::scratch_key config_;
    std::vector<std::unique_ptr<test_support::scratch_key>> settings_;
    DWORD printer_count_ = 0;
    e2e::installed_service service_;
};

// Sends raw bytes as one job message; true when the whole write went through.
bool send_bytes(const void* bytes, DWORD size, DWORD timeout_ms = 10000);
bool send_message(const std::wstring& text, DWORD timeout_ms = 10000);

// Polls until condition() holds; false after timeout_ms. For states other
// processes reach without a signal to wait on.
template <typename Condition>
bool eventually(Condition condition, DWORD timeout_ms = 30000) {
    const ULONGLONG deadline = GetTickCount64() + timeout_ms;
    while (!condition()) {
        if (GetTickCount64() >= deadline) return false;
        Sleep(50);
    }
    return true;
}

// How far the figures may stay above the baseline once the work is done: the
// heap keeps what it grew, and Wine caches a few handles of its own.
constexpr DWORD kSlackHandles = 4;
constexpr SIZE_T kSlackPrivateBytes = 2 * 1024 * 1024;

// Waits (a few seconds at most) for the figures to come back within the slack
// of the baseline; the last figures read go to *last. Wine's WaitForInputIdle
// leaves one event handle open per call (a bare program that calls it shows
// the same), so one more event is allowed per progress window started since.
bool back_to_baseline(const agent_host& agent, const process_figures& baseline,
                      process_figures* last = nullptr);

std::string describe(const process_figures& before, const process_figures& after);

}  // namespace reliability
