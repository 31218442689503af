// Job intake rate: producers send job messages, each on its own connection,
// to (a) the real pipe server with a handler that only counts and (b) a bare
// one-instance message-pipe loop doing the same connect/read/disconnect
// without queue or pool, and (c) that loop taking each client's token as the
// server does. Prints the rates and the ratios of (a) to (b) and to (c).
//
// intake_bench [--messages N] [--producers P] [--rounds R]
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <string>
#include <thread>
#include <vector>

#include "common/owned.h"
#include "jobsend/pipe_client.h"
#include "agent/pipe_srv/pipe_srv.h"
using contracts::kJobPipeName;

namespace {

constexpr double kTargetRatio = 0.9;
// Each phase must finish within this, or the run is reported as failed.
constexpr DWORD kPhaseLimitMs = 60000;

struct settings {
    long messages = 1000;
    int producers = 8;
    int rounds = 5;
};

volatile LONG g_handled = 0;
LONG g_target = 0;
HANDLE g_all_handled = nullptr;

int count_message(const wchar_t*, HANDLE) {
    if (InterlockedIncrement(&g_handled) == g_target) SetEvent(g_all_handled);
    return 0;
}

// Sends settings.messages in all from settings.producers threads; false if any send failed.
bool produce(const settings& s) {
    std::vector<std::thread> threads;
    volatile LONG failures = 0;
    for (int p = 0; p < s.producers; ++p) {
        threads.emplace_back([&s, p, &failures] {
            for (long i = p; i < s.messages; i += s.producers) {
                const std::wstring message = L"Corvix TIF Printer;C:\\spool\\job" +
                                             std::to_wstring(i) + L".ini;user" + std::to_wstring(p);
                if (job_pipe::send_text(message, kPhaseLimitMs) != job_pipe::send_result::sent) {
                    InterlockedIncrement(&failures);
                }
            }
        });
    }
    for (std::thread& t : threads) t.join();
    return failures == 0;
}

double seconds_since(const LARGE_INTEGER& start) {
    LARGE_INTEGER now, frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(now.QuadPart - start.QuadPart) /
           static_cast<double>(frequency.QuadPart);
}

// Messages per second through the real server; 0 on failure.
double server_rate(const settings& s) {
    g_handled = 0;
    g_target = s.messages;
    ResetEvent(g_all_handled);
    pipe_srv_set_default_handler(count_message);
    pipe_server* server = pipe_srv_init();
    double rate = 0;
    if (server && pipe_srv_run(server) && job_pipe::wait_for_pipe(kPhaseLimitMs)) {
        LARGE_INTEGER start;
        QueryPerformanceCounter(&start);
        if (produce(s) && WaitForSingleObject(g_all_handled, kPhaseLimitMs) == WAIT_OBJECT_0) {
            rate = s.messages / seconds_since(start);
        }
    }
    pipe_srv_stop(server);
    pipe_srv_destroy(&server);
    return rate;
}

// The client's identity as the pipe server takes it for each message.
void take_client_token(HANDLE pipe) {
    if (!ImpersonateNamedPipeClient(pipe)) return;
    HANDLE token = nullptr;
    if (OpenThreadToken(GetCurrentThread(), TOKEN_QUERY | TOKEN_DUPLICATE | TOKEN_IMPERSONATE, TRUE,
                        &token)) {
        CloseHandle(token);
    }
    RevertToSelf();
}

// Messages per second through one blocking instance read in a plain loop,
// taking each client's token if asked; 0 on failure.
double bare_rate(const settings& s, bool with_token) {
    const owned::unique_file pipe(CreateNamedPipeW(
        kJobPipeName, PIPE_ACCESS_DUPLEX, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1,
        4096, 4096, 0, nullptr));
    if (!pipe) return 0;
    long read = 0;
    volatile LONG give_up = 0;
    std::thread reader([&] {
        static wchar_t units[4096];
        for (; read < s.messages && !give_up; ++read) {
            // A client may come, and even go, before the listen: read what it left.
            if (!ConnectNamedPipe(pipe.get(), nullptr) && GetLastError() != ERROR_PIPE_CONNECTED &&
                GetLastError() != ERROR_NO_DATA) {
                break;
            }
            DWORD bytes = 0;
            ReadFile(pipe.get(), units, sizeof units, &bytes, nullptr);
            if (with_token) take_client_token(pipe.get());
            DisconnectNamedPipe(pipe.get());
        }
    });
    LARGE_INTEGER start;
    QueryPerformanceCounter(&start);
    const bool sent = produce(s);
    if (!sent) {
        // Frees the reader from its blocking listen.
        InterlockedExchange(&give_up, 1);
        owned::unique_file nudge;
        job_pipe::open(kPhaseLimitMs, nudge);
    }
    reader.join();
    const double elapsed = seconds_since(start);
    return sent && read == s.messages ? s.messages / elapsed : 0;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

bool parse(int argc, wchar_t** argv, settings& s) {
    for (int i = 1; i + 1 < argc; i += 2) {
        const long value = std::wcstol(argv[i + 1], nullptr, 10);
        if (value <= 0) return false;
        if (!std::wcscmp(argv[i], L"--messages")) {
            s.messages = value;
        } else if (!std::wcscmp(argv[i], L"--producers") && value <= 64) {
            s.producers = static_cast<int>(value);
        } else if (!std::wcscmp(argv[i], L"--rounds") && value <= 20) {
            s.rounds = static_cast<int>(value);
        } else {
            return false;
        }
    }
    return argc % 2 == 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    settings s;
    if (!parse(argc, argv, s)) {
        std::fputs(
            "usage: intake_bench [--messages N] [--producers P (<= 64)] [--rounds R (<= 20)]\n",
            stderr);
        return 87;
    }
    g_all_handled = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::printf("intake: %ld messages from %d producers per phase, %d rounds\n", s.messages,
                s.producers, s.rounds);
    // The machine is shared: each round measures both phases back to back, in
    // alternating order, and the medians of the rounds are reported.
    // A second bare loop also takes each client's token, as the pipe server
    // must: the ratio to it shows what the queue and the pool cost alone.
    std::vector<double> bare_rates, server_rates, ratios, token_rates, token_ratios;
    for (int round = 1; round <= s.rounds; ++round) {
        double bare = 0, server = 0, token = 0;
        if (round % 2) {
            bare = bare_rate(s, false);
            token = bare_rate(s, true);
            server = server_rate(s);
        } else {
            server = server_rate(s);
            token = bare_rate(s, true);
            bare = bare_rate(s, false);
        }
        std::printf(
            "round %d: bare loop %.0f msg/s, pipe server %.0f msg/s, bare loop with token %.0f "
            "msg/s\n",
            round, bare, server, token);
        std::fflush(stdout);
        if (bare == 0 || server == 0 || token == 0) {
            std::fputs("intake: a phase failed or did not finish in time\n", stderr);
            return 1;
        }
        bare_rates.push_back(bare);
        server_rates.push_back(server);
        ratios.push_back(server / bare);
        token_rates.push_back(token);
        token_ratios.push_back(server / token);
    }
    const double ratio = median(ratios);
    std::printf(
        "bare one-instance loop: %.0f msg/s (median)\npipe server:            %.0f msg/s (median)\n"
        "ratio: %.2f (median of rounds; target %.2f or better: %s)\n",
        median(bare_rates), median(server_rates), ratio, kTargetRatio,
        ratio >= kTargetRatio ? "met" : "missed");
    std::printf(
        "bare loop taking each client's token: %.0f msg/s (median)\n"
        "ratio to it: %.2f (median of rounds)\n",
        median(token_rates), median(token_ratios));
    CloseHandle(g_all_handled);
    return 0;
}
