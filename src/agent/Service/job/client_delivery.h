// Delivering the finished job: the client application or winrelay.
#pragma once

#include <cstdint>

// False only when the basic delivery settings or the installation directory
// can't be read; a delivery that fails is logged here and still gives true.
bool run_client_app(const wchar_t* job_ini_path, const wchar_t* settings_key_name,
                    uint32_t session_id);

// Runs install_dir\winrelay.exe in the session, hidden, and waits for it or for
// the service's terminate event (then 3, and winrelay is left running).
// Returns its exit code (contracts::kRelay*), or a failure reason of 3 or more.
uint32_t exec_winrelay(const wchar_t* install_dir, const wchar_t* window_title, int32_t message_id,
                       const wchar_t* job_ini_path, uint32_t session_id);
