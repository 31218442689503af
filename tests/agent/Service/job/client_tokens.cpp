#include "agent/Service/job/client_tokens.h"

namespace service_tests {

owned::unique_handle own_token(DWORD access) {
    owned::unique_handle token;
    OpenProcessToken(GetCurrentProcess(), access, token.put());
    return token;
}

owned::unique_handle filtered_token() {
    const owned::unique_handle own = own_token(TOKEN_ALL_ACCESS);
    BYTE admins[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof admins;
    owned::unique_handle filtered;
    if (!own || !CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, admins, &size)) {
        return filtered;
    }
    SID_AND_ATTRIBUTES disabled = {admins, 0};
    CreateRestrictedToken(own.get(), 0, 1, &disabled, 0, nullptr, 0, nullptr, filtered.put());
    return filtered;
}

std::wstring own_account() {
    wchar_t name[257];
    DWORD units = 257;
    return GetUserNameW(name, &units) ? name : L"";
}

}  // namespace service_tests
