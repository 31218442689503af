#define LOG_MODULE "..\\src\\Service"
#include "diag/log.h"

#include <cwchar>

#include "Service/job_ini.h"
#include "Service/program_wait.h"
#include "Service/stages.h"
#include "common/owned.h"
#include "regtools/settings_key.h"
#include "tools/format_fitting.h"
#include "tools/launch.h"

namespace {

constexpr size_t kCommandLineUnits = 2048;
constexpr size_t kSpoolTypeUnits = 1024;

// "Preprocessing: Skip" is compared for equality, not used as a bit mask.
constexpr DWORD kSkipEmf = 1;
constexpr DWORD kSkipRaw = 2;
constexpr DWORD kSkipAlways = 3;

// The warning that explains a skip, or nullptr when preprocessing runs.
const char* skip_warning(DWORD skip, const wchar_t* job_ini_path) {
    if (skip == kSkipAlways) return "run_preprocessing(): preprocessing for EMF/RAW data was skipped.";
    if (skip != kSkipEmf && skip != kSkipRaw) return nullptr;

    wchar_t type[kSpoolTypeUnits];
    read_job_ini(job_ini_path, L"Type", type, kSpoolTypeUnits);
    if (skip == kSkipEmf && wcscmp(type, L"EMF") == 0) {
        return "run_preprocessing(): preprocessing for EMF data was skipped.";
    }
    if (skip == kSkipRaw && wcscmp(type, L"RAW") == 0) {
        return "run_preprocessing(): preprocessing for RAW data was skipped.";
    }
    return nullptr;
}

DWORD read_skip_value(const wchar_t* settings_key_name, wchar_t* key_path, uint32_t session_id) {
    reg_record skip[] = {
        {kHiveUsers, key_path, L"Preprocessing: Skip", REG_DWORD, 0, nullptr},
        {},
    };
    return read_reg_settings(settings_key_name, skip, key_path, session_id) ? skip[0].dword_result
                                                                           : 0;
}

}  // namespace

bool run_preprocessing(const wchar_t* settings_key_name, const wchar_t* job_ini_path,
                       uint32_t session_id) {
    if (job_ini_path == nullptr || *job_ini_path == L'\0') {
        LOG_ERROR_CODE("run_preprocessing(): invalid input parameter.", ERROR_INVALID_PARAMETER);
        return false;
    }

    wchar_t key_path[kKeyPathChars];
    reg_record settings[] = {
        {kHiveUsers, key_path, L"Preprocessing: Enabled", REG_DWORD, 0, nullptr},
        {kHiveUsers, key_path, L"Preprocessing: Application", REG_SZ, 0, nullptr},
        {},
    };
    const reg_strings_owner release_settings(settings);
    LOG_TRACE("run_preprocessing()", "read_reg_settings(): preprocessing settings");
    if (!read_reg_settings(settings_key_name, settings, key_path, session_id)) {
        LOG_WARNING("run_preprocessing(): failed to get preprocessing settings via registry keys. "
                    "Preprocessing disabled.");
        return true;
    }
    const DWORD enabled = settings[0].dword_result;
    const wchar_t* application = settings[1].string_result;

    // A skipped job logs its skip even when preprocessing is switched off. The
    // first group is read, so its key path buffer serves the second.
    if (const char* warning = skip_warning(read_skip_value(settings_key_name, key_path, session_id),
                                           job_ini_path)) {
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
