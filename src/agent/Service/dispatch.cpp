#include "Service/dispatch.h"

#include <cstdarg>
#include <cstdint>
#include <cwchar>
#include <memory>
#include <new>

#include "Service/client_delivery.h"
#include "Service/client_identity.h"
#include "Service/job_ini.h"
#include "Service/printer_table.h"
#include "Service/service_events.h"
#include "Service/session_table.h"
#include "Service/shared_tables.h"
#include "Service/stages.h"
#include "common/contracts.h"
#include "common/owned.h"
#include "regtools/reg_records.h"
#include "regtools/settings_key.h"
#include "tools/print_jobs.h"
#include "tools/sessions.h"

#define LOG_MODULE "..\\src\\Service"
#include "diag/log.h"

namespace {

constexpr size_t kFieldChars = contracts::kFieldUnits;
constexpr wchar_t kSeparator = contracts::kMessageSeparator;

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

// Copies at most kFieldChars - 1 characters and always terminates.
void copy_field(wchar_t* target, const wchar_t* source) {
    wcsncpy(target, source, kFieldChars - 1);
    target[kFieldChars - 1] = L'\0';
}

// Formats into a fixed buffer; text that does not fit is cut.
template <size_t size>
void format_cut(wchar_t (&target)[size], const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    if (vswprintf(target, size, format, args) < 0) target[size - 1] = L'\0';
    va_end(args);
}

// The next token after *position, as a tokenizer splits: runs of separators
// count as one and leading ones are skipped. The position lives with the
// caller, so several threads split at once.
const wchar_t* next_token(wchar_t** position) {
    wchar_t* start = *position;
    while (*start == kSeparator) ++start;
    if (*start == L'\0') {
        *position = start;
        return nullptr;
    }
    wchar_t* end = start;
    while (*end != L'\0' && *end != kSeparator) ++end;
    if (*end != L'\0') *end++ = L'\0';
    *position = end;
    return start;
}

// Steps 1 and 2: false when the copy could not be made or a field is missing.
bool split_message(const wchar_t* message, job_fields* fields) {
    const size_t length = message ? wcslen(message) : 0;
    std::unique_ptr<wchar_t[]> copy(new (std::nothrow) wchar_t[length + 1]());
    if (!copy) {
        LOG_ERROR_CODE("processing(): failed to new().", ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    if (length) wmemcpy(copy.get(), message, length);
    wchar_t* position = copy.get();
    wchar_t* const targets[] = {fields->printer, fields->job_ini, fields->user};
    for (wchar_t* target : targets) {
        const wchar_t* token = next_token(&position);
        if (!token) {
            LOG_ERROR_CODE("processing(): invalid input parameter.", ERROR_INVALID_PARAMETER);
            return false;
        }
        copy_field(target, token);
    }
    return true;
}

session_policy read_session_policy(const wchar_t* settings_key) {
    wchar_t key_path[kKeyPathChars] = {};
    format_cut(key_path, L"Software\\%ls", settings_key);
    reg_record allow[] = {
        {kHiveLocalMachine, key_path, L"Allow guest session", REG_DWORD, 0, nullptr},
        {kHiveLocalMachine, key_path, L"Allow domain session", REG_DWORD, 0, nullptr},
        {kHiveLocalMachine, key_path, L"Allow self session", REG_DWORD, 0, nullptr},
        {0, nullptr, nullptr, 0, 0, nullptr},
    };
    reg_read_records(allow);  // a value that can't be read leaves its flag clear
    const session_policy policy = {allow[0].dword_result != 0, allow[1].dword_result != 0,
                                   allow[2].dword_result != 0};
    reg_free_records(allow);
    return policy;
}

// Any local user can write to the pipe: who sent the job decides whom it may
// name, and its job ini path must be a file, not a share, pipe or device that
// LocalSystem would open, nor text that adds arguments to command lines.
bool admit_client(const job_fields& fields, HANDLE client_token, client_identity* client) {
    if (!read_client_identity(client_token, client)) {
        LOG_ERROR_CODE("processing(): can't read the client's identity; the job is refused.",
                       ERROR_ACCESS_DENIED);
        return false;
    }
    if (!may_name_user(*client, fields.user)) {
        LOG_ERROR_W_CODE(ERROR_ACCESS_DENIED, L"processing(): client \"%ls\" may not name user \"%ls\".",
                         client->account, fields.user);
        return false;
    }
    if (!is_plain_local_path(fields.job_ini)) {
        // The path itself is not logged: it may hold line breaks.
        LOG_ERROR_CODE("processing(): job ini path is not a plain local path.", ERROR_BAD_PATHNAME);
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
    LOG_ERROR_W_CODE(ERROR_ACCESS_DENIED,
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

// Steps 3 to 5, the only ones that use the printer and session tables.
bool choose_target(const job_fields& fields, job_target* target) {
    const shared_tables_use tables;
    if (!tables.open()) {
        LOG_WARNING(kDroppedForStop);
        return false;
    }
    const wchar_t* settings_key = find_printer_settings_key(fields.printer);
    if (!settings_key) {
        LOG_ERROR_CODE("processing(): can't find printer's record in the table.",
                       ERROR_INVALID_PARAMETER);
        return false;
    }
    copy_field(target->settings_key, settings_key);
    target->policy = read_session_policy(target->settings_key);
    if (!find_session_id(fields.user, &target->session_id, target->policy)) {
        LOG_ERROR_W(L"processing(): failed to find_session_id(\"%ls\").", fields.user);
        return false;
    }
    return true;
}

// Steps 6 to 11; returns at the first failed stage, which the caller follows
// with the cleanup.
void run_stages(const job_fields& fields, const job_target& target) {
    const wchar_t* const job_ini = fields.job_ini;
    wchar_t key_path[kKeyPathChars] = {};
    format_cut(key_path, L"Software\\%ls", target.settings_key);
    reg_record dir[] = {
        {kHiveLocalMachine, key_path, L"Installation Directory", REG_SZ, 0, nullptr},
        {0, nullptr, nullptr, 0, 0, nullptr},
    };
    const reg_strings_owner dir_owner(dir);
    LOG_TRACE("processing()", "reg_read_records(dir)");
    if (reg_read_records(dir) != 0 || !dir[0].string_result) {
        LOG_ERROR("processing(): failed to get \"Installation Directory\" value via HKLM hive.");
        return;
    }
    const wchar_t* const install_dir = dir[0].string_result;

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
