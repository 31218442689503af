// The service's seven manual-reset events; index 0 is the terminate event,
// the one shutdown signal that every job stage waits on first.
#pragma once

#include <windows.h>

constexpr int kServiceEventCount = 7;
extern HANDLE service_events[kServiceEventCount];

inline HANDLE terminate_event() { return service_events[0]; }
