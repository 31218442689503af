#define LOG_MODULE "..\\src\\pipe_srv"
#include "diag/log.h"

#include "agent/pipe_srv/pipe_srv.h"

#include <process.h>

#include <atomic>
#include <cerrno>
#include <new>

#include "common/last_error.h"
#include "common/lock.h"
#include "common/owned.h"
#include "agent/pipe_srv/pipe_reader.h"

namespace {

constexpr size_t kPoolSize = 8;
// What stop and destroy grant the threads before they cut them off.
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

void close_handle(HANDLE& handle) { owned::close_slot(handle); }

bool has_threads(const pipe_server* server) {
    return server->reader_thread || !server->work_threads.empty();
}

// Asks every thread to end: no message is taken any more, idle workers and the
// reader end at once. False, with the flag cleared again, when the event
// can't be set: the server then keeps running.
bool request_stop(pipe_server* server) {
    server->stopping = true;
    if (SetEvent(server->stop_event)) return true;
    server->stopping = false;
    return false;
}

// Waits for the reader and the pool to end by themselves, within the stop's
// grace time; failed_wait is logged when the wait itself fails.
void wait_threads(pipe_server* server, const char* failed_wait) {
    HANDLE threads[1 + kPoolSize];
    DWORD count = 0;
    if (server->reader_thread) threads[count++] = server->reader_thread;
    for (HANDLE thread : server->work_threads) threads[count++] = thread;
    if (count == 0) return;
    const DWORD ended = WaitForMultipleObjects(count, threads, TRUE, kStopWaitMs);
    if (ended >= WAIT_OBJECT_0 + count && ended != WAIT_TIMEOUT) LOG_ERROR(failed_wait);
}

// Cuts off whatever thread is still running and drops every thread handle,
// so that no thread outlives the record.
void terminate_threads(pipe_server* server) {
    auto end = [](HANDLE& thread) {
        if (thread && WaitForSingleObject(thread, 0) != WAIT_OBJECT_0) TerminateThread(thread, 0);
        close_handle(thread);
    };
    end(server->reader_thread);
    for (HANDLE& thread : server->work_threads) end(thread);
    server->work_threads.clear();
}

// Closes the listening instance (the name is free again), keeping the last-error value.
void close_listener(pipe_server* server) {
    const owned::last_error_keeper keep;
    close_handle(server->listen_pipe);
    close_handle(server->listen_event);
}

// Releases the record with everything it owns, keeping the caller's last-error value.
void release_record(pipe_server* server) {
    const owned::last_error_keeper keep;
    terminate_threads(server);
    close_listener(server);
    close_handle(server->queue_semaphore);
    close_handle(server->stop_event);
    close_handle(server->state_mutex);
    delete server;
}

bool create_sync_objects(pipe_server* server) {
    server->state_mutex = CreateMutexW(nullptr, FALSE, nullptr);
    if (!server->state_mutex) {
        LOG_ERROR("pipe_srv_init(): failed to CreateMutex().");
        return false;
    }
    server->stopped = true;
    InitializeSRWLock(&server->queue_mutex);
    server->queue_semaphore = CreateSemaphoreW(nullptr, 0, LONG_MAX, nullptr);
    if (!server->queue_semaphore) {
        LOG_ERROR("pipe_srv_init(): failed to CreateSemaphore().");
        return false;
    }
    // Before the pool: a worker waits on it from its start.
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
        LOG_ERROR_CODE(ERROR_NOT_ENOUGH_MEMORY, "pipe_srv_init(): failed to new().");
        return false;
    }
    for (size_t i = 0; i < kPoolSize; ++i) {
        int crt_error = 0;
        const HANDLE thread = start_thread(pipe_srv_work_proc, server, crt_error);
        if (!thread) {
            LOG_ERROR_CODE(crt_error, "pipe_srv_init(): failed to _beginthreadex().");
            continue;
        }
        server->work_threads.push_back(thread);
    }
    if (server->work_threads.empty()) {
        LOG_ERROR_CODE(ERROR_UNIDENTIFIED_ERROR,
                       "pipe_srv_init(): failed to create pool of work threads.");
        return false;
    }
    return true;
}

enum class take { message, nothing, stop };

// Takes the oldest message into `into` unless the stop has begun.
take take_message(pipe_server* server, pipe_message& into) {
    owned::exclusive_hold queue(server->queue_mutex);
    if (server->stopping) return take::stop;
    if (server->msg_queue.empty()) return take::nothing;
    into.text.swap(server->msg_queue.front().text);
    into.client_token = std::move(server->msg_queue.front().client_token);
    server->msg_queue.pop_front();
    return take::message;
}

}  // namespace

void pipe_srv_set_default_handler(pipe_handler handler) { g_default_handler = handler; }

pipe_server* pipe_srv_init() {
    pipe_server* server = new (std::nothrow) pipe_server{};
    if (!server) {
        LOG_ERROR_CODE(ERROR_NOT_ENOUGH_MEMORY, "pipe_srv_init(): failed to new().");
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
        LOG_ERROR_CODE(ERROR_INVALID_PARAMETER, "pipe_srv_run(): invalid input parameter.");
        return false;
    }
    if (!server->stopped) return true;
    const pipe_handler handler = g_default_handler;
    if (!handler) {
        LOG_ERROR_CODE(ERROR_INVALID_PARAMETER, "pipe_srv_run(): invalid input parameter.");
        return false;
    }

    owned::mutex_hold state(server->state_mutex);
    if (!state.held()) {
        LOG_ERROR("pipe_srv_run(): failed to WaitForSingleObject().");
        return false;
    }
    server->handler = handler;
    if (!pipe_srv_create_pipe(server)) {
        close_listener(server);
        return false;
    }
    int crt_error = 0;
    server->reader_thread = start_thread(pipe_srv_read_pipe_proc, server, crt_error);
    if (!server->reader_thread) {
        LOG_ERROR_CODE(crt_error, "pipe_srv_run(): failed to _beginthreadex().");
        close_listener(server);
        return false;
    }
    server->stopped = false;
    return true;
}

void pipe_srv_stop(pipe_server* server) {
    if (!server) {
        LOG_ERROR_CODE(ERROR_INVALID_PARAMETER, "pipe_srv_stop(): invalid input parameter.");
        return;
    }
    if (server->stopped) return;

    owned::mutex_hold state(server->state_mutex);
    if (!state.held()) {
        LOG_ERROR("pipe_srv_stop(): failed to WaitForSingleObject().");
        return;
    }
    if (!request_stop(server)) {
        LOG_ERROR("pipe_srv_stop(): failed to SetEvent().");
        return;
    }
    wait_threads(server, "pipe_srv_stop(): failed to WaitForMultipleObjects().");
    terminate_threads(server);
    close_listener(server);
    server->stopped = true;
}

void pipe_srv_destroy(pipe_server** server) {
    if (!server || !*server) return;
    pipe_server* record = *server;
    {
        owned::mutex_hold state(record->state_mutex);
        if (!state.held()) {
            LOG_ERROR("pipe_srv_destroy(): failed to WaitForSingleObject().");
            return;
        }
        // Threads are left after a failed or a missing run: they are asked to
        // end first, as a worker may still be starting (inside the loader lock
        // or the heap), where cutting it off would hang the process.
        if (has_threads(record)) {
            if (request_stop(record)) {
                wait_threads(record, "pipe_srv_destroy(): failed to WaitForMultipleObjects().");
            } else {
                LOG_ERROR("pipe_srv_destroy(): failed to SetEvent().");
            }
        }
    }
    release_record(record);
    *server = nullptr;
}

unsigned __stdcall pipe_srv_work_proc(void* param) {
    auto* server = static_cast<pipe_server*>(param);
    if (!server) {
        LOG_ERROR_CODE(ERROR_INVALID_PARAMETER, "pipe_srv_work_proc(): invalid input parameter.");
        return 0;
    }
    pipe_message message;  // this thread's own copy, reused for every job
    // The stop comes first: it ends an idle worker at once. Each queued message
    // wakes one worker only, through its count in the semaphore.
    const HANDLE wake[2] = {server->stop_event, server->queue_semaphore};
    for (;;) {
        const DWORD woke = WaitForMultipleObjects(2, wake, FALSE, INFINITE);
        if (woke == WAIT_OBJECT_0) break;
        if (woke != WAIT_OBJECT_0 + 1) {
            LOG_ERROR("pipe_srv_work_proc(): failed to WaitForMultipleObjects().");
            break;
        }
        const take took = take_message(server, message);
        if (took == take::stop) break;
        if (took == take::message && server->handler) {
            server->handler(message.text.c_str(), message.client_token.get());
        }
        message.client_token.reset();
    }
    return 0;
}
