// The real agent.exe installed as the service "Agent" in the test prefix, and
// removed again (stopped first) when the object dies. Needs the prefix's
// wineserver to outlive every single program (the harness keeps one running).
#pragma once

#include <windows.h>
#include <winsvc.h>

#include <string>

namespace e2e {

class installed_service {
public:
    explicit installed_service(const std::wstring& binary);
    ~installed_service();
    installed_service(const installed_service&) = delete;
    installed_service& operator=(const installed_service&) = delete;

    bool installed() const { return service_ != nullptr; }
    bool start();
    // Asks for a stop; true too when Wine lost the reply of a stop that went
    // through, else false with the service manager's error as the last-error
    // value.
    bool stop();
    SERVICE_STATUS status() const;
    // The service process, 0 while there is none.
    DWORD pid() const;
    // Waits until the service reports `state`; false after timeout_ms.
    bool wait_for(DWORD state, DWORD timeout_ms = 30000) const;

private:
    SC_HANDLE manager_ = nullptr;
    SC_HANDLE service_ = nullptr;
};

}  // namespace e2e
