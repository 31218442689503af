#include "host/agent_host.h"

#include <winternl.h>
#include <winsvc.h>

#include <algorithm>

#include "jobsend/pipe_client.h"
#include "support/support.h"

namespace reliability {

const std::vector<installed_program> kStandardPrograms = {
    {L"progress_standin.exe", L"progress.exe"}, {L"converter_standin.exe", L"jobdisp.exe"},
    {L"preproc_standin.exe", L"preproc.exe"},   {L"client_standin.exe", L"client.exe"},
    {L"winrelay.exe", L"winrelay.exe"},
};

namespace {

const wchar_t kConfigKey[] = L"Software\\Tavirel\\SrvCfg";

}  // namespace

work_folder::work_folder(const std::wstring& path) : path_(path) {
    test_support::remove_tree(path_);
    // Each folder of the path, as a fresh prefix may lack c:\tmp\tests.
    for (size_t at = path_.find(L'\\', 3); at != std::wstring::npos;
         at = path_.find(L'\\', at + 1)) {
        CreateDirectoryW(path_.substr(0, at).c_str(), nullptr);
    }
    CreateDirectoryW(path_.c_str(), nullptr);
}

work_folder::~work_folder() { test_support::remove_tree(path_); }

agent_host::agent_host(const std::wstring& root, const std::vector<installed_program>& programs)
    : root_(root),
      install_(root + L"\\install"),
      jobs_(root + L"\\jobs"),
      config_(HKEY_LOCAL_MACHINE, kConfigKey),
      service_(test_support::beside_exe(L"agent.exe")) {
    CreateDirectoryW(install_.c_str(), nullptr);
    CreateDirectoryW(jobs_.c_str(), nullptr);
    for (const installed_program& program : programs) {
        CopyFileW(test_support::beside_exe(program.built).c_str(),
                  (install_ + L"\\" + program.installed).c_str(), FALSE);
    }
    // Every start of progress.exe (whichever stand-in it is) adds a line here.
    const std::wstring beside = install_ + L"\\progress.ini";
    WritePrivateProfileStringW(L"progress", L"Record", progress_record().c_str(), beside.c_str());
    WritePrivateProfileStringW(L"converter", L"Record", progress_record().c_str(), beside.c_str());
    config_.set_dword(L"count", 0);
}

std::wstring agent_host::progress_record() const { return root_ + L"\\progress-starts.txt"; }

DWORD agent_host::progress_starts() const {
    const std::string lines = test_support::read_file(progress_record());
    return static_cast<DWORD>(std::count(lines.begin(), lines.end(), '\n'));
}

agent_host::~agent_host() {
    stop();
    wait_for(SERVICE_STOPPED);
    end_job_programs();
}

void agent_host::add_printer_value(const std::wstring& value) {
    ++printer_count_;
    config_.set_string((L"printer" + std::to_wstring(printer_count_)).c_str(), value);
    config_.set_dword(L"count", printer_count_);
}

test_support::scratch_key& agent_host::add_printer(const std::wstring& name,
                                                   const std::wstring& settings_key) {
    add_printer_value(name + L";" + settings_key);
    settings_.push_back(std::make_unique<test_support::scratch_key>(HKEY_LOCAL_MACHINE,
                                                                    L"Software\\" + settings_key));
    test_support::scratch_key& key = *settings_.back();
    key.set_dword(L"Allow domain session", 1);
    key.set_dword(L"Allow self session", 1);
    key.set_string(L"Installation Directory", install_);
    key.set_dword(L"Preprocessing: Enabled", 0);
    key.set_string(L"Preprocessing: Application", install_ + L"\\preproc.exe");
    key.set_string(L"Client Application", install_ + L"\\client.exe");
    key.set_dword(L"Transfer Mode", 2);
    key.set_string(L"Target window title", L"Reliability Target");
    key.set_dword(L"Message ID", 7);
    key.set_dword(L"Timeout", 2000);
    key.set_string(L"Output Directory", jobs_);
    return key;
}

bool agent_host::start() {
    if (!service_.start()) return false;
    // A start that fails reports running and then stopped: stop waiting then.
    DWORD state = SERVICE_STOPPED;
    eventually([&] {
        state = service_.status().dwCurrentState;
        return state == SERVICE_STOPPED ||
               (state == SERVICE_RUNNING && job_pipe::wait_for_pipe(100));
    });
    return state == SERVICE_RUNNING;
}

bool agent_host::stop() { return service_.stop(); }

bool agent_host::running() const { return service_.status().dwCurrentState == SERVICE_RUNNING; }

bool agent_host::wait_for(DWORD state, DWORD timeout_ms) const {
    return service_.wait_for(state, timeout_ms);
}

DWORD agent_host::pid() const { return service_.pid(); }

namespace {

// The system's list of open handles (information class 64), declared here as
// the cross-compiler's headers lack it.
constexpr SYSTEM_INFORMATION_CLASS kExtendedHandleInformation =
    static_cast<SYSTEM_INFORMATION_CLASS>(64);
constexpr NTSTATUS kInfoLengthMismatch = static_cast<NTSTATUS>(0xC0000004L);

struct handle_entry {
    PVOID object;
    ULONG_PTR process_id;
    ULONG_PTR handle_value;
    ULONG granted_access;
    USHORT creator_back_trace_index;
    USHORT object_type_index;
    ULONG handle_attributes;
    ULONG reserved;
};

struct handle_list {
    ULONG_PTR count;
    ULONG_PTR reserved;
    handle_entry handles[1];
};

// Queries a system information class into a buffer that grows until it fits.
bool query_system(SYSTEM_INFORMATION_CLASS what, std::vector<BYTE>& into) {
    into.resize(1 << 18);
    for (;;) {
        ULONG needed = 0;
        const NTSTATUS status =
            NtQuerySystemInformation(what, into.data(), static_cast<ULONG>(into.size()), &needed);
        if (status != kInfoLengthMismatch) return status >= 0;
        into.resize(into.size() * 2 > needed ? into.size() * 2 : needed + 4096);
    }
}

// An event of our own, listed with the type index the system gives events.
const HANDLE event_probe = CreateEventW(nullptr, TRUE, FALSE, nullptr);

USHORT event_type_index(const handle_list* list) {
    static USHORT index = 0;
    const auto probe = reinterpret_cast<ULONG_PTR>(event_probe);
    for (ULONG_PTR i = 0; index == 0 && i < list->count; ++i) {
        if (list->handles[i].process_id == GetCurrentProcessId() &&
            list->handles[i].handle_value == probe) {
            index = list->handles[i].object_type_index;
        }
    }
    return index;
}

// Open handles of one process, and how many of them are events; false when
// the system does not list them.
bool count_handles(DWORD pid, process_figures& out) {
    std::vector<BYTE> buffer;
    if (!query_system(kExtendedHandleInformation, buffer)) return false;
    const auto* list = reinterpret_cast<const handle_list*>(buffer.data());
    const USHORT event_type = event_type_index(list);
    out.handles = 0;
    out.events = 0;
    for (ULONG_PTR i = 0; i < list->count; ++i) {
        if (list->handles[i].process_id != pid) continue;
        ++out.handles;
        if (list->handles[i].object_type_index == event_type) ++out.events;
    }
    return true;
}

}  // namespace

bool agent_host::figures(process_figures& out) const {
    const DWORD id = pid();
    if (id == 0) return false;
    out.progress_starts = progress_starts();
    // Wine answers GetProcessHandleCount and GetProcessMemoryInfo with zeros for
    // another process; the system's lists carry the figures.
    std::vector<BYTE> list;
    if (!query_system(SystemProcessInformation, list)) return false;
    for (size_t at = 0;;) {
        const auto* process = reinterpret_cast<const SYSTEM_PROCESS_INFORMATION*>(&list[at]);
        if (reinterpret_cast<ULONG_PTR>(process->UniqueProcessId) == id) {
            out.private_bytes = process->VirtualMemoryCounters.PagefileUsage;  // commit charge

            // The process list's count is the size of the handle table, which
            // grows in steps: count the open handles where they are listed.
            if (!count_handles(id, out)) out.handles = process->HandleCount;
            return true;
        }
        if (process->NextEntryOffset == 0) return false;
        at += process->NextEntryOffset;
    }
}

std::wstring agent_host::make_job(const std::wstring& name, const std::string& extra) const {
    const std::wstring ini = jobs_ + L"\\" + name + L".ini";
    write_job(ini, extra);
    return ini;
}

void agent_host::write_job(const std::wstring& ini, const std::string& extra) {
    const std::wstring spool = spool_of(ini);
    test_support::write_file(spool, "spool data");
    const std::string text =
        "[Spool]\r\nType=EMF\r\nFile0=" + test_support::to_narrow(spool) + "\r\n" + extra;
    test_support::write_file(ini, text);
}

std::wstring agent_host::spool_of(const std::wstring& ini) {
    return ini.substr(0, ini.size() - 4) + L".emf";
}

bool agent_host::run_job(const std::wstring& printer, const std::wstring& name,
                         DWORD timeout_ms) const {
    const std::wstring ini = make_job(name);
    // The converter stand-in records its start beside the job ini file.
    const std::wstring converter_record = ini + L".converter.txt";
    return send_message(printer + L";" + ini + L";alice") &&
           eventually(
               [&] {
                   return !test_support::file_exists(spool_of(ini)) &&
                          test_support::file_exists(converter_record);
               },
               timeout_ms);
}

bool agent_host::warm_up(const std::wstring& printer) const {
    std::vector<std::wstring> jobs;
    for (int i = 0; i < 16; ++i) {
        jobs.push_back(
            make_job(L"warm-up-" + std::to_wstring(i), "[converter]\r\nDelayMs=300\r\n"));
        if (!send_message(printer + L";" + jobs.back() + L";alice")) return false;
    }
    for (const std::wstring& ini : jobs) {
        if (!eventually([&] { return !test_support::file_exists(spool_of(ini)); })) return false;
    }
    return true;
}

void agent_host::end_job_programs() const { test_support::end_programs_under(install_); }

bool send_bytes(const void* bytes, DWORD size, DWORD timeout_ms) {
    return job_pipe::send(bytes, size, timeout_ms) == job_pipe::send_result::sent;
}

bool send_message(const std::wstring& text, DWORD timeout_ms) {
    return send_bytes(text.data(), static_cast<DWORD>(text.size() * sizeof(wchar_t)), timeout_ms);
}

bool back_to_baseline(const agent_host& agent, const process_figures& baseline,
                      process_figures* last) {
    process_figures now;
    const bool back = eventually(
        [&] {
            if (!agent.figures(now)) return false;
            const DWORD idle_waits = now.progress_starts - baseline.progress_starts;
            return now.handles - now.events <= baseline.handles - baseline.events + kSlackHandles &&
                   now.events <= baseline.events + idle_waits + kSlackHandles &&
                   now.private_bytes <= baseline.private_bytes + kSlackPrivateBytes;
        },
        5000);
    if (last) *last = now;
    return back;
}

std::string describe(const process_figures& before, const process_figures& after) {
    return "handles " + std::to_string(before.handles) + " -> " + std::to_string(after.handles) +
           " (events " + std::to_string(before.events) + " -> " + std::to_string(after.events) +
           "), private bytes " + std::to_string(before.private_bytes) + " -> " +
           std::to_string(after.private_bytes);
}

}  // namespace reliability
