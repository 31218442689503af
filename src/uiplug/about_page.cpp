#include <windows.h>

#include <shellapi.h>
#include <strsafe.h>

#include "common/owned.h"
#include "uiplug/pages.h"
#include "uiplug/resource_ids.h"

namespace uiplug {
namespace {

constexpr wchar_t kProductName[] = L"" UIPLUG_PRODUCT_NAME;
constexpr wchar_t kProductKey[] = L"Software\\" UIPLUG_PRODUCT_NAME;
constexpr wchar_t kDefaultVersion[] = L"1.00";
constexpr wchar_t kVersionLine[] = L"Version \n\n";  // the format below without its "%.*ls"
constexpr wchar_t kMakerLines[] = L"Ferrowick\nCorvix Development";
constexpr wchar_t kLinkText[] = L"" UIPLUG_LINK_HOST;
constexpr wchar_t kLinkUrl[] = L"" UIPLUG_LINK_URL;

// Registry strings are read into 520 bytes, terminator included.
constexpr DWORD kValueBytes = 520;
constexpr size_t kAboutTextUnits = 260;
// The longest version that still leaves room for the maker's lines.
constexpr int kMaxVersionUnits =
    static_cast<int>(kAboutTextUnits - sizeof kVersionLine / sizeof(wchar_t) -
                     (sizeof kMakerLines / sizeof(wchar_t) - 1));

struct registry_text {
    wchar_t text[kValueBytes / sizeof(wchar_t) + 1];
};

owned::unique_hkey open_product_key() {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kProductKey, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return {};
    return owned::unique_hkey(key);
}

// Any value type is taken as text; a value longer than the buffer counts as missing.
bool read_text(HKEY key, const wchar_t* name, registry_text& out) {
    DWORD bytes = kValueBytes;
    if (RegQueryValueExW(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(out.text), &bytes) !=
        ERROR_SUCCESS) {
        return false;
    }
    out.text[bytes / sizeof(wchar_t)] = L'\0';
    return true;
}

void set_escaped_text(HWND page, int control, const wchar_t* text) {
    wchar_t escaped[kAboutTextUnits + 1];
    if (escape_first_ampersand(text, escaped, sizeof escaped / sizeof escaped[0])) {
        SetDlgItemTextW(page, control, escaped);
    }
}

void set_default_texts(HWND page) {
    set_escaped_text(page, IDC_BANNER, kProductName);

    registry_text version;
    bool have_version = false;
    {
        const owned::unique_hkey key = open_product_key();
        have_version = key && read_text(key.get(), L"Version", version);
    }
    wchar_t about[kAboutTextUnits];
    StringCchPrintfW(about, kAboutTextUnits, L"Version %.*ls\n\n%ls", kMaxVersionUnits,
                     have_version ? version.text : kDefaultVersion, kMakerLines);
    set_escaped_text(page, IDC_ABOUT_TEXT, about);

    SetDlgItemTextW(page, IDC_LINK, kLinkText);
}

void apply_overrides(HWND page) {
    const owned::unique_hkey key = open_product_key();
    if (!key) return;
    registry_text text;
    if (read_text(key.get(), L"About: Contact Information", text)) {
        expand_line_breaks(text.text);
        SetDlgItemTextW(page, IDC_ABOUT_TEXT, text.text);
    }
    if (read_text(key.get(), L"About: Button Text", text))
        SetDlgItemTextW(page, IDC_LINK, text.text);
}

}  // namespace

INT_PTR CALLBACK about_page_proc(HWND page, UINT message, WPARAM wparam, LPARAM) {
    switch (message) {
        case WM_INITDIALOG:
            SetWindowLongPtrW(GetDlgItem(page, IDC_BANNER), GWLP_WNDPROC,
                              reinterpret_cast<LONG_PTR>(banner_wnd_proc));
            set_default_texts(page);
            apply_overrides(page);
            return TRUE;
        case WM_COMMAND:
            if (HIWORD(wparam) == BN_CLICKED && LOWORD(wparam) == IDC_LINK) {
                // The target stays ours whatever the button says.
                ShellExecuteW(nullptr, L"open", kLinkUrl, nullptr, nullptr, SW_SHOWNORMAL);
                return TRUE;
            }
            return FALSE;
        default:
            return FALSE;
    }
}

}  // namespace uiplug
