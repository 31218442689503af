// What an installation leaves on the machine, as the zip and the Windows
// Installer package tests check it: files, the service "Agent", and a job
// carried through the installed jobsend.
#pragma once

#include <windows.h>

#include <string>

namespace install_checks {

// Service "Agent" as the service control manager sees it, with the program
// its running process was started from.
struct service_view {
    bool installed = false;
    DWORD state = 0;
    DWORD start_type = 0;
    std::wstring account;
    std::wstring binary;
    std::wstring running_image;
};
service_view query_agent_service();

// Sends one test job with `jobsend` for `printer` into the new folder
// `jobs_dir` and waits until the agent has deleted its spool file, the last
// step of a job; the job ini file stays. Records gtest failures.
void send_job_and_expect_cleanup(const std::wstring& jobsend, const std::wstring& printer,
                                 const std::wstring& jobs_dir);

}  // namespace install_checks
