// jobsend's command line.
#pragma once

#include <windows.h>

#include <string>

struct jobsend_options {
    bool help = false;
    std::wstring printer;
    std::wstring ini;
    std::wstring user;
    bool raw = false;
    std::wstring raw_message;
    std::wstring job_dir;  // set with --make-job
    std::wstring type = L"EMF";
    DWORD timeout_ms = 10000;
};

// Parses and checks the arguments; on failure returns false with the reason in error.
bool parse_options(int argc, wchar_t** argv, jobsend_options& options, std::wstring& error);

extern const wchar_t kJobsendHelp[];
