// The one seam over the print spooler, which Wine cannot stand in for in tests:
// production code calls these through `spooler_api()`, which holds the real
// functions; tests install a scripted queue.
#pragma once

#include <windows.h>
#include <winspool.h>

struct spooler_api_table {
    BOOL(WINAPI* open_printer)(LPWSTR name, LPHANDLE printer, LPPRINTER_DEFAULTSW defaults);
    BOOL(WINAPI* enum_jobs)
    (HANDLE printer, DWORD first, DWORD count, DWORD level, LPBYTE jobs, DWORD bytes,
     LPDWORD needed, LPDWORD returned);
    BOOL(WINAPI* set_job)(HANDLE printer, DWORD job_id, DWORD level, LPBYTE job, DWORD command);
    BOOL(WINAPI* close_printer)(HANDLE printer);
};

const spooler_api_table& spooler_api();
spooler_api_table set_spooler_api(const spooler_api_table& table);
