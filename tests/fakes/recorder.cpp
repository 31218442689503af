#include "fakes/recorder.h"

#include <sddl.h>

#include <algorithm>

#include "jobsend/pipe_client.h"

namespace recorder {
namespace {

// A gated handler gives up after this, so that a failing test cannot hang.
constexpr DWORD kGateLimitMs = 30000;

struct state {
    state() {
        InitializeCriticalSection(&lock);
        arrived = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        gate = CreateSemaphoreW(nullptr, 0, 1000, nullptr);
    }
    CRITICAL_SECTION lock;
    HANDLE arrived;
    HANDLE gate;
    bool gated = false;
    std::vector<std::wstring> messages;
    std::vector<std::wstring> client_sids;
    int running = 0;
    int max_running = 0;
};

state& shared() {
    static state s;
    return s;
}

class locked {
public:
    locked() { EnterCriticalSection(&shared().lock); }
    ~locked() { LeaveCriticalSection(&shared().lock); }
};

}  // namespace

std::wstring user_sid(HANDLE token) {
    // Room for a TOKEN_USER with the largest SID.
    DWORD storage[(sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE) / sizeof(DWORD) + 1];
    DWORD size = 0;
    wchar_t* text = nullptr;
    if (!token || !GetTokenInformation(token, TokenUser, storage, sizeof storage, &size) ||
        !ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(storage)->User.Sid, &text)) {
        return L"";
    }
    const owned::unique_local release(text);
    return text;
}

int handle(const wchar_t* message, HANDLE client_token) {
    state& s = shared();
    const std::wstring sid = user_sid(client_token);
    bool gated = false;
    {
        locked hold;
        s.messages.emplace_back(message);
        s.client_sids.push_back(sid);
        s.max_running = std::max(s.max_running, ++s.running);
        gated = s.gated;
    }
    SetEvent(s.arrived);
    if (gated) WaitForSingleObject(s.gate, kGateLimitMs);
    locked hold;
    --s.running;
    return 0;
}

void reset(bool gated) {
    state& s = shared();
    locked hold;
    s.gated = gated;
    s.messages.clear();
    s.client_sids.clear();
    s.running = 0;
    s.max_running = 0;
    while (WaitForSingleObject(s.gate, 0) == WAIT_OBJECT_0) {}
    ResetEvent(s.arrived);
}

void release(LONG count) { ReleaseSemaphore(shared().gate, count, nullptr); }

bool wait_for(size_t count, DWORD timeout_ms) {
    state& s = shared();
    const ULONGLONG deadline = GetTickCount64() + timeout_ms;
    for (;;) {
        {
            locked hold;
            if (s.messages.size() >= count) return true;
        }
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline) return false;
        WaitForSingleObject(s.arrived, static_cast<DWORD>(deadline - now));
    }
}

std::vector<std::wstring> messages() {
    locked hold;
    return shared().messages;
}

std::vector<std::wstring> client_sids() {
    locked hold;
    return shared().client_sids;
}

int running() {
    locked hold;
    return shared().running;
}

int max_running() {
    locked hold;
    return shared().max_running;
}

running_server::running_server() {
    pipe_srv_set_default_handler(handle);
    server_ = pipe_srv_init();
    if (!server_ || !pipe_srv_run(server_)) return;
    job_pipe::wait_for_pipe(10000);
}

running_server::~running_server() {
    pipe_srv_stop(server_);
    pipe_srv_destroy(&server_);
}

}  // namespace recorder
