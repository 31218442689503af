#define LOG_MODULE "..\\src\\regtools"
#include "diag/log.h"

#include "agent/regtools/settings_key.h"

#include <windows.h>

#include <cwchar>
#include <memory>
#include <new>
#include <string>

#include "common/last_error.h"
#include "agent/tools/sessions.h"

namespace {

// Room the per-user form needs besides the SID and the name.
constexpr size_t kPathReserve = 20;

}  // namespace

bool configure_reg_key(wchar_t* key_path, const wchar_t* settings_key_name, uint32_t session_id) {
    if (!key_path || !settings_key_name) {
        LOG_ERROR_CODE(ERROR_INVALID_PARAMETER, "configure_reg_key(): invalid input parameter.");
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
        LOG_ERROR_CODE(ERROR_NOT_ENOUGH_MEMORY, "configure_reg_key(): failed to malloc().");
        return false;
    }
    LOG_TRACE("configure_reg_key()", "get_sid()");
    if (!get_sid(session_id, sid.get(), &sid_length)) {
        LOG_ERROR("configure_reg_key(): failed to get_sid().");
        return false;
    }
    if (wcslen(settings_key_name) + sid_length + kPathReserve > kKeyPathChars) {
        LOG_ERROR_CODE(ERROR_INSUFFICIENT_BUFFER,
                       "configure_reg_key(): input buffer size is to small.");
        return false;
    }
    const std::wstring path = std::wstring(sid.get()) + L"\\Software\\" + settings_key_name;
    wmemset(key_path, L'\0', kKeyPathChars);
    wmemcpy(key_path, path.c_str(), path.size());
    return true;
}

settings_group::settings_group(const wchar_t* settings_key_name, settings_home home,
                               uint32_t session_id, std::initializer_list<setting_name> settings,
                               overlong_key rule)
    : settings_key_name_(settings_key_name), home_(home), session_id_(session_id), rule_(rule) {
    const uint32_t hive = home == settings_home::user ? kHiveUsers : kHiveLocalMachine;
    size_t at = 0;
    for (const setting_name& setting : settings) {
        if (at == kMaxGroupSettings) break;
        records_[at++] = {hive, key_path_, setting.name, setting.type, 0, nullptr};
    }
}

settings_group::~settings_group() { release(); }

void settings_group::release() {
    const owned::last_error_keeper keep;
    reg_free_records(records_);
}

bool settings_group::use_machine_key() {
    for (reg_record* record = records_; record->hive != 0; ++record)
        record->hive = kHiveLocalMachine;
    if (!settings_key_name_) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    const std::wstring path = std::wstring(L"Software\\") + settings_key_name_;
    if (path.size() >= kKeyPathChars && rule_ == overlong_key::refuse) {
        // Cut, the path would name another key.
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return false;
    }
    wmemset(key_path_, L'\0', kKeyPathChars);
    wmemcpy(key_path_, path.c_str(), path.size() < kKeyPathChars ? path.size() : kKeyPathChars - 1);
    return true;
}

bool settings_group::read() {
    release();
    if (home_ == settings_home::user) return read_for_user();
    return use_machine_key() && reg_read_records(records_) == 0;
}

bool settings_group::read_for_user() {
    if (!settings_key_name_) {
        LOG_ERROR_CODE(ERROR_INVALID_PARAMETER, "read_reg_settings(): invalid input parameter.");
        return false;
    }
    for (reg_record* record = records_; record->hive != 0; ++record) record->hive = kHiveUsers;
    LOG_TRACE("read_reg_settings()", "configure_reg_key()");
    bool have_path = configure_reg_key(key_path_, settings_key_name_, session_id_);
    if (!have_path) {
        LOG_WARNING(
            "read_reg_settings(): failed to configure_reg_key(). Use HKLM hive as default.");
        have_path = use_machine_key();
    }
    if (have_path) {
        if (reg_read_records(records_) == 0) return true;
        // The group is taken whole from one key: retry all of it machine-wide.
        release();
        if (use_machine_key() && reg_read_records(records_) == 0) return true;
        release();
    }
    LOG_ERROR("read_reg_settings(): failed to get settings via registry keys.");
    return false;
}
