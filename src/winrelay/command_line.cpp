#define LOG_MODULE "..\\src\\winrelay"
#include "diag/log.h"

#include "winrelay/command_line.h"

#include <cstddef>
#include <cwchar>

const char kHelpText[] =
    "--help\n  display this help and exit\n"
    "-id msg_id\n  message ID\n"
    "-ini ini_file\n  path to ini file\n"
    "-wt window_title\n  target window title\n";

namespace {

constexpr int kArgumentCount = 7;  // program name and three pairs

static_assert(sizeof(long) == sizeof(int32_t), "wcstol must clamp to the 32-bit limits");

// Longer values are cut; the rest of the buffer stays zero.
void copy_text(wchar_t (&target)[contracts::kRelayTextUnits], const wchar_t* value) {
    constexpr size_t units = contracts::kRelayTextUnits;
    size_t n = 0;
    for (; n < units - 1 && value[n] != L'\0'; ++n) target[n] = value[n];
    for (; n < units; ++n) target[n] = L'\0';
}

// Stores the value of a recognised option; false for anything else.
bool store_option(const wchar_t* option, const wchar_t* value, relay_request& request) {
    if (std::wcscmp(option, L"-id") == 0) {
        request.message_id = static_cast<int32_t>(std::wcstol(value, nullptr, 10));
    } else if (std::wcscmp(option, L"-ini") == 0) {
        copy_text(request.ini_path, value);
    } else if (std::wcscmp(option, L"-wt") == 0) {
        copy_text(request.window_title, value);
    } else {
        return false;
    }
    return true;
}

}  // namespace

parse_outcome parse_command_line(int argc, const wchar_t* const* argv, relay_request& request) {
    if (argc != kArgumentCount) {
        LOG_ERROR_CODE(ERROR_INVALID_PARAMETER, "main(): invalid input parameters.");
        return parse_outcome::invalid;
    }
    // Only positions 1, 3 and 5 are options, so a value is never taken for one.
    for (int at = 1; at < kArgumentCount; at += 2) {
        if (store_option(argv[at], argv[at + 1], request)) continue;
        if (std::wcscmp(argv[at], L"--help") == 0) return parse_outcome::help;
        LOG_ERROR_CODE(ERROR_INVALID_PARAMETER, "main(): invalid input parameters.");
        return parse_outcome::invalid;
    }
    return parse_outcome::relay;
}
