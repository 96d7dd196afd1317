// Process-wide state of the module, and its start-up and exit with the
// maker's libraries.
#include "host/Module.h"

#include <string>

#include "support/Localize.h"
#include "support/Log.h"

namespace tessaran {

namespace {
HINSTANCE g_instance = nullptr;
volatile LONG g_locks = 0;
bool g_perUser = false;

}  // namespace

void StartUp(HINSTANCE instance) noexcept {
    CZumInfoLog::Instance().Start(instance);
    try {
        CZumLibrary& localizer = CZumLibrary::Instance();
        const std::wstring folder = PluginFolder();
        if (localizer.Load(folder)) {
            localizer.SetLocale(::GetUserDefaultLangID());
            const std::wstring locFile = folder + L"\\Tessaran.loc";
            localizer.AddFile(locFile.c_str());
        }
    } catch (...) {
        // Without translations the plug-in shows its own texts.
    }
}

void ShutDown(bool processEnding) noexcept {
    if (processEnding) return;  // other DLLs may already be gone; the process frees everything
    CZumInfoLog::Instance().Stop();
    CZumLibrary::Instance().Unload();
}

HINSTANCE ModuleInstance() noexcept { return g_instance ? g_instance : ::GetModuleHandleW(nullptr); }
void SetModuleInstance(HINSTANCE instance) noexcept { g_instance = instance; }
void ModuleLock() noexcept { ::InterlockedIncrement(&g_locks); }
void ModuleUnlock() noexcept { ::InterlockedDecrement(&g_locks); }
LONG ModuleLockCount() noexcept { return g_locks; }
void SetPerUserRegistration(bool perUser) noexcept { g_perUser = perUser; }
bool IsPerUserRegistration() noexcept { return g_perUser; }

}  // namespace tessaran

