#include "host/installed_service.h"

#include <cstdio>

#include "common/last_error.h"

namespace e2e {
namespace {

const wchar_t kName[] = L"Agent";

SERVICE_STATUS_PROCESS process_of(SC_HANDLE service) {
    SERVICE_STATUS_PROCESS process{};
    DWORD needed = 0;
    if (!QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&process),
                              sizeof process, &needed)) {
        process = SERVICE_STATUS_PROCESS{};
    }
    return process;
}

void remove_service(SC_HANDLE manager) {
    SC_HANDLE old = OpenServiceW(manager, kName, SERVICE_ALL_ACCESS);
    if (!old) return;
    SERVICE_STATUS status{};
    ControlService(old, SERVICE_CONTROL_STOP, &status);
    for (int i = 0;
         i < 100 && QueryServiceStatus(old, &status) && status.dwCurrentState != SERVICE_STOPPED;
         ++i) {
        Sleep(100);
    }
    // A service that does not stop would keep its name marked for deletion and
    // fail every later test: end its process so the name is free again.
    const SERVICE_STATUS_PROCESS process = process_of(old);
    if (process.dwCurrentState != SERVICE_STOPPED && process.dwProcessId != 0) {
        std::fprintf(stderr, "installed_service: Agent did not stop (state %lu); ending pid %lu\n",
                     process.dwCurrentState, process.dwProcessId);
        HANDLE h = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, process.dwProcessId);
        if (h) {
            TerminateProcess(h, 1);
            WaitForSingleObject(h, 10000);
            CloseHandle(h);
        }
    }
    DeleteService(old);
    CloseServiceHandle(old);
}

}  // namespace

installed_service::installed_service(const std::wstring& binary) {
    manager_ = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (!manager_) return;
    remove_service(manager_);  // left over by an aborted run
    const std::wstring command = L"\"" + binary + L"\"";
    service_ = CreateServiceW(manager_, kName, kName, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                              SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, command.c_str(), nullptr,
                              nullptr, nullptr, nullptr, nullptr);
}

installed_service::~installed_service() {
    if (service_) CloseServiceHandle(service_);
    if (manager_) {
        remove_service(manager_);
        CloseServiceHandle(manager_);
    }
}

bool installed_service::start() { return service_ && StartServiceW(service_, 0, nullptr); }

bool installed_service::stop() {
    SERVICE_STATUS status{};
    if (service_ && ControlService(service_, SERVICE_CONTROL_STOP, &status)) return true;
    const owned::last_error_keeper refusal;  // for the caller
    // Wine calls the handler on a thread of its own and sends its reply after
    // the handler returns; the stopped report lets the process end first at
    // times, and the call then fails with a broken pipe although the stop went
    // through. The caller's checks of the stop apply to it as to any other.
    if (refusal.code() == ERROR_BROKEN_PIPE && wait_for(SERVICE_STOPPED, 15000)) {
        std::fprintf(stderr, "installed_service: the stop's reply was lost; the service stopped\n");
        return true;
    }
    std::fprintf(stderr, "installed_service: stop refused, error %lu, state %lu\n", refusal.code(),
                 status.dwCurrentState);
    return false;
}

SERVICE_STATUS installed_service::status() const {
    SERVICE_STATUS status{};
    if (service_) QueryServiceStatus(service_, &status);
    return status;
}

DWORD installed_service::pid() const { return service_ ? process_of(service_).dwProcessId : 0; }

bool installed_service::wait_for(DWORD state, DWORD timeout_ms) const {
    const ULONGLONG deadline = GetTickCount64() + timeout_ms;
    while (status().dwCurrentState != state) {
        if (GetTickCount64() >= deadline) return false;
        Sleep(50);  // the service manager offers nothing to wait on here
    }
    return true;
}

}  // namespace e2e
