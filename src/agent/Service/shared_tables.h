// Work threads can outlive the service's stop: the pipe thread is cut off after
// 2000 ms while a job may still run. They reach the printer and session tables
// only through this gate, which the stop sequence closes before it releases them.
#pragma once

#include <windows.h>

// Holds the gate shared for its lifetime; open() tells whether the tables may
// be used. Keep it short-lived: the stop sequence waits for every holder.
class shared_tables_use {
public:
    shared_tables_use();
    ~shared_tables_use();
    shared_tables_use(const shared_tables_use&) = delete;
    shared_tables_use& operator=(const shared_tables_use&) = delete;

    bool open() const;
};

// Closes the gate for good, then closes session_table_mutex and empties the
// session table and the printer table.
void release_shared_tables();
