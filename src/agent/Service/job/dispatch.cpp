#include "agent/Service/job/dispatch.h"

#include <cstdint>
#include <cwchar>

#include "agent/Service/job/client_delivery.h"
#include "agent/Service/job/client_identity.h"
#include "agent/Service/job/job_ini.h"
#include "agent/Service/state/printer_table.h"
#include "agent/Service/state/service_state.h"
#include "agent/Service/state/session_table.h"
#include "agent/Service/state/shared_tables.h"
#include "agent/Service/job/job_cleanup.h"
#include "agent/Service/job/preprocessing.h"
#include "agent/Service/job/progress_converter.h"
#include "common/contracts.h"
#include "common/owned.h"
#include "agent/regtools/settings_key.h"
#include "agent/tools/print_jobs.h"
#include "agent/tools/tokens.h"
#include "agent/tools/sessions.h"

#define LOG_MODULE "..\\src\\Service"
#include "diag/log.h"

namespace {

constexpr size_t kFieldChars = contracts::kFieldUnits;

struct job_fields {
    wchar_t printer[kFieldChars];
    wchar_t job_ini[kFieldChars];
    wchar_t user[kFieldChars];
};

// The job's own copy of the printer's settings key name: the printer table is
// not touched after the session has been chosen.
struct job_target {
    wchar_t settings_key[kFieldChars];
    session_policy policy;
    uint32_t session_id;
};

// Copies at most kFieldChars - 1 characters of the token and always terminates.
void copy_field(wchar_t* target, const wchar_t* source, size_t length) {
    const size_t kept = length < kFieldChars - 1 ? length : kFieldChars - 1;
    wmemcpy(target, source, kept);
    target[kept] = L'\0';
}

// The three leading fields; false when one is missing.
bool split_message(const wchar_t* message, job_fields* fields) {
    const wchar_t* position = message ? message : L"";
    wchar_t* const targets[] = {fields->printer, fields->job_ini, fields->user};
    for (wchar_t* target : targets) {
        const wchar_t* token = nullptr;
        size_t length = 0;
        if (!next_token(position, token, length)) {
            LOG_ERROR_CODE(ERROR_INVALID_PARAMETER, "processing(): invalid input parameter.");
            return false;
        }
        copy_field(target, token, length);
    }
    return true;
}

// The job's own reads cut a key path that does not fit.
session_policy read_session_policy(const wchar_t* settings_key) {
    settings_group allow(settings_key, settings_home::machine, kSelfSession,
                         {{L"Allow guest session", REG_DWORD},
                          {L"Allow domain session", REG_DWORD},
                          {L"Allow self session", REG_DWORD}},
                         overlong_key::cut);
    allow.read();  // a value that can't be read leaves its flag clear
    return {allow.dword(0) != 0, allow.dword(1) != 0, allow.dword(2) != 0};
}

// Any local user can write to the pipe: who sent the job decides whom it may
// name, and its job ini path must be a file, not a share, pipe or device that
// LocalSystem would open, nor text that adds arguments to command lines.
bool admit_client(const job_fields& fields, HANDLE client_token, client_identity* client) {
    if (!read_client_identity(client_token, client)) {
        LOG_ERROR_CODE(ERROR_ACCESS_DENIED,
                       "processing(): can't read the client's identity; the job is refused.");
        return false;
    }
    if (!may_name_user(*client, fields.user)) {
        LOG_ERROR_CODE(ERROR_ACCESS_DENIED,
                       L"processing(): client \"%ls\" may not name user \"%ls\".", client->account,
                       fields.user);
        return false;
    }
    if (!is_plain_local_path(fields.job_ini)) {
        // The path itself is not logged: it may hold line breaks.
        LOG_ERROR_CODE(ERROR_BAD_PATHNAME, "processing(): job ini path is not a plain local path.");
        return false;
    }
    return true;
}

// The session fall-backs may pick another user's session, and a local user
// may share a domain client's plain name: an ordinary client's job runs only
// in a session of its own, or where allowed in the self session.
bool session_admits(const client_identity& client, const job_target& target) {
    BYTE session_user[SECURITY_MAX_SID_SIZE];
    const bool needs_user = !is_privileged(client) && target.session_id != kSelfSession;
    const bool known = needs_user && read_session_user(target.session_id, session_user);
    if (may_run_in_session(client, target.session_id, known ? session_user : nullptr,
                           target.policy.self_allowed != 0)) {
        return true;
    }
    LOG_ERROR_CODE(ERROR_ACCESS_DENIED,
                   L"processing(): session %lu is not a session of the client \"%ls\".",
                   static_cast<unsigned long>(target.session_id), client.account);
    return false;
}

const char kDroppedForStop[] = "processing(): the service is stopping; the job is dropped.";

// A queued job taken once the stop has begun starts and deletes nothing.
bool stopping() {
    const HANDLE terminate = terminate_event();
    if (!terminate || WaitForSingleObject(terminate, 0) != WAIT_OBJECT_0) return false;
    LOG_WARNING(kDroppedForStop);
    return true;
}

// The printer's settings key, the session policy and the session: the only
// part of the job that uses the printer and session tables.
bool choose_target(const job_fields& fields, job_target* target) {
    const shared_tables_use tables;
    if (!tables.open()) {
        LOG_WARNING(kDroppedForStop);
        return false;
    }
    const wchar_t* settings_key = find_printer_settings_key(fields.printer);
    if (!settings_key) {
        LOG_ERROR_CODE(ERROR_INVALID_PARAMETER,
                       "processing(): can't find printer's record in the table.");
        return false;
    }
    copy_field(target->settings_key, settings_key, wcslen(settings_key));
    target->policy = read_session_policy(target->settings_key);
    if (!find_session_id(fields.user, &target->session_id, target->policy)) {
        LOG_ERROR(L"processing(): failed to find_session_id(\"%ls\").", fields.user);
        return false;
    }
    return true;
}

// Installation directory, preprocessing, progress window, converter and
// delivery; returns at the first failed stage, which the caller follows with
// the cleanup.
void run_stages(const job_fields& fields, const job_target& target) {
    const wchar_t* const job_ini = fields.job_ini;
    settings_group dir(target.settings_key, settings_home::machine, kSelfSession,
                       {{L"Installation Directory", REG_SZ}}, overlong_key::cut);
    LOG_TRACE("processing()", "reg_read_records(dir)");
    if (!dir.read() || !dir.string(0)) {
        LOG_ERROR("processing(): failed to get \"Installation Directory\" value via HKLM hive.");
        return;
    }
    const wchar_t* const install_dir = dir.string(0);

    if (!run_preprocessing(target.settings_key, job_ini, target.session_id)) {
        LOG_ERROR("processing(): failed to run_preprocessing().");
        return;
    }
    owned::unique_handle progress;
    LOG_TRACE("processing()", "exec_progress()");
    if (!exec_progress(install_dir, job_ini, progress.put(), target.session_id)) {
        LOG_ERROR("processing(): failed to exec_progress().");
        return;
    }
    LOG_TRACE("processing()", "exec_converter()");
    if (!exec_converter(install_dir, job_ini, target.session_id)) {
        // The progress window stays up; only its handle is closed.
        LOG_ERROR("processing(): failed to exec_converter().");
        return;
    }
    if (!TerminateProcess(progress.get(), 0)) {
        LOG_ERROR("processing(): failed to TerminateProcess().");
    }
    progress.reset();
    if (!run_client_app(job_ini, target.settings_key, target.session_id)) {
        LOG_ERROR("processing(): failed to run_client_app().");
    }
}

}  // namespace

int processing(const wchar_t* message, HANDLE client_token) {
    // Asked again before the stages: the stop may come while the session is chosen.
    if (stopping()) return 0;
    job_fields fields = {};
    client_identity client;
    job_target target = {};
    if (!split_message(message, &fields) || !admit_client(fields, client_token, &client) ||
        !choose_target(fields, &target) || !session_admits(client, target) || stopping()) {
        return 0;
    }
    // The job ini file and the spool file are touched with the client's rights.
    const job_client_scope scope(client_token, client.is_system);
    run_stages(fields, target);
    LOG_TRACE("processing()", "cleanup_print_jobs()");
    cleanup_print_jobs(fields.printer);
    cleanup_print_files(fields.job_ini, target.settings_key);
    return 0;
}
