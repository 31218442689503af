#define LOG_MODULE "..\\src\\regtools"
#include "diag/log.h"

#include "agent/regtools/reg_records.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "common/last_error.h"
#include "common/owned.h"

namespace {

// Predefined keys are sign-extended 32-bit values, also on x64.
HKEY hive_key(uint32_t hive) {
    return reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(static_cast<LONG>(hive)));
}

// Registry calls return their status without touching the last-error value;
// a failed record leaves the status there so callers can log the reason.
bool failed_with(LSTATUS status) {
    if (status == ERROR_SUCCESS) return false;
    SetLastError(static_cast<DWORD>(status));
    return true;
}

bool read_string(HKEY key, reg_record& record) {
    record.string_result = nullptr;
    DWORD bytes = 0;
    if (failed_with(RegQueryValueExW(key, record.reg_name, nullptr, nullptr, nullptr, &bytes))) {
        return false;
    }
    // Twice the data plus one zeroed character: the string ends even when the
    // stored data carries no terminator.
    const size_t length = static_cast<size_t>(bytes);
    void* buffer = length <= (SIZE_MAX - 2) / 2 ? calloc(length * 2 + 2, 1) : nullptr;
    if (!buffer) {
        LOG_ERROR_CODE(ERROR_NOT_ENOUGH_MEMORY, "reg_read_records(): failed to malloc().");
        return false;
    }
    if (failed_with(RegQueryValueExW(key, record.reg_name, nullptr, nullptr,
                                     static_cast<BYTE*>(buffer), &bytes))) {
        LOG_ERROR(L"reg_read_records(): failed to RegQueryValueEx(\"%ls:%ls:%ls\").",
                  reg_hive_name(record.hive), record.key_path, record.reg_name);
        const owned::last_error_keeper keep;
        free(buffer);
        return false;
    }
    record.string_result = static_cast<wchar_t*>(buffer);
    return true;
}

bool read_dword(HKEY key, reg_record& record) {
    // Read into a copy: a failed query must leave the caller's value alone.
    DWORD value = 0;
    DWORD bytes = sizeof value;
    if (failed_with(RegQueryValueExW(key, record.reg_name, nullptr, nullptr,
                                     reinterpret_cast<BYTE*>(&value), &bytes))) {
        return false;
    }
    // Shorter data fills only the low bytes, as a direct read would.
    memcpy(&record.dword_result, &value, bytes);
    return true;
}

bool read_record(reg_record& record) {
    SetLastError(0);
    owned::unique_hkey key;
    if (failed_with(
            RegOpenKeyExW(hive_key(record.hive), record.key_path, 0, KEY_READ, key.put()))) {
        if (GetLastError() == ERROR_FILE_NOT_FOUND) {
            LOG_ERROR_CODE(ERROR_FILE_NOT_FOUND,
                           L"reg_read_records(): failed to RegOpenKeyEx(\"%ls:%ls\").",
                           reg_hive_name(record.hive), record.key_path);
        }
        return false;
    }
    switch (record.reg_type) {
        case REG_SZ:
            return read_string(key.get(), record);
        case REG_DWORD:
            return read_dword(key.get(), record);
        default:
            LOG_ERROR_CODE(record.reg_type,
                           L"reg_read_records(): unsupporter value type: \"%ls:%ls:%ls\".",
                           reg_hive_name(record.hive), record.key_path, record.reg_name);
            return false;
    }
}

}  // namespace

unsigned reg_read_records(reg_record* records) {
    unsigned failed = 0;
    DWORD last_reason = 0;
    for (reg_record* record = records; record && record->hive != 0; ++record) {
        if (!read_record(*record)) {
            ++failed;
            last_reason = GetLastError();
        }
    }
    // A later record that was read must not hide why an earlier one failed.
    if (failed) SetLastError(last_reason);
    return failed;
}

void reg_free_records(reg_record* records) {
    for (reg_record* record = records; record && record->hive != 0; ++record) {
        if (record->reg_type == REG_SZ && record->string_result) {
            free(record->string_result);
            record->string_result = nullptr;
        }
    }
}

const wchar_t* reg_hive_name(uint32_t hive) {
    switch (hive) {
        case kHiveLocalMachine:
            return L"HKEY_LOCAL_MACHINE";
        case kHiveCurrentUser:
            return L"HKEY_CURRENT_USER";
        case kHiveUsers:
            return L"HKEY_USERS";
        default:
            return L"Unknown";
    }
}
