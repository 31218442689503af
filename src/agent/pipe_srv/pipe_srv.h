// The named-pipe job intake: one reader thread, a FIFO queue and a pool of
// eight work threads calling the handler.
#pragma once

#include <windows.h>

#include <deque>
#include <string>
#include <vector>

using pipe_handler = int (*)(const wchar_t* message);

struct pipe_server {
    HANDLE state_mutex;
    std::vector<HANDLE> work_threads;
    HANDLE reader_thread;
    HANDLE stop_event;
    HANDLE queue_mutex;
    HANDLE queue_event;
    std::deque<std::wstring> msg_queue;
    bool stopped;
    pipe_handler handler;
};

pipe_server* pipe_srv_init();
bool pipe_srv_run(pipe_server* server);
void pipe_srv_stop(pipe_server* server);
void pipe_srv_destroy(pipe_server** server);
unsigned __stdcall pipe_srv_read_pipe_proc(void* server);
unsigned __stdcall pipe_srv_work_proc(void* server);

extern const wchar_t kJobPipeName[];  // L"\\\\.\\pipe\\BF036B79738B44a7A7DBAA179773AC5A"
