#define LOG_MODULE "..\\src\\Service"
#include "diag/log.h"

#include "Service/stages.h"
#include "regtools/reg_records.h"
#include "tools/format_fitting.h"

namespace {

constexpr size_t kKeyPathUnits = 2048;
constexpr size_t kSpoolFileUnits = 2048;

// "RAW: Enabled" nonzero keeps the spool file; missing or unreadable counts as 0.
bool keep_spool_file(const wchar_t* settings_key_name) {
    if (settings_key_name == nullptr) return false;
    wchar_t key_path[kKeyPathUnits];
    if (!format_fitting(key_path, L"Software\\%ls", settings_key_name)) return false;
    reg_record raw_enabled[] = {
        {kHiveLocalMachine, key_path, L"RAW: Enabled", REG_DWORD, 0, nullptr},
        {},
    };
    return reg_read_records(raw_enabled) == 0 && raw_enabled[0].dword_result != 0;
}

}  // namespace

void cleanup_print_files(const wchar_t* job_ini_path, const wchar_t* settings_key_name) {
    if (job_ini_path == nullptr || *job_ini_path == L'\0') return;
    if (keep_spool_file(settings_key_name)) return;

    wchar_t spool_file[kSpoolFileUnits];
    GetPrivateProfileStringW(L"Spool", L"File0", L"", spool_file, kSpoolFileUnits, job_ini_path);
    if (DeleteFileW(spool_file)) {
        LOG_WARNING("cleanup_print_files(): Spool file was deleted.");
    } else {
        LOG_WARNING_W(L"cleanup_print_files(): failed to DeleteFile(\"%ls\"), error %lu.", spool_file,
                      GetLastError());
    }
}
