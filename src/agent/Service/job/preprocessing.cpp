#define LOG_MODULE "..\\src\\Service"
#include "diag/log.h"

#include "agent/Service/job/job_ini.h"
#include "agent/Service/job/program_wait.h"
#include "agent/Service/job/preprocessing.h"
#include "common/owned.h"
#include "agent/regtools/settings_key.h"
#include "agent/tools/format_fitting.h"
#include "agent/tools/launch.h"

namespace {

constexpr size_t kCommandLineUnits = 2048;

// The warning that explains a skip, or nullptr when preprocessing runs.
const char* skip_warning(spool_skip skip) {
    switch (skip) {
        case spool_skip::always:
            return "run_preprocessing(): preprocessing for EMF/RAW data was skipped.";
        case spool_skip::emf:
            return "run_preprocessing(): preprocessing for EMF data was skipped.";
        case spool_skip::raw:
            return "run_preprocessing(): preprocessing for RAW data was skipped.";
        default:
            return nullptr;
    }
}

DWORD read_skip_value(const wchar_t* settings_key_name, uint32_t session_id) {
    settings_group skip(settings_key_name, settings_home::user, session_id,
                        {{L"Preprocessing: Skip", REG_DWORD}});
    return skip.read() ? skip.dword(0) : 0;
}

}  // namespace

bool run_preprocessing(const wchar_t* settings_key_name, const wchar_t* job_ini_path,
                       uint32_t session_id) {
    if (job_ini_path == nullptr || *job_ini_path == L'\0') {
        LOG_ERROR_CODE(ERROR_INVALID_PARAMETER, "run_preprocessing(): invalid input parameter.");
        return false;
    }

    settings_group settings(
        settings_key_name, settings_home::user, session_id,
        {{L"Preprocessing: Enabled", REG_DWORD}, {L"Preprocessing: Application", REG_SZ}});
    LOG_TRACE("run_preprocessing()", "read_reg_settings(): preprocessing settings");
    if (!settings.read()) {
        LOG_WARNING(
            "run_preprocessing(): failed to get preprocessing settings via registry keys. "
            "Preprocessing disabled.");
        return true;
    }
    const DWORD enabled = settings.dword(0);
    const wchar_t* application = settings.string(1);

    // A skipped job logs its skip even when preprocessing is switched off.
    if (const char* warning =
            skip_warning(job_skip(read_skip_value(settings_key_name, session_id), job_ini_path))) {
        LOG_WARNING(warning);
        return true;
    }
    if (enabled == 0) return true;

    wchar_t command_line[kCommandLineUnits];
    if (!format_fitting(command_line, L"%ls \"%ls\"", application, job_ini_path)) {
        LOG_ERROR("run_preprocessing(): failed to format_fitting().");
        return false;
    }
    LOG_TRACE("run_preprocessing()", "exec_user_app(preprocessing)");
    owned::unique_handle process;
    if (!exec_user_app(session_id, command_line, process.put(), launch_options{0, 0, 0})) {
        LOG_ERROR("run_preprocessing(): failed to exec_user_app(preprocessing).");
        return false;
    }

    switch (wait_for_program(process.get())) {
        case program_wait::ended:
            return true;  // whatever its exit code
        case program_wait::terminating:
            LOG_WARNING("run_preprocessing(): terminate event happens.");
            TerminateProcess(process.get(), 0);
            return false;
        default:
            LOG_ERROR("run_preprocessing(): failed to WaitForMultipleObjects().");
            return false;
    }
}
