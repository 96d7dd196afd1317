// Places the tests work in: the build tree seen from Wine, and scratch folders.
#pragma once

#include <windows.h>

#include <string>

namespace tessaran_test {

// A Unix path as Wine's Z: drive shows it.
std::wstring FromUnixPath(const std::string& unixPath);
// An environment variable's value, empty when unset.
std::wstring Env(const wchar_t* name);
// The build tree (TESSARAN_BUILD_DIR) and source tree, as Windows paths without trailing backslash.
std::wstring BuildDir();
std::wstring SourceDir();

// A new empty folder below the Windows temp folder, removed with everything in it.
class ScratchDir {
public:
    explicit ScratchDir(const wchar_t* prefix = L"tst");
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::wstring& path() const { return m_path; }
    std::wstring operator/(const std::wstring& name) const { return m_path + L"\\" + name; }

private:
    std::wstring m_path;
};

void RemoveTree(const std::wstring& path);
bool FileExists(const std::wstring& path);
std::string ReadFileBytes(const std::wstring& path);
void WriteFileBytes(const std::wstring& path, const std::string& bytes);
std::string ToUtf8(const std::wstring& text);
std::wstring FromUtf8(const std::string& text);

}  // namespace tessaran_test
