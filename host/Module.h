// Process-wide state of the plug-in module: its instance handle and the lock
// count behind DllCanUnloadNow.
#pragma once

#include <windows.h>

namespace tessaran {

HINSTANCE ModuleInstance() noexcept;
void SetModuleInstance(HINSTANCE instance) noexcept;

void ModuleLock() noexcept;
void ModuleUnlock() noexcept;
LONG ModuleLockCount() noexcept;

// Start-up on process attach: the log library and its handle, the
// localisation library with the user's language and the plug-in's texts.
void StartUp(HINSTANCE instance) noexcept;
// Exit on process detach; nothing is freed while the whole process ends.
void ShutDown(bool processEnding) noexcept;

// Per-user registration (HKCU\Software\Classes) for the rest of the process.
void SetPerUserRegistration(bool perUser) noexcept;
bool IsPerUserRegistration() noexcept;

}  // namespace tessaran
