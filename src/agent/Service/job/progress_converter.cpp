#define LOG_MODULE "..\\src\\Service"
#include "diag/log.h"

#include "agent/Service/job/program_wait.h"
#include "agent/Service/state/service_state.h"
#include "agent/Service/job/progress_converter.h"
#include "common/owned.h"
#include "agent/tools/format_fitting.h"
#include "agent/tools/launch.h"

namespace {

constexpr size_t kCommandLineUnits = 1024;

bool missing(const wchar_t* text) { return text == nullptr || *text == L'\0'; }

// The installed program and its command line, "<program> <job ini>", with
// the job ini path unquoted, exactly as it is; false when either does not fit.
bool installed_command(const wchar_t* install_dir, const wchar_t* file_name,
                       const wchar_t* job_ini_path, installed_program& program,
                       wchar_t (&command_line)[kCommandLineUnits]) {
    return program.locate(install_dir, file_name) &&
           format_fitting(command_line, L"%ls %ls", program.command_name(), job_ini_path);
}

}  // namespace

bool exec_progress(const wchar_t* install_dir, const wchar_t* job_ini_path, HANDLE* progress,
                   uint32_t session_id) {
    if (missing(install_dir) || missing(job_ini_path) || progress == nullptr) {
        LOG_ERROR_CODE(ERROR_INVALID_PARAMETER, "exec_progress(): invalid input parameter.");
        return false;
    }
    installed_program program;
    wchar_t command_line[kCommandLineUnits];
    if (!installed_command(install_dir, L"progress.exe", job_ini_path, program, command_line)) {
        LOG_ERROR("exec_progress(): failed to format_fitting().");
        return false;
    }
    LOG_TRACE("exec_progress()", "exec_user_app()");
    if (!exec_user_app(session_id, program.path(), command_line, progress,
                       launch_options{0, 1, 500, terminate_event()})) {
        LOG_ERROR("exec_progress(): failed to exec_user_app().");
        return false;
    }
    return true;
}

bool exec_converter(const wchar_t* install_dir, const wchar_t* job_ini_path, uint32_t session_id) {
    if (missing(install_dir) || missing(job_ini_path)) {
        LOG_ERROR_CODE(ERROR_INVALID_PARAMETER, "exec_converter(): invalid input parameter.");
        return false;
    }
    installed_program program;
    wchar_t command_line[kCommandLineUnits];
    if (!installed_command(install_dir, L"jobdisp.exe", job_ini_path, program, command_line)) {
        LOG_ERROR("exec_converter(): failed to format_fitting().");
        return false;
    }
    LOG_TRACE("exec_converter()", "exec_user_app()");
    owned::unique_handle converter;
    if (!exec_user_app(session_id, program.path(), command_line, converter.put(),
                       launch_options{1, 0, 0})) {
        LOG_ERROR("exec_converter(): failed to exec_user_app().");
        return false;
    }

    switch (wait_for_program(converter.get())) {
        case program_wait::ended:
            return true;  // whatever its exit code
        case program_wait::terminating:
            // The converter is left to finish on its own.
            LOG_WARNING("exec_converter(): terminate event happens.");
            return false;
        default:
            LOG_ERROR("exec_converter(): failed to WaitForMultipleObjects().");
            return false;
    }
}
