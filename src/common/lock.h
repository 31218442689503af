// Lock scopes: each releases what it took on every path.
#pragma once

#include <windows.h>

#include "common/last_error.h"

namespace owned {

// Holds a mutex for one scope once the wait for it has succeeded within
// timeout_ms. Policy for an abandoned mutex: it is held like any other. Its
// owner was cut off, and the data it guards stays consistent because every
// writer completes its change before it can be cut off (no partial updates).
class mutex_hold {
public:
    explicit mutex_hold(HANDLE mutex, DWORD timeout_ms = INFINITE) : mutex_(mutex) {
        const DWORD got = WaitForSingleObject(mutex, timeout_ms);
        held_ = got == WAIT_OBJECT_0 || got == WAIT_ABANDONED;
        if (got == WAIT_TIMEOUT) SetLastError(ERROR_TIMEOUT);
    }
    ~mutex_hold() {
        if (!held_) return;
        // A failure logged inside the scope keeps its code for the caller.
        const last_error_keeper keep;
        ReleaseMutex(mutex_);
    }
    mutex_hold(const mutex_hold&) = delete;
    mutex_hold& operator=(const mutex_hold&) = delete;

    bool held() const { return held_; }

private:
    HANDLE mutex_;
    bool held_;
};

// Holds a slim lock exclusively for one scope; it can neither fail nor be abandoned.
class exclusive_hold {
public:
    explicit exclusive_hold(SRWLOCK& lock) : lock_(lock) { AcquireSRWLockExclusive(&lock_); }
    ~exclusive_hold() { ReleaseSRWLockExclusive(&lock_); }
    exclusive_hold(const exclusive_hold&) = delete;
    exclusive_hold& operator=(const exclusive_hold&) = delete;

private:
    SRWLOCK& lock_;
};

// Holds a slim lock shared for one scope.
class shared_hold {
public:
    explicit shared_hold(SRWLOCK& lock) : lock_(lock) { AcquireSRWLockShared(&lock_); }
    ~shared_hold() { ReleaseSRWLockShared(&lock_); }
    shared_hold(const shared_hold&) = delete;
    shared_hold& operator=(const shared_hold&) = delete;

private:
    SRWLOCK& lock_;
};

}  // namespace owned
