#include "jobsend/options.h"

const wchar_t kJobsendHelp[] =
    L"jobsend - hands one print job to the Agent service through its job pipe.\n"
    L"\n"
    L"Usage:\n"
    L"  jobsend --printer NAME --ini PATH --user NAME [--timeout MS]\n"
    L"  jobsend --printer NAME --user NAME --make-job DIR [--type TYPE] [--timeout MS]\n"
    L"  jobsend --raw-message TEXT [--timeout MS]\n"
    L"  jobsend --help\n"
    L"\n"
    L"Options:\n"
    L"  --printer NAME     the printer's name, exactly as the spooler names it\n"
    L"  --ini PATH         full path of an existing job ini file\n"
    L"  --user NAME        the printing user's account name, without a domain\n"
    L"  --make-job DIR     first write a spool file and a job ini file ([Spool] Type\n"
    L"                     and File0) into DIR, then send the message naming that ini;\n"
    L"                     the files are named jobN.* with the first free number N;\n"
    L"                     DIR's full path must not contain ';'\n"
    L"  --type TYPE        the spool type for --make-job: EMF (a drawn test page, the\n"
    L"                     default), RAW (a few bytes of printer data) or any other\n"
    L"                     text (a few bytes, the type written as given)\n"
    L"  --raw-message TEXT send TEXT verbatim as the whole message (for fault tests)\n"
    L"  --timeout MS       how long to wait for a busy pipe, in milliseconds\n"
    L"                     (default 10000)\n"
    L"  --help             show this text\n"
    L"\n"
    L"The message \"printer;ini;user\" is written as one UTF-16LE write. While another\n"
    L"client holds the pipe, jobsend waits for it and tries again until the timeout.\n"
    L"\n"
    L"Exit codes: 0 sent, 2 the pipe does not exist (the service is not running),\n"
    L"3 timed out waiting for the pipe, 4 other failure, 87 bad command line.\n";

namespace {

constexpr size_t kMaxFieldUnits = 1023;
constexpr DWORD kMaxTimeoutMs = 24u * 60 * 60 * 1000;

bool parse_timeout(const std::wstring& text, DWORD& ms) {
    if (text.empty() || text.size() > 9) return false;
    DWORD value = 0;
    for (wchar_t c : text) {
        if (c < L'0' || c > L'9') return false;
        value = value * 10 + static_cast<DWORD>(c - L'0');
    }
    if (value > kMaxTimeoutMs) return false;
    ms = value;
    return true;
}

// A message field: present, within the size the service keeps, and free of the separator.
bool check_field(const wchar_t* option, const std::wstring& value, std::wstring& error) {
    if (value.empty()) {
        error = std::wstring(option) + L" is required";
    } else if (value.size() > kMaxFieldUnits) {
        error = std::wstring(option) + L" is longer than 1023 characters";
    } else if (value.find(L';') != std::wstring::npos) {
        error = std::wstring(option) + L" must not contain ';'";
    } else {
        return true;
    }
    return false;
}

bool check_combination(const jobsend_options& o, bool type_given, std::wstring& error) {
    if (o.raw) {
        if (!o.printer.empty() || !o.ini.empty() || !o.user.empty() || !o.job_dir.empty() ||
            type_given) {
            error = L"--raw-message cannot be combined with the job options";
            return false;
        }
        return true;
    }
    if (!o.job_dir.empty()) {
        if (!o.ini.empty()) {
            error = L"--make-job writes its own job ini: leave out --ini";
            return false;
        }
        return check_field(L"--printer", o.printer, error) && check_field(L"--user", o.user, error);
    }
    if (type_given) {
        error = L"--type needs --make-job";
        return false;
    }
    return check_field(L"--printer", o.printer, error) && check_field(L"--ini", o.ini, error) &&
           check_field(L"--user", o.user, error);
}

}  // namespace

bool parse_options(int argc, wchar_t** argv, jobsend_options& options, std::wstring& error) {
    if (argc < 2) {
        error = L"no options given";
        return false;
    }
    bool type_given = false;
    for (int i = 1; i < argc; ++i) {
        const std::wstring name = argv[i];
        if (name == L"--help" || name == L"-h" || name == L"/?") {
            options.help = true;
            return true;
        }
        std::wstring timeout;
        const struct {
            const wchar_t* name;
            std::wstring* value;
        } valued[] = {
            {L"--printer", &options.printer},  {L"--ini", &options.ini},
            {L"--user", &options.user},        {L"--raw-message", &options.raw_message},
            {L"--make-job", &options.job_dir}, {L"--type", &options.type},
            {L"--timeout", &timeout},
        };
        std::wstring* target = nullptr;
        for (const auto& option : valued) {
            if (name == option.name) target = option.value;
        }
        if (!target) {
            error = L"unknown option " + name;
            return false;
        }
        if (i + 1 >= argc) {
            error = name + L" needs a value";
            return false;
        }
        *target = argv[++i];
        options.raw = options.raw || target == &options.raw_message;
        type_given = type_given || target == &options.type;
        if (target == &timeout && !parse_timeout(timeout, options.timeout_ms)) {
            error = L"--timeout takes milliseconds from 0 to 86400000";
            return false;
        }
        if (target != &options.raw_message && target->empty()) {
            error = name + L" needs a value";
            return false;
        }
    }
    return check_combination(options, type_given, error);
}
