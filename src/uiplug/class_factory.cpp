#include "uiplug/class_factory.h"

#include <new>

#include "uiplug/module.h"
#include "uiplug/oem_ui.h"
#include "uiplug/plugin.h"

namespace uiplug {

HRESULT STDMETHODCALLTYPE class_factory::QueryInterface(REFIID riid, void** ppv) {
    if (ppv == nullptr) return E_POINTER;
    if (riid == kIidUnknown || riid == kIidClassFactory) {
        *ppv = static_cast<IClassFactory*>(this);
        AddRef();
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE class_factory::AddRef() { return static_cast<ULONG>(InterlockedIncrement(&references_)); }

ULONG STDMETHODCALLTYPE class_factory::Release() {
    const LONG remaining = InterlockedDecrement(&references_);
    if (remaining == 0) delete this;
    return static_cast<ULONG>(remaining);
}

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
