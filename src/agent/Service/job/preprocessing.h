// The preprocessing stage: the job's own program, run before anything else.
#pragma once

#include <cstdint>

bool run_preprocessing(const wchar_t* settings_key_name, const wchar_t* job_ini_path,
                       uint32_t session_id);
