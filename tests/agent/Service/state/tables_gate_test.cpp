// The gate in front of the printer and session tables: the stop closes it and
// releases the tables, but never waits longer than it is told for a work
// thread still inside.
#include <gtest/gtest.h>

#include "agent/Service/state/service_state.h"
#include "agent/Service/state/shared_tables.h"
#include "agent/Service/state_scope.h"
#include "common/owned.h"
#include "fakes/fake_sessions.h"

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

// The service's state with alice in session 1 and the printer Office.
class TablesGate : public ::testing::Test {
protected:
    fake_sessions::scripted_sessions sessions_{{{1, WTSActive, L"alice"}}};
    service_tests::state_scope state_{{L"Office;OfficeKey"}};
};

TEST_F(TablesGate, AHolderThatStaysKeepsTheTablesButCannotHoldUpTheRelease) {
    ASSERT_TRUE(state_.built());
    const HANDLE lock = state_.session_mutex();

    holder inside;
    ASSERT_TRUE(inside.saw_open());
    const ULONGLONG before = GetTickCount64();
    EXPECT_FALSE(state_.release(300));
    // Bounded by the wait it was given, not by the holder (which stays for ever).
    EXPECT_LT(GetTickCount64() - before, 5000u);

    // What the holder may still be using stays as it was.
    EXPECT_EQ(lock, state_.session_mutex());
    EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(lock, 0));
    ReleaseMutex(lock);
    EXPECT_EQ(1u, state_.sessions().size());
    EXPECT_STREQ(L"OfficeKey", find_printer_settings_key(L"Office"));

    // The gate is closed all the same: nobody new gets in.
    {
        const shared_tables_use late;
        EXPECT_FALSE(late.open());
    }
    inside.leave();
    // A second release does nothing.
    EXPECT_FALSE(state_.release(0));
    EXPECT_EQ(lock, state_.session_mutex());
}

// 0 when the tables were still there all the time it was inside the gate.
DWORD WINAPI hold_tables_a_while(void* inside) {
    const shared_tables_use tables;
    SetEvent(static_cast<HANDLE>(inside));
    Sleep(300);
    const bool intact = tables.open() && find_printer_settings_key(L"Office") != nullptr;
    return intact ? 0 : 1;
}

// The stop releases the tables once the work threads inside them have left,
// waiting no longer than it is told.
TEST_F(TablesGate, ReleaseWaitsForAHolderThatLeavesInTime) {
    ASSERT_TRUE(state_.built());
    const owned::unique_handle inside(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    const owned::unique_handle holder(
        CreateThread(nullptr, 0, hold_tables_a_while, inside.get(), 0, nullptr));
    ASSERT_TRUE(holder);
    ASSERT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(inside.get(), 10000));
    EXPECT_TRUE(state_.release(20000));
    ASSERT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(holder.get(), 10000));
    DWORD holder_saw = 2;
    GetExitCodeThread(holder.get(), &holder_saw);
    EXPECT_EQ(0u, holder_saw);
    EXPECT_EQ(nullptr, state_.session_mutex());
    EXPECT_TRUE(state_.sessions().empty());
    EXPECT_TRUE(state_.printers().empty());
}

// Built again after a release, the state is whole and the gate open: a test
// or a service start never inherits an earlier stop.
TEST_F(TablesGate, ABuildAfterAReleaseStartsAfresh) {
    ASSERT_TRUE(state_.release());
    const HANDLE old_terminate = terminate_event();
    SetEvent(old_terminate);
    ASSERT_TRUE(build_service_state());
    EXPECT_NE(nullptr, state_.session_mutex());
    EXPECT_EQ(1u, state_.sessions().count(L"alice"));
    EXPECT_STREQ(L"OfficeKey", find_printer_settings_key(L"Office"));
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(terminate_event(), 0));
    const shared_tables_use tables;
    EXPECT_TRUE(tables.open());
}

}  // namespace
