// The forwarder's command line: three option/value pairs in any order.
#pragma once

#include <cstddef>
#include <cstdint>

// Each text value keeps at most kTextUnits - 1 units and stays terminated.
constexpr size_t kTextUnits = 1024;

struct relay_request {
    int32_t message_id = 0;
    wchar_t ini_path[kTextUnits] = {};
    wchar_t window_title[kTextUnits] = {};
};

enum class parse_outcome { relay, help, invalid };

// On `invalid` the entry is logged and the last-error value is 87.
parse_outcome parse_command_line(int argc, const wchar_t* const* argv, relay_request& request);

extern const char kHelpText[];
