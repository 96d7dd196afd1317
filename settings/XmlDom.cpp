#include "settings/XmlDom.h"

#include <ole2.h>
#include <shlwapi.h>

namespace tessaran {

// {88D96A05-F192-11D4-A65F-0040963251E5}
const CLSID kClsidDomDocument60 = {0x88D96A05, 0xF192, 0x11D4, {0xA6, 0x5F, 0x00, 0x40, 0x96, 0x32, 0x51, 0xE5}};
// {2933BF95-7B36-11D2-B20E-00C04F983E60}
const IID kIidXmlDomDocument2 = {0x2933BF95, 0x7B36, 0x11D2, {0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60}};

namespace {

HRESULT CreateDom(REFIID riid, void** document) noexcept {
    ComPtr<IUnknown> unknown;
    HRESULT hr = ::CoCreateInstance(kClsidDomDocument60, nullptr, CLSCTX_ALL, IID_IUnknown, unknown.put_void());
    if (FAILED(hr)) return hr;
    hr = ::OleRun(unknown.get());
    if (FAILED(hr)) return hr;
    return unknown->QueryInterface(riid, document);
}

}  // namespace

HRESULT CreateDomDocument(ComPtr<IXMLDOMDocument>& document) noexcept {
    return CreateDom(IID_IXMLDOMDocument, document.put_void());
}

HRESULT CreateDomDocument2(ComPtr<IXMLDOMDocument2>& document) noexcept {
    return CreateDom(kIidXmlDomDocument2, document.put_void());
}

UniqueBstr MakeBstr(const std::wstring& text) noexcept {
    return UniqueBstr(::SysAllocStringLen(text.data(), static_cast<UINT>(text.size())));
}

HRESULT LoadDomFile(IXMLDOMDocument* document, const wchar_t* path) noexcept {
    HRESULT hr = document->put_async(VARIANT_FALSE);
    if (FAILED(hr)) return hr;
    // Given a path, the engine reads it as a URL, where "#" and "%" mean
    // something; they may well be part of a user's folder name. A stream of
    // the file is read as it is.
    ComPtr<IStream> stream;
    if (FAILED(::SHCreateStreamOnFileEx(path, STGM_READ | STGM_SHARE_DENY_WRITE, FILE_ATTRIBUTE_NORMAL, FALSE,
                                        nullptr, stream.put()))) {
        return S_FALSE;
    }
    UniqueVariant source;
    V_VT(source.get()) = VT_UNKNOWN;
    V_UNKNOWN(source.get()) = stream.get();
    stream->AddRef();
    // Its success flag is the answer: for a text that is not well-formed the
    // engine may also return a failure code.
    VARIANT_BOOL loaded = VARIANT_FALSE;
    hr = document->load(*source.get(), &loaded);
    return SUCCEEDED(hr) && loaded == VARIANT_TRUE ? S_OK : S_FALSE;
}

HRESULT LoadDomText(IXMLDOMDocument* document, const wchar_t* text) noexcept {
    HRESULT hr = document->put_async(VARIANT_FALSE);
    if (FAILED(hr)) return hr;
    UniqueBstr source(::SysAllocString(text));
    if (!source) return E_OUTOFMEMORY;
    VARIANT_BOOL loaded = VARIANT_FALSE;
    hr = document->loadXML(source.get(), &loaded);
    return SUCCEEDED(hr) && loaded == VARIANT_TRUE ? S_OK : S_FALSE;
}

HRESULT DocumentElement(IXMLDOMDocument* document, ComPtr<IXMLDOMElement>& element) noexcept {
    const HRESULT hr = document->get_documentElement(element.put());
    if (FAILED(hr)) return hr;
    return element ? S_OK : S_FALSE;
}

HRESULT SelectNode(IXMLDOMNode* context, const wchar_t* expression, ComPtr<IXMLDOMNode>& node) noexcept {
    UniqueBstr query(::SysAllocString(expression));
    if (!query) return E_OUTOFMEMORY;
    const HRESULT hr = context->selectSingleNode(query.get(), node.put());
    if (FAILED(hr)) return hr;
    return node ? S_OK : S_FALSE;
}

HRESULT NodeText(IXMLDOMNode* node, std::wstring& text) {
    UniqueBstr value;
    const HRESULT hr = node->get_text(value.put());
    if (FAILED(hr)) return hr;
    text.assign(value.get() ? value.get() : L"", value.get() ? ::SysStringLen(value.get()) : 0);
    return S_OK;
}

HRESULT SetNodeText(IXMLDOMNode* node, const std::wstring& text) noexcept {
    UniqueBstr value = MakeBstr(text);
    if (!value) return E_OUTOFMEMORY;
    return node->put_text(value.get());
}

HRESULT NodeName(IXMLDOMNode* node, std::wstring& name) {
    UniqueBstr value;
    const HRESULT hr = node->get_nodeName(value.put());
    if (FAILED(hr)) return hr;
    name.assign(value.get() ? value.get() : L"", value.get() ? ::SysStringLen(value.get()) : 0);
    return S_OK;
}

bool IsWhitespaceText(IXMLDOMNode* node) {
    DOMNodeType type = NODE_INVALID;
    if (FAILED(node->get_nodeType(&type)) || type != NODE_TEXT) return false;
    UniqueVariant value;
    if (FAILED(node->get_nodeValue(value.get())) || V_VT(value.get()) != VT_BSTR) return false;
    const BSTR raw = V_BSTR(value.get());
    const UINT length = raw ? ::SysStringLen(raw) : 0;
    for (UINT i = 0; i < length; ++i) {
        const wchar_t c = raw[i];
        if (c != L' ' && c != L'\t' && c != L'\r' && c != L'\n') return false;
    }
    return true;
}

}  // namespace tessaran
