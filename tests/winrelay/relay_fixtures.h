// Running the window fixtures from tests: the target window program and the
// records that it and the client stand-in write.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace relay_test {

// A running target_window.exe (see tests/fixtures/target_window), ready for
// messages once constructed, and ended with the object.
class target_window {
public:
    target_window(const std::wstring& title, const std::wstring& record_path,
                  unsigned close_after = 0);
    ~target_window();
    target_window(const target_window&) = delete;
    target_window& operator=(const target_window&) = delete;

    // The program's top-level window, or null when it did not come up.
    HWND handle() const { return window_; }
    // True when the program ended by itself within timeout_ms.
    bool wait_for_exit(DWORD timeout_ms);

private:
    HANDLE process_ = nullptr;
    HWND window_ = nullptr;
};

// The lines of a record file (UTF-8, one record a line), empty when it is missing.
std::vector<std::string> read_lines(const std::wstring& path);

// Everything after "text=" in a record line.
std::string record_text(const std::string& line);

// `text` between double quotes, as the runtime splits it back.
std::wstring in_quotes(const std::wstring& text);

// Runs a command line, collecting its standard output with "\r\n" turned into
// "\n"; returns the exit code, or -1 when it could not run within a minute.
int run_captured(const std::wstring& command_line, std::string& output);

// The window of `process_id` whose class the window fixtures register.
HWND find_fixture_window(DWORD process_id);

}  // namespace relay_test
