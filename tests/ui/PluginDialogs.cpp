#include "PluginDialogs.h"

#include <gtest/gtest.h>

#include "common/TestPaths.h"
#include "host/Module.h"

namespace ui_test {

namespace {

HMODULE g_plugin = nullptr;

class PluginEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        const std::wstring path = tessaran_test::BuildDir() + L"\\plugin\\TessaranService.dll";
        g_plugin = ::LoadLibraryW(path.c_str());
        ASSERT_NE(g_plugin, nullptr) << "cannot load the plug-in, error " << ::GetLastError();
        // Dialog templates now come from the DLL, as they do inside the host.
        tessaran::SetModuleInstance(g_plugin);
    }
    void TearDown() override {
        tessaran::SetModuleInstance(nullptr);
        if (g_plugin) ::FreeLibrary(g_plugin);
        g_plugin = nullptr;
    }
};

const auto* const g_environment = ::testing::AddGlobalTestEnvironment(new PluginEnvironment);

}  // namespace

HMODULE PluginDll() { return g_plugin; }

TemplatesMissing::TemplatesMissing() { tessaran::SetModuleInstance(::GetModuleHandleW(nullptr)); }

TemplatesMissing::~TemplatesMissing() { tessaran::SetModuleInstance(g_plugin); }

HRESULT TemplatesMissing::Failure() {
    if (::FindResourceW(::GetModuleHandleW(nullptr), MAKEINTRESOURCEW(204), MAKEINTRESOURCEW(5))) return S_OK;
    return HRESULT_FROM_WIN32(::GetLastError());
}

}  // namespace ui_test
