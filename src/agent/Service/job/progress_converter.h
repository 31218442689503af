// The progress window and the converter, started in the job's session.
#pragma once

#include <windows.h>

#include <cstdint>

bool exec_progress(const wchar_t* install_dir, const wchar_t* job_ini_path, HANDLE* progress,
                   uint32_t session_id);
bool exec_converter(const wchar_t* install_dir, const wchar_t* job_ini_path, uint32_t session_id);
