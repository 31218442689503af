// Client tokens as the pipe reader hands them on: this process's own (under
// Wine an administrator's) and the same user with Administrators disabled, as
// a UAC-filtered token has it.
#pragma once

#include <windows.h>

#include <string>

#include "common/owned.h"

namespace service_tests {

constexpr DWORD kPipeTokenAccess = TOKEN_QUERY | TOKEN_DUPLICATE | TOKEN_IMPERSONATE;

owned::unique_handle own_token(DWORD access = kPipeTokenAccess);
owned::unique_handle filtered_token();
// The plain account name of this process's user.
std::wstring own_account();

}  // namespace service_tests
