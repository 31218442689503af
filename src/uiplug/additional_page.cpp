#include <string.h>

#include "common/owned.h"

#include "uiplug/module.h"
#include "uiplug/pages.h"
#include "uiplug/resource_ids.h"

namespace uiplug {
namespace {

constexpr wchar_t kConfigProgram[] = L"cfgpanel.exe";

// The printer's configuration program lies beside this DLL. A directory too long for
// the program's name starts nothing rather than something cut short.
void start_config_program() {
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(module_instance(), path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return;
    wchar_t* last_slash = wcsrchr(path, L'\\');
    const size_t directory_units =
        last_slash == nullptr ? 0 : static_cast<size_t>(last_slash - path) + 1;
    if (directory_units + sizeof kConfigProgram / sizeof(wchar_t) > MAX_PATH) return;
    memcpy(path + directory_units, kConfigProgram, sizeof kConfigProgram);

    STARTUPINFOW startup;
    ZeroMemory(&startup, sizeof startup);
    startup.cb = sizeof startup;
    // Started and left to run: its handles close here.
    owned::process_info process;
    CreateProcessW(path, nullptr, nullptr, nullptr, FALSE, NORMAL_PRIORITY_CLASS, nullptr, nullptr,
                   &startup, process.put());
}

}  // namespace

INT_PTR CALLBACK additional_page_proc(HWND, UINT message, WPARAM wparam, LPARAM) {
    switch (message) {
        case WM_INITDIALOG:
            return TRUE;
        case WM_COMMAND:
            if (HIWORD(wparam) == BN_CLICKED && LOWORD(wparam) == IDC_ADDITIONAL_PROPERTIES) {
                start_config_program();
                return TRUE;
            }
            return FALSE;
        default:
            return FALSE;
    }
}

}  // namespace uiplug
