// The DLL's exported entry points.
#include <windows.h>

#include "host/ClassFactory.h"
#include "host/Module.h"
#include "host/Registration.h"
#include "service/AsyncRequest.h"
#include "support/Result.h"

using namespace tessaran;

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    switch (reason) {
    case DLL_PROCESS_ATTACH:
        SetModuleInstance(instance);
        ::DisableThreadLibraryCalls(instance);
        StartUp(instance);
        break;
    case DLL_PROCESS_DETACH:
        ShutDown(reserved != nullptr);
        break;
    default:
        break;
    }
    return TRUE;
}

extern "C" HRESULT WINAPI DllGetClassObject(REFCLSID clsid, REFIID riid, LPVOID* object) {
    return TessaranGuard([&] { return GetPluginClassObject(clsid, riid, object); });
}

// WinINet calls into the module's code until it lets go of every request,
// also of one abandoned long ago (a cancel or a stalled service).
extern "C" HRESULT WINAPI DllCanUnloadNow() {
    return ModuleLockCount() == 0 && RequestsHeldByWinInet() == 0 ? S_OK : S_FALSE;
}

extern "C" HRESULT WINAPI DllRegisterServer() {
    return TessaranGuard([] { return RegisterServer(ModuleInstance(), IsPerUserRegistration()); });
}

extern "C" HRESULT WINAPI DllUnregisterServer() {
    return TessaranGuard([] { return UnregisterServer(ModuleInstance(), IsPerUserRegistration()); });
}

extern "C" HRESULT WINAPI DllInstall(BOOL install, LPCWSTR commandLine) {
    return TessaranGuard([&]() -> HRESULT {
        if (commandLine && ::lstrcmpiW(commandLine, L"user") == 0) SetPerUserRegistration(true);
        if (!install) return DllUnregisterServer();
        const HRESULT hr = DllRegisterServer();
        if (FAILED(hr)) DllUnregisterServer();
        return hr;
    });
}
