// The one seam over the terminal-services session manager: production code
// calls these through `session_api()`, which holds the real functions; tests
// that need scripted sessions install their own table.
#pragma once

#include <windows.h>
#include <wtsapi32.h>

struct session_api_table {
    BOOL(WINAPI* enumerate_sessions)
    (HANDLE server, DWORD reserved, DWORD version, WTS_SESSION_INFOW** sessions, DWORD* count);
    BOOL(WINAPI* query_session_information)
    (HANDLE server, DWORD session_id, WTS_INFO_CLASS info_class, LPWSTR* buffer, DWORD* bytes);
    void(WINAPI* free_memory)(PVOID memory);
    BOOL(WINAPI* query_user_token)(ULONG session_id, PHANDLE token);
    DWORD(WINAPI* get_active_console_session_id)();
};

const session_api_table& session_api();
// Replaces the table (tests only call this); returns the previous one.
session_api_table set_session_api(const session_api_table& table);
