// The files of one job as the port-side component leaves them: a spool file
// and a job ini file naming it.
#pragma once

#include <string>

struct job_files {
    unsigned number = 0;
    std::wstring spool;  // full paths
    std::wstring ini;
};

// Writes jobN.ini and its spool file into dir (created when missing), with the
// first free N. On failure returns false with the reason in error.
bool make_job(const std::wstring& dir, const std::wstring& type, const std::wstring& printer,
              job_files& job, std::wstring& error);
