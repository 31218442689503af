// The "About" and "Additional" pages added to the printer's property sheets.
#pragma once

#include <windows.h>

#include <stddef.h>

namespace uiplug {

INT_PTR CALLBACK about_page_proc(HWND page, UINT message, WPARAM wparam, LPARAM lparam);
INT_PTR CALLBACK additional_page_proc(HWND page, UINT message, WPARAM wparam, LPARAM lparam);
LRESULT CALLBACK banner_wnd_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

// The context that gives device-sheet pages the version-6 common controls, created on
// first need; INVALID_HANDLE_VALUE when it cannot be had. Released at process detach.
HANDLE get_activation_context();
void release_activation_context();

// Copies text to out with its first '&' doubled, so a static control shows it; later
// ampersands stay accelerators. False, with out empty, when out is too small.
bool escape_first_ampersand(const wchar_t* text, wchar_t* out, size_t out_count);
// Turns every backslash-n pair into a line feed, in place.
void expand_line_breaks(wchar_t* text);

}  // namespace uiplug
