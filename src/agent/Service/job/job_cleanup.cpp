#define LOG_MODULE "..\\src\\Service"
#include "diag/log.h"

#include "agent/Service/job/job_ini.h"
#include "agent/Service/job/job_cleanup.h"
#include "common/owned.h"
#include "agent/regtools/settings_key.h"
#include "agent/tools/sessions.h"

namespace {

constexpr size_t kSpoolFileUnits = 2048;

// "RAW: Enabled" nonzero keeps the spool file; missing or unreadable counts as 0.
bool keep_spool_file(const wchar_t* settings_key_name) {
    if (settings_key_name == nullptr) return false;
    settings_group raw_enabled(settings_key_name, settings_home::machine, kSelfSession,
                               {{L"RAW: Enabled", REG_DWORD}});
    return raw_enabled.read() && raw_enabled.dword(0) != 0;
}

enum class removal { deleted, not_deleted, not_a_plain_file, no_client };

// Deletes the spool file with the client's rights, through the one handle
// that was checked: a link or a second name could point SYSTEM at someone
// else's file. Backup semantics only let a directory be opened, to be
// recognised and left. Logging waits until the service is itself again.
removal remove_as_client(const wchar_t* spool_file, DWORD* error) {
    const as_job_client client(L"cleanup_print_files");
    if (!client.ok()) return removal::no_client;
    const owned::unique_file file(
        CreateFileW(spool_file, DELETE | FILE_READ_ATTRIBUTES,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                    FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    BY_HANDLE_FILE_INFORMATION info;
    if (!file || !GetFileInformationByHandle(file.get(), &info)) {
        *error = GetLastError();
        return removal::not_deleted;
    }
    if ((info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0 ||
        info.nNumberOfLinks != 1) {
        return removal::not_a_plain_file;
    }
    FILE_DISPOSITION_INFO disposition = {TRUE};
    if (!SetFileInformationByHandle(file.get(), FileDispositionInfo, &disposition,
                                    sizeof disposition)) {
        *error = GetLastError();
        return removal::not_deleted;
    }
    return removal::deleted;
}

}  // namespace

void cleanup_print_files(const wchar_t* job_ini_path, const wchar_t* settings_key_name) {
    if (job_ini_path == nullptr || *job_ini_path == L'\0') return;
    if (keep_spool_file(settings_key_name)) return;

    wchar_t spool_file[kSpoolFileUnits];
    read_job_ini(job_ini_path, L"File0", spool_file, kSpoolFileUnits);
    DWORD error = ERROR_PATH_NOT_FOUND;  // an empty or missing File0 names no file
    removal outcome = removal::not_deleted;
    if (spool_file[0] != L'\0') {
        if (!is_plain_local_path(spool_file)) {
            LOG_ERROR_CODE(
                ERROR_BAD_PATHNAME,
                "cleanup_print_files(): spool file is not a plain local path; it is left.");
            return;
        }
        outcome = remove_as_client(spool_file, &error);
    }
    switch (outcome) {
        case removal::deleted:
            LOG_WARNING("cleanup_print_files(): Spool file was deleted.");
            break;
        case removal::not_deleted:
            LOG_WARNING(L"cleanup_print_files(): failed to DeleteFile(\"%ls\"), error %lu.",
                        spool_file, error);
            break;
        case removal::not_a_plain_file:
            LOG_ERROR_CODE(ERROR_ACCESS_DENIED,
                           L"cleanup_print_files(): spool file \"%ls\" is not a regular file with "
                           L"one name; it is left.",
                           spool_file);
            break;
        case removal::no_client:
            break;  // logged
    }
}
