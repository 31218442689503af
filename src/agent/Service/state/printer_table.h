// Printer name to settings key name, loaded once at service start.
#pragma once

#include <map>
#include <string>

using printer_table_map = std::map<std::wstring, std::wstring>;
// Never destroyed: a work thread that the stop left inside the tables may
// still read it while the process exits.
extern printer_table_map& printer_table;

// The most printer values read_srvregcfg reads; a larger "count" is cut to it
// after one error entry.
constexpr unsigned kPrinterCountLimit = 64;

bool read_srvregcfg();
// The settings key name for an exact printer name, or null.
const wchar_t* find_printer_settings_key(const wchar_t* printer_name);
