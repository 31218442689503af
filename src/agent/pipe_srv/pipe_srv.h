// The named-pipe job intake: one reader thread, a FIFO queue and a pool of
// eight work threads calling the handler.
#pragma once

#include <windows.h>

#include <atomic>
#include <deque>
#include <string>
#include <vector>

#include "common/contracts.h"
#include "common/owned.h"

// client_token: the sending client's token as the reader took it before it
// disconnected the client (query, duplicate and impersonate access), or null
// when it could not be read. The server owns it; a handler that keeps it
// duplicates it.
using pipe_handler = int (*)(const wchar_t* message, HANDLE client_token);

// One queued job message with the identity of the client that sent it.
struct pipe_message {
    std::wstring text;
    owned::unique_handle client_token;
};

struct pipe_server {
    HANDLE state_mutex;
    std::vector<HANDLE> work_threads;
    HANDLE reader_thread;
    HANDLE stop_event;
    // Guards msg_queue and `stopping`, held only to append or take one
    // message; a slim lock, as the reader and each worker take it per message.
    SRWLOCK queue_mutex;
    // Counts the queued messages: each one wakes exactly one idle worker.
    HANDLE queue_semaphore;
    std::deque<pipe_message> msg_queue;
    bool stopped;
    pipe_handler handler;
    // Set just before stop_event; read under queue_mutex, so that no worker
    // takes a message once the stop has begun.
    std::atomic<bool> stopping{false};
    // The one listening instance and its completion event, created by
    // pipe_srv_run (so that a start fails when the pipe can't be had) and
    // closed once the reader has ended.
    HANDLE listen_pipe;
    HANDLE listen_event;
};

// The routine that pipe_srv_run installs as `handler`. The service registers its
// job dispatch here at start-up, so this module never links the job pipeline;
// tests register their own. pipe_srv_run fails while none is registered.
void pipe_srv_set_default_handler(pipe_handler handler);

pipe_server* pipe_srv_init();
bool pipe_srv_run(pipe_server* server);
void pipe_srv_stop(pipe_server* server);
void pipe_srv_destroy(pipe_server** server);
unsigned __stdcall pipe_srv_read_pipe_proc(void* server);
unsigned __stdcall pipe_srv_work_proc(void* server);
