// A help library for the dialog tests: records each call, one line
// "window<TAB>path<TAB>command<TAB>context" in UTF-8, in the file named by
// TESSARAN_FAKEHELP_LOG, and reports success.
#include <windows.h>

#include <cstdio>

extern "C" BOOL WINAPI ZumHelpW(HWND window, LPCWSTR path, UINT command, ULONG_PTR context) {
    wchar_t log[MAX_PATH] = {};
    if (!::GetEnvironmentVariableW(L"TESSARAN_FAKEHELP_LOG", log, MAX_PATH)) return FALSE;
    FILE* file = _wfopen(log, L"ab");
    if (!file) return FALSE;
    char utf8[1024] = {};
    ::WideCharToMultiByte(CP_UTF8, 0, path ? path : L"", -1, utf8, sizeof(utf8) - 1, nullptr, nullptr);
    fprintf(file, "%lu\t%s\t%u\t%lu\n", static_cast<unsigned long>(reinterpret_cast<ULONG_PTR>(window)), utf8,
            command, static_cast<unsigned long>(context));
    fclose(file);
    return TRUE;
}
