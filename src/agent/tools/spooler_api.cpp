#include "agent/tools/spooler_api.h"

namespace {
spooler_api_table current = {OpenPrinterW, EnumJobsW, SetJobW, ClosePrinter};
}  // namespace

const spooler_api_table& spooler_api() { return current; }

spooler_api_table set_spooler_api(const spooler_api_table& table) {
    const spooler_api_table previous = current;
    current = table;
    return previous;
}
