// Records the calls of ReplaceFileW that this program makes (the plug-in's
// code is linked into each test program) while the object lives, by pointing
// the program's own import of it at a recorder.
//
// Why in the tests: on Windows, ReplaceFileW gives the new file the replaced
// file's access rights and attributes, which is what the settings rely on.
// Wine 8's ReplaceFileW renames as a move does and keeps neither, so under
// Wine the kept rights cannot be seen; the call that keeps them on Windows
// can. A test may also make the next call fail as Windows can.
#pragma once

#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

namespace tessaran_test {

class ReplaceFileRecorder {
public:
    struct Call {
        std::wstring replaced;
        std::wstring replacement;
        bool backup;  // a backup name was given
    };

    ReplaceFileRecorder() {
        s_calls.clear();
        s_failNext = ERROR_SUCCESS;
        m_slot = ImportSlot("kernel32.dll", "ReplaceFileW");
        if (!m_slot) return;
        s_original = reinterpret_cast<ReplaceFn>(*m_slot);
        Write(reinterpret_cast<void*>(&Record));
    }
    ~ReplaceFileRecorder() {
        if (m_slot) Write(reinterpret_cast<void*>(s_original));
    }
    ReplaceFileRecorder(const ReplaceFileRecorder&) = delete;
    ReplaceFileRecorder& operator=(const ReplaceFileRecorder&) = delete;

    bool Installed() const { return m_slot != nullptr; }
    const std::vector<Call>& Calls() const { return s_calls; }
    void Clear() { s_calls.clear(); }
    // The next call fails with error as Windows reports it; for
    // ERROR_UNABLE_TO_MOVE_REPLACEMENT the replaced file is gone and the
    // replacement keeps its own name, as the documentation describes.
    void FailNext(DWORD error) { s_failNext = error; }

private:
    using ReplaceFn = BOOL(WINAPI*)(LPCWSTR, LPCWSTR, LPCWSTR, DWORD, LPVOID, LPVOID);

    static BOOL WINAPI Record(LPCWSTR replaced, LPCWSTR replacement, LPCWSTR backup, DWORD flags, LPVOID exclude,
                              LPVOID reserved) {
        s_calls.push_back({replaced ? replaced : L"", replacement ? replacement : L"", backup != nullptr});
        const DWORD fail = s_failNext;
        if (fail == ERROR_SUCCESS) return s_original(replaced, replacement, backup, flags, exclude, reserved);
        s_failNext = ERROR_SUCCESS;
        if (fail == ERROR_UNABLE_TO_MOVE_REPLACEMENT) ::DeleteFileW(replaced);
        ::SetLastError(fail);
        return FALSE;
    }

    // The import address slot of function from dll in this program.
    static void** ImportSlot(const char* dll, const char* function) {
        auto* base = reinterpret_cast<BYTE*>(::GetModuleHandleW(nullptr));
        auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(base);
        auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
        const IMAGE_DATA_DIRECTORY& imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
        if (imports.VirtualAddress == 0) return nullptr;
        for (auto* entry = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress); entry->Name;
             ++entry) {
            if (::_stricmp(reinterpret_cast<const char*>(base + entry->Name), dll) != 0) continue;
            auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + entry->OriginalFirstThunk);
            auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + entry->FirstThunk);
            for (; names->u1.AddressOfData; ++names, ++slots) {
                if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
                auto* byName = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
                if (std::strcmp(reinterpret_cast<const char*>(byName->Name), function) == 0) {
                    return reinterpret_cast<void**>(&slots->u1.Function);
                }
            }
        }
        return nullptr;
    }

    void Write(void* value) {
        DWORD previous = 0;
        if (!::VirtualProtect(m_slot, sizeof(void*), PAGE_READWRITE, &previous)) return;
        *m_slot = value;
        ::VirtualProtect(m_slot, sizeof(void*), previous, &previous);
    }

    void** m_slot = nullptr;
    static inline ReplaceFn s_original = nullptr;
    static inline std::vector<Call> s_calls;
    static inline DWORD s_failNext = ERROR_SUCCESS;
};

}  // namespace tessaran_test
