// Handing a parsed request to its window, and the exit code that says how it went.
#pragma once

#include <windows.h>

#include <cstdint>

#include "winrelay/command_line.h"

// Sends the ini path and message id to the window titled as asked, then raises
// it. Returns kRelayDelivered, kRelayNoWindow, or the reason FindWindowW failed.
uint32_t deliver(const relay_request& request);
