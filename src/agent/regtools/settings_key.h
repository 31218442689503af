// The printer's settings key, per user under HKEY_USERS\<SID> with fall-back to
// the machine-wide copy.
#pragma once

#include <cstddef>
#include <cstdint>

#include "regtools/reg_records.h"

constexpr size_t kKeyPathChars = 1024;

bool configure_reg_key(wchar_t* key_path /* kKeyPathChars */, const wchar_t* settings_key_name,
                       uint32_t session_id);
bool read_reg_settings(const wchar_t* settings_key_name, reg_record* group,
                       wchar_t* key_path /* kKeyPathChars */, uint32_t session_id);
