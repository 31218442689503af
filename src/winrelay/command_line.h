// The forwarder's command line: three option/value pairs in any order.
#pragma once

#include <cstdint>

#include "common/contracts.h"

// Each text value keeps at most kRelayTextUnits - 1 units and stays terminated.
struct relay_request {
    int32_t message_id = 0;
    wchar_t ini_path[contracts::kRelayTextUnits] = {};
    wchar_t window_title[contracts::kRelayTextUnits] = {};
};

enum class parse_outcome { relay, help, invalid };

// On `invalid` the entry is logged and the last-error value is 87.
parse_outcome parse_command_line(int argc, const wchar_t* const* argv, relay_request& request);

extern const char kHelpText[];
