// Bringing another process's window to the foreground.
#pragma once

#include <windows.h>

// Returns what SetForegroundWindow returned.
bool bring_to_foreground(HWND window);
