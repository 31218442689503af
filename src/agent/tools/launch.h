// Starting a program in a user's session (or, for the self session, hidden in
// the service's own context).
#pragma once

#include <windows.h>

#include <cstdint>

// The input-idle wait and the pause that replaces it never last longer than
// this, whatever idle_timeout asks for (a per-user setting can ask for ever).
constexpr uint32_t kMaxIdleWaitMs = 60000;

struct launch_options {
    uint8_t hide_window;
    uint8_t wait_for_idle;
    uint32_t idle_timeout;  // ms, at most kMaxIdleWaitMs; read only with wait_for_idle
    // When set (the service's terminate event), ends the pause at once.
    HANDLE pause_end = nullptr;
};

// On true the caller owns *process and closes it. The platform takes the
// program from the start of the command line.
bool exec_user_app(uint32_t session_id, wchar_t* command_line, HANDLE* process,
                   const launch_options& options);

// Same, with the program's full path as the application name: the platform
// then starts that very file and hands the command line over unchanged.
bool exec_user_app(uint32_t session_id, const wchar_t* application, wchar_t* command_line,
                   HANDLE* process, const launch_options& options);

// One of the printer's own programs, install_dir\program. Started by its full
// path, so that no file planted on a blank of the path ("C:\Tools\TIF.exe"
// for "C:\Tools\TIF Printer\progress.exe") runs instead. On the program's
// command line a path without blanks stands bare, as always; one with a blank
// stands in quotes, so that the program's argument split still finds the
// arguments behind it.
class installed_program {
public:
    static constexpr size_t kPathUnits = 1024;

    // False (ERROR_INSUFFICIENT_BUFFER) when the path does not fit.
    bool locate(const wchar_t* install_dir, const wchar_t* program);
    const wchar_t* path() const { return path_; }
    const wchar_t* command_name() const { return command_name_; }

private:
    wchar_t path_[kPathUnits] = {};
    wchar_t command_name_[kPathUnits + 2] = {};
};
