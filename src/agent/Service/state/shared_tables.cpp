#define LOG_MODULE "..\\src\\Service"
#include "diag/log.h"

#include "agent/Service/state/shared_tables.h"

#include <atomic>

#include "agent/Service/state/printer_table.h"
#include "agent/Service/state/session_table.h"
#include "common/owned.h"

namespace {

// A count and a flag rather than a lock: the stop must be able to give up on
// a holder, which may sit in registry reads and a 5000 ms table wait.
std::atomic<long> holders{0};
std::atomic<bool> closed{false};
// Created before `closed` is set; the last holder to leave after that sets it.
// Kept while a late holder may still set it after the stop gave up.
std::atomic<HANDLE> drained{nullptr};

bool enter() {
    holders.fetch_add(1);
    return !closed.load();
}

void leave() {
    if (holders.fetch_sub(1) == 1 && closed.load()) SetEvent(drained.load());
}

// Closes the gate; true once nobody who came in before is still inside.
bool close_gate(DWORD wait_ms) {
    const HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!event) LOG_ERROR("service_handle(): failed to CreateEvent().");
    drained = event;
    closed = true;
    if (holders.load() == 0) return true;
    return event && WaitForSingleObject(event, wait_ms) == WAIT_OBJECT_0;
}

}  // namespace

shared_tables_use::shared_tables_use() : open_(enter()) {}

shared_tables_use::~shared_tables_use() { leave(); }

void open_shared_tables() {
    closed = false;
    // A holder left behind by an earlier release may still set the old event.
    owned::unique_handle old(drained.exchange(nullptr));
    if (holders.load() != 0) old.release();
}

bool release_shared_tables(DWORD wait_ms) {
    if (closed.load() || !close_gate(wait_ms)) return false;
    owned::close_slot(session_table_mutex);
    session_table.clear();
    printer_table.clear();
    return true;
}
