// The gate in front of the printer and session tables: the stop closes it and
// releases the tables, but never waits longer than it is told for a work
// thread still inside. A program of its own: the gate closes for good.
#include <gtest/gtest.h>

#include "agent/Service/printer_table.h"
#include "agent/Service/session_table.h"
#include "agent/Service/shared_tables.h"
#include "common/owned.h"

namespace {

// Holds the gate on a thread of its own until told to leave.
class holder {
public:
    holder()
        : inside_(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
          leave_(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
          thread_(CreateThread(nullptr, 0, &holder::run, this, 0, nullptr)) {
        WaitForSingleObject(inside_.get(), 10000);
    }
    ~holder() { leave(); }
    bool saw_open() const { return saw_open_; }
    void leave() {
        SetEvent(leave_.get());
        if (thread_) WaitForSingleObject(thread_.get(), 10000);
        thread_.reset();
    }

private:
    static DWORD WINAPI run(void* self) {
        auto* h = static_cast<holder*>(self);
        const shared_tables_use tables;
        h->saw_open_ = tables.open();
        SetEvent(h->inside_.get());
        WaitForSingleObject(h->leave_.get(), INFINITE);
        return 0;
    }

    owned::unique_handle inside_;
    owned::unique_handle leave_;
    bool saw_open_ = false;
    owned::unique_handle thread_;
};

TEST(TablesGate, AHolderThatStaysKeepsTheTablesButCannotHoldUpTheRelease) {
    session_table_mutex = CreateMutexW(nullptr, FALSE, nullptr);
    const HANDLE lock = session_table_mutex;
    session_table[L"alice"] = 1;
    printer_table[L"Office"] = L"OfficeKey";

    holder inside;
    ASSERT_TRUE(inside.saw_open());
    const ULONGLONG before = GetTickCount64();
    EXPECT_FALSE(release_shared_tables(300));
    // Bounded by the wait it was given, not by the holder (which stays for ever).
    EXPECT_LT(GetTickCount64() - before, 5000u);

    // What the holder may still be using stays as it was.
    EXPECT_EQ(lock, session_table_mutex);
    EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(lock, 0));
    ReleaseMutex(lock);
    EXPECT_EQ(1u, session_table.size());
    EXPECT_STREQ(L"OfficeKey", find_printer_settings_key(L"Office"));

    // The gate is closed all the same: nobody new gets in.
    {
        const shared_tables_use late;
        EXPECT_FALSE(late.open());
    }
    inside.leave();
    // Closed for good: a second release does nothing.
    EXPECT_FALSE(release_shared_tables(0));
    EXPECT_EQ(lock, session_table_mutex);
}

}  // namespace
