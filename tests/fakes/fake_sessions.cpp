#include "fakes/fake_sessions.h"

#include <cstdlib>
#include <cstring>

#include "agent/tools/session_api.h"

namespace fake_sessions {
namespace {

// The seam holds plain function pointers, so the script is process-wide.
struct script {
    std::vector<session> sessions;
    uint32_t console = 1;
    DWORD enumeration_error = 0;
    call_counts calls;
};

SRWLOCK script_lock = SRWLOCK_INIT;
script current;
volatile LONG outstanding = 0;
session_api_table previous_api{};
wchar_t station_name[] = L"Fake";

class shared_lock {
public:
    shared_lock() { AcquireSRWLockExclusive(&script_lock); }
    ~shared_lock() { ReleaseSRWLockExclusive(&script_lock); }
    shared_lock(const shared_lock&) = delete;
    shared_lock& operator=(const shared_lock&) = delete;
};

void* allocate(size_t bytes) {
    void* memory = calloc(bytes ? bytes : 1, 1);
    if (memory) InterlockedIncrement(&outstanding);
    return memory;
}

const session* find(uint32_t id) {
    for (const session& s : current.sessions) {
        if (s.id == id) return &s;
    }
    return nullptr;
}

BOOL fail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

BOOL WINAPI enumerate_sessions(HANDLE, DWORD reserved, DWORD version, WTS_SESSION_INFOW** sessions,
                               DWORD* count) {
    const shared_lock lock;
    ++current.calls.enumerate;
    if (!sessions || !count || reserved != 0 || version != 1) return fail(ERROR_INVALID_PARAMETER);
    if (current.enumeration_error) return fail(current.enumeration_error);
    auto* list = static_cast<WTS_SESSION_INFOW*>(
        allocate(current.sessions.size() * sizeof(WTS_SESSION_INFOW)));
    if (!list) return fail(ERROR_NOT_ENOUGH_MEMORY);
    for (size_t i = 0; i < current.sessions.size(); ++i) {
        list[i].SessionId = current.sessions[i].id;
        list[i].pWinStationName = station_name;
        list[i].State = current.sessions[i].state;
    }
    *sessions = list;
    *count = static_cast<DWORD>(current.sessions.size());
    return TRUE;
}

BOOL give_bytes(const void* data, size_t bytes, LPWSTR* buffer, DWORD* returned) {
    void* copy = allocate(bytes);
    if (!copy) return fail(ERROR_NOT_ENOUGH_MEMORY);
    memcpy(copy, data, bytes);
    *buffer = static_cast<LPWSTR>(copy);
    *returned = static_cast<DWORD>(bytes);
    return TRUE;
}

BOOL WINAPI query_session_information(HANDLE, DWORD session_id, WTS_INFO_CLASS info_class,
                                      LPWSTR* buffer, DWORD* bytes) {
    const shared_lock lock;
    ++current.calls.query_information;
    if (!buffer || !bytes) return fail(ERROR_INVALID_PARAMETER);
    const session* s = find(session_id);
    if (!s) return fail(ERROR_FILE_NOT_FOUND);
    switch (info_class) {
        case WTSUserName:
            if (s->name_error) return fail(s->name_error);
            return give_bytes(s->user.c_str(), (s->user.size() + 1) * sizeof(wchar_t), buffer,
                              bytes);
        case WTSDomainName:
            return give_bytes(L"", sizeof(wchar_t), buffer, bytes);
        case WTSSessionId:
            return give_bytes(&s->id, sizeof(DWORD), buffer, bytes);
        case WTSConnectState:
            return give_bytes(&s->state, sizeof(s->state), buffer, bytes);
        default:
            return fail(ERROR_NOT_SUPPORTED);
    }
}

void WINAPI free_memory(PVOID memory) {
    if (!memory) return;
    free(memory);
    InterlockedDecrement(&outstanding);
}

BOOL WINAPI query_user_token(ULONG session_id, PHANDLE token) {
    const shared_lock lock;
    ++current.calls.query_user_token;
    if (!token) return fail(ERROR_INVALID_PARAMETER);
    const session* s = find(session_id);
    if (!s) return fail(ERROR_FILE_NOT_FOUND);
    if (s->user.empty()) return fail(ERROR_NO_TOKEN);
    HANDLE own = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ALL_ACCESS, &own)) return FALSE;
    const BOOL ok = DuplicateTokenEx(own, TOKEN_ALL_ACCESS, nullptr, SecurityImpersonation,
                                     TokenPrimary, token);
    const DWORD error = GetLastError();
    CloseHandle(own);
    SetLastError(error);
    return ok;
}

DWORD WINAPI get_active_console_session_id() {
    const shared_lock lock;
    ++current.calls.console;
    return current.console;
}

}  // namespace

scripted_sessions::scripted_sessions(std::vector<session> sessions, uint32_t console) {
    {
        const shared_lock lock;
        current = script{};
        current.sessions = std::move(sessions);
        current.console = console;
    }
    previous_api = set_session_api({enumerate_sessions, query_session_information, free_memory,
                                    query_user_token, get_active_console_session_id});
}

scripted_sessions::~scripted_sessions() { set_session_api(previous_api); }

void scripted_sessions::set_sessions(std::vector<session> sessions) {
    const shared_lock lock;
    current.sessions = std::move(sessions);
}

void scripted_sessions::set_console(uint32_t console_session_id) {
    const shared_lock lock;
    current.console = console_session_id;
}

void scripted_sessions::fail_enumeration(DWORD error) {
    const shared_lock lock;
    current.enumeration_error = error;
}

call_counts scripted_sessions::calls() const {
    const shared_lock lock;
    return current.calls;
}

long scripted_sessions::outstanding_memory() const { return outstanding; }

}  // namespace fake_sessions
