#define LOG_MODULE "..\\src\\Service"
#include "diag/log.h"

#include "agent/Service/state/printer_table.h"

#include <cstdint>
#include <cwchar>

#include "agent/regtools/reg_records.h"
#include "agent/tools/format_fitting.h"
#include "agent/tools/tokens.h"

printer_table_map& printer_table = *new printer_table_map;

namespace {

const wchar_t kConfigKey[] = L"Software\\Tavirel\\SrvCfg";
// Cut, not refused: a broken "count" such as 0xFFFFFFFF would otherwise keep
// the start-up going for billions of values, one error entry each.
static_assert(kPrinterCountLimit == 64, "the cut's log message names the limit");

// The next token of the value as a string; false when none is left.
bool next_token(const wchar_t*& at, std::wstring& token) {
    const wchar_t* start = nullptr;
    size_t length = 0;
    if (!::next_token(at, start, length)) return false;
    token.assign(start, length);
    return true;
}

// "printer;settings key[;anything]" into its two leading tokens.
bool split_printer_value(const wchar_t* value, std::wstring& printer, std::wstring& settings_key) {
    const wchar_t* at = value;
    return next_token(at, printer) && next_token(at, settings_key);
}

void load_printer(uint32_t number) {
    wchar_t value_name[128];
    format_fitting(value_name, L"printer%u", static_cast<unsigned>(number));  // always fits
    reg_record value[2] = {{kHiveLocalMachine, kConfigKey, value_name, REG_SZ, 0, nullptr}, {}};
    if (reg_read_records(value) != 0) {
        LOG_ERROR("read_srvregcfg(): failed to get settings via registry keys.");
        return;
    }
    std::wstring printer;
    std::wstring settings_key;
    if (split_printer_value(value[0].string_result, printer, settings_key)) {
        // The lower number wins when a printer is listed twice.
        printer_table.emplace(std::move(printer), std::move(settings_key));
    } else {
        LOG_ERROR_CODE(ERROR_INVALID_PARAMETER, "read_srvregcfg(): invalid registry key value.");
    }
    reg_free_records(value);
}

}  // namespace

bool read_srvregcfg() {
    printer_table.clear();
    reg_record counter[2] = {{kHiveLocalMachine, kConfigKey, L"count", REG_DWORD, 0, nullptr}, {}};
    LOG_TRACE("read_srvregcfg()", "reg_read_records(counter)");
    if (reg_read_records(counter) != 0) {
        LOG_ERROR("read_srvregcfg(): failed to get settings via registry keys.");
        return false;
    }
    uint32_t count = counter[0].dword_result;
    if (count > kPrinterCountLimit) {
        LOG_ERROR_CODE(
            ERROR_INVALID_PARAMETER,
            "read_srvregcfg(): \"count\" is above 64; only printer1 to printer64 are read.");
        count = kPrinterCountLimit;
    }
    for (uint32_t number = 1; number <= count; ++number) load_printer(number);
    return true;
}

const wchar_t* find_printer_settings_key(const wchar_t* printer_name) {
    if (!printer_name) return nullptr;
    const auto found = printer_table.find(printer_name);
    return found == printer_table.end() ? nullptr : found->second.c_str();
}
