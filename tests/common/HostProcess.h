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
