// jobsend: hands one job message to the Agent service, as the printer's
// port-side component does, optionally after writing the job's files.
#include <windows.h>

#include <cstdio>
#include <string>

#include "common/contracts.h"
#include "jobsend/job_files.h"
#include "jobsend/options.h"
#include "jobsend/pipe_client.h"

namespace {

enum exit_code : int {
    kSent = 0,
    kNoPipe = 2,
    kTimedOut = 3,
    kFailed = 4,
    kBadCommandLine = 87,
};

int report_send(job_pipe::send_result result, const std::wstring& message, DWORD timeout_ms) {
    const DWORD code = GetLastError();
    switch (result) {
        case job_pipe::send_result::sent:
            std::fwprintf(stdout, L"sent: %ls\n", message.c_str());
            return kSent;
        case job_pipe::send_result::no_pipe:
            std::fwprintf(stderr,
                          L"jobsend: the pipe %ls does not exist; is the Agent service running?\n",
                          contracts::kJobPipeName);
            return kNoPipe;
        case job_pipe::send_result::timed_out:
            std::fwprintf(stderr, L"jobsend: the pipe %ls stayed busy for %lu ms\n",
                          contracts::kJobPipeName, static_cast<unsigned long>(timeout_ms));
            return kTimedOut;
        default:
            std::fwprintf(stderr, L"jobsend: cannot write to the pipe %ls (error %lu)\n",
                          contracts::kJobPipeName, static_cast<unsigned long>(code));
            return kFailed;
    }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    jobsend_options options;
    std::wstring error;
    if (!parse_options(argc, argv, options, error)) {
        std::fwprintf(stderr, L"jobsend: %ls\nTry jobsend --help.\n", error.c_str());
        return kBadCommandLine;
    }
    if (options.help) {
        std::fputws(kJobsendHelp, stdout);
        return kSent;
    }
    std::wstring message = options.raw_message;
    if (!options.raw) {
        std::wstring ini = options.ini;
        if (!options.job_dir.empty()) {
            std::wstring dir;
            if (!resolve_job_dir(options.job_dir, dir, error)) {
                std::fwprintf(stderr, L"jobsend: %ls\nTry jobsend --help.\n", error.c_str());
                return kBadCommandLine;
            }
            job_files job;
            if (!make_job(dir, options.type, options.printer, job, error)) {
                std::fwprintf(stderr, L"jobsend: %ls\n", error.c_str());
                return kFailed;
            }
            std::fwprintf(stdout, L"spool file: %ls\njob ini: %ls\n", job.spool.c_str(),
                          job.ini.c_str());
            ini = job.ini;
        }
        message = options.printer + L";" + ini + L";" + options.user;
    }
    return report_send(job_pipe::send_text(message, options.timeout_ms), message,
                       options.timeout_ms);
}
