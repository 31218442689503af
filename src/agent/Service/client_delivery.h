// Delivering the finished job: the client application or winrelay.
#pragma once

#include <cstdint>

bool run_client_app(const wchar_t* job_ini_path, const wchar_t* settings_key_name,
                    uint32_t session_id);
