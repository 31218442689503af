// Starting a program in a user's session (or, for the self session, hidden in
// the service's own context).
#pragma once

#include <windows.h>

#include <cstdint>

struct launch_options {
    uint8_t hide_window;
    uint8_t wait_for_idle;
    uint32_t idle_timeout;  // ms; read only with wait_for_idle
};

// On true the caller owns *process and closes it.
bool exec_user_app(uint32_t session_id, wchar_t* command_line, HANDLE* process,
                   const launch_options& options);
