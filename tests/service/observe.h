// Watching what other processes leave behind: waiting for a file's contents
// without a fixed pause (woken by every change in its folder, up to a time
// limit), and finding entries in the diagnostic log.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

namespace test_support {

// True once holds(contents of path) is true, false after timeout_ms.
bool wait_for_file(const std::wstring& path, const std::function<bool(const std::string&)>& holds,
                   DWORD timeout_ms = 30000);
// True once the file holds text.
bool wait_for_text(const std::wstring& path, const std::string& text, DWORD timeout_ms = 30000);

// An error entry with this message and code, or a message line of any entry.
bool has_error(const std::string& log, const std::string& message, int code);
bool has_message(const std::string& log, const std::string& message);

}  // namespace test_support
