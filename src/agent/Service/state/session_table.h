// User name to session id, guarded by session_table_mutex; and the choice of
// the session a job runs in.
#pragma once

#include <windows.h>

#include <cstdint>
#include <map>
#include <string>

struct session_policy {
    uint32_t guest_allowed;
    uint32_t domain_allowed;
    uint32_t self_allowed;
};

using session_table_map = std::map<std::wstring, uint32_t>;
// Never destroyed, like the printer table.
extern session_table_map& session_table;
extern HANDLE session_table_mutex;

void fill_session_table();
void add_session_info(session_table_map& table, uint32_t session_id);
bool find_session_id(const wchar_t* user_name, uint32_t* session_id, const session_policy& policy);
uint32_t find_first_active_session_id();
bool find_guest_session_id(uint32_t* session_id);
