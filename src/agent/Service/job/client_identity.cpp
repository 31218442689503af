#define LOG_MODULE "..\\src\\Service"
#include "diag/log.h"

#include "agent/Service/job/client_identity.h"

#include <cstring>

#include "common/owned.h"
#include "agent/tools/session_api.h"
#include "agent/tools/sessions.h"

namespace {

constexpr DWORD kDomainUnits = 256;

// Copies the token's user SID into sid; the caller names itself for the log.
bool copy_token_user(HANDLE token, BYTE* sid, const wchar_t* caller) {
    union {
        TOKEN_USER user;
        BYTE bytes[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    } info;
    DWORD size = 0;
    if (!GetTokenInformation(token, TokenUser, &info, sizeof info, &size)) {
        LOG_ERROR(L"%ls(): failed to GetTokenInformation().", caller);
        return false;
    }
    if (!CopySid(SECURITY_MAX_SID_SIZE, sid, info.user.User.Sid)) {
        LOG_ERROR(L"%ls(): failed to CopySid().", caller);
        return false;
    }
    return true;
}

bool is_member_of_administrators(HANDLE query_token, bool* member) {
    BYTE admins[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof admins;
    if (!CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, admins, &size)) {
        LOG_ERROR("read_client_identity(): failed to CreateWellKnownSid().");
        return false;
    }
    BOOL is_member = FALSE;
    if (!CheckTokenMembership(query_token, admins, &is_member)) {
        LOG_ERROR("read_client_identity(): failed to CheckTokenMembership().");
        return false;
    }
    *member = is_member != FALSE;
    return true;
}

bool fill_identity(HANDLE token, client_identity* identity) {
    // CheckTokenMembership wants an impersonation token; identification level
    // is all it needs, whatever level the client granted.
    owned::unique_handle query;
    if (!DuplicateTokenEx(token, TOKEN_QUERY, nullptr, SecurityIdentification, TokenImpersonation,
                          query.put())) {
        LOG_ERROR("read_client_identity(): failed to DuplicateTokenEx().");
        return false;
    }
    if (!copy_token_user(query.get(), identity->sid, L"read_client_identity")) return false;
    if (!is_member_of_administrators(query.get(), &identity->is_admin)) return false;
    identity->is_system = IsWellKnownSid(identity->sid, WinLocalSystemSid) != FALSE;

    // Without a name an ordinary client can name nobody; a privileged one
    // needs none.
    DWORD account_units = kAccountNameUnits;
    wchar_t domain[kDomainUnits];
    DWORD domain_units = kDomainUnits;
    SID_NAME_USE use;
    if (!LookupAccountSidW(nullptr, identity->sid, identity->account, &account_units, domain,
                           &domain_units, &use)) {
        identity->account[0] = L'\0';
        LOG_ERROR("read_client_identity(): failed to LookupAccountSid().");
    }
    return true;
}

}  // namespace

bool read_client_identity(HANDLE token, client_identity* identity) {
    std::memset(identity, 0, sizeof *identity);
    if (!token) return false;
    if (!fill_identity(token, identity)) {
        std::memset(identity, 0, sizeof *identity);
        return false;
    }
    identity->readable = true;
    return true;
}

bool may_name_user(const client_identity& client, const wchar_t* user_name) {
    if (!client.readable || !user_name) return false;
    if (is_privileged(client)) return true;
    return client.account[0] != L'\0' &&
           CompareStringOrdinal(client.account, -1, user_name, -1, TRUE) == CSTR_EQUAL;
}

bool may_run_in_session(const client_identity& client, uint32_t session_id,
                        const void* session_user, bool self_allowed) {
    if (!client.readable) return false;
    if (is_privileged(client)) return true;
    if (session_id == kSelfSession) return self_allowed;
    PSID const client_sid = const_cast<BYTE*>(client.sid);
    PSID const user_sid = const_cast<void*>(session_user);
    return user_sid && IsValidSid(user_sid) && IsValidSid(client_sid) &&
           EqualSid(user_sid, client_sid);
}

bool read_session_user(uint32_t session_id, BYTE* sid) {
    owned::unique_handle token;
    if (!session_api().query_user_token(session_id, token.put())) {
        LOG_ERROR("read_session_user(): failed to WTSQueryUserToken().");
        return false;
    }
    return copy_token_user(token.get(), sid, L"read_session_user");
}
