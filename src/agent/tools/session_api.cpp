#include "agent/tools/session_api.h"

namespace {
session_api_table current = {WTSEnumerateSessionsW, WTSQuerySessionInformationW, WTSFreeMemory,
                             WTSQueryUserToken, WTSGetActiveConsoleSessionId};
}  // namespace

const session_api_table& session_api() { return current; }

session_api_table set_session_api(const session_api_table& table) {
    const session_api_table previous = current;
    current = table;
    return previous;
}
