#include "host/ClassFactory.h"

#include "TessaranService.h"
#include "host/Module.h"
#include "host/PluginObject.h"
#include "support/Result.h"

namespace tessaran {

STDMETHODIMP CPluginClassFactory::QueryInterface(REFIID riid, void** object) {
    if (!object) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IClassFactory)) {
        *object = static_cast<IClassFactory*>(this);
        AddRef();
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

// The class object is static; its references keep the module loaded.
STDMETHODIMP_(ULONG) CPluginClassFactory::AddRef() {
    ModuleLock();
    return 2;
}
STDMETHODIMP_(ULONG) CPluginClassFactory::Release() {
    ModuleUnlock();
    return 1;
}

STDMETHODIMP CPluginClassFactory::CreateInstance(IUnknown* outer, REFIID riid, void** object) {
    return CCSMRMeishiPlugin::Create(outer, riid, object);
}

STDMETHODIMP CPluginClassFactory::LockServer(BOOL lock) {
    if (lock) {
        ModuleLock();
    } else {
        ModuleUnlock();
    }
    return S_OK;
}

HRESULT GetPluginClassObject(REFCLSID clsid, REFIID riid, void** object) {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (!IsEqualCLSID(clsid, CLSID_CSMRMeishiPlugin)) return CLASS_E_CLASSNOTAVAILABLE;
    static CPluginClassFactory factory;
    return factory.QueryInterface(riid, object);
}

}  // namespace tessaran
