#include "uiplug/module.h"

#include <new>

#include "uiplug/class_factory.h"
#include "uiplug/oem_ui.h"
#include "uiplug/pages.h"

namespace uiplug {
namespace {

HINSTANCE g_instance = nullptr;
volatile LONG g_lock_count = 0;
volatile LONG g_object_count = 0;

}  // namespace

HINSTANCE module_instance() { return g_instance; }

void object_created() { InterlockedIncrement(&g_object_count); }

void object_destroyed() { InterlockedDecrement(&g_object_count); }

void lock_module(bool lock) {
    if (lock) {
        InterlockedIncrement(&g_lock_count);
    } else {
        InterlockedDecrement(&g_lock_count);
    }
}

bool module_in_use() { return g_object_count != 0 || g_lock_count != 0; }

HRESULT fail_with(DWORD code) {
    SetLastError(code);
    return E_FAIL;
}

}  // namespace uiplug

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        uiplug::g_instance = instance;
    } else if (reason == DLL_PROCESS_DETACH) {
        uiplug::release_activation_context();
    }
    return TRUE;
}

STDAPI DllCanUnloadNow() { return uiplug::module_in_use() ? S_FALSE : S_OK; }

STDAPI DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv) {
    if (rclsid != uiplug::kClsidPlugin) return CLASS_E_CLASSNOTAVAILABLE;
    auto* factory = new (std::nothrow) uiplug::class_factory();
    if (factory == nullptr) return E_OUTOFMEMORY;
    // The factory starts at one reference: an unsupported riid destroys it here.
    const HRESULT result = factory->QueryInterface(riid, ppv);
    factory->Release();
    return result;
}
