// Running other programs from a test: Wine's own tools and the host
// simulator, whose output lines are parsed here.
#pragma once

#include <windows.h>

#include <string>
#include <utility>
#include <vector>

namespace tessaran_test {

struct ProcessResult {
    DWORD exitCode = 0xFFFFFFFF;  // stays so when the program could not start
    std::string output;           // its standard output, as bytes
};

using EnvironmentOverrides = std::vector<std::pair<std::wstring, std::wstring>>;

// Sets environment variables of this process for a scope (an empty value
// removes one) and puts the old values back.
class ScopedEnvironment {
public:
    explicit ScopedEnvironment(const EnvironmentOverrides& overrides);
    ~ScopedEnvironment();
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

private:
    struct Saved {
        std::wstring name;
        std::wstring value;
        bool existed;
    };
    std::vector<Saved> m_saved;
};

// "<ProgramFilesDir>\Orvell Electronics\Shared Files" of the prefix, where the
// maker installs its shared libraries; made for a test and emptied again.
class MakerSharedFolder {
public:
    MakerSharedFolder();
    ~MakerSharedFolder();
    MakerSharedFolder(const MakerSharedFolder&) = delete;
    MakerSharedFolder& operator=(const MakerSharedFolder&) = delete;
    // Copies one of build\makerlibs into the folder.
    bool Put(const wchar_t* makerLib);
    // Copies any file into the folder under the name given.
    bool PutFile(const std::wstring& from, const wchar_t* name);

private:
    std::wstring m_maker;
    std::wstring m_path;
    std::vector<std::wstring> m_files;
    bool m_madeMaker = false;
};

// Runs a command line to its end. The environment overrides apply to the
// child only (an empty value removes the variable); standard error is shared
// with the test so that it shows in the test log.
ProcessResult RunProcess(const std::wstring& commandLine, const std::wstring& currentDirectory = {},
                         const EnvironmentOverrides& environment = {});

std::wstring Quoted(const std::wstring& path);

// Build outputs, as Windows paths.
std::wstring PluginDllPath();   // plugin\TessaranService.dll
std::wstring HostSimPath();     // hostsim\hostsim.exe (with SMRPluginIF.tlb beside it)
std::wstring MakerLibPath(const wchar_t* fileName);  // makerlibs\<fileName>

bool CopyFileTo(const std::wstring& from, const std::wstring& to);

// One "Operation: HRESULT [value]" line of the host simulator.
struct HostSimCall {
    std::string operation;
    std::string hr;     // 8 upper-case hex digits
    std::string value;  // as printed: a JSON string literal, a number or a {GUID}; may be empty
};

std::vector<HostSimCall> ParseHostSim(const std::string& output);
// The text of a value printed as a JSON string literal (escapes undone).
std::wstring HostSimText(const std::string& value);

}  // namespace tessaran_test
