// The job's file cleanup after its last stage.
#pragma once

void cleanup_print_files(const wchar_t* job_ini_path, const wchar_t* settings_key_name);
