// winrelay -id ID -wt TITLE -ini PATH: sends PATH and ID to the top-level window
// titled TITLE in a WM_COPYDATA message, then brings that window forward.
// Exit codes: 0 sent, 1 help shown, 2 no such window, 87 bad command line,
// any other code 3 or more is the reason FindWindowW failed.
#include <windows.h>

#include <cstdio>

#include "winrelay/command_line.h"
#include "winrelay/delivery.h"

int wmain(int argc, wchar_t** argv) {
    relay_request request;
    switch (parse_command_line(argc, argv, request)) {
        case parse_outcome::help:
            std::printf("%s\n", kHelpText);
            return static_cast<int>(contracts::kRelayHelpShown);
        case parse_outcome::invalid: {
            const DWORD error = GetLastError();
            std::printf("%s", kHelpText);
            return static_cast<int>(contracts::relay_failure_code(error));
        }
        case parse_outcome::relay:
            break;
    }
    return static_cast<int>(deliver(request));
}
