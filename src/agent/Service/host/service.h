// The service host of "Agent": start-up, the pipe server's thread, the control
// handler and the three status reports.
#pragma once

#include <windows.h>
#include <winsvc.h>

extern const wchar_t kServiceName[];  // L"Agent"

void WINAPI service_main(DWORD argc, LPWSTR* argv);
DWORD WINAPI driver_serv_proc(LPVOID parameter);
DWORD WINAPI service_handle(DWORD control, DWORD event_type, LPVOID event_data, LPVOID context);

// The reports fill every field of a status and send it; the service's status
// record takes it only once it was sent, so it always holds the status last
// reported.
// Reports from different threads never interleave. The stopped report's exit
// code is 0 for a normal stop and the Win32 error of the failure after a
// failed start. Stop pending is reported by the stop request itself.
bool report_running();
bool report_stopped(DWORD win32_exit_code);
// Sends the status last reported again.
bool report_current();
SERVICE_STATUS last_reported_status();
