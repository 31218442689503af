// Shared by the demo converter and the demo viewer: GDI+ start-up, the image
// encoders, and the job ini path that the agent puts on a command line.
#pragma once

#include <windows.h>
// GDI+ needs the COM types that a lean windows.h leaves out.
#include <objidl.h>

#include <algorithm>
#include <string>

// The GDI+ wrapper classes expect min and max to be visible.
namespace Gdiplus {
using std::max;
using std::min;
}  // namespace Gdiplus
#include <gdiplus.h>

namespace demo {

// GDI+ for the lifetime of the object.
class gdiplus_session {
public:
    gdiplus_session();
    ~gdiplus_session();
    gdiplus_session(const gdiplus_session&) = delete;
    gdiplus_session& operator=(const gdiplus_session&) = delete;
    bool ok() const { return ok_; }

private:
    ULONG_PTR token_ = 0;
    bool ok_ = false;
};

// The encoder for a MIME type such as "image/tiff".
bool find_encoder(const wchar_t* mime_type, CLSID* encoder);

// Everything after the program on this process's command line, blanks and
// surrounding quotes removed: the agent passes the job ini path unquoted.
std::wstring command_tail();

// A key of a job ini file, "" when missing.
std::wstring ini_text(const std::wstring& ini, const wchar_t* section, const wchar_t* key);

}  // namespace demo
