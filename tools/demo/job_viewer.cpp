// The demo's client application: a window titled "Corvix Job Viewer" that takes
// a finished job by WM_COPYDATA (message id in dwData, job ini path in lpData)
// or as its command line, shows the image that the converter named in the job
// ini ([Output] File0), and notes every job in job_viewer.txt beside itself.
#include <memory>
#include <string>

#include "common/owned.h"
#include "demo_common.h"

namespace {

const wchar_t kTitle[] = L"Corvix Job Viewer";
const wchar_t kClass[] = L"corvix_job_viewer";
constexpr int kMargin = 12;
constexpr int kLineHeight = 20;

struct shown_job {
    std::wstring ini;
    long long message_id = 0;
    bool by_message = false;
    std::wstring image_path;
    std::unique_ptr<Gdiplus::Image> image;
};

shown_job current;

std::wstring beside_program(const wchar_t* name) {
    wchar_t path[MAX_PATH] = L"";
    const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring dir(path, n);
    return dir.substr(0, dir.find_last_of(L'\\') + 1) + name;
}

void note(const std::wstring& line) {
    const std::wstring text = line + L"\r\n";
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()),
                                          nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), &utf8[0], bytes,
                        nullptr, nullptr);
    const owned::unique_file file(CreateFileW(
        beside_program(L"job_viewer.txt").c_str(), FILE_APPEND_DATA,
        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return;
    DWORD written = 0;
    WriteFile(file.get(), utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr);
}

void show_job(HWND window, const std::wstring& ini, long long message_id, bool by_message) {
    current = shown_job{};
    current.ini = ini;
    current.message_id = message_id;
    current.by_message = by_message;
    current.image_path = demo::ini_text(ini, L"Output", L"File0");
    std::wstring size = L"no image";
    if (!current.image_path.empty()) {
        current.image = std::make_unique<Gdiplus::Image>(current.image_path.c_str());
        if (current.image->GetLastStatus() == Gdiplus::Ok) {
            size = std::to_wstring(current.image->GetWidth()) + L"x" +
                   std::to_wstring(current.image->GetHeight());
        } else {
            current.image.reset();
            size = L"unreadable image";
        }
    }
    note(std::wstring(by_message ? L"WM_COPYDATA" : L"command line") + L" id=" +
         std::to_wstring(message_id) + L" ini=" + ini + L" image=" + current.image_path + L" (" +
         size + L")");
    // Started hidden (the agent hides what it starts in its own context), the
    // viewer shows itself once it has a job to show.
    if (!IsWindowVisible(window)) ShowWindow(window, SW_SHOWNORMAL);
    InvalidateRect(window, nullptr, TRUE);
    SetForegroundWindow(window);
}

void paint(HWND window, HDC dc) {
    RECT client;
    GetClientRect(window, &client);
    SetBkMode(dc, TRANSPARENT);
    std::wstring lines[3];
    if (current.ini.empty()) {
        lines[0] = L"Waiting for a job...";
    } else {
        lines[0] =
            std::wstring(L"Job received by ") +
            (current.by_message ? L"WM_COPYDATA, message id " + std::to_wstring(current.message_id)
                                : std::wstring(L"command line"));
        lines[1] = L"Job ini: " + current.ini;
        lines[2] = L"Image: " + (current.image_path.empty() ? L"(none)" : current.image_path);
    }
    int y = kMargin;
    for (const std::wstring& line : lines) {
        TextOutW(dc, kMargin, y, line.c_str(), static_cast<int>(line.size()));
        y += kLineHeight;
    }
    if (!current.image) return;
    // The page scaled to fit below the text, keeping its proportions.
    const int room_w = client.right - 2 * kMargin;
    const int room_h = client.bottom - y - 2 * kMargin;
    const double w = current.image->GetWidth();
    const double h = current.image->GetHeight();
    if (room_w <= 0 || room_h <= 0 || w <= 0 || h <= 0) return;
    const double scale = std::min(room_w / w, room_h / h);
    Gdiplus::Graphics canvas(dc);
    canvas.SetInterpolationMode(Gdiplus::InterpolationModeHighQualityBilinear);
    const int draw_w = static_cast<int>(w * scale);
    const int draw_h = static_cast<int>(h * scale);
    const int left = kMargin + (room_w - draw_w) / 2;
    Rectangle(dc, left - 1, y + kMargin - 1, left + draw_w + 1, y + kMargin + draw_h + 1);
    canvas.DrawImage(current.image.get(), left, y + kMargin, draw_w, draw_h);
}

// The window's picture as it paints it, saved as job_viewer.png beside the
// program: a service's windows need not reach the screen (under Wine they may
// stay off the X display), yet the picture shows what the viewer received.
void save_snapshot(HWND window) {
    RECT client;
    GetClientRect(window, &client);
    const owned::window_dc screen(window);
    const owned::unique_dc memory(CreateCompatibleDC(screen.get()));
    const owned::unique_gdi bitmap(
        CreateCompatibleBitmap(screen.get(), client.right, client.bottom));
    {
        const owned::selection drawing(memory.get(), bitmap.get());
        FillRect(memory.get(), &client, reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1));
        paint(window, memory.get());
    }
    CLSID png;
    if (demo::find_encoder(L"image/png", &png)) {
        Gdiplus::Bitmap picture(static_cast<HBITMAP>(bitmap.get()), nullptr);
        picture.Save(beside_program(L"job_viewer.png").c_str(), &png, nullptr);
    }
}

LRESULT CALLBACK window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    switch (message) {
        case WM_COPYDATA: {
            const auto* data = reinterpret_cast<const COPYDATASTRUCT*>(lparam);
            if (!data || !data->lpData) return FALSE;
            // The path is NUL-terminated text; never read beyond what was sent.
            const size_t units = data->cbData / sizeof(wchar_t);
            const auto* text = static_cast<const wchar_t*>(data->lpData);
            std::wstring ini(text, units);
            ini.resize(ini.find(L'\0') == std::wstring::npos ? units : ini.find(L'\0'));
            show_job(window, ini, static_cast<long long>(static_cast<LONG_PTR>(data->dwData)),
                     true);
            save_snapshot(window);
            return TRUE;
        }
        case WM_PAINT: {
            PAINTSTRUCT ps;
            HDC dc = BeginPaint(window, &ps);
            paint(window, dc);
            EndPaint(window, &ps);
            return 0;
        }
        case WM_DESTROY:
            PostQuitMessage(0);
            return 0;
        default:
            return DefWindowProcW(window, message, wparam, lparam);
    }
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int show) {
    const demo::gdiplus_session gdiplus;
    WNDCLASSW window_class{};
    window_class.lpfnWndProc = window_proc;
    window_class.hInstance = instance;
    window_class.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
    window_class.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    window_class.lpszClassName = kClass;
    RegisterClassW(&window_class);
    HWND window = CreateWindowW(kClass, kTitle, WS_OVERLAPPEDWINDOW, 40, 40, 760, 900, nullptr,
                                nullptr, instance, nullptr);
    if (!window) return 1;
    ShowWindow(window, show);
    UpdateWindow(window);
    const std::wstring ini = demo::command_tail();
    if (!ini.empty()) {
        show_job(window, ini, 0, false);
        save_snapshot(window);
    }

    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return 0;
}
