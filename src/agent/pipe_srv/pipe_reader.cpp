#define LOG_MODULE "..\\src\\pipe_srv"
#include "diag/log.h"

#include <new>
#include <string>

#include "common/owned.h"
#include "common/lock.h"
#include "agent/pipe_srv/pipe_reader.h"
#include "agent/pipe_srv/pipe_srv.h"

namespace {

constexpr DWORD kReceiveBytes = 8192;
constexpr DWORD kPipeBufferBytes = 4096;
// A client that connects and stays silent gives the instance back after this.
constexpr DWORD kSilentClientMs = 5000;
// The first instance or none: a process that holds the name already makes the
// start fail instead of sharing the name and receiving jobs.
constexpr DWORD kOpenMode =
    PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE;
// Jobs name files that the LocalSystem service deletes later: local clients only.
constexpr DWORD kPipeMode =
    PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS;
// The server serves one instance; none can be added, whatever the caller's rights.
constexpr DWORD kMaxInstances = 1;

// The pipe's security, in fixed storage: network logons get nothing,
// LocalSystem and Administrators full control, and any other local user just
// enough to write one message (no FILE_CREATE_PIPE_INSTANCE).
class pipe_security {
public:
    pipe_security() = default;
    pipe_security(const pipe_security&) = delete;
    pipe_security& operator=(const pipe_security&) = delete;

    // False, logged, when the descriptor can't be built.
    bool build() {
        ACL* acl = reinterpret_cast<ACL*>(acl_);
        if (!InitializeAcl(acl, sizeof acl_, ACL_REVISION)) {
            LOG_ERROR("pipe_srv_read_pipe_proc(): failed to InitializeAcl().");
            return false;
        }
        for (const entry& e : kEntries) {
            if (!add(acl, e)) return false;
        }
        if (!InitializeSecurityDescriptor(&descriptor_, SECURITY_DESCRIPTOR_REVISION) ||
            !SetSecurityDescriptorDacl(&descriptor_, TRUE, acl, FALSE)) {
            LOG_ERROR("pipe_srv_read_pipe_proc(): failed to InitializeSecurityDescriptor().");
            return false;
        }
        // Not inherited: no program that a job starts gets the server's end.
        attributes_ = SECURITY_ATTRIBUTES{sizeof attributes_, &descriptor_, FALSE};
        return true;
    }

    SECURITY_ATTRIBUTES* attributes() { return &attributes_; }

private:
    struct entry {
        bool allow;
        WELL_KNOWN_SID_TYPE who;
        DWORD access;
    };
    // A deny comes first to take effect.
    static constexpr entry kEntries[] = {
        {false, WinNetworkSid, FILE_ALL_ACCESS},
        {true, WinLocalSystemSid, FILE_ALL_ACCESS},
        {true, WinBuiltinAdministratorsSid, FILE_ALL_ACCESS},
        {true, WinAuthenticatedUserSid, contracts::kJobPipeClientAccess},
    };
    static constexpr size_t kEntryCount = sizeof kEntries / sizeof kEntries[0];
    static constexpr size_t kAclBytes =
        sizeof(ACL) +
        kEntryCount * (sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD) + SECURITY_MAX_SID_SIZE);

    static bool add(ACL* acl, const entry& e) {
        DWORD sid[SECURITY_MAX_SID_SIZE / sizeof(DWORD)];
        DWORD sid_bytes = sizeof sid;
        if (!CreateWellKnownSid(e.who, nullptr, sid, &sid_bytes)) {
            LOG_ERROR("pipe_srv_read_pipe_proc(): failed to CreateWellKnownSid().");
            return false;
        }
        const BOOL added = e.allow ? AddAccessAllowedAce(acl, ACL_REVISION, e.access, sid)
                                   : AddAccessDeniedAce(acl, ACL_REVISION, e.access, sid);
        if (!added) {
            LOG_ERROR(e.allow ? "pipe_srv_read_pipe_proc(): failed to AddAccessAllowedAce()."
                              : "pipe_srv_read_pipe_proc(): failed to AddAccessDeniedAce().");
        }
        return added != FALSE;
    }

    DWORD acl_[(kAclBytes + sizeof(DWORD) - 1) / sizeof(DWORD)];  // an ACL is DWORD-aligned
    SECURITY_DESCRIPTOR descriptor_;
    SECURITY_ATTRIBUTES attributes_;
};

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

    // Listens for the next client; while_listening runs once the listen is
    // under way, before any wait.
    template <typename Work>
    io_end connect(Work&& while_listening) {
        restart();
        const BOOL started = ConnectNamedPipe(pipe_, &overlapped_);
        {
            const owned::last_error_keeper keep;
            while_listening();
        }
        // A client that came before the listen is connected already; one that
        // also went again left its message readable (or nothing, which the read reports).
        if (!started &&
            (GetLastError() == ERROR_PIPE_CONNECTED || GetLastError() == ERROR_NO_DATA)) {
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
        {
            owned::exclusive_hold queue(server->queue_mutex);
            server->msg_queue.push_back(pipe_message{std::move(text), std::move(client_token)});
        }
        // Each queued message holds one count, which wakes one worker; given
        // with the lock free, so that the worker need not wait for it.
        if (!ReleaseSemaphore(server->queue_semaphore, 1, nullptr)) {
            LOG_ERROR("pipe_srv_read_pipe_proc(): failed to ReleaseSemaphore().");
            // No worker takes more messages than there are counts, so the
            // message is still the last one: it is dropped.
            owned::exclusive_hold queue(server->queue_mutex);
            server->msg_queue.pop_back();
        }
    } catch (const std::bad_alloc&) {
        LOG_ERROR_CODE(ERROR_NOT_ENOUGH_MEMORY, "pipe_srv_read_pipe_proc(): failed to new().");
    }
}

void serve(pipe_server* server, HANDLE pipe, pipe_listener& listener) {
    wchar_t units[kReceiveBytes / sizeof(wchar_t)];
    // The message just read is queued once the next listen is under way, so
    // that the next client does not wait for the queue.
    bool held = false;
    DWORD held_bytes = 0;
    owned::unique_handle held_token;
    const auto queue_held = [&] {
        if (!held) return;
        held = false;
        queue_message(server, units, held_bytes, std::move(held_token));
    };
    for (;;) {
        io_end end = listener.connect(queue_held);
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
            if (!take_client_token(pipe, held_token)) break;
            held = true;
            held_bytes = bytes;
        }
        listener.disconnect();
    }
    queue_held();
    listener.disconnect();
}

}  // namespace

bool pipe_srv_create_pipe(pipe_server* server) {
    // The reader's own set-up, done before it starts so that the start can
    // fail; its entries keep the reader's name.
    pipe_security security;
    if (!security.build()) return false;
    server->listen_event = CreateEventW(nullptr, FALSE, TRUE, nullptr);
    if (!server->listen_event) {
        LOG_ERROR("pipe_srv_read_pipe_proc(): failed to CreateEvent().");
        return false;
    }
    const HANDLE pipe =
        CreateNamedPipeW(contracts::kJobPipeName, kOpenMode, kPipeMode, kMaxInstances,
                         kPipeBufferBytes, kPipeBufferBytes, 0, security.attributes());
    if (pipe == INVALID_HANDLE_VALUE) {
        LOG_ERROR("pipe_srv_read_pipe_proc(): failed to CreateNamedPipe().");
        return false;
    }
    server->listen_pipe = pipe;
    // Where the first-instance flag is not honoured (Wine), an instance of a
    // name held elsewhere is refused here as the flag would refuse it.
    DWORD instances = 0;
    if (!GetNamedPipeHandleStateW(pipe, nullptr, &instances, nullptr, nullptr, nullptr, 0)) {
        LOG_ERROR("pipe_srv_read_pipe_proc(): failed to GetNamedPipeHandleState().");
        return false;
    }
    if (instances != 1) {
        LOG_ERROR_CODE(ERROR_ACCESS_DENIED,
                       "pipe_srv_read_pipe_proc(): failed to CreateNamedPipe().");
        return false;
    }
    return true;
}

unsigned __stdcall pipe_srv_read_pipe_proc(void* param) {
    auto* server = static_cast<pipe_server*>(param);
    if (!server || !server->listen_pipe) {
        LOG_ERROR_CODE(ERROR_INVALID_PARAMETER,
                       "pipe_srv_read_pipe_proc(): invalid input parameter.");
        return 0;
    }
    pipe_listener listener(server->listen_pipe, server->listen_event, server->stop_event);
    serve(server, server->listen_pipe, listener);
    return 0;
}
