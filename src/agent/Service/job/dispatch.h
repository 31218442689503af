// What the agent does with one job message.
#pragma once

#include <windows.h>

// client_token: the identity of the client that sent the message (see pipe_handler).
int processing(const wchar_t* message, HANDLE client_token);
