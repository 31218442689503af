// Reading groups of registry values described as record arrays.
#pragma once

#include <windows.h>

#include <cstdint>

struct reg_record {
    uint32_t hive;            // predefined root key value; 0 ends an array
    const wchar_t* key_path;  // borrowed, no leading backslash
    const wchar_t* reg_name;  // borrowed
    int32_t reg_type;         // REG_SZ or REG_DWORD
    uint32_t dword_result;    // written only when the value was read
    wchar_t* string_result;   // allocated by the reader; released by reg_free_records
};

// The 32-bit hive values of the predefined keys the agent reads.
constexpr uint32_t kHiveCurrentUser = 0x80000001u;
constexpr uint32_t kHiveLocalMachine = 0x80000002u;
constexpr uint32_t kHiveUsers = 0x80000003u;

// Reads every record up to the terminator; returns how many failed.
unsigned reg_read_records(reg_record* records);
void reg_free_records(reg_record* records);
const wchar_t* reg_hive_name(uint32_t hive);

// Releases an array's strings with reg_free_records when it goes out of scope,
// so a group read by a stage is released on every path.
class reg_strings_owner {
public:
    explicit reg_strings_owner(reg_record* records) : records_(records) {}
    ~reg_strings_owner() { reg_free_records(records_); }
    reg_strings_owner(const reg_strings_owner&) = delete;
    reg_strings_owner& operator=(const reg_strings_owner&) = delete;

private:
    reg_record* records_;
};
