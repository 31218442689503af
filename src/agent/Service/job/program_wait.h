// The wait of a job stage for the program it started.
#pragma once

#include <windows.h>

enum class program_wait { ended, terminating, failed };

// Waits without limit for the program or for the service's terminate event.
// The terminate event comes first, so it wins when both are signalled. On
// `failed` the last-error value holds the wait's reason.
program_wait wait_for_program(HANDLE process);
