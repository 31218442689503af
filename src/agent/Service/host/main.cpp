// agent.exe: hands the main thread to the service control manager. Started any
// other way the dispatcher call fails at once and the program just ends.
#include <windows.h>
#include <winsvc.h>

#include "agent/Service/host/service.h"

int wmain() {
    SERVICE_TABLE_ENTRYW services[] = {
        {const_cast<wchar_t*>(kServiceName), service_main},
        {nullptr, nullptr},
    };
    StartServiceCtrlDispatcherW(services);
    return 0;
}
