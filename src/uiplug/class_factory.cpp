#include "uiplug/class_factory.h"

#include <new>

#include "uiplug/module.h"
#include "uiplug/oem_ui.h"
#include "uiplug/plugin.h"

namespace uiplug {

HRESULT STDMETHODCALLTYPE class_factory::CreateInstance(IUnknown* outer, REFIID riid, void** ppv) {
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    auto* object = new (std::nothrow) plugin();
    if (object == nullptr) return E_OUTOFMEMORY;
    // The new object starts at one reference: an unsupported riid destroys it here.
    const HRESULT result = object->QueryInterface(riid, ppv);
    object->Release();
    return result;
}

HRESULT STDMETHODCALLTYPE class_factory::LockServer(BOOL lock) {
    lock_module(lock != FALSE);
    return S_OK;
}

}  // namespace uiplug
