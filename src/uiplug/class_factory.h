// The class factory that DllGetClassObject hands out.
#pragma once

#include "uiplug/com_object.h"

namespace uiplug {

class class_factory final : public com_object<class_factory, IClassFactory, kIidClassFactory> {
public:
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override;
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override;
};

}  // namespace uiplug
