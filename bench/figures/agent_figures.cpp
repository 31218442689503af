// What a user and an administrator feel of the agent, each figure against a
// baseline measured in the same run: the real agent.exe as the service
// "Agent" under Wine, its jobs running instant stand-ins (load_standin as
// progress.exe, jobdisp.exe and the target window's program client.exe) and
// the real winrelay.exe, which hands each job to that window.
//
// agent_figures overhead [--jobs N] [--log on|off] [--limit-s S]
//     message to delivery in the window through the service, against the
//     same programs started in the same order and with the same waits by
//     this program; pairs interleaved, order alternating.
// agent_figures queue [--jobs N] [--convert-ms M]
//     N jobs at once with a converter of M ms: latency with a full pool, how
//     long and behind how many each job waited, how many younger jobs
//     started first.
// agent_figures idle [--seconds S]
//     the idle service's CPU time, its threads' wake-ups, handles and memory.
// agent_figures growth [--jobs N] [--limit-s S]
//     the service's handles and private memory after N jobs against the
//     growth of job_control.exe making the same platform calls for N jobs,
//     both run side by side.
// --limit-s ends the sending at that time; the jobs done so far count.
//
// Every figure ends in one line "figure <name>: ... ok" or "... short".
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cwchar>
#include <string>
#include <thread>
#include <vector>

#include "bench_env.h"
#include "host/agent_host.h"
#include "jobsend/pipe_client.h"
#include "support/support.h"

namespace {

const wchar_t kPrinter[] = L"Bench Printer";
const wchar_t kTitle[] = L"Bench Target";
const wchar_t kTmp[] = L"c:\\tmp";
const wchar_t kTmpAside[] = L"c:\\tmp-bench-aside";
constexpr DWORD kJobLimitMs = 30000;
constexpr LONG kPool = 8;
constexpr double kOverheadTarget = 1.10;

struct settings {
    std::wstring figure;
    long jobs = 0;  // 0: the figure's default
    long convert_ms = 4000;
    long seconds = 60;
    long limit_s = 0;  // 0: no time limit
    bool log = false;
};

bool parse(int argc, wchar_t** argv, settings& s) {
    if (argc < 2 || argc % 2 != 0) return false;
    s.figure = argv[1];
    for (int i = 2; i + 1 < argc; i += 2) {
        const std::wstring name = argv[i], text = argv[i + 1];
        const long value = std::wcstol(text.c_str(), nullptr, 10);
        if (name == L"--log" && (text == L"on" || text == L"off")) {
            s.log = text == L"on";
        } else if (value <= 0) {
            return false;
        } else if (name == L"--jobs") {
            s.jobs = value;
        } else if (name == L"--convert-ms") {
            s.convert_ms = value;
        } else if (name == L"--seconds") {
            s.seconds = value;
        } else if (name == L"--limit-s") {
            s.limit_s = value;
        } else {
            return false;
        }
    }
    return s.figure == L"overhead" || s.figure == L"queue" || s.figure == L"idle" ||
           s.figure == L"growth";
}

// The diagnostic log on (emptied) or off (c:\tmp moved aside, as on a machine
// where nobody switched it on) for as long as the object lives.
class log_state {
public:
    explicit log_state(bool on) {
        if (on) {
            test_support::clear_log();
        } else if (GetFileAttributesW(kTmp) != INVALID_FILE_ATTRIBUTES) {
            test_support::remove_tree(kTmpAside);
            moved_ = MoveFileW(kTmp, kTmpAside) != FALSE;
            if (!moved_)
                std::fprintf(stderr, "figures: could not switch the log off (%lu)\n",
                             GetLastError());
        }
    }
    ~log_state() {
        if (moved_) MoveFileW(kTmpAside, kTmp);
    }
    log_state(const log_state&) = delete;
    log_state& operator=(const log_state&) = delete;

private:
    bool moved_ = false;
};

// The service with the benchmark's printer (delivery to the window through
// winrelay), its stand-ins and the board, numbers 0 .. capacity-1.
class bench_agent {
public:
    bench_agent(LONG capacity, LONG convert_ms)
        : folder_(L"c:\\bench-figures"),
          agent_(folder_.path(), {{L"load_standin.exe", L"progress.exe"},
                                  {L"load_standin.exe", L"jobdisp.exe"},
                                  {L"load_standin.exe", L"client.exe"},
                                  {L"winrelay.exe", L"winrelay.exe"}}),
          board_(folder_.file(L"board.bin"), capacity, convert_ms) {
        test_support::scratch_key& key = agent_.add_printer(kPrinter, L"TavirelBench");
        key.set_dword(L"Transfer Mode", 1);
        key.set_string(L"Target window title", kTitle);
        WritePrivateProfileStringW(L"client", L"Title", kTitle,
                                   (agent_.install_dir() + L"\\client.ini").c_str());
        if (board_.get()) bench::point_standins_at(agent_.install_dir(), board_);
    }

    // Starts the service, has it open the target window through a first job
    // (winrelay finds none, so the agent starts client.exe and relays again)
    // and warms every work thread up.
    bool start() {
        if (!board_.get()) {
            std::fprintf(stderr, "figures: no board (%lu)\n", GetLastError());
            return false;
        }
        if (!agent_.start()) {
            std::fputs("figures: the service did not start\n", stderr);
            return false;
        }
        const std::wstring first = agent_.make_job(L"opens-window");
        if (!send(first) || !reliability::eventually([&] { return cleaned(first); }) ||
            !agent_.warm_up(kPrinter)) {
            std::fputs("figures: the service's first jobs did not go through\n", stderr);
            return false;
        }
        return true;
    }

    reliability::agent_host& host() { return agent_; }
    const bench::board_file& board() const { return board_; }
    // Where the service's programs run: the window is found from there.
    bench::direct_setup direct() const {
        wchar_t desktop[512] = L"";
        GetPrivateProfileStringW(L"client", L"Desktop", L"", desktop, 512,
                                 (agent_.install_dir() + L"\\client.ini").c_str());
        return {agent_.install_dir(), kTitle, 7, desktop};
    }

    // Writes job n's files; the message follows separately.
    std::wstring prepare(LONG number) const {
        const std::wstring ini = agent_.jobs_dir() + L"\\job" + std::to_wstring(number) + L".ini";
        agent_.write_job(ini);
        return ini;
    }
    bool send(const std::wstring& ini) const {
        return reliability::send_message(std::wstring(kPrinter) + L";" + ini + L";alice");
    }
    bool delivered(LONG number) const {
        return board_.at(load_board::stamp::delivered, number) != 0;
    }
    bool cleaned(const std::wstring& ini) const {
        return !test_support::file_exists(reliability::agent_host::spool_of(ini));
    }

private:
    reliability::work_folder folder_;
    reliability::agent_host agent_;
    bench::board_file board_;
};

void print_figure(const char* name, const std::string& text, bool ok) {
    std::printf("figure %s: %s %s\n", name, text.c_str(), ok ? "ok" : "short");
    std::fflush(stdout);
}

// The figures as text; every argument is a double.
template <typename... Numbers>
std::string format(const char* pattern, Numbers... numbers) {
    char text[512];
    std::snprintf(text, sizeof text, pattern, static_cast<double>(numbers)...);
    return text;
}

// Per-job timings of one side, from the message (or the first program start)
// on, in ms.
struct timings {
    std::vector<double> total, to_progress, to_converter, to_delivery;

    void add(const bench::board_file& board, LONG number, LONGLONG sent) {
        const LONGLONG progress = board.at(load_board::stamp::progress, number);
        const LONGLONG converter = board.at(load_board::stamp::converter, number);
        const LONGLONG delivered = board.at(load_board::stamp::delivered, number);
        total.push_back(bench::ms_between(sent, delivered));
        to_progress.push_back(bench::ms_between(sent, progress));
        to_converter.push_back(bench::ms_between(progress, converter));
        to_delivery.push_back(bench::ms_between(converter, delivered));
    }
};

void print_split(const char* side, const timings& t) {
    std::printf(
        "  %-8s median %6.1f ms, p99 %6.1f ms; medians of the steps: to progress start %6.1f, "
        "then to converter start %6.1f, then to delivery %6.1f ms\n",
        side, bench::quantile(t.total, 0.5), bench::quantile(t.total, 0.99),
        bench::quantile(t.to_progress, 0.5), bench::quantile(t.to_converter, 0.5),
        bench::quantile(t.to_delivery, 0.5));
}

int overhead(const settings& s) {
    const long pairs = s.jobs ? s.jobs : 100;
    const log_state log(s.log);
    bench_agent bench(static_cast<LONG>(2 * pairs), 0);
    if (!bench.start()) return 1;
    std::printf(
        "overhead: %ld jobs through the service and %ld run directly, interleaved; log %s\n", pairs,
        pairs, s.log ? "on" : "off");
    std::fflush(stdout);
    const bench::direct_setup setup = bench.direct();
    timings agent, direct;
    std::vector<double> ratios;
    // Within the time limit, the pairs done so far make the figure.
    const ULONGLONG deadline =
        s.limit_s ? GetTickCount64() + static_cast<ULONGLONG>(s.limit_s) * 1000 : ~0ULL;
    for (LONG pair = 0; pair < pairs && GetTickCount64() < deadline; ++pair) {
        // Pair p is jobs 2p and 2p+1; which side goes first alternates.
        for (int turn = 0; turn < 2; ++turn) {
            const bool through_agent = (turn == 0) == (pair % 2 == 0);
            const LONG number = 2 * pair + (through_agent ? 0 : 1);
            const std::wstring ini = bench.prepare(number);
            const LONGLONG sent = load_board::now();
            const bool ran =
                through_agent
                    ? bench.send(ini) && reliability::eventually(
                                             [&] { return bench.delivered(number); }, kJobLimitMs)
                    : bench::run_direct_job(setup, ini) && bench.delivered(number);
            if (!ran) {
                std::fprintf(stderr, "overhead: job %ld %s did not reach the window\n",
                             static_cast<long>(number),
                             through_agent ? "through the service" : "run directly");
                return 1;
            }
            (through_agent ? agent : direct).add(bench.board(), number, sent);
            // The service's cleanup follows delivery: let it end before the next job.
            if (through_agent &&
                !reliability::eventually([&] { return bench.cleaned(ini); }, kJobLimitMs)) {
                std::fprintf(stderr, "overhead: job %ld was not cleaned up\n",
                             static_cast<long>(number));
                return 1;
            }
        }
        ratios.push_back(agent.total.back() / direct.total.back());
    }
    if (ratios.size() < static_cast<size_t>(pairs)) {
        std::printf("  time limit: %zu of %ld pairs done\n", ratios.size(), pairs);
    }
    print_split("service", agent);
    print_split("direct", direct);
    const double median_ratio =
        bench::quantile(agent.total, 0.5) / bench::quantile(direct.total, 0.5);
    const double p99_ratio =
        bench::quantile(agent.total, 0.99) / bench::quantile(direct.total, 0.99);
    print_figure(
        s.log ? "overhead-log-on" : "overhead",
        format(
            "%.0f pairs: median %.1f ms against %.1f ms direct, ratio %.3f (target <= 1.10; median "
            "of pair ratios %.3f); p99 ratio %.3f",
            static_cast<double>(ratios.size()), bench::quantile(agent.total, 0.5),
            bench::quantile(direct.total, 0.5), median_ratio, bench::quantile(ratios, 0.5),
            p99_ratio),
        median_ratio <= kOverheadTarget);
    return 0;
}

// The most younger jobs whose programs started before any one job's: with
// the queue handed out oldest first and eight workers, at most seven.
long most_overtaken_by(const std::vector<LONGLONG>& started) {
    long most = 0;
    for (size_t n = 0; n < started.size(); ++n) {
        long younger_first = 0;
        for (size_t m = n + 1; m < started.size(); ++m) younger_first += started[m] < started[n];
        most = std::max(most, younger_first);
    }
    return most;
}

int queue(const settings& s) {
    const LONG jobs = static_cast<LONG>(s.jobs ? s.jobs : 24);
    const log_state log(s.log);
    bench_agent bench(jobs, static_cast<LONG>(s.convert_ms));
    if (!bench.start()) return 1;
    std::printf("queue: %ld jobs sent at once, converter %ld ms, pool of %ld\n",
                static_cast<long>(jobs), s.convert_ms, static_cast<long>(kPool));
    std::fflush(stdout);
    std::vector<std::wstring> inis;
    for (LONG n = 0; n < jobs; ++n) inis.push_back(bench.prepare(n));
    std::vector<LONGLONG> sent(static_cast<size_t>(jobs));
    for (LONG n = 0; n < jobs; ++n) {
        sent[n] = load_board::now();
        if (!bench.send(inis[n])) {
            std::fprintf(stderr, "queue: job %ld was not accepted\n", static_cast<long>(n));
            return 1;
        }
    }
    const DWORD limit =
        kJobLimitMs + static_cast<DWORD>(jobs / kPool + 1) * static_cast<DWORD>(s.convert_ms) * 2;
    if (!reliability::eventually(
            [&] {
                for (LONG n = 0; n < jobs; ++n) {
                    if (!bench.delivered(n) || !bench.cleaned(inis[n])) return false;
                }
                return true;
            },
            limit)) {
        std::fputs("queue: not every job was delivered and cleaned up in time\n", stderr);
        return 1;
    }
    std::vector<double> total, waited, behind;
    std::vector<LONGLONG> started;
    for (LONG n = 0; n < jobs; ++n) {
        const LONGLONG progress = bench.board().at(load_board::stamp::progress, n);
        total.push_back(
            bench::ms_between(sent[n], bench.board().at(load_board::stamp::delivered, n)));
        waited.push_back(bench::ms_between(sent[n], progress));
        started.push_back(progress);
        // Older jobs not yet begun when this one was sent: its place in the queue.
        long ahead = 0;
        for (LONG m = 0; m < n; ++m)
            ahead += bench.board().at(load_board::stamp::progress, m) > sent[n];
        behind.push_back(static_cast<double>(ahead));
    }
    const long overtaken_by = most_overtaken_by(started);
    const LONG peak = bench.board().get()->peak;
    std::printf("  message to delivery: p50 %.0f ms, p99 %.0f ms (one converter run is %ld ms)\n",
                bench::quantile(total, 0.5), bench::quantile(total, 0.99), s.convert_ms);
    std::printf(
        "  waited in the queue (message to progress start): p50 %.0f ms, p99 %.0f ms, most %.0f "
        "ms\n",
        bench::quantile(waited, 0.5), bench::quantile(waited, 0.99), bench::quantile(waited, 1));
    std::printf(
        "  queued behind older jobs not yet begun: p50 %.0f, most %.0f; converters at once: %ld\n",
        bench::quantile(behind, 0.5), bench::quantile(behind, 1), static_cast<long>(peak));
    print_figure("queue",
                 format("p50 %.0f ms, p99 %.0f ms message to delivery with %.0f in flight; "
                        "most younger jobs begun first %.0f (limit 7)",
                        bench::quantile(total, 0.5), bench::quantile(total, 0.99),
                        static_cast<double>(peak), static_cast<double>(overtaken_by)),
                 peak == kPool && overtaken_by < kPool);
    return 0;
}

struct thread_totals {
    unsigned long long woken = 0, cpu_ns = 0;
};

thread_totals totals(const std::vector<bench::thread_account>& threads) {
    thread_totals sum;
    for (const bench::thread_account& t : threads) {
        sum.woken += t.woken;
        sum.cpu_ns += t.cpu_ns;
    }
    return sum;
}

int idle(const settings& s) {
    const log_state log(s.log);
    bench_agent bench(1, 0);
    if (!bench.start()) return 1;
    const unsigned long host_pid = bench::host_pid_of(test_support::beside_exe(L"agent.exe"));
    std::vector<bench::thread_account> before, after;
    if (host_pid == 0 || !bench::thread_accounts(host_pid, before)) {
        std::fputs("idle: the service's host process or its threads are not visible\n", stderr);
        return 1;
    }
    // The counting checked in the same run: a thread of this program that a
    // time-out wakes kProbeWakes times must be counted at least that often.
    constexpr int kProbeWakes = 50;
    const unsigned long own_pid =
        bench::host_pid_of(test_support::beside_exe(L"agent_figures.exe"));
    std::vector<bench::thread_account> own_before, own_after;
    {
        // The probe lives through both counts: an ended thread's count is gone.
        const owned::unique_handle go(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        const owned::unique_handle done(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        const owned::unique_handle end(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        std::thread probe([&] {
            WaitForSingleObject(go.get(), INFINITE);
            for (int i = 0; i < kProbeWakes; ++i) WaitForSingleObject(end.get(), 20);
            SetEvent(done.get());
            WaitForSingleObject(end.get(), INFINITE);
        });
        bench::thread_accounts(own_pid, own_before);
        SetEvent(go.get());
        WaitForSingleObject(done.get(), INFINITE);
        bench::thread_accounts(own_pid, own_after);
        SetEvent(end.get());
        probe.join();
    }
    const unsigned long long probe_woken = totals(own_after).woken - totals(own_before).woken;
    std::printf(
        "idle: probe thread woken %d times by a time-out, counted %llu times, %.2f ms CPU\n",
        kProbeWakes, probe_woken,
        static_cast<double>(totals(own_after).cpu_ns - totals(own_before).cpu_ns) / 1e6);

    reliability::process_figures figures_before, figures_after;
    bench.host().figures(figures_before);
    std::printf("idle: %ld s without jobs; service process %lu on the host, %zu threads\n",
                s.seconds, host_pid, before.size());
    std::fflush(stdout);
    Sleep(static_cast<DWORD>(s.seconds) * 1000);
    bench::thread_accounts(host_pid, after);
    bench.host().figures(figures_after);
    for (const bench::thread_account& t : after) {
        const auto was = std::find_if(before.begin(), before.end(),
                                      [&](const bench::thread_account& b) { return b.id == t.id; });
        const unsigned long long woken = t.woken - (was == before.end() ? 0 : was->woken);
        const unsigned long long cpu = t.cpu_ns - (was == before.end() ? 0 : was->cpu_ns);
        std::printf("  thread %lu %-16s woken %4llu times, CPU %.3f ms%s\n", t.id, t.name.c_str(),
                    woken, static_cast<double>(cpu) / 1e6, was == before.end() ? " (new)" : "");
    }
    const thread_totals a = totals(before), b = totals(after);
    const unsigned long long woken = b.woken - a.woken;
    std::printf("  handles %lu -> %lu, private memory %.1f -> %.1f MB\n",
                static_cast<unsigned long>(figures_before.handles),
                static_cast<unsigned long>(figures_after.handles),
                static_cast<double>(figures_before.private_bytes) / 1048576.0,
                static_cast<double>(figures_after.private_bytes) / 1048576.0);
    print_figure("idle",
                 format("%.0f wake-ups and %.2f ms CPU in %.0f s; %.0f handles, %.1f MB private",
                        static_cast<double>(woken), static_cast<double>(b.cpu_ns - a.cpu_ns) / 1e6,
                        static_cast<double>(s.seconds), static_cast<double>(figures_after.handles),
                        static_cast<double>(figures_after.private_bytes) / 1048576.0),
                 woken == 0 && after.size() == before.size() && probe_woken >= kProbeWakes);
    return 0;
}

int growth(const settings& s) {
    const LONG jobs = static_cast<LONG>(s.jobs ? s.jobs : 500);
    const log_state log(s.log);
    bench_agent bench(jobs, 0);
    if (!bench.start()) return 1;
    reliability::process_figures before, after;
    if (!bench.host().figures(before)) return 1;
    std::printf(
        "growth: up to %ld jobs through the service and as many run by job_control.exe at the same "
        "time\n",
        static_cast<long>(jobs));
    std::fflush(stdout);

    // The control makes the same calls from a process and a folder of its
    // own (the service's progress starts are counted in its folder).
    bench::direct_setup control_setup = bench.direct();
    control_setup.install_dir = bench.host().jobs_dir() + L"\\control";
    bench::install_control_programs(control_setup.install_dir);
    bench::control_growth control_figures;
    bool control_ok = false;
    const long limit_s = s.limit_s ? s.limit_s : 3600;
    std::thread control(
        [&] { control_ok = bench::run_control(control_setup, jobs, limit_s, control_figures); });

    // Sixteen jobs ahead at most: the pool full and as many queued, as
    // printing users would keep it, and a time limit that leaves few behind.
    const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(limit_s) * 1000;
    constexpr LONG kAhead = 16;
    std::vector<std::wstring> inis;
    long refused = 0;
    for (LONG n = 0; n < jobs && GetTickCount64() < deadline; ++n) {
        if (n >= kAhead && !reliability::eventually([&] { return bench.cleaned(inis[n - kAhead]); },
                                                    kJobLimitMs)) {
            break;
        }
        inis.push_back(bench.prepare(n));
        refused += !bench.send(inis.back());
    }
    const LONG sent = static_cast<LONG>(inis.size());
    const bool done = reliability::eventually(
        [&] {
            for (const std::wstring& ini : inis) {
                if (!bench.cleaned(ini)) return false;
            }
            return true;
        },
        kJobLimitMs);
    control.join();
    // Some time for the heap and Wine's caches to settle, as the fault suite allows.
    const bool back = reliability::back_to_baseline(bench.host(), before, &after);
    long delivered = 0;
    for (LONG n = 0; n < sent; ++n) delivered += bench.delivered(n);

    const long agent_handles = static_cast<long>(after.handles) - static_cast<long>(before.handles);
    const long agent_events = static_cast<long>(after.events) - static_cast<long>(before.events);
    const double agent_memory =
        (static_cast<double>(after.private_bytes) - static_cast<double>(before.private_bytes)) /
        1048576.0;
    std::printf(
        "  service: %ld of %ld delivered, %ld refused; handles %lu -> %lu (%+ld, of them events "
        "%+ld), "
        "private memory %+.2f MB\n",
        delivered, static_cast<long>(sent), refused, static_cast<unsigned long>(before.handles),
        static_cast<unsigned long>(after.handles), agent_handles, agent_events, agent_memory);
    if (!control_ok) return 1;
    const long control_handles = control_figures.handles();
    const double control_memory = control_figures.private_mb();
    std::printf("  control: %ld jobs; handles %ld -> %ld (%+ld), private memory %+.2f MB\n",
                control_figures.jobs, control_figures.handles_before, control_figures.handles_after,
                control_handles, control_memory);
    // Per job alike, but for what the heap keeps and the few handles Wine
    // caches of its own.
    const double scale =
        control_figures.jobs ? static_cast<double>(sent) / control_figures.jobs : 0;
    const bool ok =
        done && delivered == sent && refused == 0 && back && control_figures.jobs > 0 &&
        agent_handles <= control_handles * scale + reliability::kSlackHandles &&
        agent_memory <= control_memory * scale + reliability::kSlackPrivateBytes / 1048576.0;
    print_figure(
        "growth",
        format("after %.0f jobs the service grew by %+.0f handles and %+.2f MB; the control, "
               "after %.0f jobs, by %+.0f handles and %+.2f MB",
               static_cast<double>(sent), static_cast<double>(agent_handles), agent_memory,
               static_cast<double>(control_figures.jobs), static_cast<double>(control_handles),
               control_memory),
        ok);
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    settings s;
    if (!parse(argc, argv, s)) {
        std::fputs(
            "usage: agent_figures overhead [--jobs N] [--log on|off] [--limit-s S]\n"
            "       agent_figures queue [--jobs N] [--convert-ms M]\n"
            "       agent_figures idle [--seconds S]\n"
            "       agent_figures growth [--jobs N] [--limit-s S]\n",
            stderr);
        return 87;
    }
    if (job_pipe::wait_for_pipe(100)) {
        std::fputs("figures: another server already holds the job pipe; stop it first\n", stderr);
        return 1;
    }
    if (s.figure == L"overhead") return overhead(s);
    if (s.figure == L"queue") return queue(s);
    if (s.figure == L"idle") return idle(s);
    return growth(s);
}
