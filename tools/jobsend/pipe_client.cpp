#include "jobsend/pipe_client.h"

#include <algorithm>

#include "common/contracts.h"

namespace job_pipe {
namespace {

// The system's default wait for a pipe instance.
constexpr ULONGLONG kWaitSliceMs = 50;

}  // namespace

send_result open(DWORD timeout_ms, owned::unique_file& pipe) {
    const ULONGLONG deadline = GetTickCount64() + timeout_ms;
    for (;;) {
        // Only what writing needs: an ordinary user is granted no more.
        pipe.reset(CreateFileW(contracts::kJobPipeName, contracts::kJobPipeClientAccess, 0, nullptr,
                               OPEN_EXISTING, 0, nullptr));
        if (pipe) return send_result::sent;
        if (GetLastError() == ERROR_FILE_NOT_FOUND) return send_result::no_pipe;
        if (GetLastError() != ERROR_PIPE_BUSY) return send_result::failed;

        const ULONGLONG now = GetTickCount64();
        if (now >= deadline) {
            SetLastError(ERROR_SEM_TIMEOUT);
            return send_result::timed_out;
        }
        // Another client holds the instance. The wait is short because a wake-up
        // can be missed when the instance frees up just before the wait starts
        // (seen under Wine), and several clients race for the one instance anyway.
        const DWORD slice = static_cast<DWORD>(std::min<ULONGLONG>(deadline - now, kWaitSliceMs));
        if (!WaitNamedPipeW(contracts::kJobPipeName, slice) &&
            GetLastError() == ERROR_FILE_NOT_FOUND) {
            return send_result::no_pipe;
        }
    }
}

send_result send(const void* bytes, DWORD size, DWORD timeout_ms) {
    owned::unique_file pipe;
    const send_result opened = open(timeout_ms, pipe);
    if (opened != send_result::sent) return opened;
    DWORD written = 0;
    if (!WriteFile(pipe.get(), bytes, size, &written, nullptr)) return send_result::failed;
    if (written != size) {
        SetLastError(ERROR_WRITE_FAULT);
        return send_result::failed;
    }
    return send_result::sent;
}

send_result send_text(const std::wstring& text, DWORD timeout_ms) {
    return send(text.data(), static_cast<DWORD>(text.size() * sizeof(wchar_t)), timeout_ms);
}

bool wait_for_pipe(DWORD timeout_ms) {
    const ULONGLONG deadline = GetTickCount64() + timeout_ms;
    for (;;) {
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline) {
            SetLastError(ERROR_SEM_TIMEOUT);
            return false;
        }
        // Waits for a busy instance, but fails at once while there is none.
        if (WaitNamedPipeW(contracts::kJobPipeName, static_cast<DWORD>(deadline - now)))
            return true;
        if (GetLastError() != ERROR_FILE_NOT_FOUND) return false;
        Sleep(5);
    }
}

}  // namespace job_pipe
