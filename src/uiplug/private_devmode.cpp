#include "uiplug/private_devmode.h"

#include <string.h>

namespace uiplug {
namespace {

void set_header(private_devmode* devmode) {
    devmode->header.dwSize = sizeof(private_devmode);
    devmode->header.dwVersion = kPrivateVersion;
}

}  // namespace

void write_default_devmode(private_devmode* out) {
    out->value = 0;
    out->header.dwSignature = kSignature;
    set_header(out);
}

void convert_devmode(const private_devmode* in, private_devmode* out) {
    if (in == nullptr || out == nullptr) return;
    out->value = 0;
    if (in->header.dwSignature == out->header.dwSignature) {
        DWORD bytes =
            in->header.dwSize < out->header.dwSize ? in->header.dwSize : out->header.dwSize;
        // The sizes come from the caller's buffers; ours is never larger than 16 bytes.
        if (bytes > sizeof(private_devmode)) bytes = sizeof(private_devmode);
        memmove(out, in, bytes);
    } else {
        out->header.dwSignature = kSignature;
    }
    set_header(out);
}

void validate_devmode(private_devmode* devmode) {
    devmode->header.dwSignature = kSignature;
    set_header(devmode);
    if (devmode->value > kMaxValue) devmode->value = 0;
}

}  // namespace uiplug
