// The release zip, unpacked beside the build tree by the packaging_unpack
// fixture: its binaries carry the package version, and its scripts install,
// carry a job through jobsend, uninstall and install again under Wine.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/owned.h"
#include "install_checks.h"
#include "support/support.h"

namespace {

using install_checks::query_agent_service;
using install_checks::service_view;
using test_support::exe_dir;
using test_support::file_exists;
using test_support::read_file;
using test_support::run_process;
using test_support::scratch_dir;

const wchar_t kConfigKey[] = L"Software\\Tavirel\\SrvCfg";
const wchar_t kPrinter[] = L"Pkg Test Printer";
const wchar_t kSettingsName[] = L"Tavirel\\PkgTest";
const wchar_t kSettingsKey[] = L"Software\\Tavirel\\PkgTest";
const wchar_t* const kPrograms[] = {L"agent.exe", L"winrelay.exe", L"uiplug.dll", L"jobsend.exe"};

std::wstring package_dir() {
    wchar_t full[MAX_PATH] = {};
    GetFullPathNameW((exe_dir() + L"\\..\\package-test\\package").c_str(), MAX_PATH, full, nullptr);
    return full;
}

struct run_result {
    int exit_code;
    std::string output;
};

// Runs a command line through cmd.exe and returns its exit code with stdout and
// stderr. Each run writes a new file: Wine may hold the last one open a while.
run_result run_captured(const std::wstring& command_line, const scratch_dir& scratch) {
    static int runs = 0;
    const std::wstring output_file = scratch.file(L"run" + std::to_wstring(++runs) + L".out");
    const int code = run_process(
        L"cmd.exe /s /c \"" + command_line + L" > \"" + output_file + L"\" 2>&1\"", 180000);
    return {code, read_file(output_file)};
}

bool read_dword(const wchar_t* key, const wchar_t* name, DWORD& value) {
    DWORD size = sizeof value;
    return RegGetValueW(HKEY_LOCAL_MACHINE, key, name, RRF_RT_REG_DWORD, nullptr, &value, &size) ==
           ERROR_SUCCESS;
}

bool read_string(const wchar_t* key, const wchar_t* name, std::wstring& value) {
    wchar_t buffer[2048] = {};
    DWORD size = sizeof buffer;
    if (RegGetValueW(HKEY_LOCAL_MACHINE, key, name, RRF_RT_REG_SZ, nullptr, buffer, &size) !=
        ERROR_SUCCESS) {
        return false;
    }
    value = buffer;
    return true;
}

bool write_value(const wchar_t* key, const wchar_t* name, DWORD type, const void* data,
                 DWORD size) {
    owned::unique_hkey hkey;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, key, 0, nullptr, 0, KEY_SET_VALUE, nullptr, hkey.put(),
                        nullptr) != ERROR_SUCCESS) {
        return false;
    }
    return RegSetValueExW(hkey.get(), name, 0, type, static_cast<const BYTE*>(data), size) ==
           ERROR_SUCCESS;
}

bool write_dword(const wchar_t* key, const wchar_t* name, DWORD value) {
    return write_value(key, name, REG_DWORD, &value, sizeof value);
}

bool write_string(const wchar_t* key, const wchar_t* name, const std::wstring& value) {
    return write_value(key, name, REG_SZ, value.c_str(),
                       static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

bool key_exists(const wchar_t* key) {
    owned::unique_hkey hkey;
    return RegOpenKeyExW(HKEY_LOCAL_MACHINE, key, 0, KEY_READ, hkey.put()) == ERROR_SUCCESS;
}

// Each test starts and ends without the service, the installation and the
// configuration, so that it sees only what the scripts did.
class ReleasePackage : public ::testing::Test {
protected:
    ReleasePackage() : scratch_(L"packaging") {}

    void SetUp() override {
        ASSERT_TRUE(file_exists(package_dir() + L"\\install.cmd")) << "no unpacked package";
        remove_everything();
    }
    void TearDown() override { remove_everything(); }

    run_result script(const std::wstring& name, const std::wstring& arguments) {
        return run_captured(L"\"" + package_dir() + L"\\" + name + L"\" " + arguments, scratch_);
    }
    run_result install(const std::wstring& extra = L"") {
        return script(L"install.cmd", L"/dir \"" + install_dir() + L"\" /printer \"" + kPrinter +
                                          L"\" /key \"" + kSettingsName + L"\"" + extra);
    }
    run_result uninstall(const std::wstring& extra = L"") {
        return script(L"uninstall.cmd", L"/dir \"" + install_dir() + L"\"" + extra);
    }

    // Blanks and parentheses, as in "Program Files (x86)", test the scripts' quoting.
    std::wstring install_dir() const { return scratch_.file(L"Corvix TIF (test)"); }

    void send_job_and_expect_cleanup(const std::wstring& job_name) {
        install_checks::send_job_and_expect_cleanup(install_dir() + L"\\jobsend.exe", kPrinter,
                                                    scratch_.file(job_name));
    }

    void remove_everything() {
        uninstall(L" /removeconfig");
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, kSettingsKey);
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, kConfigKey);
    }

    scratch_dir scratch_;
};

TEST_F(ReleasePackage, EveryBinaryCarriesThePackageVersion) {
    for (const wchar_t* program : kPrograms) {
        const std::wstring path = package_dir() + L"\\" + program;
        SCOPED_TRACE(test_support::to_narrow(program));
        DWORD ignored = 0;
        const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
        ASSERT_NE(0u, size) << "no version resource";
        std::vector<BYTE> data(size);
        ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, size, data.data()));
        VS_FIXEDFILEINFO* fixed = nullptr;
        UINT length = 0;
        ASSERT_TRUE(VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
        EXPECT_EQ(PACKAGE_VERSION_MAJOR, HIWORD(fixed->dwFileVersionMS));
        EXPECT_EQ(PACKAGE_VERSION_MINOR, LOWORD(fixed->dwFileVersionMS));
        EXPECT_EQ(PACKAGE_VERSION_PATCH, HIWORD(fixed->dwFileVersionLS));
        EXPECT_EQ(fixed->dwFileVersionMS, fixed->dwProductVersionMS);
    }
}

TEST_F(ReleasePackage, InstallJobUninstallInstallAgain) {
    const run_result first = install();
    ASSERT_EQ(0, first.exit_code) << first.output;
    EXPECT_NE(std::string::npos, first.output.find("Installation finished.")) << first.output;

    for (const wchar_t* program : kPrograms) {
        EXPECT_TRUE(file_exists(install_dir() + L"\\" + program));
    }
    EXPECT_TRUE(file_exists(install_dir() + L"\\uninstall.cmd"));
    service_view service = query_agent_service();
    ASSERT_TRUE(service.installed);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), service.state);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_AUTO_START), service.start_type);
    EXPECT_NE(std::wstring::npos, service.binary.find(install_dir() + L"\\agent.exe"));

    DWORD count = 0;
    std::wstring printer1;
    EXPECT_TRUE(read_dword(kConfigKey, L"count", count));
    EXPECT_EQ(1u, count);
    EXPECT_TRUE(read_string(kConfigKey, L"printer1", printer1));
    EXPECT_EQ(std::wstring(kPrinter) + L";" + kSettingsName, printer1);
    std::wstring directory;
    EXPECT_TRUE(read_string(kSettingsKey, L"Installation Directory", directory));
    EXPECT_EQ(install_dir(), directory);

    // Wine has no user sessions: the job's user, unknown to the service, is
    // served in the service's own context.
    ASSERT_TRUE(write_dword(kSettingsKey, L"Allow domain session", 1));
    ASSERT_TRUE(write_dword(kSettingsKey, L"Allow self session", 1));
    send_job_and_expect_cleanup(L"jobs1");

    // The installed copy, without /dir, finds the directory through the
    // service and removes itself too. (Wine keeps a running script open, so
    // the emptied directory itself may stay here.)
    const run_result removed = run_captured(L"\"" + install_dir() + L"\\uninstall.cmd\"", scratch_);
    ASSERT_EQ(0, removed.exit_code) << removed.output;
    EXPECT_FALSE(query_agent_service().installed);
    for (const wchar_t* program : kPrograms) {
        EXPECT_FALSE(file_exists(install_dir() + L"\\" + program));
    }
    EXPECT_FALSE(file_exists(install_dir() + L"\\uninstall.cmd"));
    EXPECT_TRUE(read_dword(kConfigKey, L"count", count)) << "the configuration is kept";
    const run_result removed_again = uninstall();
    EXPECT_EQ(0, removed_again.exit_code) << removed_again.output;

    const run_result second = install();
    ASSERT_EQ(0, second.exit_code) << second.output;
    service = query_agent_service();
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), service.state);
    DWORD self_allowed = 0;
    EXPECT_TRUE(read_dword(kSettingsKey, L"Allow self session", self_allowed));
    EXPECT_EQ(1u, self_allowed) << "an existing setting was overwritten";
    send_job_and_expect_cleanup(L"jobs2");

    // Installing over a running installation is an upgrade in place.
    const run_result upgrade = install();
    ASSERT_EQ(0, upgrade.exit_code) << upgrade.output;
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), query_agent_service().state);

    const run_result purge = uninstall(L" /removeconfig");
    ASSERT_EQ(0, purge.exit_code) << purge.output;
    EXPECT_FALSE(file_exists(install_dir())) << "the installation directory stays behind";
    EXPECT_FALSE(key_exists(kConfigKey));
    EXPECT_FALSE(key_exists(kSettingsKey));
}

// The starter configuration fills gaps and never replaces what an administrator set.
TEST_F(ReleasePackage, InstallWritesOnlyMissingSettings) {
    ASSERT_TRUE(write_dword(kConfigKey, L"count", 1));
    ASSERT_TRUE(write_string(kConfigKey, L"printer1", L"Office;Tavirel\\PkgTest"));
    ASSERT_TRUE(write_dword(kSettingsKey, L"Transfer Mode", 1));
    ASSERT_TRUE(write_string(kSettingsKey, L"Installation Directory", L"D:\\printer"));

    // Without /key the first configured printer's settings key is completed.
    const run_result result = script(L"install.cmd", L"/dir \"" + install_dir() + L"\" /nostart");
    ASSERT_EQ(0, result.exit_code) << result.output;

    std::wstring printer1;
    EXPECT_TRUE(read_string(kConfigKey, L"printer1", printer1));
    EXPECT_EQ(L"Office;Tavirel\\PkgTest", printer1);
    DWORD mode = 0;
    std::wstring directory;
    EXPECT_TRUE(read_dword(kSettingsKey, L"Transfer Mode", mode));
    EXPECT_EQ(1u, mode);
    EXPECT_TRUE(read_string(kSettingsKey, L"Installation Directory", directory));
    EXPECT_EQ(L"D:\\printer", directory);
    EXPECT_NE(std::string::npos, result.output.find("stays \"D:\\printer\"")) << result.output;

    // Every value the agent reads from a settings key now exists.
    const struct {
        const wchar_t* name;
        DWORD type;
    } values[] = {
        {L"Allow guest session", REG_DWORD},
        {L"Allow domain session", REG_DWORD},
        {L"Allow self session", REG_DWORD},
        {L"Installation Directory", REG_SZ},
        {L"Preprocessing: Enabled", REG_DWORD},
        {L"Preprocessing: Application", REG_SZ},
        {L"Preprocessing: Skip", REG_DWORD},
        {L"Client Application", REG_SZ},
        {L"Transfer Mode", REG_DWORD},
        {L"Target window title", REG_SZ},
        {L"Message ID", REG_DWORD},
        {L"Output Directory", REG_SZ},
        {L"Timeout", REG_DWORD},
        {L"Application: Skip", REG_DWORD},
        {L"RAW: Enabled", REG_DWORD},
    };
    for (const auto& value : values) {
        DWORD type = 0;
        EXPECT_EQ(ERROR_SUCCESS, RegGetValueW(HKEY_LOCAL_MACHINE, kSettingsKey, value.name,
                                              RRF_RT_ANY, &type, nullptr, nullptr))
            << test_support::to_narrow(value.name);
        EXPECT_EQ(value.type, type) << test_support::to_narrow(value.name);
    }

    const service_view service = query_agent_service();
    ASSERT_TRUE(service.installed);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), service.state) << "/nostart started it";
}

TEST_F(ReleasePackage, InstallRefusesBadInputBeforeChangingAnything) {
    // A file where the installation directory should be created.
    const std::wstring blocker = scratch_.file(L"blocker");
    ASSERT_TRUE(test_support::write_file(blocker, "x"));
    const struct {
        std::wstring arguments;
        int exit_code;
        const char* says;
    } cases[] = {
        {L"/bogus", 2, "unknown option"},
        {L"/dir", 2, "needs a value"},
        {L"/printer \"a;b\"", 2, "must not contain"},
        {L"/dir \"" + blocker + L"\\sub\"", 1, "could not create the directory"},
    };
    for (const auto& c : cases) {
        const run_result result = script(L"install.cmd", c.arguments);
        SCOPED_TRACE(test_support::to_narrow(c.arguments));
        EXPECT_EQ(c.exit_code, result.exit_code) << result.output;
        EXPECT_NE(std::string::npos, result.output.find(c.says)) << result.output;
        EXPECT_FALSE(query_agent_service().installed);
        EXPECT_FALSE(key_exists(kConfigKey));
    }
}

TEST_F(ReleasePackage, UninstallLeavesAnotherProductsServiceAlone) {
    const run_result created =
        run_captured(L"sc create Agent binPath= \"C:\\other\\svc.exe\"", scratch_);
    ASSERT_EQ(0, created.exit_code) << created.output;

    const run_result result = uninstall(L" /removeconfig");
    EXPECT_EQ(1, result.exit_code) << result.output;
    EXPECT_NE(std::string::npos, result.output.find("not this product's agent.exe"))
        << result.output;
    EXPECT_TRUE(query_agent_service().installed);

    run_captured(L"sc delete Agent", scratch_);
}

}  // namespace
