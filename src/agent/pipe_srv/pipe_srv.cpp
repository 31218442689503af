#define LOG_MODULE "..\\src\\pipe_srv"
#include "diag/log.h"

#include "pipe_srv/pipe_srv.h"

#include <process.h>

#include <atomic>
#include <cerrno>
#include <new>

#include "pipe_srv/mutex_hold.h"

namespace {

constexpr size_t kPoolSize = 8;
// What stop grants the threads before it cuts them off.
constexpr DWORD kStopWaitMs = 5000;

std::atomic<pipe_handler> g_default_handler{nullptr};

using thread_proc = unsigned(__stdcall*)(void*);

// Starts a thread with the runtime library; on failure returns nothing and
// leaves the runtime's error number in crt_error.
HANDLE start_thread(thread_proc proc, pipe_server* server, int& crt_error) {
    const uintptr_t thread = _beginthreadex(nullptr, 0, proc, server, 0, nullptr);
    crt_error = thread == 0 ? errno : 0;
    return reinterpret_cast<HANDLE>(thread);
}

void close_handle(HANDLE& handle) {
    if (handle) CloseHandle(handle);
    handle = nullptr;
}

// Cuts off whatever thread is still running and drops every thread handle,
// so that no thread outlives the record.
void end_threads(pipe_server* server) {
    auto end = [](HANDLE& thread) {
        if (thread && WaitForSingleObject(thread, 0) != WAIT_OBJECT_0) TerminateThread(thread, 0);
        close_handle(thread);
    };
    end(server->reader_thread);
    for (HANDLE& thread : server->work_threads) end(thread);
    server->work_threads.clear();
}

// Releases the record with everything it owns, keeping the caller's last-error value.
void release_record(pipe_server* server) {
    const DWORD code = GetLastError();
    end_threads(server);
    close_handle(server->queue_mutex);
    close_handle(server->queue_event);
    close_handle(server->stop_event);
    close_handle(server->state_mutex);
    delete server;
    SetLastError(code);
}

bool create_sync_objects(pipe_server* server) {
    server->state_mutex = CreateMutexW(nullptr, FALSE, nullptr);
    if (!server->state_mutex) {
        LOG_ERROR("pipe_srv_init(): failed to CreateMutex().");
        return false;
    }
    server->stopped = true;
    server->queue_mutex = CreateMutexW(nullptr, FALSE, nullptr);
    if (!server->queue_mutex) {
        LOG_ERROR("pipe_srv_init(): failed to CreateMutex().");
        return false;
    }
    server->queue_event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!server->queue_event) {
        LOG_ERROR("pipe_srv_init(): failed to CreateEvent().");
        return false;
    }
    // Before the pool: a worker looks at it after its first idle wait.
    server->stop_event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!server->stop_event) {
        LOG_ERROR("pipe_srv_init(): failed to CreateEvent().");
        return false;
    }
    return true;
}

bool start_pool(pipe_server* server) {
    try {
        // Reserved up front so that recording a started thread can never throw.
        server->work_threads.reserve(kPoolSize);
    } catch (const std::bad_alloc&) {
        LOG_ERROR_CODE("pipe_srv_init(): failed to new().", ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    for (size_t i = 0; i < kPoolSize; ++i) {
        int crt_error = 0;
        const HANDLE thread = start_thread(pipe_srv_work_proc, server, crt_error);
        if (!thread) {
            LOG_ERROR_CODE("pipe_srv_init(): failed to _beginthreadex().", crt_error);
            continue;
        }
        server->work_threads.push_back(thread);
    }
    if (server->work_threads.empty()) {
        LOG_ERROR_CODE("pipe_srv_init(): failed to create pool of work threads.",
                       ERROR_UNIDENTIFIED_ERROR);
        return false;
    }
    return true;
}

// Waits for the reader and the pool to end by themselves, within the stop's grace time.
void wait_threads(pipe_server* server) {
    HANDLE threads[1 + kPoolSize];
    DWORD count = 0;
    if (server->reader_thread) threads[count++] = server->reader_thread;
    for (HANDLE thread : server->work_threads) threads[count++] = thread;
    if (count == 0) return;
    const DWORD ended = WaitForMultipleObjects(count, threads, TRUE, kStopWaitMs);
    if (ended >= WAIT_OBJECT_0 + count && ended != WAIT_TIMEOUT) {
        LOG_ERROR("pipe_srv_stop(): failed to WaitForMultipleObjects().");
    }
}

// Takes the oldest message into `into`; called holding queue_mutex, which it releases.
bool take_message(pipe_server* server, pipe_message& into) {
    const bool took = !server->msg_queue.empty();
    if (took) {
        into.text.swap(server->msg_queue.front().text);
        into.client_token = std::move(server->msg_queue.front().client_token);
        server->msg_queue.pop_front();
    }
    if (server->msg_queue.empty()) ResetEvent(server->queue_event);
    ReleaseMutex(server->queue_mutex);
    return took;
}

}  // namespace

void pipe_srv_set_default_handler(pipe_handler handler) { g_default_handler = handler; }

pipe_server* pipe_srv_init() {
    pipe_server* server = new (std::nothrow) pipe_server{};
    if (!server) {
        LOG_ERROR_CODE("pipe_srv_init(): failed to new().", ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    if (!create_sync_objects(server) || !start_pool(server)) {
        release_record(server);
        return nullptr;
    }
    return server;
}

bool pipe_srv_run(pipe_server* server) {
    if (!server) {
        LOG_ERROR_CODE("pipe_srv_run(): invalid input parameter.", ERROR_INVALID_PARAMETER);
        return false;
    }
    if (!server->stopped) return true;
    const pipe_handler handler = g_default_handler;
    if (!handler) {
        LOG_ERROR_CODE("pipe_srv_run(): invalid input parameter.", ERROR_INVALID_PARAMETER);
        return false;
    }

    mutex_hold state(server->state_mutex);
    if (!state.held()) {
        LOG_ERROR("pipe_srv_run(): failed to WaitForSingleObject().");
        return false;
    }
    server->handler = handler;
    int crt_error = 0;
    server->reader_thread = start_thread(pipe_srv_read_pipe_proc, server, crt_error);
    if (!server->reader_thread) {
        LOG_ERROR_CODE("pipe_srv_run(): failed to _beginthreadex().", crt_error);
        return false;
    }
    server->stopped = false;
    return true;
}

void pipe_srv_stop(pipe_server* server) {
    if (!server) {
        LOG_ERROR_CODE("pipe_srv_stop(): invalid input parameter.", ERROR_INVALID_PARAMETER);
        return;
    }
    if (server->stopped) return;

    mutex_hold state(server->state_mutex);
    if (!state.held()) {
        LOG_ERROR("pipe_srv_stop(): failed to WaitForSingleObject().");
        return;
    }
    if (!SetEvent(server->stop_event)) {
        LOG_ERROR("pipe_srv_stop(): failed to SetEvent().");
        return;
    }
    wait_threads(server);
    end_threads(server);
    server->stopped = true;
}

void pipe_srv_destroy(pipe_server** server) {
    if (!server || !*server) return;
    {
        mutex_hold state((*server)->state_mutex);
        if (!state.held()) {
            LOG_ERROR("pipe_srv_destroy(): failed to WaitForSingleObject().");
            return;
        }
        end_threads(*server);
    }
    release_record(*server);
    *server = nullptr;
}

unsigned __stdcall pipe_srv_work_proc(void* param) {
    auto* server = static_cast<pipe_server*>(param);
    if (!server) {
        LOG_ERROR_CODE("pipe_srv_work_proc(): invalid input parameter.", ERROR_INVALID_PARAMETER);
        return 0;
    }
    pipe_message message;  // this thread's own copy, reused for every job
    // The stop comes first: it ends an idle worker at once, and once it is set
    // no queued message is taken any more. Left to a time-out, an idle pool kept
    // the stop going for up to the 2000 ms that the service grants the pipe
    // thread before cutting it off, possibly inside the heap.
    const HANDLE wake[2] = {server->stop_event, server->queue_event};
    for (;;) {
        const DWORD woke = WaitForMultipleObjects(2, wake, FALSE, INFINITE);
        if (woke == WAIT_OBJECT_0) break;
        if (woke != WAIT_OBJECT_0 + 1) {
            LOG_ERROR("pipe_srv_work_proc(): failed to WaitForMultipleObjects().");
            break;
        }
        // Held only to append or take one message.
        const DWORD owned = WaitForSingleObject(server->queue_mutex, INFINITE);
        if (owned != WAIT_OBJECT_0) {
            if (owned == WAIT_ABANDONED) {
                // The wait handed us the mutex: give it back rather than abandon it again.
                ReleaseMutex(server->queue_mutex);
                SetLastError(ERROR_ABANDONED_WAIT_0);
            }
            LOG_ERROR("pipe_srv_work_proc(): failed to WaitForMultipleObjects().");
            break;
        }
        if (take_message(server, message) && server->handler) {
            server->handler(message.text.c_str(), message.client_token.get());
        }
        message.client_token.reset();
    }
    return 0;
}
