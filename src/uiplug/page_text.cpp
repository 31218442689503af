#include "uiplug/pages.h"

namespace uiplug {

bool escape_first_ampersand(const wchar_t* text, wchar_t* out, size_t out_count) {
    if (out_count == 0) return false;
    size_t written = 0;
    bool doubled = false;
    for (const wchar_t* at = text; *at != L'\0'; ++at) {
        const size_t units = (*at == L'&' && !doubled) ? 2 : 1;
        if (written + units >= out_count) {
            out[0] = L'\0';
            return false;
        }
        if (units == 2) {
            out[written++] = L'&';
            doubled = true;
        }
        out[written++] = *at;
    }
    out[written] = L'\0';
    return true;
}

void expand_line_breaks(wchar_t* text) {
    // A line feed never starts a new pair, so one pass leaves no pair behind.
    wchar_t* out = text;
    for (const wchar_t* at = text; *at != L'\0'; ++at) {
        if (at[0] == L'\\' && at[1] == L'n') {
            *out++ = L'\n';
            ++at;
        } else {
            *out++ = *at;
        }
    }
    *out = L'\0';
}

}  // namespace uiplug
