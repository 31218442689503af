#include "demo_common.h"

#include <memory>
#include <vector>

namespace demo {

gdiplus_session::gdiplus_session() {
    Gdiplus::GdiplusStartupInput input;
    ok_ = Gdiplus::GdiplusStartup(&token_, &input, nullptr) == Gdiplus::Ok;
}

gdiplus_session::~gdiplus_session() {
    if (ok_) Gdiplus::GdiplusShutdown(token_);
}

bool find_encoder(const wchar_t* mime_type, CLSID* encoder) {
    UINT count = 0;
    UINT bytes = 0;
    if (Gdiplus::GetImageEncodersSize(&count, &bytes) != Gdiplus::Ok || bytes == 0) return false;
    std::vector<unsigned char> buffer(bytes);
    auto* codecs = reinterpret_cast<Gdiplus::ImageCodecInfo*>(buffer.data());
    if (Gdiplus::GetImageEncoders(count, bytes, codecs) != Gdiplus::Ok) return false;
    for (UINT i = 0; i < count; ++i) {
        if (lstrcmpiW(codecs[i].MimeType, mime_type) == 0) {
            *encoder = codecs[i].Clsid;
            return true;
        }
    }
    return false;
}

std::wstring command_tail() {
    const wchar_t* at = GetCommandLineW();
    if (*at == L'"') {
        ++at;
        while (*at && *at != L'"') ++at;
        if (*at) ++at;
    } else {
        while (*at && *at != L' ' && *at != L'\t') ++at;
    }
    std::wstring tail = at;
    const size_t first = tail.find_first_not_of(L" \t");
    if (first == std::wstring::npos) return {};
    tail = tail.substr(first, tail.find_last_not_of(L" \t") - first + 1);
    if (tail.size() >= 2 && tail.front() == L'"' && tail.back() == L'"') {
        tail = tail.substr(1, tail.size() - 2);
    }
    return tail;
}

std::wstring ini_text(const std::wstring& ini, const wchar_t* section, const wchar_t* key) {
    wchar_t value[2048] = L"";
    GetPrivateProfileStringW(section, key, L"", value, 2048, ini.c_str());
    return value;
}

}  // namespace demo
