#define LOG_MODULE "..\\src\\pipe_srv"
#include "diag/log.h"

#include <new>
#include <string>

#include "common/owned.h"
#include "pipe_srv/mutex_hold.h"
#include "pipe_srv/pipe_srv.h"

namespace {

constexpr DWORD kReceiveBytes = 8192;
constexpr DWORD kPipeBufferBytes = 4096;
// A client that connects and stays silent gives the instance back after this.
constexpr DWORD kSilentClientMs = 5000;
constexpr DWORD kOpenMode = PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED;
// Jobs name files that the LocalSystem service deletes later: local clients only.
constexpr DWORD kPipeMode =
    PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS;

enum class io_end {
    completed,
    failed,  // the reason is in the last-error value
    ended,   // stop, or the wait itself failed: the reader ends
};

// One listening instance with its completion event; the pool's stop_event ends it.
class pipe_listener {
public:
    pipe_listener(HANDLE pipe, HANDLE completion, HANDLE stop)
        : pipe_(pipe), waits_{completion, stop} {}

    io_end connect() {
        restart();
        const BOOL started = ConnectNamedPipe(pipe_, &overlapped_);
        // A client that came before the listen is connected already; one that
        // also went again left its message readable (or nothing, which the read reports).
        if (!started && (GetLastError() == ERROR_PIPE_CONNECTED || GetLastError() == ERROR_NO_DATA)) {
            return io_end::completed;
        }
        return finish(started, INFINITE);
    }

    // Reads one message into buffer; bytes is what arrived.
    io_end read(void* buffer, DWORD size, DWORD& bytes) {
        restart();
        const BOOL started = ReadFile(pipe_, buffer, size, nullptr, &overlapped_);
        const io_end end = finish(started, kSilentClientMs);
        bytes = bytes_;
        return end;
    }

    void disconnect() { DisconnectNamedPipe(pipe_); }

private:
    void restart() {
        overlapped_ = OVERLAPPED{};
        overlapped_.hEvent = waits_[0];
        bytes_ = 0;
    }

    // Settles an operation from its immediate result, waiting only when it is
    // really pending, so that no wait hangs on an event that will never be set.
    // No operation is left pending on return.
    io_end finish(BOOL started, DWORD timeout_ms) {
        if (!started) {
            if (GetLastError() != ERROR_IO_PENDING) return io_end::failed;
            const DWORD woke = WaitForMultipleObjects(2, waits_, FALSE, timeout_ms);
            if (woke == WAIT_TIMEOUT) return cancel_timed_out();
            if (woke != WAIT_OBJECT_0) {
                if (woke != WAIT_OBJECT_0 + 1) {
                    LOG_ERROR("pipe_srv_read_pipe_proc(): failed to WaitForMultipleObjects().");
                }
                cancel();
                return io_end::ended;
            }
        }
        return GetOverlappedResult(pipe_, &overlapped_, &bytes_, FALSE) ? io_end::completed
                                                                         : io_end::failed;
    }

    // The operation may still complete while it is being cancelled: then it counts.
    io_end cancel_timed_out() {
        if (cancel()) return io_end::completed;
        if (GetLastError() == ERROR_OPERATION_ABORTED) SetLastError(ERROR_TIMEOUT);
        return io_end::failed;
    }

    // Cancels the pending operation and waits until it has settled; true when
    // it completed after all.
    bool cancel() {
        CancelIo(pipe_);
        return GetOverlappedResult(pipe_, &overlapped_, &bytes_, TRUE) != FALSE;
    }

    HANDLE pipe_;
    HANDLE waits_[2];
    OVERLAPPED overlapped_{};
    DWORD bytes_ = 0;
};

// The connected client's token, taken while the client is still connected;
// null when it could not be read (the job is then refused downstream).
// False only when this thread could not go back to its own identity, after
// which it must not serve anyone any more.
bool take_client_token(HANDLE pipe, owned::unique_handle& token) {
    token.reset();
    if (!ImpersonateNamedPipeClient(pipe)) return true;
    if (!OpenThreadToken(GetCurrentThread(), TOKEN_QUERY | TOKEN_DUPLICATE | TOKEN_IMPERSONATE,
                         TRUE, token.put())) {
        token.reset();
    }
    if (!RevertToSelf()) {
        LOG_ERROR("pipe_srv_read_pipe_proc(): failed to RevertToSelf().");
        return false;
    }
    return true;
}

// Appends the received units, up to the first NUL, to the queue.
void queue_message(pipe_server* server, const wchar_t* units, DWORD bytes,
                   owned::unique_handle client_token) {
    const size_t count = bytes / sizeof(wchar_t);  // an odd last byte is ignored
    const wchar_t* nul = std::char_traits<wchar_t>::find(units, count, L'\0');
    try {
        std::wstring text(units, nul ? static_cast<size_t>(nul - units) : count);
        mutex_hold queue(server->queue_mutex);
        if (!queue.held()) {
            LOG_ERROR("pipe_srv_read_pipe_proc(): failed to WaitForSingleObject().");
            return;
        }
        // The event is already set while the queue holds anything.
        const bool was_empty = server->msg_queue.empty();
        server->msg_queue.push_back(pipe_message{std::move(text), std::move(client_token)});
        if (was_empty) SetEvent(server->queue_event);
    } catch (const std::bad_alloc&) {
        LOG_ERROR_CODE("pipe_srv_read_pipe_proc(): failed to new().", ERROR_NOT_ENOUGH_MEMORY);
    }
}

void serve(pipe_server* server, HANDLE pipe, pipe_listener& listener) {
    wchar_t units[kReceiveBytes / sizeof(wchar_t)];
    for (;;) {
        io_end end = listener.connect();
        if (end == io_end::ended) break;
        if (end == io_end::failed) {
            LOG_ERROR("pipe_srv_read_pipe_proc(): failed to ConnectNamedPipe().");
            listener.disconnect();
            continue;
        }
        DWORD bytes = 0;
        end = listener.read(units, kReceiveBytes, bytes);
        if (end == io_end::ended) break;
        if (end == io_end::failed) {
            LOG_ERROR("pipe_srv_read_pipe_proc(): failed to ReadFile().");
        } else {
            owned::unique_handle client_token;
            if (!take_client_token(pipe, client_token)) break;
            queue_message(server, units, bytes, std::move(client_token));
        }
        listener.disconnect();
    }
    listener.disconnect();
}

}  // namespace

unsigned __stdcall pipe_srv_read_pipe_proc(void* param) {
    auto* server = static_cast<pipe_server*>(param);
    if (!server) {
        LOG_ERROR_CODE("pipe_srv_read_pipe_proc(): invalid input parameter.", ERROR_INVALID_PARAMETER);
        return 0;
    }
    // A present but null DACL: every local user may connect and write.
    SECURITY_DESCRIPTOR descriptor;
    if (!InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) ||
        !SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE)) {
        LOG_ERROR("pipe_srv_read_pipe_proc(): failed to InitializeSecurityDescriptor().");
        return 0;
    }
    SECURITY_ATTRIBUTES attributes{sizeof attributes, &descriptor, TRUE};

    const owned::unique_handle completion(CreateEventW(nullptr, FALSE, TRUE, nullptr));
    if (!completion) {
        LOG_ERROR("pipe_srv_read_pipe_proc(): failed to CreateEvent().");
        return 0;
    }
    const owned::unique_file pipe(CreateNamedPipeW(kJobPipeName, kOpenMode, kPipeMode,
                                                   PIPE_UNLIMITED_INSTANCES, kPipeBufferBytes,
                                                   kPipeBufferBytes, 0, &attributes));
    if (!pipe) {
        LOG_ERROR("pipe_srv_read_pipe_proc(): failed to CreateNamedPipe().");
        return 0;
    }
    pipe_listener listener(pipe.get(), completion.get(), server->stop_event);
    serve(server, pipe.get(), listener);
    return 0;
}
