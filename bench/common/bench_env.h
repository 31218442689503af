// What the benchmarks share: the board that their stand-ins write to, a job's
// programs run directly in the order the agent runs them (the baseline of the
// per-job figures and the control of the growth figures), the system's view of
// a process's threads (wake-ups and CPU time), and order statistics.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "common/owned.h"
#include "load_board.h"

namespace bench {

// The board file, created and mapped for as long as the object lives.
class board_file {
public:
    board_file(const std::wstring& path, LONG capacity, LONG convert_ms);
    ~board_file();
    board_file(const board_file&) = delete;
    board_file& operator=(const board_file&) = delete;

    // Nothing when the file or its mapping could not be made.
    load_board::header* get() const { return board_; }
    const std::wstring& path() const { return path_; }
    LONGLONG at(load_board::stamp which, LONG number) const {
        return load_board::stamps(board_, which)[number];
    }

private:
    std::wstring path_;
    owned::unique_file file_;
    owned::unique_handle section_;
    load_board::header* board_ = nullptr;
};

// Names the board in the ini file beside each stand-in role in the folder.
void point_standins_at(const std::wstring& install_dir, const board_file& board);

// Milliseconds between two performance-counter readings.
double ms_between(LONGLONG from, LONGLONG to);

// The q-quantile (0..1) of the values, nearest rank; 0 for none.
double quantile(std::vector<double> values, double q);

// Where a direct job's programs lie and what its delivery needs.
struct direct_setup {
    std::wstring install_dir;
    std::wstring window_title;
    DWORD message_id = 7;
    // "<window station>\\<desktop>" to start the programs in; empty: this one's.
    std::wstring desktop;
};

// One job's programs started here (on the setup's desktop) as the agent
// starts them in its own context, in its order and with its waits: progress (up to 500 ms for input
// idle), the converter (until it ends), progress ended, then winrelay (until
// it ends; not run without a window title). Each wait is bounded by
// limit_ms. True when every program ran (and winrelay delivered).
bool run_direct_job(const direct_setup& setup, const std::wstring& ini, DWORD limit_ms = 60000);

// The growth of the control program (job_control.exe), which runs jobs'
// programs directly from a folder of its own and measures itself.
struct control_growth {
    long jobs = 0;  // run before its time limit
    long handles_before = 0, handles_after = 0;
    double private_before = 0, private_after = 0;  // bytes
    long handles() const { return handles_after - handles_before; }
    double private_mb() const { return (private_after - private_before) / 1048576.0; }
};

// Copies the stand-ins (progress, converter) and winrelay into the folder.
void install_control_programs(const std::wstring& dir);
// Runs job_control.exe for that many jobs of the setup, for at most limit_s
// seconds; false when it failed or told nothing.
bool run_control(const direct_setup& setup, long jobs, long limit_s, control_growth& out);

// The system's own accounts of a process's threads. Under Wine every thread is
// a host thread; its voluntary context switches count the times it blocked
// and was woken again, its run time what CPU it used.
struct thread_account {
    unsigned long id = 0;  // host thread id
    std::string name;
    unsigned long long woken = 0;  // voluntary context switches
    unsigned long long cpu_ns = 0;
};

// The host process running `program` (a full path), found among the host's
// processes; 0 when there is none.
unsigned long host_pid_of(const std::wstring& program);
// The accounts of each thread of that host process; false when unreadable.
bool thread_accounts(unsigned long host_pid, std::vector<thread_account>& out);

}  // namespace bench
