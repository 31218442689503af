#include "Service/shared_tables.h"

#include "Service/printer_table.h"
#include "Service/session_table.h"

namespace {
SRWLOCK gate = SRWLOCK_INIT;
bool tables_open = true;  // written only under the exclusive gate
}  // namespace

shared_tables_use::shared_tables_use() { AcquireSRWLockShared(&gate); }

shared_tables_use::~shared_tables_use() { ReleaseSRWLockShared(&gate); }

bool shared_tables_use::open() const { return tables_open; }

void release_shared_tables() {
    AcquireSRWLockExclusive(&gate);
    tables_open = false;
    if (session_table_mutex) {
        CloseHandle(session_table_mutex);
        session_table_mutex = nullptr;
    }
    session_table.clear();
    printer_table.clear();
    ReleaseSRWLockExclusive(&gate);
}
