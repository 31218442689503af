#include "fakes/scratch_key.h"

#include <sddl.h>

#include <vector>

namespace test_support {

scratch_key::scratch_key(HKEY root, std::wstring path) : root_(root), path_(std::move(path)) {
    RegDeleteTreeW(root_, path_.c_str());
    RegCreateKeyExW(root_, path_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key_, nullptr);
}

scratch_key::~scratch_key() {
    if (key_) RegCloseKey(key_);
    RegDeleteTreeW(root_, path_.c_str());
}

bool scratch_key::set_raw(const wchar_t* name, DWORD type, const void* data, DWORD bytes) {
    return key_ && RegSetValueExW(key_, name, 0, type, static_cast<const BYTE*>(data), bytes) ==
                       ERROR_SUCCESS;
}

bool scratch_key::set_dword(const wchar_t* name, DWORD value) {
    return set_raw(name, REG_DWORD, &value, sizeof value);
}

bool scratch_key::set_string(const wchar_t* name, const std::wstring& text) {
    return set_raw(name, REG_SZ, text.c_str(),
                   static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

bool scratch_key::remove(const wchar_t* name) {
    return key_ && RegDeleteValueW(key_, name) == ERROR_SUCCESS;
}

std::wstring process_user_sid() {
    std::wstring sid;
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return sid;
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::vector<BYTE> info(size);
    wchar_t* text = nullptr;
    if (size && GetTokenInformation(token, TokenUser, info.data(), size, &size) &&
        ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(info.data())->User.Sid, &text)) {
        sid = text;
        LocalFree(text);
    }
    CloseHandle(token);
    return sid;
}

}  // namespace test_support
