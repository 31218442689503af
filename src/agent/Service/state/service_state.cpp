#define LOG_MODULE "..\\src\\Service"
#include "diag/log.h"

#include "agent/Service/state/service_state.h"

#include "agent/Service/state/printer_table.h"
#include "agent/Service/state/session_table.h"
#include "agent/Service/state/shared_tables.h"
#include "common/owned.h"

namespace {

HANDLE service_events[kServiceEventCount] = {};

bool create_service_events() {
    for (HANDLE& event : service_events) {
        owned::close_slot(event);
        event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (!event) return false;
    }
    return true;
}

}  // namespace

bool build_service_state() {
    open_shared_tables();
    if (!create_service_events()) {
        LOG_ERROR("service_main(): failed to CreateEvent().");
        return false;
    }
    if (!read_srvregcfg()) {
        LOG_ERROR("service_main(): failed to read_srvregcfg().");
        return false;
    }
    owned::close_slot(session_table_mutex);
    session_table_mutex = CreateMutexW(nullptr, FALSE, nullptr);
    if (!session_table_mutex) {
        LOG_ERROR("service_main(): failed to CreateMutex().");
        return false;
    }
    session_table.clear();
    fill_session_table();
    return true;
}

bool release_service_state(DWORD wait_ms, terminate_event_after terminate) {
    for (int i = 1; i < kServiceEventCount; ++i) owned::close_slot(service_events[i]);
    if (terminate == terminate_event_after::closed) owned::close_slot(service_events[0]);
    return release_shared_tables(wait_ms);
}

HANDLE service_event(int index) {
    return index >= 0 && index < kServiceEventCount ? service_events[index] : nullptr;
}
