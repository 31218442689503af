// A screenshot of the About page, saved as a PNG: the banner is a grey bar with
// white text set 8 pixels in.
#include <windows.h>
#include <objidl.h>

#include <gtest/gtest.h>

#include <algorithm>
namespace Gdiplus {
using std::max;
using std::min;
}  // namespace Gdiplus
#include <gdiplus.h>

#include <string>

#include "support/support.h"
#include "uiplug_host.h"

namespace uiplug_test {
namespace {

namespace gp = Gdiplus::DllExports;

// The PNG encoder's class identifier.
const CLSID kPngEncoder = {
    0x557CF406, 0x1A04, 0x11D3, {0x9A, 0x73, 0x00, 0x00, 0xF8, 0x1E, 0xF3, 0x2E}};

class gdiplus_session {
public:
    gdiplus_session() {
        Gdiplus::GdiplusStartupInput input;
        ok_ = Gdiplus::GdiplusStartup(&token_, &input, nullptr) == Gdiplus::Ok;
    }
    ~gdiplus_session() {
        if (ok_) Gdiplus::GdiplusShutdown(token_);
    }
    bool ok() const { return ok_; }

private:
    ULONG_PTR token_ = 0;
    bool ok_ = false;
};

// Copies the window's client area, children included, into a bitmap and saves it.
bool save_screenshot(HWND window, const std::wstring& path) {
    RECT client;
    GetClientRect(window, &client);
    HDC window_dc = GetDC(window);
    HDC memory_dc = CreateCompatibleDC(window_dc);
    HBITMAP bitmap = CreateCompatibleBitmap(window_dc, client.right, client.bottom);
    HGDIOBJ previous = SelectObject(memory_dc, bitmap);
    BitBlt(memory_dc, 0, 0, client.right, client.bottom, window_dc, 0, 0, SRCCOPY);
    SelectObject(memory_dc, previous);
    DeleteDC(memory_dc);
    ReleaseDC(window, window_dc);

    Gdiplus::GpBitmap* image = nullptr;
    bool saved = gp::GdipCreateBitmapFromHBITMAP(bitmap, nullptr, &image) == Gdiplus::Ok;
    if (saved) {
        saved = gp::GdipSaveImageToFile(image, path.c_str(), &kPngEncoder, nullptr) == Gdiplus::Ok;
        gp::GdipDisposeImage(image);
    }
    DeleteObject(bitmap);
    return saved;
}

std::wstring screenshot_path() {
    CreateDirectoryW(L"c:\\tmp", nullptr);
    CreateDirectoryW(L"c:\\tmp\\tests", nullptr);
#ifdef _WIN64
    return L"c:\\tmp\\tests\\uiplug_about_x64.png";
#else
    return L"c:\\tmp\\tests\\uiplug_about_x86.png";
#endif
}

TEST(banner, screenshot_shows_a_grey_bar_with_white_text) {
    const gdiplus_session gdiplus;
    ASSERT_TRUE(gdiplus.ok());
    const product_key key;
    const loaded_dll dll;
    ASSERT_NE(dll.module(), nullptr);
    shown_sheet sheet(collect_pages(dll, true));
    const HWND about = sheet.show_page(1);
    ASSERT_NE(about, nullptr);
    const HWND banner = GetDlgItem(about, 1009);
    ASSERT_NE(banner, nullptr);

    const std::wstring path = screenshot_path();
    ASSERT_TRUE(save_screenshot(about, path));
    const std::string png = test_support::read_file(path);
    ASSERT_GT(png.size(), 8u);
    EXPECT_EQ(png.substr(1, 3), "PNG");

    // The banner's place on the page, in the screenshot's pixels.
    RECT area;
    GetWindowRect(banner, &area);
    MapWindowPoints(HWND_DESKTOP, about, reinterpret_cast<POINT*>(&area), 2);
    ASSERT_GT(area.right - area.left, 100);
    ASSERT_GT(area.bottom - area.top, 10);

    Gdiplus::GpBitmap* image = nullptr;
    ASSERT_EQ(gp::GdipCreateBitmapFromFile(path.c_str(), &image), Gdiplus::Ok);
    int grey = 0, white = 0, other = 0, white_in_indent = 0;
    for (int y = area.top; y < area.bottom; ++y) {
        for (int x = area.left; x < area.right; ++x) {
            Gdiplus::ARGB argb = 0;
            gp::GdipBitmapGetPixel(image, x, y, &argb);
            const int r = (argb >> 16) & 0xFF, g = (argb >> 8) & 0xFF, b = argb & 0xFF;
            if (r == 0x80 && g == 0x80 && b == 0x80) {
                ++grey;
            } else if (r == 0xFF && g == 0xFF && b == 0xFF) {
                ++white;
                if (x < area.left + 8) ++white_in_indent;
            } else if (!(r == g && g == b && r > 0x80)) {
                ++other;  // smoothed glyph edges stay between grey and white
            }
        }
    }
    gp::GdipDisposeImage(image);
    const int pixels = (area.right - area.left) * (area.bottom - area.top);
    EXPECT_GT(grey, pixels / 2) << "grey " << grey << " of " << pixels;
    EXPECT_GT(white, 20) << "the product name in white";
    EXPECT_EQ(other, 0);
    EXPECT_EQ(white_in_indent, 0);
}

}  // namespace
}  // namespace uiplug_test
