// The maker's help library, our own build: opens the help file with the
// shell's viewer for its type. The context is accepted and not used: the
// viewer opens the file at its start page.
#include <windows.h>
#include <shellapi.h>

extern "C" BOOL WINAPI ZumHelpW(HWND window, LPCWSTR path, UINT command, ULONG_PTR) {
    // Closing help needs nothing: the viewer is a process of its own.
    if (command == HELP_QUIT) return TRUE;
    if (!path || !*path || ::GetFileAttributesW(path) == INVALID_FILE_ATTRIBUTES) {
        ::SetLastError(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    const HINSTANCE result = ::ShellExecuteW(window, L"open", path, nullptr, nullptr, SW_SHOWNORMAL);
    return reinterpret_cast<INT_PTR>(result) > 32 ? TRUE : FALSE;
}
