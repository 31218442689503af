// IUnknown for an object that serves IUnknown and one interface of its own, with a
// reference count that starts at 1 and changes only through interlocked operations.
#pragma once

#include <windows.h>
#include <objbase.h>

#include "uiplug/oem_ui.h"

namespace uiplug {

template <typename Derived, typename Interface, const GUID& kIid>
class com_object : public Interface {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr) return E_POINTER;
        if (riid == kIidUnknown || riid == kIid) {
            *ppv = static_cast<Interface*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }

    ULONG STDMETHODCALLTYPE AddRef() override {
        return static_cast<ULONG>(InterlockedIncrement(&references_));
    }

    ULONG STDMETHODCALLTYPE Release() override {
        const LONG remaining = InterlockedDecrement(&references_);
        if (remaining == 0) delete static_cast<Derived*>(this);
        return static_cast<ULONG>(remaining);
    }

protected:
    com_object() = default;
    ~com_object() = default;

private:
    volatile LONG references_ = 1;
};

}  // namespace uiplug
