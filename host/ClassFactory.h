// The class object of CSMRMeishiPlugin; one per process, kept until unload.
#pragma once

#include <windows.h>
#include <objbase.h>

namespace tessaran {

class CPluginClassFactory final : public IClassFactory {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** object) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;
    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** object) override;
    STDMETHODIMP LockServer(BOOL lock) override;
};

// The class object for clsid, or CLASS_E_CLASSNOTAVAILABLE.
HRESULT GetPluginClassObject(REFCLSID clsid, REFIID riid, void** object);

}  // namespace tessaran
