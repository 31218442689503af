// Work threads can outlive the service's stop: it waits 2000 ms for the pipe
// thread while a job may still run. They reach the printer and session tables
// only through this gate, which the stop sequence closes before it releases them.
#pragma once

#include <windows.h>

// Holds the gate for its lifetime; open() tells whether the tables may be used.
// Keep it short-lived: the stop sequence waits for every holder.
class shared_tables_use {
public:
    shared_tables_use();
    ~shared_tables_use();
    shared_tables_use(const shared_tables_use&) = delete;
    shared_tables_use& operator=(const shared_tables_use&) = delete;

    bool open() const { return open_; }

private:
    const bool open_;
};

// Opens the gate for a state being built (service_state.h).
void open_shared_tables();

// Closes the gate, waits at most wait_ms for the holders to leave and
// then closes session_table_mutex and empties the session table and the
// printer table. Holders still inside after wait_ms keep the tables, which are
// then left to the process exit: the result is false.
bool release_shared_tables(DWORD wait_ms = INFINITE);
