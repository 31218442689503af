// The service's process-wide state: its seven manual-reset events, the
// printer table, and the session table with its mutex, behind the tables'
// gate (shared_tables.h). It has one owner: build_service_state() makes it
// and release_service_state() frees it; nothing else creates or closes a part.
#pragma once

#include <windows.h>

constexpr int kServiceEventCount = 7;

// Events, printer table, the session table's mutex, then the session table;
// false after the failing step was logged. What was built stays until the
// release. A build after a release starts from nothing.
bool build_service_state();

// Whether a thread may still wait on the terminate event once the state is
// released. The stop cannot know: a work thread outlives it. A caller that
// has seen every thread end may close it.
enum class terminate_event_after { kept, closed };

// Closes the control events, then closes the tables' gate, waits at most
// wait_ms for its holders and frees the tables; false when holders were still
// inside, which then keep the tables until the process exits.
bool release_service_state(DWORD wait_ms, terminate_event_after terminate);

// Index 0 is the terminate event, the one shutdown signal that every job
// stage waits on first; 1 to 6 are set by the user controls 128 to 133. Null
// while the state is not built.
HANDLE service_event(int index);
inline HANDLE terminate_event() { return service_event(0); }
