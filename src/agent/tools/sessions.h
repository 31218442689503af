// Session queries: the session list, a session's user name and user SID.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

constexpr uint32_t kSelfSession = 0xFFFFFFFFu;

struct session_entry {
    uint32_t session_id;
    int32_t state;  // WTS_CONNECTSTATE_CLASS; 0 is WTSActive
};

bool enumerate_sid(std::vector<session_entry>& sessions);
bool get_uname(uint32_t session_id, std::wstring& user_name);
// length: in, capacity of buffer in characters; out, characters needed incl. NUL.
bool get_sid(uint32_t session_id, wchar_t* buffer, uint32_t* length);
