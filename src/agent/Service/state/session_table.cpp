#define LOG_MODULE "..\\src\\Service"
#include "diag/log.h"

#include "agent/Service/state/session_table.h"

#include <cwchar>
#include <vector>

#include "common/owned.h"
#include "agent/tools/session_api.h"
#include "agent/tools/sessions.h"

session_table_map& session_table = *new session_table_map;
HANDLE session_table_mutex = nullptr;

namespace {

constexpr DWORD kTableWaitMs = 5000;
const wchar_t kGuest[] = L"Guest";

// A mutex this thread owns, handed back when the owner goes.
struct owned_mutex_traits {
    using type = HANDLE;
    static type invalid() { return nullptr; }
    static void close(type mutex) { ReleaseMutex(mutex); }
};
using owned_mutex = owned::unique_any<owned_mutex_traits>;

// Holds session_table_mutex for its lifetime when the wait succeeded. Unlike
// the shared lock scopes it gives up on an abandoned mutex: a writer of this
// table may have been cut off mid-change. The caller names itself for the
// wait's warnings.
class table_lock {
public:
    table_lock(const wchar_t* caller, const wchar_t* user_name)
        : held_(acquire(caller, user_name)) {}
    table_lock(const table_lock&) = delete;
    table_lock& operator=(const table_lock&) = delete;

    bool held() const { return held_.valid(); }

private:
    static owned_mutex acquire(const wchar_t* caller, const wchar_t* user_name) {
        const DWORD waited = WaitForSingleObject(session_table_mutex, kTableWaitMs);
        // Abandoned, the wait made this thread the owner: handed back unused.
        owned_mutex owner(waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED ? session_table_mutex
                                                                              : nullptr);
        switch (waited) {
            case WAIT_OBJECT_0:
                return owner;
            case WAIT_TIMEOUT:
                LOG_WARNING(L"%ls(): failed to WaitForSingleObject():WAIT_TIMEOUT for \"%ls\".",
                            caller, user_name);
                return owned_mutex();
            case WAIT_FAILED:
                LOG_WARNING(L"%ls(): failed to WaitForSingleObject():WAIT_FAILED for \"%ls\".",
                            caller, user_name);
                return owned_mutex();
            default:
                return owned_mutex();
        }
    }

    const owned_mutex held_;
};

// Fallback for a domain user or a Guest without a session of its own.
bool choose_fallback_session(uint32_t& session_id, const session_policy& policy) {
    if (policy.self_allowed) {
        session_id = kSelfSession;
        return true;
    }
    session_id = find_first_active_session_id();
    if (session_id != kSelfSession) return true;
    LOG_WARNING("find_session_id(): active session ID was not found.");
    return false;
}

bool choose_guest_session(uint32_t& session_id, const session_policy& policy) {
    LOG_WARNING("find_session_id(): \"Guest\" session was detected.");
    if (find_guest_session_id(&session_id)) {
        LOG_WARNING("find_session_id(): \"Guest\" session ID was found.");
        return true;
    }
    if (!policy.guest_allowed) {
        LOG_WARNING("find_session_id(): \"Guest\" session ID was not found.");
        return false;
    }
    return choose_fallback_session(session_id, policy);
}

// Called with the table lock held.
bool choose_session(const wchar_t* user_name, uint32_t& session_id, const session_policy& policy) {
    const auto found = session_table.find(user_name);
    if (found != session_table.end()) {
        session_id = policy.self_allowed ? kSelfSession : found->second;
        return true;
    }
    if (wcscmp(user_name, kGuest) == 0) return choose_guest_session(session_id, policy);
    if (!policy.domain_allowed) {
        LOG_ERROR_CODE(ERROR_INVALID_PARAMETER,
                       L"find_session_id(): can't find user name \"%ls\" in the table.", user_name);
        return false;
    }
    LOG_WARNING(L"find_session_id(): domain \"%ls\" session ID was detected.", user_name);
    return choose_fallback_session(session_id, policy);
}

}  // namespace

void fill_session_table() {
    std::vector<session_entry> sessions;
    if (!enumerate_sid(sessions)) LOG_WARNING("service_main(): failed to enumerate_sid().");
    for (const session_entry& session : sessions) {
        std::wstring user_name;
        if (get_uname(session.session_id, user_name) && !user_name.empty()) {
            session_table[user_name] = session.session_id;
        }
    }
}

void add_session_info(session_table_map& table, uint32_t session_id) {
    std::wstring user_name;
    if (!get_uname(session_id, user_name) || user_name.empty()) return;
    const table_lock lock(L"add_session_info", user_name.c_str());
    if (lock.held()) table[user_name] = session_id;
}

bool find_session_id(const wchar_t* user_name, uint32_t* session_id, const session_policy& policy) {
    if (!user_name || !session_id) {
        LOG_ERROR_CODE(ERROR_INVALID_PARAMETER, "find_session_id(): invalid input parameter.");
        return false;
    }
    const table_lock lock(L"find_session_id", user_name);
    return lock.held() && choose_session(user_name, *session_id, policy);
}

uint32_t find_first_active_session_id() {
    const uint32_t console = session_api().get_active_console_session_id();
    std::vector<session_entry> sessions;
    if (!enumerate_sid(sessions)) {
        LOG_ERROR("find_first_active_session_id(): failed to enumerate_sid().");
        return kSelfSession;
    }
    uint32_t first_active = kSelfSession;
    for (const session_entry& session : sessions) {
        if (session.state != WTSActive) continue;
        if (session.session_id == console) return console;
        if (first_active == kSelfSession) first_active = session.session_id;
    }
    return first_active;
}

bool find_guest_session_id(uint32_t* session_id) {
    std::vector<session_entry> sessions;
    if (!enumerate_sid(sessions)) {
        LOG_ERROR("find_guest_session_id(): failed to enumerate_sid().");
        return false;
    }
    for (const session_entry& session : sessions) {
        std::wstring user_name;
        if (get_uname(session.session_id, user_name) && user_name == kGuest) {
            *session_id = session.session_id;
            return true;
        }
    }
    return false;
}
