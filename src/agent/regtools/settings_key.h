// A printer's settings: a group of values read whole from one copy of the
// settings key "Software\<settings key name>", the user's own under
// HKEY_USERS\<SID> with the machine-wide one as fall-back, or the machine-wide
// one only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>

#include "agent/regtools/reg_records.h"

constexpr size_t kKeyPathChars = 1024;

// Where a group is read from.
enum class settings_home {
    machine,  // HKEY_LOCAL_MACHINE\Software\<name>
    user,     // HKEY_USERS\<SID>\Software\<name>, else the whole group machine-wide
};

// What becomes of a machine-wide key path that does not fit kKeyPathChars - 1:
// refused (the group is not read), or cut where the job's own reads have
// always cut it.
enum class overlong_key { refuse, cut };

struct setting_name {
    const wchar_t* name;
    int32_t type;  // REG_SZ or REG_DWORD
};

constexpr size_t kMaxGroupSettings = 6;

// Owns the group's key path, its records and the strings read into them.
class settings_group {
public:
    // settings_key_name is borrowed; session_id names the user of the user home.
    settings_group(const wchar_t* settings_key_name, settings_home home, uint32_t session_id,
                   std::initializer_list<setting_name> settings,
                   overlong_key rule = overlong_key::refuse);
    ~settings_group();
    settings_group(const settings_group&) = delete;
    settings_group& operator=(const settings_group&) = delete;

    // True when every value was read. A value that was not read keeps 0 or
    // null; the last-error value says why the group failed. The user home logs
    // its failures; the machine home logs only what the record reader logs.
    bool read();

    DWORD dword(size_t index) const { return records_[index].dword_result; }
    const wchar_t* string(size_t index) const { return records_[index].string_result; }
    // The copy the group was last read from.
    const wchar_t* key_path() const { return key_path_; }
    uint32_t hive() const { return records_[0].hive; }

private:
    bool read_for_user();
    bool use_machine_key();
    void release();

    const wchar_t* const settings_key_name_;
    const settings_home home_;
    const uint32_t session_id_;
    const overlong_key rule_;
    wchar_t key_path_[kKeyPathChars] = {};
    reg_record records_[kMaxGroupSettings + 1] = {};
};

// Writes "<SID>\Software\<name>" for the session's user; false, logged and the
// buffer untouched, when the SID can't be had or the path leaves fewer than 20
// units spare.
bool configure_reg_key(wchar_t* key_path /* kKeyPathChars */, const wchar_t* settings_key_name,
                       uint32_t session_id);
