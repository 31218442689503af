// Holds a mutex for one scope once the wait for it has succeeded.
#pragma once

#include <windows.h>

class mutex_hold {
public:
    explicit mutex_hold(HANDLE mutex) : mutex_(mutex) {
        const DWORD got = WaitForSingleObject(mutex, INFINITE);
        // An abandoned mutex is still ours: its owner was cut off, the data is intact.
        held_ = got == WAIT_OBJECT_0 || got == WAIT_ABANDONED;
    }
    ~mutex_hold() {
        if (!held_) return;
        // A failure logged inside the scope keeps its code for the caller.
        const DWORD code = GetLastError();
        ReleaseMutex(mutex_);
        SetLastError(code);
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
