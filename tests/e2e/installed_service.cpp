#include "e2e/installed_service.h"

namespace e2e {
namespace {

const wchar_t kName[] = L"Agent";

void remove_service(SC_HANDLE manager) {
    SC_HANDLE old = OpenServiceW(manager, kName, SERVICE_ALL_ACCESS);
    if (!old) return;
    SERVICE_STATUS status{};
    ControlService(old, SERVICE_CONTROL_STOP, &status);
    for (int i = 0; i < 100 && QueryServiceStatus(old, &status) &&
                    status.dwCurrentState != SERVICE_STOPPED;
         ++i) {
        Sleep(100);
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
    return service_ && ControlService(service_, SERVICE_CONTROL_STOP, &status);
}

SERVICE_STATUS installed_service::status() const {
    SERVICE_STATUS status{};
    if (service_) QueryServiceStatus(service_, &status);
    return status;
}

bool installed_service::wait_for(DWORD state, DWORD timeout_ms) const {
    const ULONGLONG deadline = GetTickCount64() + timeout_ms;
    while (status().dwCurrentState != state) {
        if (GetTickCount64() >= deadline) return false;
        Sleep(50);  // the service manager offers nothing to wait on here
    }
    return true;
}

}  // namespace e2e
