// The Windows Installer package of this build tree under Wine's msiexec, with
// a higher-versioned copy that the packaging_msi_build fixture made beside it:
// install with properties, a job through jobsend, upgrade, removal, a new
// installation over the kept configuration and a refused downgrade, each
// checked in the service manager, the file system and the registry view that
// this architecture's binaries read.
#include <windows.h>
#include <msi.h>
#include <msiquery.h>

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
using test_support::to_narrow;

const wchar_t kConfigKey[] = L"Software\\Tavirel\\SrvCfg";
const wchar_t kPrinter[] = L"Msi Test Printer";
const wchar_t kSettingsName[] = L"Tavirel\\MsiTest";
const wchar_t kSettingsKey[] = L"Software\\Tavirel\\MsiTest";
const wchar_t kDefaultSettingsKey[] = L"Software\\Tavirel\\Corvix TIF Printer";
const wchar_t* const kInstalledFiles[] = {L"agent.exe", L"winrelay.exe", L"jobsend.exe",
                                          L"uiplug.dll", L"admin-guide.md"};

// The registry view of this test program is the one the package's binaries
// read; the other view must stay untouched.
#ifdef _WIN64
const REGSAM kOwnView = KEY_WOW64_64KEY;
const REGSAM kOtherView = KEY_WOW64_32KEY;
#else
const REGSAM kOwnView = KEY_WOW64_32KEY;
const REGSAM kOtherView = KEY_WOW64_64KEY;
#endif

struct msi_traits {
    using type = MSIHANDLE;
    static type invalid() { return 0; }
    static void close(type h) { MsiCloseHandle(h); }
};
using unique_msi = owned::unique_any<msi_traits>;

std::wstring package_path(const wchar_t* name) {
    wchar_t full[MAX_PATH] = {};
    GetFullPathNameW((exe_dir() + L"\\..\\msi-test\\" + name).c_str(), MAX_PATH, full, nullptr);
    return full;
}

// A value of the package's Property table.
std::wstring package_property(const std::wstring& package, const wchar_t* name) {
    unique_msi database;
    if (MsiOpenDatabaseW(package.c_str(), MSIDBOPEN_READONLY, database.put()) != ERROR_SUCCESS) {
        return L"";
    }
    unique_msi view;
    const std::wstring query =
        std::wstring(L"SELECT `Value` FROM `Property` WHERE `Property` = '") + name + L"'";
    if (MsiDatabaseOpenViewW(database.get(), query.c_str(), view.put()) != ERROR_SUCCESS ||
        MsiViewExecute(view.get(), 0) != ERROR_SUCCESS) {
        return L"";
    }
    unique_msi record;
    if (MsiViewFetch(view.get(), record.put()) != ERROR_SUCCESS) return L"";
    wchar_t value[512] = {};
    DWORD size = ARRAYSIZE(value);
    if (MsiRecordGetStringW(record.get(), 1, value, &size) != ERROR_SUCCESS) return L"";
    return value;
}

struct package_info {
    std::wstring path;
    std::wstring product_code;
    std::wstring version;
};

package_info describe(const wchar_t* name) {
    const std::wstring path = package_path(name);
    return {path, package_property(path, L"ProductCode"),
            package_property(path, L"ProductVersion")};
}

bool product_installed(const package_info& package) {
    return MsiQueryProductStateW(package.product_code.c_str()) == INSTALLSTATE_DEFAULT;
}

std::wstring product_info(const package_info& package, const wchar_t* property) {
    wchar_t value[512] = {};
    DWORD size = ARRAYSIZE(value);
    if (MsiGetProductInfoW(package.product_code.c_str(), property, value, &size) != ERROR_SUCCESS) {
        return L"";
    }
    return value;
}

// Registry values of HKLM in one view.
struct reg_value {
    bool found = false;
    DWORD type = 0;
    DWORD number = 0;
    std::wstring text;
};

reg_value read_value(const wchar_t* key, const wchar_t* name, REGSAM view = kOwnView) {
    reg_value value;
    owned::unique_hkey hkey;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key, 0, KEY_QUERY_VALUE | view, hkey.put()) !=
        ERROR_SUCCESS) {
        return value;
    }
    BYTE data[4096] = {};
    DWORD size = sizeof data - sizeof(wchar_t);
    if (RegQueryValueExW(hkey.get(), name, nullptr, &value.type, data, &size) != ERROR_SUCCESS) {
        return value;
    }
    value.found = true;
    if (value.type == REG_DWORD && size == sizeof(DWORD)) {
        CopyMemory(&value.number, data, sizeof(DWORD));
    } else if (value.type == REG_SZ) {
        value.text = reinterpret_cast<const wchar_t*>(data);
    }
    return value;
}

bool key_exists(const wchar_t* key, REGSAM view) {
    owned::unique_hkey hkey;
    return RegOpenKeyExW(HKEY_LOCAL_MACHINE, key, 0, KEY_READ | view, hkey.put()) == ERROR_SUCCESS;
}

bool write_dword(const wchar_t* key, const wchar_t* name, DWORD value) {
    owned::unique_hkey hkey;
    return RegCreateKeyExW(HKEY_LOCAL_MACHINE, key, 0, nullptr, 0, KEY_SET_VALUE | kOwnView,
                           nullptr, hkey.put(), nullptr) == ERROR_SUCCESS &&
           RegSetValueExW(hkey.get(), name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                          sizeof value) == ERROR_SUCCESS;
}

bool delete_value(const wchar_t* key, const wchar_t* name) {
    owned::unique_hkey hkey;
    return RegOpenKeyExW(HKEY_LOCAL_MACHINE, key, 0, KEY_SET_VALUE | kOwnView, hkey.put()) ==
               ERROR_SUCCESS &&
           RegDeleteValueW(hkey.get(), name) == ERROR_SUCCESS;
}

void delete_tree(const wchar_t* key, REGSAM view) {
    owned::unique_hkey hkey;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key, 0, KEY_ALL_ACCESS | view, hkey.put()) ==
        ERROR_SUCCESS) {
        RegDeleteTreeW(hkey.get(), nullptr);
        hkey.reset();
        RegDeleteKeyExW(HKEY_LOCAL_MACHINE, key, view, 0);
    }
}

// The settings key values and their starter values; "Installation Directory"
// and "Output Directory" depend on the machine and are checked apart.
struct starter_value {
    const wchar_t* name;
    DWORD type;
    DWORD number;
};
const starter_value kStarterValues[] = {
    {L"Installation Directory", REG_SZ, 0},
    {L"Allow guest session", REG_DWORD, 0},
    {L"Allow domain session", REG_DWORD, 0},
    {L"Allow self session", REG_DWORD, 0},
    {L"Preprocessing: Enabled", REG_DWORD, 0},
    {L"Preprocessing: Application", REG_SZ, 0},
    {L"Preprocessing: Skip", REG_DWORD, 0},
    {L"Transfer Mode", REG_DWORD, 2},
    {L"Client Application", REG_SZ, 0},
    {L"Target window title", REG_SZ, 0},
    {L"Message ID", REG_DWORD, 0},
    {L"Output Directory", REG_SZ, 0},
    {L"Timeout", REG_DWORD, 5000},
    {L"Application: Skip", REG_DWORD, 0},
    {L"RAW: Enabled", REG_DWORD, 0},
};

class MsiPackage : public ::testing::Test {
protected:
    MsiPackage()
        : scratch_(L"msi"),
          current_(describe(MSI_CURRENT_PACKAGE)),
          higher_(describe(MSI_HIGHER_PACKAGE)) {}

    void SetUp() override {
        ASSERT_FALSE(current_.product_code.empty()) << "no package at " << to_narrow(current_.path);
        ASSERT_FALSE(higher_.product_code.empty()) << "no package at " << to_narrow(higher_.path);
        ASSERT_NE(current_.product_code, higher_.product_code);
        remove_everything();
    }
    void TearDown() override { remove_everything(); }

    // Runs msiexec silently with a verbose log; returns its exit code.
    int msiexec(const std::wstring& arguments) {
        static int runs = 0;
        last_log_ = scratch_.file(L"msiexec" + std::to_wstring(++runs) + L".log");
        return run_process(L"msiexec " + arguments + L" /qn /l*v \"" + last_log_ + L"\"", 300000);
    }
    std::string last_log() const { return read_file(last_log_); }

    void remove_everything() {
        for (const package_info* package : {&current_, &higher_}) {
            if (product_installed(*package)) msiexec(L"/x " + package->product_code);
        }
        for (REGSAM view : {kOwnView, kOtherView}) {
            delete_tree(kSettingsKey, view);
            delete_tree(kDefaultSettingsKey, view);
            delete_tree(kConfigKey, view);
        }
    }

    static std::wstring install_dir() {
        wchar_t program_files[MAX_PATH] = {};
        GetEnvironmentVariableW(L"ProgramFiles", program_files, MAX_PATH);
        return std::wstring(program_files) + L"\\Corvix TIF Printer";
    }

    void expect_service_running_from_install_dir() {
        const service_view service = query_agent_service();
        ASSERT_TRUE(service.installed);
        EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), service.state);
        EXPECT_EQ(static_cast<DWORD>(SERVICE_AUTO_START), service.start_type);
        EXPECT_EQ(0, _wcsicmp(L"LocalSystem", service.account.c_str()))
            << to_narrow(service.account);
        EXPECT_NE(std::wstring::npos, service.binary.find(install_dir() + L"\\agent.exe"))
            << to_narrow(service.binary);
        EXPECT_EQ(0,
                  _wcsicmp((install_dir() + L"\\agent.exe").c_str(), service.running_image.c_str()))
            << to_narrow(service.running_image);
    }

    void expect_installed(const package_info& package) {
        EXPECT_TRUE(product_installed(package));
        EXPECT_EQ(package.version, product_info(package, INSTALLPROPERTY_VERSIONSTRING));
        for (const wchar_t* file : kInstalledFiles) {
            EXPECT_TRUE(file_exists(install_dir() + L"\\" + file)) << to_narrow(file);
        }
        expect_service_running_from_install_dir();
    }

    // The printer's own programs, which the package does not carry, as
    // stand-ins in the installation directory.
    static void add_printer_programs(bool add) {
        const struct {
            const wchar_t* standin;
            const wchar_t* installed;
        } programs[] = {{L"progress_standin.exe", L"progress.exe"},
                        {L"converter_standin.exe", L"jobdisp.exe"}};
        for (const auto& program : programs) {
            const std::wstring installed = install_dir() + L"\\" + program.installed;
            if (add) {
                ASSERT_TRUE(CopyFileW(test_support::beside_exe(program.standin).c_str(),
                                      installed.c_str(), FALSE));
            } else {
                EXPECT_TRUE(DeleteFileW(installed.c_str()));
            }
        }
    }

    // A job through the installed jobsend; the converter ran from the
    // "Installation Directory" that the package wrote.
    void send_job_and_expect_cleanup(const std::wstring& job_name) {
        const std::wstring jobs = scratch_.file(job_name);
        install_checks::send_job_and_expect_cleanup(install_dir() + L"\\jobsend.exe", kPrinter,
                                                    jobs);
        const std::string converter = read_file(jobs + L"\\job1.ini.converter.txt");
        EXPECT_NE(std::string::npos, converter.find("\\jobdisp.exe")) << converter;
    }

    // What the first installation wrote and the administrator changed.
    static void expect_configuration_kept() {
        EXPECT_EQ(1u, read_value(kConfigKey, L"count").number);
        EXPECT_EQ(std::wstring(kPrinter) + L";" + kSettingsName,
                  read_value(kConfigKey, L"printer1").text);
        EXPECT_EQ(1234u, read_value(kSettingsKey, L"Timeout").number);
        EXPECT_EQ(1u, read_value(kSettingsKey, L"Allow self session").number);
        EXPECT_EQ(install_dir() + L"\\", read_value(kSettingsKey, L"Installation Directory").text);
    }

    scratch_dir scratch_;
    const package_info current_;
    const package_info higher_;
    std::wstring last_log_;
};

// Names that "printer1" could not carry are refused before anything changes.
TEST_F(MsiPackage, RefusesBadNames) {
    const wchar_t* const cases[] = {
        L"PRINTERNAME=\"a;b\"",
        L"PRINTERNAME=\"\"",
        L"SETTINGSKEY=\"Tavirel\\a;b\"",
    };
    for (const wchar_t* properties : cases) {
        SCOPED_TRACE(to_narrow(properties));
        EXPECT_EQ(static_cast<int>(ERROR_INSTALL_FAILURE),
                  msiexec(L"/i \"" + current_.path + L"\" " + properties));
        EXPECT_FALSE(product_installed(current_));
        EXPECT_FALSE(query_agent_service().installed);
        EXPECT_FALSE(key_exists(kConfigKey, kOwnView));
    }
}

TEST_F(MsiPackage, InstallJobUpgradeUninstallReinstallRefusedDowngrade) {
    // Install with the public properties.
    ASSERT_EQ(0, msiexec(L"/i \"" + current_.path + L"\" PRINTERNAME=\"" + kPrinter +
                         L"\" SETTINGSKEY=\"" + kSettingsName + L"\""))
        << last_log();
    expect_installed(current_);
    EXPECT_EQ(L"Tavirel", product_info(current_, INSTALLPROPERTY_PUBLISHER));
    EXPECT_EQ(L"https://corvix.example.com/", product_info(current_, INSTALLPROPERTY_URLINFOABOUT));
    EXPECT_NE(std::wstring::npos, product_info(current_, INSTALLPROPERTY_INSTALLEDPRODUCTNAME)
                                      .find(L"Corvix TIF Printer job agent"));

    // The configuration, in the view the binaries read and only there.
    const reg_value count = read_value(kConfigKey, L"count");
    EXPECT_TRUE(count.found && count.type == REG_DWORD && count.number == 1);
    EXPECT_EQ(std::wstring(kPrinter) + L";" + kSettingsName,
              read_value(kConfigKey, L"printer1").text);
    EXPECT_FALSE(key_exists(kConfigKey, kOtherView));
    EXPECT_FALSE(key_exists(kSettingsKey, kOtherView));
    EXPECT_FALSE(key_exists(kDefaultSettingsKey, kOwnView)) << "SETTINGSKEY was not used";
    for (const starter_value& expected : kStarterValues) {
        const reg_value value = read_value(kSettingsKey, expected.name);
        SCOPED_TRACE(to_narrow(expected.name));
        EXPECT_TRUE(value.found);
        EXPECT_EQ(expected.type, value.type);
        EXPECT_EQ(expected.number, value.number);
    }
    EXPECT_EQ(install_dir() + L"\\", read_value(kSettingsKey, L"Installation Directory").text);
    wchar_t public_dir[MAX_PATH] = {};
    GetEnvironmentVariableW(L"PUBLIC", public_dir, MAX_PATH);
    EXPECT_EQ(std::wstring(public_dir) + L"\\Documents",
              read_value(kSettingsKey, L"Output Directory").text);

    // Wine has no user sessions: the job's user, unknown to the service, is
    // served in the service's own context.
    ASSERT_TRUE(write_dword(kSettingsKey, L"Allow domain session", 1));
    ASSERT_TRUE(write_dword(kSettingsKey, L"Allow self session", 1));
    add_printer_programs(true);
    send_job_and_expect_cleanup(L"jobs1");

    // An administrator's change, and a value lost since.
    ASSERT_TRUE(write_dword(kSettingsKey, L"Timeout", 1234));
    ASSERT_TRUE(delete_value(kSettingsKey, L"RAW: Enabled"));

    // The higher version replaces the installed one in one run. Without
    // properties it leaves the existing configuration as it is and starts no
    // settings key of the default name beside it.
    ASSERT_EQ(0, msiexec(L"/i \"" + higher_.path + L"\"")) << last_log();
    EXPECT_FALSE(product_installed(current_));
    expect_installed(higher_);
    expect_configuration_kept();
    EXPECT_FALSE(read_value(kSettingsKey, L"RAW: Enabled").found);
    EXPECT_FALSE(key_exists(kDefaultSettingsKey, kOwnView));
    send_job_and_expect_cleanup(L"jobs2");
    add_printer_programs(false);

    // Removal takes the service and the files and keeps the configuration.
    ASSERT_EQ(0, msiexec(L"/x \"" + higher_.path + L"\"")) << last_log();
    EXPECT_FALSE(product_installed(higher_));
    EXPECT_FALSE(query_agent_service().installed);
    for (const wchar_t* file : kInstalledFiles) {
        EXPECT_FALSE(file_exists(install_dir() + L"\\" + file)) << to_narrow(file);
    }
    EXPECT_FALSE(file_exists(install_dir()));
    expect_configuration_kept();

    // Installed again over the kept configuration with SETTINGSKEY, the
    // missing value is added and nothing else changes.
    ASSERT_EQ(0, msiexec(L"/i \"" + higher_.path + L"\" PRINTERNAME=\"Other\" SETTINGSKEY=\"" +
                         kSettingsName + L"\""))
        << last_log();
    expect_installed(higher_);
    expect_configuration_kept();
    const reg_value raw = read_value(kSettingsKey, L"RAW: Enabled");
    EXPECT_TRUE(raw.found && raw.type == REG_DWORD && raw.number == 0);
    EXPECT_FALSE(key_exists(kDefaultSettingsKey, kOwnView));

    // The lower version over the higher one is refused and changes nothing.
    // (Checked on a fresh installation: Wine's msiexec removes the older
    // product only after the newer one is registered, and that removal drops
    // the upgrade code's registration, so no package finds the newer one.)
    EXPECT_EQ(static_cast<int>(ERROR_INSTALL_FAILURE), msiexec(L"/i \"" + current_.path + L"\""))
        << last_log();
    EXPECT_FALSE(product_installed(current_));
    expect_installed(higher_);
    expect_configuration_kept();
}

}  // namespace
