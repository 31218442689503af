#define LOG_MODULE "..\\src\\Service"
#include "diag/log.h"

#include "agent/Service/job/job_ini.h"

#include <process.h>

#include <cwchar>

namespace {

// Longer than any job ini path (1023) or spool file path (2047) a job holds.
constexpr DWORD kFullPathUnits = 4096;
constexpr DWORD kSpoolTypeUnits = 1024;

thread_local const job_client_scope* current_scope = nullptr;

bool is_drive_letter(wchar_t c) { return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z'); }

}  // namespace

bool is_plain_local_path(const wchar_t* path) {
    if (!path || !is_drive_letter(path[0]) || path[1] != L':' || path[2] != L'\\') return false;
    for (const wchar_t* c = path; *c; ++c) {
        if (*c < L' ' || *c == 0x7F || *c == L'"') return false;
    }
    // A device name such as "C:\x\COM1" resolves to "\\.\COM1": no file at all.
    wchar_t full[kFullPathUnits];
    const DWORD units = GetFullPathNameW(path, kFullPathUnits, full, nullptr);
    return units > 0 && units < kFullPathUnits && is_drive_letter(full[0]) && full[1] == L':' &&
           full[2] == L'\\';
}

job_client_scope::job_client_scope(HANDLE client_token, bool client_is_system)
    : outer_(current_scope), token_(client_token), is_system_(client_is_system) {
    current_scope = this;
}

job_client_scope::~job_client_scope() { current_scope = outer_; }

as_job_client::as_job_client(const wchar_t* caller) : caller_(caller) {
    const job_client_scope* const scope = current_scope;
    if (!scope || scope->is_system_) return;  // the service is that client already
    if (!scope->token_) {
        ok_ = false;
        LOG_ERROR_CODE(ERROR_NO_TOKEN, L"%ls(): failed to ImpersonateLoggedOnUser().", caller_);
        return;
    }
    if (!ImpersonateLoggedOnUser(scope->token_)) {
        ok_ = false;
        LOG_ERROR(L"%ls(): failed to ImpersonateLoggedOnUser().", caller_);
        return;
    }
    impersonating_ = true;
}

as_job_client::~as_job_client() {
    if (!impersonating_ || RevertToSelf()) return;
    const DWORD error = GetLastError();
    // Dropping the thread's token is the other way back to the service.
    if (SetThreadToken(nullptr, nullptr)) {
        LOG_ERROR_CODE(error, L"%ls(): failed to RevertToSelf().", caller_);
        return;
    }
    // Still the client: this thread must serve no one any more. The entry may
    // not reach the log, which is written with the client's rights now.
    LOG_ERROR_CODE(error, L"%ls(): failed to RevertToSelf(); the work thread ends.", caller_);
    _endthreadex(error);
}

bool read_job_ini(const wchar_t* job_ini_path, const wchar_t* key, wchar_t* buffer, DWORD units) {
    if (!buffer || units == 0) return false;
    buffer[0] = L'\0';
    if (!is_plain_local_path(job_ini_path) || !key) {
        LOG_ERROR_CODE(ERROR_INVALID_PARAMETER, "read_job_ini(): invalid input parameter.");
        return false;
    }
    const as_job_client client(L"read_job_ini");
    if (!client.ok()) return false;
    GetPrivateProfileStringW(L"Spool", key, L"", buffer, units, job_ini_path);
    return true;
}

spool_skip job_skip(DWORD skip, const wchar_t* job_ini_path) {
    if (skip == 3) return spool_skip::always;
    if (skip != 1 && skip != 2) return spool_skip::none;
    wchar_t type[kSpoolTypeUnits];
    read_job_ini(job_ini_path, L"Type", type, kSpoolTypeUnits);
    if (skip == 1 && std::wcscmp(type, L"EMF") == 0) return spool_skip::emf;
    if (skip == 2 && std::wcscmp(type, L"RAW") == 0) return spool_skip::raw;
    return spool_skip::none;
}
