#include "install_checks.h"

#include <gtest/gtest.h>

#include <vector>

#include "common/owned.h"
#include "support/support.h"

namespace install_checks {
namespace {

using test_support::file_exists;

struct sc_traits {
    using type = SC_HANDLE;
    static type invalid() { return nullptr; }
    static void close(type h) { CloseServiceHandle(h); }
};
using unique_sc = owned::unique_any<sc_traits>;

}  // namespace

service_view query_agent_service() {
    service_view view;
    unique_sc manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) return view;
    unique_sc service(
        OpenServiceW(manager.get(), L"Agent", SERVICE_QUERY_STATUS | SERVICE_QUERY_CONFIG));
    if (!service) return view;
    view.installed = true;
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    if (QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO,
                             reinterpret_cast<BYTE*>(&status), sizeof status, &needed)) {
        view.state = status.dwCurrentState;
        owned::unique_handle process(
            OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, status.dwProcessId));
        wchar_t image[MAX_PATH] = {};
        DWORD length = ARRAYSIZE(image);
        if (process && QueryFullProcessImageNameW(process.get(), 0, image, &length)) {
            view.running_image = image;
        }
    }
    std::vector<BYTE> buffer(8192);
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    if (QueryServiceConfigW(service.get(), config, static_cast<DWORD>(buffer.size()), &needed)) {
        view.start_type = config->dwStartType;
        view.account = config->lpServiceStartName ? config->lpServiceStartName : L"";
        view.binary = config->lpBinaryPathName ? config->lpBinaryPathName : L"";
    }
    return view;
}

void send_job_and_expect_cleanup(const std::wstring& jobsend, const std::wstring& printer,
                                 const std::wstring& jobs_dir) {
    ASSERT_TRUE(CreateDirectoryW(jobs_dir.c_str(), nullptr));
    ASSERT_EQ(0, test_support::run_process(L"\"" + jobsend + L"\" --printer \"" + printer +
                                           L"\" --user tester --make-job \"" + jobs_dir + L"\""));
    const std::wstring spool = jobs_dir + L"\\job1.emf";
    ASSERT_TRUE(file_exists(jobs_dir + L"\\job1.ini"));
    for (int i = 0; i < 300 && file_exists(spool); ++i) Sleep(100);
    EXPECT_FALSE(file_exists(spool)) << "the agent did not finish the job";
    EXPECT_TRUE(file_exists(jobs_dir + L"\\job1.ini")) << "the job ini file is never deleted";
}

}  // namespace install_checks
