#include "agent/Service/state_scope.h"

namespace service_tests {

state_scope::state_scope(const std::vector<std::wstring>& printer_values)
    : config_(HKEY_LOCAL_MACHINE, L"Software\\Tavirel\\SrvCfg") {
    config_.set_dword(L"count", static_cast<DWORD>(printer_values.size()));
    for (size_t i = 0; i < printer_values.size(); ++i) {
        config_.set_string((L"printer" + std::to_wstring(i + 1)).c_str(), printer_values[i]);
    }
    built_ = build_service_state();
}

// Also after an early release: the next scope finds no event of this one.
state_scope::~state_scope() { release_service_state(INFINITE, terminate_event_after::closed); }

bool state_scope::release(DWORD wait_ms, terminate_event_after terminate) {
    return release_service_state(wait_ms, terminate);
}

}  // namespace service_tests
