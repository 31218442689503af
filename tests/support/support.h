// Helpers shared by the test programs: paths beside the test binary, files
// and waiting for them, the diagnostic log file, and running programs.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "support/log_reader.h"

namespace test_support {

// Directory of the running test program (where every built program lies).
std::wstring exe_dir();
// Full path of a program beside the test program.
std::wstring beside_exe(const std::wstring& file_name);

std::string read_file(const std::wstring& path);
// The file's bytes from `offset` on: a cheap look at what a growing file got.
std::string read_file_from(const std::wstring& path, unsigned long long offset);
bool write_file(const std::wstring& path, const std::string& bytes);

// The diagnostic log lives at c:\tmp\log; these make sure c:\tmp exists.
extern const wchar_t* const kLogPath;
void ensure_log_dir();
void clear_log();
std::string read_log();
bool file_exists(const std::wstring& path);
// True once holds(contents of path) is true, false after timeout_ms; woken by
// every change in the file's folder, so there is no fixed pause.
bool wait_for_file(const std::wstring& path, const std::function<bool(const std::string&)>& holds,
                   DWORD timeout_ms = 30000);
// True once the file holds text.
bool wait_for_text(const std::wstring& path, const std::string& text, DWORD timeout_ms = 30000);

// CreateProcessW for a command line. Under load Wine's process start now and
// then fails with its internal error (1359) before the program exists; such a
// start is made again, up to three times in all. False with the last error.
bool start_process(const std::wstring& command_line, bool inherit_handles, STARTUPINFOW& startup,
                   PROCESS_INFORMATION& started);

// Runs a command line and returns its exit code, or -1 when it could not be
// started or did not end within timeout_ms (it is then terminated).
int run_process(const std::wstring& command_line, DWORD timeout_ms = 60000);

// Runs body(0..count-1) on count threads at once and waits for all of them
// (the win32 thread model of the toolchain has no std::thread).
void run_threads(int count, const std::function<void(int)>& body);

// A seeded test's seed: the value of the environment variable when it is set
// (to replay a run), else `fallback`. The test prints it.
unsigned seed_from_environment(const wchar_t* variable, unsigned fallback);

std::wstring to_wide(const std::string& text);
std::string to_narrow(const std::wstring& text);

// Removes a directory with everything below it.
void remove_tree(const std::wstring& dir);
// Ends every process whose program lies below `folder` (programs that jobs
// started and left running).
void end_programs_under(const std::wstring& folder);

// A unique scratch directory under c:\tmp for one test, removed with its files.
class scratch_dir {
public:
    explicit scratch_dir(const std::wstring& name);
    ~scratch_dir();
    const std::wstring& path() const { return path_; }
    std::wstring file(const std::wstring& name) const { return path_ + L"\\" + name; }

private:
    std::wstring path_;
};

}  // namespace test_support
