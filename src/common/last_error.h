// Keeps the thread's last-error value across cleanup that may overwrite it, so
// the caller sees the failure that was logged, not the cleanup's.
#pragma once

#include <windows.h>

namespace owned {

class last_error_keeper {
public:
    last_error_keeper() : code_(GetLastError()) {}
    ~last_error_keeper() { SetLastError(code_); }
    last_error_keeper(const last_error_keeper&) = delete;
    last_error_keeper& operator=(const last_error_keeper&) = delete;

    DWORD code() const { return code_; }

private:
    DWORD code_;
};

}  // namespace owned
