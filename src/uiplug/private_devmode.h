// The plug-in's own 16-byte part of the printer's devmode.
#pragma once

#include <windows.h>

#include "uiplug/oem_ui.h"

namespace uiplug {

constexpr DWORD kSignature = 0x4D534654;
constexpr DWORD kPrivateVersion = 1;
constexpr LONG kMaxValue = 100;

struct private_devmode {
    oem_dm_extra_header header;
    LONG value;
};
static_assert(sizeof(private_devmode) == 16, "the driver reserves exactly 16 bytes");

void write_default_devmode(private_devmode* out);
// Either pointer may be NULL: nothing is converted then.
void convert_devmode(const private_devmode* in, private_devmode* out);
void validate_devmode(private_devmode* devmode);

}  // namespace uiplug
