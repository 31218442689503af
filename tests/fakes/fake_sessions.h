// Scripted terminal-services sessions for in-process tests. While a
// scripted_sessions object lives, the session seam (tools/session_api.h)
// answers from its script instead of the session manager:
//
//     fake_sessions::scripted_sessions sessions({{1, WTSActive, L"alice"},
//                                                {2, WTSDisconnected, L"Guest"},
//                                                {3, WTSListen, L""}});
//     sessions.set_console(2);
//
// A session with an empty user name has nobody logged on: its user token is
// refused with ERROR_NO_TOKEN. Otherwise the token is a primary token of the
// test process itself (as Wine's own session manager gives it). Only one
// object may live at a time; the previous seam comes back when it dies.
#pragma once

#include <windows.h>
#include <wtsapi32.h>

#include <cstdint>
#include <string>
#include <vector>

namespace fake_sessions {

struct session {
    uint32_t id;
    WTS_CONNECTSTATE_CLASS state;
    std::wstring user;     // empty: nobody logged on
    DWORD name_error = 0;  // nonzero: the user-name query fails with this code
};

// What the script was asked, for tests that check the calls made.
struct call_counts {
    unsigned enumerate = 0;
    unsigned query_information = 0;
    unsigned query_user_token = 0;
    unsigned console = 0;
};

class scripted_sessions {
public:
    explicit scripted_sessions(std::vector<session> sessions = {}, uint32_t console = 1);
    ~scripted_sessions();
    scripted_sessions(const scripted_sessions&) = delete;
    scripted_sessions& operator=(const scripted_sessions&) = delete;

    // The script may change while the object lives (a logon, a logoff).
    void set_sessions(std::vector<session> sessions);
    void set_console(uint32_t console_session_id);
    // Nonzero: listing the sessions fails with this code (0 lists again).
    void fail_enumeration(DWORD error);

    call_counts calls() const;
    // Blocks handed out by the script and not yet freed.
    long outstanding_memory() const;
};

}  // namespace fake_sessions
