#define LOG_MODULE "..\\src\\regtools"
#include "diag/log.h"

#include "regtools/settings_key.h"

#include <cwchar>
#include <memory>
#include <new>
#include <string>

#include "common/last_error.h"
#include "tools/sessions.h"

namespace {

// Room the per-user form needs besides the SID and the name.
constexpr size_t kPathReserve = 20;

// Writes a path into the key path buffer, cut to what the buffer holds.
void write_key_path(wchar_t* key_path, const std::wstring& path) {
    wmemset(key_path, L'\0', kKeyPathChars);
    wmemcpy(key_path, path.c_str(), path.size() < kKeyPathChars ? path.size() : kKeyPathChars - 1);
}

void use_machine_key(const wchar_t* settings_key_name, reg_record* group, wchar_t* key_path) {
    write_key_path(key_path, std::wstring(L"Software\\") + settings_key_name);
    for (reg_record* record = group; record->hive != 0; ++record) record->hive = kHiveLocalMachine;
}

}  // namespace

bool configure_reg_key(wchar_t* key_path, const wchar_t* settings_key_name, uint32_t session_id) {
    if (!key_path || !settings_key_name) {
        LOG_ERROR_CODE("configure_reg_key(): invalid input parameter.", ERROR_INVALID_PARAMETER);
        return false;
    }
    LOG_TRACE("configure_reg_key()", "get_sid(NULL)");
    uint32_t sid_length = 0;
    if (get_sid(session_id, nullptr, &sid_length) || GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
        LOG_ERROR("configure_reg_key(): failed to get_sid().");
        return false;
    }
    std::unique_ptr<wchar_t[]> sid(new (std::nothrow) wchar_t[sid_length]);
    if (!sid) {
        LOG_ERROR_CODE("configure_reg_key(): failed to malloc().", ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    LOG_TRACE("configure_reg_key()", "get_sid()");
    if (!get_sid(session_id, sid.get(), &sid_length)) {
        LOG_ERROR("configure_reg_key(): failed to get_sid().");
        return false;
    }
    if (wcslen(settings_key_name) + sid_length + kPathReserve > kKeyPathChars) {
        LOG_ERROR_CODE("configure_reg_key(): input buffer size is to small.", ERROR_INSUFFICIENT_BUFFER);
        return false;
    }
    write_key_path(key_path, std::wstring(sid.get()) + L"\\Software\\" + settings_key_name);
    return true;
}

bool read_reg_settings(const wchar_t* settings_key_name, reg_record* group, wchar_t* key_path,
                       uint32_t session_id) {
    if (!settings_key_name || !group || !key_path) {
        LOG_ERROR_CODE("read_reg_settings(): invalid input parameter.", ERROR_INVALID_PARAMETER);
        return false;
    }
    LOG_TRACE("read_reg_settings()", "configure_reg_key()");
    if (!configure_reg_key(key_path, settings_key_name, session_id)) {
        LOG_WARNING("read_reg_settings(): failed to configure_reg_key(). Use HKLM hive as default.");
        use_machine_key(settings_key_name, group, key_path);
    }
    if (reg_read_records(group) == 0) return true;

    // The group is taken whole from one key: retry all of it machine-wide.
    reg_free_records(group);
    use_machine_key(settings_key_name, group, key_path);
    if (reg_read_records(group) == 0) return true;

    {
        const owned::last_error_keeper keep;
        reg_free_records(group);
    }
    LOG_ERROR("read_reg_settings(): failed to get settings via registry keys.");
    return false;
}
