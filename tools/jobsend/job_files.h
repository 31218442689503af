// The files of one job as the port-side component leaves them: a spool file
// and a job ini file naming it.
#pragma once

#include <string>

struct job_files {
    unsigned number = 0;
    std::wstring spool;  // full paths
    std::wstring ini;
};

// The full path of a --make-job directory, without a trailing "\\"; false with
// the reason in error when it can't be resolved or holds ";", which would
// split the job message.
bool resolve_job_dir(const std::wstring& dir, std::wstring& full, std::wstring& error);

// Writes the spool file and then jobN.ini naming it into dir, a resolved
// directory (created when missing), with the first free N. On failure
// returns false with the reason in error.
bool make_job(const std::wstring& dir, const std::wstring& type, const std::wstring& printer,
              job_files& job, std::wstring& error);
