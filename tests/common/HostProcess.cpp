#include "HostProcess.h"

#include <cwchar>

#include "TestPaths.h"
#include "support/Handles.h"

namespace tessaran_test {

ScopedEnvironment::ScopedEnvironment(const EnvironmentOverrides& overrides) {
    for (const auto& [name, value] : overrides) {
        const bool existed = ::GetEnvironmentVariableW(name.c_str(), nullptr, 0) != 0;
        m_saved.push_back({name, Env(name.c_str()), existed});
        ::SetEnvironmentVariableW(name.c_str(), value.empty() ? nullptr : value.c_str());
    }
}

ScopedEnvironment::~ScopedEnvironment() {
    for (auto it = m_saved.rbegin(); it != m_saved.rend(); ++it) {
        ::SetEnvironmentVariableW(it->name.c_str(), it->existed ? it->value.c_str() : nullptr);
    }
}

MakerSharedFolder::MakerSharedFolder() {
    wchar_t programFiles[MAX_PATH] = {};
    DWORD size = sizeof(programFiles);
    ::RegGetValueW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion", L"ProgramFilesDir",
                   RRF_RT_REG_SZ, nullptr, programFiles, &size);
    m_maker = std::wstring(programFiles) + L"\\Orvell Electronics";
    m_path = m_maker + L"\\Shared Files";
    m_madeMaker = ::CreateDirectoryW(m_maker.c_str(), nullptr) != FALSE;
    ::CreateDirectoryW(m_path.c_str(), nullptr);
}

MakerSharedFolder::~MakerSharedFolder() {
    for (const std::wstring& file : m_files) ::DeleteFileW(file.c_str());
    ::RemoveDirectoryW(m_path.c_str());
    if (m_madeMaker) ::RemoveDirectoryW(m_maker.c_str());
}

bool MakerSharedFolder::Put(const wchar_t* makerLib) {
    m_files.push_back(m_path + L"\\" + makerLib);
    return CopyFileTo(MakerLibPath(makerLib), m_files.back());
}

bool MakerSharedFolder::PutFile(const std::wstring& from, const wchar_t* name) {
    m_files.push_back(m_path + L"\\" + name);
    return CopyFileTo(from, m_files.back());
}

ProcessResult RunProcess(const std::wstring& commandLine, const std::wstring& currentDirectory,
                         const EnvironmentOverrides& environment) {
    ProcessResult result;
    SECURITY_ATTRIBUTES inheritable = {sizeof(inheritable), nullptr, TRUE};
    tessaran::UniqueHandleNull readEnd;
    tessaran::UniqueHandleNull writeEnd;
    if (!::CreatePipe(readEnd.put(), writeEnd.put(), &inheritable, 0)) return result;
    ::SetHandleInformation(readEnd.get(), HANDLE_FLAG_INHERIT, 0);

    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = writeEnd.get();
    startup.hStdError = ::GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION process = {};
    std::wstring mutableLine = commandLine;
    {
        ScopedEnvironment scope(environment);
        if (!::CreateProcessW(nullptr, &mutableLine[0], nullptr, nullptr, TRUE, 0, nullptr,
                              currentDirectory.empty() ? nullptr : currentDirectory.c_str(), &startup, &process)) {
            return result;
        }
    }
    tessaran::UniqueHandleNull processHandle(process.hProcess);
    tessaran::UniqueHandleNull threadHandle(process.hThread);
    writeEnd.reset();  // the child's copy is the only writer now

    char buffer[4096];
    DWORD read = 0;
    while (::ReadFile(readEnd.get(), buffer, sizeof(buffer), &read, nullptr) && read > 0) {
        result.output.append(buffer, read);
    }
    ::WaitForSingleObject(processHandle.get(), 120000);
    ::GetExitCodeProcess(processHandle.get(), &result.exitCode);
    return result;
}

std::wstring Quoted(const std::wstring& path) { return L"\"" + path + L"\""; }

std::wstring PluginDllPath() { return BuildDir() + L"\\plugin\\TessaranService.dll"; }
std::wstring HostSimPath() { return BuildDir() + L"\\hostsim\\hostsim.exe"; }
std::wstring MakerLibPath(const wchar_t* fileName) { return BuildDir() + L"\\makerlibs\\" + fileName; }

bool CopyFileTo(const std::wstring& from, const std::wstring& to) {
    return ::CopyFileW(from.c_str(), to.c_str(), FALSE) != FALSE;
}

std::vector<HostSimCall> ParseHostSim(const std::string& output) {
    std::vector<HostSimCall> calls;
    size_t start = 0;
    while (start < output.size()) {
        size_t end = output.find('\n', start);
        if (end == std::string::npos) end = output.size();
        const std::string line = output.substr(start, end - start);
        start = end + 1;
        const size_t colon = line.find(": ");
        if (colon == std::string::npos || colon == 0) continue;
        HostSimCall call;
        call.operation = line.substr(0, colon);
        const std::string rest = line.substr(colon + 2);
        call.hr = rest.substr(0, rest.find(' '));
        if (rest.size() > call.hr.size() + 1) call.value = rest.substr(call.hr.size() + 1);
        calls.push_back(call);
    }
    return calls;
}

std::wstring HostSimText(const std::string& value) {
    if (value.size() < 2 || value.front() != '"' || value.back() != '"') return FromUtf8(value);
    const std::wstring quoted = FromUtf8(value.substr(1, value.size() - 2));
    std::wstring text;
    for (size_t i = 0; i < quoted.size(); ++i) {
        if (quoted[i] != L'\\' || i + 1 >= quoted.size()) {
            text += quoted[i];
            continue;
        }
        const wchar_t escaped = quoted[++i];
        switch (escaped) {
        case L'n': text += L'\n'; break;
        case L'r': text += L'\r'; break;
        case L't': text += L'\t'; break;
        case L'u':
            text += static_cast<wchar_t>(std::wcstoul(quoted.substr(i + 1, 4).c_str(), nullptr, 16));
            i += 4;
            break;
        default: text += escaped; break;
        }
    }
    return text;
}

}  // namespace tessaran_test
