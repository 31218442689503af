#include "uiplug/pages.h"

namespace uiplug {
namespace {

constexpr int kTextIndent = 8;
constexpr int kMaxBannerUnits = 256;

void paint_banner(HWND window) {
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(window, &paint);
    if (dc == nullptr) return;
    RECT area;
    GetWindowRect(window, &area);
    MapWindowPoints(HWND_DESKTOP, window, reinterpret_cast<POINT*>(&area), 2);
    FillRect(dc, &area, static_cast<HBRUSH>(GetStockObject(GRAY_BRUSH)));
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, RGB(255, 255, 255));
    HGDIOBJ previous_font = SelectObject(dc, GetStockObject(DEFAULT_GUI_FONT));
    wchar_t text[kMaxBannerUnits];
    GetWindowTextW(window, text, kMaxBannerUnits);
    area.left += kTextIndent;
    DrawTextW(dc, text, -1, &area, DT_SINGLELINE | DT_VCENTER);
    SelectObject(dc, previous_font);
    EndPaint(window, &paint);
}

}  // namespace

LRESULT CALLBACK banner_wnd_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_PAINT) paint_banner(window);
    return DefWindowProcW(window, message, wparam, lparam);
}

}  // namespace uiplug
