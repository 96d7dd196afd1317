// "AppConfig.XML" beside the plug-in: the version text and the service hosts.
#include <cwchar>

#include "controller/MeishiServiceCtrl.h"
#include "settings/XmlDom.h"
#include "support/Format.h"
#include "support/Result.h"

namespace tessaran {

HRESULT CMeishiServiceCtrl::LoadAppConfig(HMODULE module) {
    return TessaranGuard([&]() -> HRESULT {
        // A null handle would name the host's own file.
        if (!module) return HResultFromWin32(ERROR_MOD_NOT_FOUND);
        wchar_t modulePath[MAX_PATH] = {};
        const DWORD length = ::GetModuleFileNameW(module, modulePath, MAX_PATH);
        if (length == 0) return LastErrorHResult();
        if (length >= MAX_PATH) return HResultFromWin32(ERROR_INSUFFICIENT_BUFFER);
        wchar_t* slash = ::wcsrchr(modulePath, L'\\');
        if (!slash) return HResultFromWin32(ERROR_BAD_PATHNAME);
        *slash = L'\0';
        wchar_t path[MAX_PATH] = {};
        if (Format(path, MAX_PATH, L"%s%s", modulePath, L"\\AppConfig.XML") < 0) {
            return HResultFromWin32(ERROR_FILENAME_EXCED_RANGE);
        }

        ComPtr<IXMLDOMDocument2> document;
        TESSARAN_RETURN_IF_FAILED(CreateDomDocument2(document));
        const HRESULT loaded = LoadDomFile(document.get(), path);
        if (loaded != S_OK) return FAILED(loaded) ? loaded : E_FAIL;
        ComPtr<IXMLDOMElement> root;
        if (DocumentElement(document.get(), root) != S_OK) return E_FAIL;
        ComPtr<IXMLDOMNodeList> children;
        TESSARAN_RETURN_IF_FAILED(root->get_childNodes(children.put()));
        if (!children) return E_FAIL;
        long count = 0;
        TESSARAN_RETURN_IF_FAILED(children->get_length(&count));
        for (long i = 0; i < count; ++i) {
            ComPtr<IXMLDOMNode> child;
            TESSARAN_RETURN_IF_FAILED(children->get_item(i, child.put()));
            if (!child) return E_FAIL;
            std::wstring name;
            std::wstring text;
            TESSARAN_RETURN_IF_FAILED(NodeName(child.get(), name));
            TESSARAN_RETURN_IF_FAILED(NodeText(child.get(), text));
            // A later entry of the same name wins.
            m_AppConfig[name] = text;
        }
        return S_OK;
    });
}

std::wstring CMeishiServiceCtrl::GetVersion() const {
    const auto entry = m_AppConfig.find(L"version");
    return entry == m_AppConfig.end() ? std::wstring() : entry->second;
}

}  // namespace tessaran
