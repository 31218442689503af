#define LOG_MODULE "..\\src\\Service"
#include "diag/log.h"

#include "agent/Service/job/client_delivery.h"

#include "agent/Service/job/job_ini.h"
#include "agent/Service/job/program_wait.h"
#include "agent/Service/state/service_state.h"
#include "common/contracts.h"
#include "common/owned.h"
#include "agent/regtools/settings_key.h"
#include "agent/tools/format_fitting.h"
#include "agent/tools/launch.h"

namespace {

constexpr size_t kCommandLineUnits = 1024;
constexpr DWORD kDefaultTimeoutMs = 5000;

// "Transfer Mode" values.
constexpr DWORD kModeStartClient = 0;
constexpr DWORD kModeRelay = 1;
constexpr DWORD kModeNone = 2;
constexpr DWORD kModeClipboard = 3;
constexpr DWORD kModePipe = 4;

// The warning of each skip of "Application: Skip".
struct skip_warning {
    spool_skip skip;
    const char* warning;
};
constexpr skip_warning kSkipWarnings[] = {
    {spool_skip::always, "run_client_app(): exec client for EMF/RAW data was skipped."},
    {spool_skip::emf, "run_client_app(): exec client app for EMF data was skipped."},
    {spool_skip::raw, "run_client_app(): exec client app for RAW data was skipped."},
};

const launch_options kClientWithJob = {0, 0, 0};
const launch_options kWinrelay = {1, 0, 0};

// The group every delivery needs, whatever its mode; taken whole from the
// user's copy of the settings key or from the machine-wide one.
class basic_settings {
public:
    basic_settings(const wchar_t* settings_key_name, uint32_t session_id)
        : group_(settings_key_name, settings_home::user, session_id,
                 {{L"Client Application", REG_SZ},
                  {L"Transfer Mode", REG_DWORD},
                  {L"Target window title", REG_SZ},
                  {L"Message ID", REG_DWORD},
                  {L"Output Directory", REG_SZ}}) {}

    bool read() { return group_.read(); }
    const wchar_t* client_application() const { return group_.string(0); }
    DWORD transfer_mode() const { return group_.dword(1); }
    const wchar_t* window_title() const { return group_.string(2); }
    // Stored unsigned; winrelay takes it signed, so 4294967295 travels as -1.
    int32_t message_id() const { return static_cast<int32_t>(group_.dword(3)); }

private:
    settings_group group_;
};

// One REG_DWORD value, per user with the machine-wide fall-back.
bool read_user_dword(const wchar_t* settings_key_name, const wchar_t* name, uint32_t session_id,
                     DWORD* value) {
    settings_group group(settings_key_name, settings_home::user, session_id, {{name, REG_DWORD}});
    if (!group.read()) return false;
    *value = group.dword(0);
    return true;
}

// Logs why the job is not delivered; false when delivery goes ahead.
bool delivery_skipped(DWORD skip, const wchar_t* job_ini_path) {
    const spool_skip outcome = job_skip(skip, job_ini_path);
    for (const skip_warning& rule : kSkipWarnings) {
        if (rule.skip != outcome) continue;
        LOG_WARNING(rule.warning);
        return true;
    }
    return false;
}

// A job's delivery once its settings are read.
class delivery {
public:
    delivery(const basic_settings& settings, const wchar_t* install_dir,
             const wchar_t* settings_key_name, const wchar_t* job_ini_path, uint32_t session_id)
        : settings_(settings),
          install_dir_(install_dir),
          settings_key_name_(settings_key_name),
          job_ini_path_(job_ini_path),
          session_id_(session_id) {}

    // Transfer mode 0: the client gets the job on its command line and runs on
    // its own.
    void start_client_with_job() const {
        owned::unique_handle client;
        start_client(true, kClientWithJob, client);
    }

    // Transfer mode 1: hand the job to the open window; when there is none,
    // start the client, give it time to open its window and try once more.
    void relay_to_window() const {
        DWORD timeout_ms = kDefaultTimeoutMs;
        LOG_TRACE("run_client_app()", "read_reg_settings()");
        if (!read_user_dword(settings_key_name_, L"Timeout", session_id_, &timeout_ms)) {
            LOG_WARNING(
                "run_client_app(): failed to get \"Timeout\" value via registry key. "
                "Use default timeout value.");
        }

        const uint32_t first = relay();
        if (first == contracts::kRelayDelivered || first == contracts::kRelayHelpShown) return;
        if (first != contracts::kRelayNoWindow) {
            LOG_ERROR_CODE(first, "run_client_app(): failed to exec_winrelay().");
            return;
        }

        // The client keeps running; only its handle is closed.
        owned::unique_handle client;
        // A stop ends the pause that stands in for the client's idle wait.
        if (!start_client(false, launch_options{0, 1, timeout_ms, terminate_event()}, client)) {
            return;
        }
        const uint32_t second = relay();
        if (second != contracts::kRelayDelivered) {
            LOG_ERROR_CODE(second, "run_client_app(): failed to exec_winrelay().");
        }
    }

private:
    // With the job, the job ini path follows the "Client Application" value;
    // without it, the value stands alone.
    bool start_client(bool with_job, const launch_options& options,
                      owned::unique_handle& client) const {
        wchar_t command_line[kCommandLineUnits];
        const wchar_t* const application = settings_.client_application();
        const bool fits =
            with_job ? format_fitting(command_line, L"%ls \"%ls\"", application, job_ini_path_)
                     : format_fitting(command_line, L"%ls", application);
        if (!fits) {
            LOG_ERROR("run_client_app(): failed to format_fitting().");
            return false;
        }
        LOG_TRACE("run_client_app()", "exec_user_app()");
        if (!exec_user_app(session_id_, command_line, client.put(), options)) {
            LOG_ERROR("run_client_app(): failed to exec_user_app().");
            return false;
        }
        return true;
    }

    uint32_t relay() const {
        LOG_TRACE("run_client_app()", "exec_winrelay()");
        return exec_winrelay(install_dir_, settings_.window_title(), settings_.message_id(),
                             job_ini_path_, session_id_);
    }

    const basic_settings& settings_;
    const wchar_t* install_dir_;
    const wchar_t* settings_key_name_;
    const wchar_t* job_ini_path_;
    uint32_t session_id_;
};

}  // namespace

bool run_client_app(const wchar_t* job_ini_path, const wchar_t* settings_key_name,
                    uint32_t session_id) {
    if (job_ini_path == nullptr || settings_key_name == nullptr) {
        LOG_ERROR_CODE(ERROR_INVALID_PARAMETER, "run_client_app(): invalid input parameter.");
        return false;
    }
    basic_settings settings(settings_key_name, session_id);
    LOG_TRACE("run_client_app()", "read_reg_settings(): basic settings");
    if (!settings.read()) {
        LOG_ERROR("run_client_app(): failed to read_reg_settings().");
        return false;
    }
    // "Installation Directory" has no per-user copy.
    settings_group install_dir(settings_key_name, settings_home::machine, session_id,
                               {{L"Installation Directory", REG_SZ}});
    LOG_TRACE("run_client_app()", "reg_read_records(dir)");
    if (!install_dir.read()) {
        LOG_ERROR(
            "run_client_app(): failed to get \"Installation Directory\" value via HKLM hive.");
        return false;
    }

    DWORD skip = 0;  // stays 0 when it can't be read
    read_user_dword(settings_key_name, L"Application: Skip", session_id, &skip);
    if (delivery_skipped(skip, job_ini_path)) return true;

    const delivery job(settings, install_dir.string(0), settings_key_name, job_ini_path,
                       session_id);
    switch (settings.transfer_mode()) {
        case kModeStartClient:
            job.start_client_with_job();
            break;
        case kModeRelay:
            job.relay_to_window();
            break;
        case kModeNone:
            break;
        case kModeClipboard:
            LOG_WARNING("run_client_app(): unsupported transfer mode: through clipboard.");
            break;
        case kModePipe:
            LOG_WARNING("run_client_app(): unsupported transfer mode: through pipe.");
            break;
        default:
            LOG_WARNING("run_client_app(): unknown transfer mode.");
            break;
    }
    return true;
}

uint32_t exec_winrelay(const wchar_t* install_dir, const wchar_t* window_title, int32_t message_id,
                       const wchar_t* job_ini_path, uint32_t session_id) {
    if (install_dir == nullptr || window_title == nullptr || job_ini_path == nullptr) {
        LOG_ERROR_CODE(ERROR_INVALID_PARAMETER, "exec_winrelay(): invalid input parameter.");
        return ERROR_INVALID_PARAMETER;
    }
    installed_program program;
    wchar_t command_line[kCommandLineUnits];
    if (!program.locate(install_dir, L"winrelay.exe") ||
        !format_fitting(command_line, contracts::kRelayCommandFormat, program.command_name(),
                        static_cast<int>(message_id), window_title, job_ini_path)) {
        LOG_ERROR("exec_winrelay(): failed to format_fitting().");
        return contracts::relay_failure_code(GetLastError());
    }
    LOG_TRACE("exec_winrelay()", "exec_user_app()");
    owned::unique_handle process;
    if (!exec_user_app(session_id, program.path(), command_line, process.put(), kWinrelay)) {
        LOG_ERROR("exec_winrelay(): failed to exec_user_app().");
        return contracts::relay_failure_code(GetLastError());
    }

    switch (wait_for_program(process.get())) {
        case program_wait::terminating:
            // winrelay is not ended: it finishes its one delivery by itself.
            LOG_WARNING("exec_winrelay(): terminate event happens.");
            return contracts::kRelayFailed;
        case program_wait::ended: {
            DWORD exit_code = 0;
            if (!GetExitCodeProcess(process.get(), &exit_code)) {
                LOG_ERROR("exec_winrelay(): failed to GetExitCodeProcess().");
                return contracts::relay_failure_code(GetLastError());
            }
            return exit_code;
        }
        default:
            LOG_ERROR("exec_winrelay(): failed to WaitForMultipleObjects().");
            return contracts::kRelayFailed;
    }
}
