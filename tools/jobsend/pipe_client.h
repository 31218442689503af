// Client side of the job pipe: one connection, one message, one write.
#pragma once

#include <windows.h>

#include <string>

#include "common/owned.h"

namespace job_pipe {

enum class send_result { sent, no_pipe, timed_out, failed };

// Opens the job pipe for writing. While the one instance is busy it waits for
// it (WaitNamedPipe) and tries again, for at most timeout_ms in all. On
// failure the last-error value holds the reason.
send_result open(DWORD timeout_ms, owned::unique_file& pipe);

// Opens the pipe and writes the bytes as one message.
send_result send(const void* bytes, DWORD size, DWORD timeout_ms);

// The text as UTF-16LE units, without a terminator.
send_result send_text(const std::wstring& text, DWORD timeout_ms);

// Waits until a server has created the pipe, for at most timeout_ms; a server
// creates it just after it starts.
bool wait_for_pipe(DWORD timeout_ms);

}  // namespace job_pipe
