// The service's process-wide state for one test, built from scripted inputs
// and released again by the service's own routines, so that no test creates,
// writes or closes a part of it by hand and none depends on what ran before:
//
//     fake_sessions::scripted_sessions sessions({{1, WTSActive, L"alice"}});
//     service_tests::state_scope state({L"P1;TavirelServiceTest"});
//
// The printer values go to the machine-wide printer configuration (a scratch
// key, so none may be written by the test meanwhile); the session table is
// filled from whatever session script is in place when the scope is built.
#pragma once

#include <string>
#include <vector>

#include "agent/Service/state/printer_table.h"
#include "agent/Service/state/service_state.h"
#include "agent/Service/state/session_table.h"
#include "fakes/scratch_key.h"

namespace service_tests {

class state_scope {
public:
    // printer_values: "printer;settings key name", as the configuration holds them.
    explicit state_scope(const std::vector<std::wstring>& printer_values = {});
    // Releases what is still built; no thread of the test may use the state then.
    ~state_scope();
    state_scope(const state_scope&) = delete;
    state_scope& operator=(const state_scope&) = delete;

    bool built() const { return built_; }
    // The release a stop makes, early; with `closed` a test's stages find no
    // terminate event to wait on.
    bool release(DWORD wait_ms = INFINITE,
                 terminate_event_after terminate = terminate_event_after::kept);

    // The tables as the service built them, for tests that put entries in
    // and look at them.
    printer_table_map& printers() { return printer_table; }
    session_table_map& sessions() { return session_table; }
    HANDLE session_mutex() const { return session_table_mutex; }

private:
    test_support::scratch_key config_;
    bool built_ = false;
};

}  // namespace service_tests
