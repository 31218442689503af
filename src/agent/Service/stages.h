// The job stages before delivery, and the job's file cleanup.
#pragma once

#include <windows.h>

#include <cstdint>

bool run_preprocessing(const wchar_t* settings_key_name, const wchar_t* job_ini_path,
                       uint32_t session_id);
bool exec_progress(const wchar_t* install_dir, const wchar_t* job_ini_path, HANDLE* progress,
                   uint32_t session_id);
bool exec_converter(const wchar_t* install_dir, const wchar_t* job_ini_path, uint32_t session_id);
void cleanup_print_files(const wchar_t* job_ini_path, const wchar_t* settings_key_name);
