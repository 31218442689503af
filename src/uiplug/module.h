// State shared by the whole DLL: one copy per process.
#pragma once

#include <windows.h>

namespace uiplug {

// This DLL's own handle, stored at process attach.
HINSTANCE module_instance();

// Live plug-in objects; DllCanUnloadNow refuses while any is alive.
void object_created();
void object_destroyed();

// LockServer's count.
void lock_module(bool lock);

bool module_in_use();

// Sets the thread's last-error value and returns E_FAIL, the plug-in's one failure result.
HRESULT fail_with(DWORD code);

}  // namespace uiplug
