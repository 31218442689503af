// The demo's converter, installed as jobdisp.exe: renders the job's EMF spool
// file ([Spool] File0 of the job ini named on the command line) into a TIFF
// image beside the job ini, and names the image in the job ini as
// [Output] File0 for whoever shows the job.
//
// Exit codes: 0 converted, 2 no usable job ini or spool file, 3 not EMF data,
// 4 the image could not be rendered or written.
#include <memory>

#include "demo_common.h"

namespace {

constexpr UINT kLongestSide = 1100;  // pixels; keeps the page readable on screen

// The page size in pixels, scaled so its longer side is kLongestSide.
void page_size(Gdiplus::Metafile& page, UINT* width, UINT* height) {
    Gdiplus::MetafileHeader header;
    page.GetMetafileHeader(&header);
    const double w = header.Width > 0 ? header.Width : 850;
    const double h = header.Height > 0 ? header.Height : 1100;
    const double scale = kLongestSide / (w > h ? w : h);
    *width = static_cast<UINT>(w * scale);
    *height = static_cast<UINT>(h * scale);
}

int render(const std::wstring& spool, const std::wstring& tiff) {
    Gdiplus::Metafile page(spool.c_str());
    if (page.GetLastStatus() != Gdiplus::Ok) return 2;
    UINT width = 0;
    UINT height = 0;
    page_size(page, &width, &height);
    Gdiplus::Bitmap image(static_cast<INT>(width), static_cast<INT>(height), PixelFormat24bppRGB);
    {
        Gdiplus::Graphics canvas(&image);
        canvas.Clear(Gdiplus::Color(255, 255, 255, 255));
        canvas.SetSmoothingMode(Gdiplus::SmoothingModeAntiAlias);
        canvas.DrawImage(&page, 0, 0, static_cast<INT>(width), static_cast<INT>(height));
    }
    CLSID encoder;
    if (!demo::find_encoder(L"image/tiff", &encoder)) return 4;
    return image.Save(tiff.c_str(), &encoder, nullptr) == Gdiplus::Ok ? 0 : 4;
}

}  // namespace

int wmain() {
    const std::wstring ini = demo::command_tail();
    const std::wstring spool = demo::ini_text(ini, L"Spool", L"File0");
    if (ini.empty() || spool.empty()) return 2;
    if (demo::ini_text(ini, L"Spool", L"Type") != L"EMF") return 3;

    const demo::gdiplus_session gdiplus;
    if (!gdiplus.ok()) return 4;
    const size_t dot = ini.find_last_of(L'.');
    const std::wstring tiff = (dot == std::wstring::npos ? ini : ini.substr(0, dot)) + L".tif";
    const int result = render(spool, tiff);
    if (result == 0) WritePrivateProfileStringW(L"Output", L"File0", tiff.c_str(), ini.c_str());
    return result;
}
