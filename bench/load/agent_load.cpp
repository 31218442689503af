// Load run: the real agent.exe as the service "Agent" under Wine, fed by many
// producer threads at once, each job running fast stand-ins (load_standin as
// progress.exe and jobdisp.exe). Reports jobs sent, accepted by the pipe and
// processed (each exactly once, handed out oldest first, at most eight at
// once), the service's handles and private memory before, at peak and after,
// and jobs per second against a bare one-instance pipe loop measured first in
// the same run. At the same time job_control.exe runs as many jobs' programs
// directly, as the control of the handle and memory growth. A run that reaches
// its time limit stops the service there.
//
// agent_load [--jobs N] [--producers P] [--convert-ms M] [--limit-s S] [--control 1|0]
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cwchar>
#include <string>
#include <thread>
#include <vector>

#include "common/contracts.h"
#include "host/agent_host.h"
#include "jobsend/pipe_client.h"
#include "bench_env.h"
#include "support/support.h"
using contracts::kJobPipeName;

namespace {

const wchar_t kPrinter[] = L"Load Printer";
constexpr LONG kPool = 8;
constexpr long kBaselineMessages = 2000;
constexpr ULONGLONG kBaselineLimitMs = 30000;

struct settings {
    long jobs = 10000;
    int producers = 16;
    long convert_ms = 20;
    long limit_s = 1800;
    bool control = true;
};

double seconds_between(ULONGLONG from_ms, ULONGLONG to_ms) {
    return static_cast<double>(to_ms - from_ms) / 1000.0;
}

// Messages per second through one blocking instance read in a plain loop,
// the same connect/read/disconnect without queue, pool or jobs; 0 on failure.
double bare_pipe_rate(const settings& s) {
    const owned::unique_file pipe(CreateNamedPipeW(
        kJobPipeName, PIPE_ACCESS_DUPLEX, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1,
        4096, 4096, 0, nullptr));
    if (!pipe) return 0;
    std::atomic<bool> done{false};
    std::thread reader([&] {
        static wchar_t units[4096];
        for (;;) {
            if (!ConnectNamedPipe(pipe.get(), nullptr) && GetLastError() != ERROR_PIPE_CONNECTED)
                break;
            if (done) break;
            DWORD bytes = 0;
            ReadFile(pipe.get(), units, sizeof units, &bytes, nullptr);
            DisconnectNamedPipe(pipe.get());
        }
    });
    const ULONGLONG start = GetTickCount64();
    std::vector<std::thread> producers;
    std::atomic<long> next{0}, sent{0};
    for (int p = 0; p < s.producers; ++p) {
        producers.emplace_back([&] {
            const std::wstring message = L"Load Printer;C:\\load\\job0.ini;alice";
            while (next++ < kBaselineMessages && GetTickCount64() < start + kBaselineLimitMs) {
                if (job_pipe::send_text(message, 2000) == job_pipe::send_result::sent) ++sent;
            }
        });
    }
    for (std::thread& t : producers) t.join();
    const double seconds = seconds_between(start, GetTickCount64());
    // Frees the reader from its listen.
    done = true;
    owned::unique_file nudge;
    job_pipe::open(2000, nudge);
    nudge.reset();
    reader.join();
    return sent / seconds;
}

// The most older jobs that any job's converter started ahead of. Handed out
// oldest first, with at most eight at once, this is at most seven.
long most_overtaken(const LONG* order, LONG count) {
    std::vector<long> tree(static_cast<size_t>(count) + 1, 0);  // started numbers, Fenwick tree
    long most = 0;
    for (LONG i = 0; i < count; ++i) {
        long started_below = 0;
        for (LONG at = order[i]; at > 0; at -= at & -at) started_below += tree[at];
        most = std::max(most, static_cast<long>(order[i]) - started_below);
        for (LONG at = order[i] + 1; at <= count; at += at & -at) ++tree[at];
    }
    return most;
}

bool parse(int argc, wchar_t** argv, settings& s) {
    for (int i = 1; i + 1 < argc; i += 2) {
        const long value = std::wcstol(argv[i + 1], nullptr, 10);
        if (!std::wcscmp(argv[i], L"--control") && (value == 0 || value == 1)) {
            s.control = value == 1;
            continue;
        }
        if (value <= 0) return false;
        if (!std::wcscmp(argv[i], L"--jobs")) {
            s.jobs = value;
        } else if (!std::wcscmp(argv[i], L"--producers") && value <= 64) {
            s.producers = static_cast<int>(value);
        } else if (!std::wcscmp(argv[i], L"--convert-ms")) {
            s.convert_ms = value;
        } else if (!std::wcscmp(argv[i], L"--limit-s")) {
            s.limit_s = value;
        } else {
            return false;
        }
    }
    return argc % 2 == 1;
}

void print_figures(const char* when, const reliability::process_figures& f) {
    std::printf("  %-6s handles %5lu (events %5lu), private memory %7.1f MB\n", when,
                static_cast<unsigned long>(f.handles), static_cast<unsigned long>(f.events),
                static_cast<double>(f.private_bytes) / (1024.0 * 1024.0));
}

// Stops the service and waits for it; a service that does not stop is ended.
bool stop_service(reliability::agent_host& agent) {
    if (agent.stop() && agent.wait_for(SERVICE_STOPPED, 30000)) return true;
    const owned::unique_handle process(
        OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, agent.pid()));
    return process && TerminateProcess(process.get(), 1) &&
           WaitForSingleObject(process.get(), 10000) == WAIT_OBJECT_0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    settings s;
    if (!parse(argc, argv, s)) {
        std::fputs(
            "usage: agent_load [--jobs N] [--producers P (<= 64)] [--convert-ms M] [--limit-s S] "
            "[--control 1|0]\n",
            stderr);
        return 87;
    }
    std::printf("load: %ld jobs from %d producers, converter %ld ms, limit %ld s\n", s.jobs,
                s.producers, s.convert_ms, s.limit_s);
    if (job_pipe::wait_for_pipe(100)) {
        std::fputs("load: another server already holds the job pipe; stop it first\n", stderr);
        return 1;
    }
    const double bare_rate = bare_pipe_rate(s);
    std::printf("bare one-instance pipe loop: %.0f msg/s\n", bare_rate);
    std::fflush(stdout);

    std::puts("starting the service and its warm-up jobs");
    std::fflush(stdout);
    reliability::work_folder folder(L"c:\\reliability-load");
    reliability::agent_host agent(folder.path(), {{L"load_standin.exe", L"progress.exe"},
                                                  {L"load_standin.exe", L"jobdisp.exe"}});
    agent.add_printer(kPrinter, L"TavirelLoad");
    // The board, before any converter can look for it.
    const bench::board_file board_file(folder.file(L"board.bin"), s.jobs, s.convert_ms);
    load_board::header* board = board_file.get();
    if (!board) {
        std::fprintf(stderr, "load: no board (%lu)\n", GetLastError());
        return 1;
    }
    bench::point_standins_at(agent.install_dir(), board_file);
    test_support::clear_log();
    // Warm-up jobs carry no number, so the board ignores them.
    if (!agent.start() || !agent.warm_up(kPrinter)) {
        std::fputs("load: the service did not start or run its warm-up jobs\n", stderr);
        return 1;
    }
    reliability::process_figures before, peak, after;
    agent.figures(before);
    peak = before;

    std::puts("sending");
    std::fflush(stdout);
    const ULONGLONG start = GetTickCount64();
    const ULONGLONG deadline = start + static_cast<ULONGLONG>(s.limit_s) * 1000;
    std::atomic<long> tickets{0}, accepted{0}, refused{0};
    std::atomic<LONG> sequence{0};
    std::atomic<bool> sampling{true};
    std::thread monitor([&] {
        while (sampling) {
            reliability::process_figures now;
            if (agent.figures(now)) {
                peak.handles = std::max(peak.handles, now.handles);
                peak.events = std::max(peak.events, now.events);
                peak.private_bytes = std::max(peak.private_bytes, now.private_bytes);
            }
            Sleep(250);
        }
    });
    // The control makes the jobs' platform calls from a process and a folder
    // of its own at the same time; Wine's growth shows in both alike.
    const bench::direct_setup control_setup{folder.file(L"control"), L"", 7, L""};
    if (s.control) bench::install_control_programs(control_setup.install_dir);
    bench::control_growth control;
    bool control_ok = false;
    std::thread control_run([&] {
        control_ok = !s.control || bench::run_control(control_setup, s.jobs, s.limit_s, control);
    });
    std::vector<std::thread> producers;
    for (int p = 0; p < s.producers; ++p) {
        producers.emplace_back([&] {
            while (tickets++ < s.jobs && GetTickCount64() < deadline) {
                owned::unique_file pipe;
                if (job_pipe::open(60000, pipe) != job_pipe::send_result::sent) {
                    ++refused;
                    continue;
                }
                // One instance serves one client at a time: the order of
                // connections is the order of the queue.
                const LONG number = sequence++;
                const std::wstring ini =
                    agent.jobs_dir() + L"\\job" + std::to_wstring(number) + L".ini";
                agent.write_job(ini);
                const std::wstring text = std::wstring(kPrinter) + L";" + ini + L";alice";
                DWORD written = 0;
                const DWORD size = static_cast<DWORD>(text.size() * sizeof(wchar_t));
                if (WriteFile(pipe.get(), text.data(), size, &written, nullptr) &&
                    written == size) {
                    ++accepted;
                } else {
                    ++refused;
                }
            }
        });
    }
    for (std::thread& t : producers) t.join();
    const long sent = sequence;
    // A job ends with its cleanup, which deletes its spool file. That is also
    // how a job ends whose program could not be started (Wine fails a process
    // start now and then under load), so converter ends alone could wait for
    // ever. Looking from the newest job back stops at the first one not done.
    const auto all_cleaned = [&] {
        for (long n = sent - 1; n >= 0; --n) {
            const std::wstring spool = agent.jobs_dir() + L"\\job" + std::to_wstring(n) + L".emf";
            if (GetFileAttributesW(spool.c_str()) != INVALID_FILE_ATTRIBUTES) return false;
        }
        return true;
    };
    while (board->ended < accepted && GetTickCount64() < deadline) {
        if (all_cleaned()) break;
        Sleep(500);
    }
    const ULONGLONG finished = GetTickCount64();
    const bool timed_out = finished >= deadline;
    // At the time limit the queued jobs are left to the stop, which starts
    // none of them; the service must not outlive the run.
    if (timed_out) agent.figures(after);
    const bool stopped = !timed_out || stop_service(agent);
    bool cleaned = false;
    while (!timed_out && !(cleaned = all_cleaned()) && GetTickCount64() < deadline + 60000) {
        Sleep(500);
    }
    const bool back = !timed_out && reliability::back_to_baseline(agent, before, &after);
    sampling = false;
    monitor.join();
    control_run.join();

    long once = 0, twice = 0;
    for (LONG n = 0; n < std::min<LONG>(sent, s.jobs); ++n) {
        if (load_board::starts_of(board)[n] == 1) ++once;
        if (load_board::starts_of(board)[n] > 1) ++twice;
    }
    const long overtaken = most_overtaken(load_board::order(board), board->started);
    const double seconds = seconds_between(start, finished);
    const double rate = board->ended / seconds;
    const bool ok = control_ok && !timed_out && accepted == s.jobs && once == accepted &&
                    twice == 0 && board->peak <= kPool && overtaken < kPool && cleaned && back;

    std::printf("jobs sent:      %ld\njobs accepted:  %ld (refused or failed: %ld)\n", sent,
                accepted.load(), refused.load());
    std::printf("jobs processed: %ld converter runs; exactly once: %ld, more than once: %ld\n",
                static_cast<long>(board->ended), once, twice);
    if (!timed_out && board->ended < accepted) {
        std::printf(
            "not converted:  %ld jobs whose programs did not start (the service's log says why)\n",
            accepted.load() - static_cast<long>(board->ended));
    }
    std::printf("oldest first:   at most %ld older jobs overtaken (limit %ld)\n", overtaken,
                kPool - 1);
    std::printf("at once:        at most %ld converters (limit %ld)\n",
                static_cast<long>(board->peak), kPool);
    std::printf("cleanup:        %s\n", cleaned ? "every spool file removed" : "spool files left");
    std::printf("agent process:\n");
    print_figures("before", before);
    print_figures("peak", peak);
    print_figures(timed_out ? "limit" : "after", after);
    if (!timed_out)
        std::printf(
            "  non-event handles back to start: %s; events grew by %ld for %lu progress starts "
            "(Wine's WaitForInputIdle keeps one per call)\n",
            back ? "yes" : "NO", static_cast<long>(after.events) - static_cast<long>(before.events),
            static_cast<unsigned long>(after.progress_starts - before.progress_starts));
    if (s.control && control_ok) {
        std::printf(
            "control:        %ld jobs' programs run directly: handles %+ld, private memory %+.2f "
            "MB "
            "(agent: handles %+ld, private memory %+.2f MB)\n",
            control.jobs, control.handles(), control.private_mb(),
            static_cast<long>(after.handles) - static_cast<long>(before.handles),
            (static_cast<double>(after.private_bytes) - static_cast<double>(before.private_bytes)) /
                1048576.0);
    }
    if (timed_out)
        std::printf("service:        %s at the time limit\n", stopped ? "stopped" : "did NOT stop");
    std::printf("throughput:     %.1f jobs/s over %.1f s; ratio to the bare pipe loop %.4f\n", rate,
                seconds, bare_rate > 0 ? rate / bare_rate : 0.0);
    std::printf("result:         %s%s\n", ok ? "PASS" : "FAIL",
                timed_out ? " (time limit reached)" : "");
    return ok ? 0 : 1;
}
