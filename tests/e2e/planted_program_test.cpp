// What a local user may plant or hold, against the real agent.exe installed as
// the service "Agent": a program on a blank of the installation directory's
// path, a lock over the whole log file, and an endless "Timeout" in the
// user's own settings.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "host/agent_host.h"
#include "support/support.h"

namespace {

using reliability::agent_host;
using test_support::file_exists;
using test_support::has_error;
using test_support::read_file;
using test_support::read_log;
using test_support::to_narrow;

const wchar_t kPrinter[] = L"Planted Program Printer";
const wchar_t kSettingsKey[] = L"TavirelPlantedProgram";
const wchar_t kTitle[] = L"Planted Program Target";

std::wstring in_quotes(const std::wstring& text) { return L"\"" + text + L"\""; }

// "c:\tmp\tests\Planted<pid> Printer\install": an unquoted path of a program
// in there is looked up as "c:\tmp\tests\Planted<pid>.exe" first, a file that
// any user may create.
std::wstring blank_root() {
    return L"c:\\tmp\\tests\\Planted" + std::to_wstring(GetCurrentProcessId()) + L" Printer";
}

class PlantedProgram : public ::testing::Test {
protected:
    PlantedProgram()
        : folder_(blank_root()),
          planted_(L"c:\\tmp\\tests\\Planted" + std::to_wstring(GetCurrentProcessId()) + L".exe"),
          agent_(folder_.path()) {
        settings_ = &agent_.add_printer(kPrinter, kSettingsKey);
    }
    // The service stops, and the programs it left end, with agent_.
    ~PlantedProgram() override {
        DeleteFileW(planted_.c_str());
        DeleteFileW(planted_record().c_str());
    }

    // The client stand-in records every start to its own path plus ".txt".
    void plant() {
        ASSERT_TRUE(CopyFileW(test_support::beside_exe(L"client_standin.exe").c_str(),
                              planted_.c_str(), FALSE));
    }
    std::wstring planted_record() const { return planted_ + L".txt"; }

    std::wstring install(const wchar_t* program) const {
        return agent_.install_dir() + L"\\" + program;
    }

    // Every program of a job: preprocessing, progress, converter, winrelay
    // (twice: the client opens the window in between) and the client. The
    // administrator's own values hold the paths in quotes.
    void deliver_everything() {
        settings_->set_dword(L"Preprocessing: Enabled", 1);
        settings_->set_string(L"Preprocessing: Application", in_quotes(install(L"preproc.exe")));
        settings_->set_dword(L"Transfer Mode", 1);
        settings_->set_string(L"Target window title", kTitle);
        settings_->set_string(L"Client Application",
                              in_quotes(install(L"client.exe")) + L" -window " + in_quotes(kTitle) +
                                  L" -copydata " + in_quotes(received_) + L" -close-after 1");
        settings_->set_dword(L"Timeout", 10000);
    }

    bool cleaned_up(const std::wstring& ini, DWORD timeout_ms = 60000) const {
        return reliability::eventually([&] { return !file_exists(agent_host::spool_of(ini)); },
                                       timeout_ms);
    }

    std::wstring send_job(const std::wstring& name, const std::string& extra = "") const {
        const std::wstring ini = agent_.make_job(name, extra);
        EXPECT_TRUE(reliability::send_message(std::wstring(kPrinter) + L";" + ini + L";alice"));
        return ini;
    }

    reliability::work_folder folder_;
    std::wstring planted_;
    agent_host agent_;
    test_support::scratch_key* settings_ = nullptr;
    std::wstring received_ = folder_.file(L"received.txt");
};

TEST_F(PlantedProgram, TheRealProgramsRunAndThePlantedOneNever) {
    plant();
    deliver_everything();
    test_support::clear_log();
    ASSERT_TRUE(agent_.start()) << read_log();

    const std::wstring ini = send_job(L"planted");
    ASSERT_TRUE(test_support::wait_for_text(received_, to_narrow(ini), 60000)) << read_log();
    ASSERT_TRUE(cleaned_up(ini)) << read_log();

    EXPECT_FALSE(file_exists(planted_record())) << read_file(planted_record());
    // Each program got its own path in quotes (it holds a blank) and its
    // arguments as ever.
    const std::string job = to_narrow(ini);
    const std::string converter = read_file(ini + L".converter.txt");
    EXPECT_NE(std::string::npos,
              converter.find(" cmd=\"" + to_narrow(install(L"jobdisp.exe")) + "\" " + job + "\r\n"))
        << converter;
    EXPECT_NE(std::string::npos,
              read_file(ini + L".preproc.txt")
                  .find(" cmd=\"" + to_narrow(install(L"preproc.exe")) + "\" \"" + job + "\"\r\n"))
        << read_file(ini + L".preproc.txt");
    EXPECT_EQ(1u, agent_.progress_starts());
    const std::string log = read_log();
    // winrelay found its arguments: once no window, then delivered.
    EXPECT_EQ(1u, test_support::count_log_messages(log, "main(): can't find target window."))
        << log;
    EXPECT_EQ(std::string::npos, log.find("message: run_client_app()")) << log;
    EXPECT_EQ(std::string::npos, log.find("message: processing()")) << log;
}

// While another process holds a lock over the whole log file, jobs go
// through as ever; their entries are dropped, the next ones written again.
TEST_F(PlantedProgram, HeldLogLockDoesNotHoldJobs) {
    ASSERT_TRUE(agent_.start()) << read_log();
    test_support::clear_log();
    ASSERT_TRUE(test_support::write_file(test_support::kLogPath, ""));
    HANDLE holder = CreateFileW(test_support::kLogPath, GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    OVERLAPPED whole{};
    ASSERT_TRUE(LockFileEx(holder, LOCKFILE_EXCLUSIVE_LOCK, 0, 0xFFFFFFFFu, 0xFFFFFFFFu, &whole));

    bool went_through = true;
    for (int i = 0; i < 3; ++i) {
        went_through = went_through && agent_.run_job(kPrinter, L"locked-" + std::to_wstring(i));
    }
    // Nothing was written while the lock was held.
    LARGE_INTEGER size{};
    EXPECT_TRUE(GetFileSizeEx(holder, &size));
    EXPECT_EQ(0, size.QuadPart);
    UnlockFileEx(holder, 0, 0xFFFFFFFFu, 0xFFFFFFFFu, &whole);
    CloseHandle(holder);
    EXPECT_TRUE(went_through);
    // Written again once the lock is gone.
    EXPECT_TRUE(agent_.run_job(kPrinter, L"unlocked"));
    EXPECT_TRUE(test_support::wait_for_text(test_support::kLogPath,
                                            "module exec_converter() exec exec_user_app() in"))
        << read_log();
}

// "Timeout" of 0xFFFFFFFF with a client that cannot be waited for (a console
// program): the pause that stands in for the idle wait ends with the stop,
// and the job goes on to its second winrelay run.
TEST_F(PlantedProgram, EndlessTimeoutEndsWithTheStop) {
    const std::wstring console = install(L"console client.exe");
    ASSERT_TRUE(CopyFileW(test_support::beside_exe(L"converter_standin.exe").c_str(),
                          console.c_str(), FALSE));
    const std::wstring started = folder_.file(L"console-started.txt");
    WritePrivateProfileStringW(L"converter", L"Record", started.c_str(),
                               install(L"console client.ini").c_str());
    WritePrivateProfileStringW(L"converter", L"DelayMs", L"300000",
                               install(L"console client.ini").c_str());
    settings_->set_dword(L"Transfer Mode", 1);
    settings_->set_string(L"Target window title", L"Planted Program Nobody");
    settings_->set_string(L"Client Application", in_quotes(console));
    settings_->set_dword(L"Timeout", 0xFFFFFFFFu);
    ASSERT_TRUE(agent_.start()) << read_log();
    test_support::clear_log();

    const std::wstring ini = send_job(L"endless");
    ASSERT_TRUE(test_support::wait_for_file(
        started, [](const std::string& s) { return !s.empty(); }, 60000))
        << read_log();
    ASSERT_TRUE(test_support::wait_for_text(
        test_support::kLogPath,
        "message: exec_user_app(): failed to WaitForInputIdle(): wait failed. Use Sleep().\r\n"))
        << read_log();

    ASSERT_TRUE(agent_.stop());
    ASSERT_TRUE(agent_.wait_for(SERVICE_STOPPED, 30000));
    EXPECT_EQ(0u, agent_.exit_code());
    EXPECT_TRUE(test_support::wait_for_text(
        test_support::kLogPath, "message: exec_winrelay(): terminate event happens.\r\n", 10000))
        << read_log();
    EXPECT_TRUE(has_error(read_log(), "run_client_app(): failed to exec_winrelay().", 3))
        << read_log();
}

}  // namespace
