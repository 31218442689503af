#define LOG_MODULE "..\\src\\tools"
#include "diag/log.h"

#include "agent/tools/sessions.h"

#include <sddl.h>

#include <cwchar>
#include <memory>
#include <new>

#include "common/owned.h"
#include "agent/tools/session_api.h"

namespace {

// Memory handed out by the session manager, released through the same seam.
template <typename T>
class session_memory {
public:
    session_memory() = default;
    ~session_memory() {
        if (memory_) session_api().free_memory(memory_);
    }
    session_memory(const session_memory&) = delete;
    session_memory& operator=(const session_memory&) = delete;

    T** put() { return &memory_; }
    T* get() const { return memory_; }

private:
    T* memory_ = nullptr;
};

bool open_session_token(uint32_t session_id, owned::unique_handle& token) {
    if (session_id == kSelfSession) {
        if (OpenProcessToken(GetCurrentProcess(), TOKEN_DUPLICATE, token.put())) return true;
        LOG_ERROR("get_sid(): failed to OpenProcessToken().");
        return false;
    }
    if (session_api().query_user_token(session_id, token.put())) return true;
    LOG_ERROR("get_sid(): failed to WTSQueryUserToken().");
    return false;
}

// Fills the buffer and length as get_sid promises; returns the last-error
// value that get_sid ends with (0 only when the string was written).
DWORD copy_user_sid(uint32_t session_id, wchar_t* buffer, uint32_t* length) {
    owned::unique_handle token;
    if (!open_session_token(session_id, token)) return GetLastError();

    owned::unique_handle query_token;
    if (!DuplicateTokenEx(token.get(), TOKEN_QUERY | TOKEN_QUERY_SOURCE, nullptr,
                          SecurityImpersonation, TokenPrimary, query_token.put())) {
        LOG_ERROR("get_sid(): failed to DuplicateTokenEx().");
        return GetLastError();
    }
    DWORD size = 0;
    if (GetTokenInformation(query_token.get(), TokenUser, nullptr, 0, &size) ||
        GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
        LOG_ERROR("get_sid(): failed to GetTokenInformation().");
        return GetLastError();
    }
    std::unique_ptr<BYTE[]> user_info(new (std::nothrow) BYTE[size]);
    if (!user_info) {
        LOG_ERROR_CODE(ERROR_NOT_ENOUGH_MEMORY, "get_sid(): failed to malloc().");
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    if (!GetTokenInformation(query_token.get(), TokenUser, user_info.get(), size, &size)) {
        LOG_ERROR("get_sid(): failed to GetTokenInformation().");
        return GetLastError();
    }
    wchar_t* text = nullptr;
    if (!ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(user_info.get())->User.Sid, &text)) {
        LOG_ERROR("get_sid(): failed to ConvertSidToStringSid().");
        return GetLastError();
    }
    const owned::unique_local text_owner(text);
    const uint32_t needed = static_cast<uint32_t>(wcslen(text)) + 1;
    const bool fits = buffer && *length >= needed;
    if (fits) wmemcpy(buffer, text, needed);
    *length = needed;
    return fits ? ERROR_SUCCESS : ERROR_INSUFFICIENT_BUFFER;
}

}  // namespace

bool enumerate_sid(std::vector<session_entry>& sessions) {
    sessions.clear();
    session_memory<WTS_SESSION_INFOW> listed;
    DWORD count = 0;
    if (!session_api().enumerate_sessions(WTS_CURRENT_SERVER_HANDLE, 0, 1, listed.put(), &count)) {
        LOG_ERROR("enumerate_sid(): failed to WTSEnumerateSessions().");
        return false;
    }
    sessions.reserve(count);
    for (DWORD i = 0; i < count; ++i) {
        sessions.push_back(
            {listed.get()[i].SessionId, static_cast<int32_t>(listed.get()[i].State)});
    }
    return true;
}

bool get_uname(uint32_t session_id, std::wstring& user_name) {
    session_memory<wchar_t> name;
    DWORD bytes = 0;
    if (!session_api().query_session_information(WTS_CURRENT_SERVER_HANDLE, session_id, WTSUserName,
                                                 name.put(), &bytes)) {
        LOG_ERROR("get_uname(): failed to WTSQuerySessionInformation().");
        return false;
    }
    user_name.assign(name.get() ? name.get() : L"");
    return true;
}

bool get_sid(uint32_t session_id, wchar_t* buffer, uint32_t* length) {
    if (!length) {
        LOG_ERROR_CODE(ERROR_INVALID_PARAMETER, "get_sid(): invalid input parameter.");
        return false;
    }
    SetLastError(0);
    const DWORD error = copy_user_sid(session_id, buffer, length);
    SetLastError(error);
    return error == ERROR_SUCCESS;
}
