// A registry key that one test writes and that is removed again, with all its
// values and subkeys, when the object dies (and before it is created, so a
// crashed earlier run leaves nothing behind).
//
//     scratch_key settings(HKEY_LOCAL_MACHINE, L"Software\\TestPrinterKey");
//     settings.set_dword(L"Allow self session", 1);
//     settings.set_string(L"Installation Directory", L"c:\\tmp\\tests");
#pragma once

#include <windows.h>

#include <string>

namespace test_support {

class scratch_key {
public:
    scratch_key(HKEY root, std::wstring path);
    ~scratch_key();
    scratch_key(const scratch_key&) = delete;
    scratch_key& operator=(const scratch_key&) = delete;

    const std::wstring& path() const { return path_; }

    // Each returns whether the registry accepted the write.
    bool set_dword(const wchar_t* name, DWORD value);
    bool set_string(const wchar_t* name, const std::wstring& text);  // REG_SZ with terminator
    bool set_raw(const wchar_t* name, DWORD type, const void* data, DWORD bytes);
    bool remove(const wchar_t* name);

private:
    HKEY root_;
    std::wstring path_;
    HKEY key_ = nullptr;
};

// The string SID of the test process's user: its per-user hive is
// HKEY_USERS\<this> (under Wine the same key as HKEY_CURRENT_USER).
std::wstring process_user_sid();

}  // namespace test_support
