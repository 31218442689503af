// Who sent a job, and whom and where that client may have it run. Any local
// user can write to the pipe, so a job is only as trusted as its sender.
#pragma once

#include <windows.h>

#include <cstdint>

// Longest plain account name Windows allows, plus the terminator.
constexpr size_t kAccountNameUnits = 257;

// The client as the pipe reader saw it; built from its token by
// read_client_identity and taken as given by the rules below.
struct client_identity {
    bool readable;   // false: the token was missing or could not be read
    bool is_system;  // LocalSystem (the printer's port-side component)
    bool is_admin;   // a member of Administrators (a filtered token is not)
    BYTE sid[SECURITY_MAX_SID_SIZE];
    wchar_t account[kAccountNameUnits];  // plain name, no domain
};

// Fills *identity from a client token; on false the identity is unreadable
// and the failure is logged. A null token is unreadable without a log entry.
bool read_client_identity(HANDLE token, client_identity* identity);

// LocalSystem or a member of Administrators.
inline bool is_privileged(const client_identity& client) {
    return client.readable && (client.is_system || client.is_admin);
}

// LocalSystem and administrators may name anyone; any other client only its
// own account, compared as Windows compares account names.
bool may_name_user(const client_identity& client, const wchar_t* user_name);

// Whether the chosen session may run the job of this client. session_user is
// the SID of the session's user, or null when it is unknown. The self session
// (the service's own context) is open to an ordinary client only where an
// administrator allowed it; any other session must be the client's own.
bool may_run_in_session(const client_identity& client, uint32_t session_id,
                        const void* session_user, bool self_allowed);

// Copies the SID of the user logged on to a session into sid (at least
// SECURITY_MAX_SID_SIZE bytes); false, with the failure logged, when there is
// none.
bool read_session_user(uint32_t session_id, BYTE* sid);
