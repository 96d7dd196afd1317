#include "settings/XmlDom.h"

#include <ole2.h>
#include <shlwapi.h>

#include <cstring>

namespace tessaran {

// {88D96A05-F192-11D4-A65F-0040963251E5}
const CLSID kClsidDomDocument60 = {0x88D96A05, 0xF192, 0x11D4, {0xA6, 0x5F, 0x00, 0x40, 0x96, 0x32, 0x51, 0xE5}};
// {2933BF95-7B36-11D2-B20E-00C04F983E60}
const IID kIidXmlDomDocument2 = {0x2933BF95, 0x7B36, 0x11D2, {0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60}};

namespace {

// Every document the plug-in reads comes from a file anyone may have written
// (an import above all): a document type could make its entities of any size,
// or fetch something from elsewhere.
HRESULT ProhibitDocumentTypes(IUnknown* unknown) noexcept {
    ComPtr<IXMLDOMDocument2> document;
    HRESULT hr = unknown->QueryInterface(kIidXmlDomDocument2, document.put_void());
    if (FAILED(hr)) return hr;
    UniqueBstr name(::SysAllocString(L"ProhibitDTD"));
    if (!name) return E_OUTOFMEMORY;
    VARIANT prohibit;
    ::VariantInit(&prohibit);
    V_VT(&prohibit) = VT_BOOL;
    V_BOOL(&prohibit) = VARIANT_TRUE;
    hr = document->setProperty(name.get(), prohibit);
    if (FAILED(hr)) return hr;
    return document->put_resolveExternals(VARIANT_FALSE);
}

HRESULT CreateDom(REFIID riid, void** document) noexcept {
    ComPtr<IUnknown> unknown;
    HRESULT hr = ::CoCreateInstance(kClsidDomDocument60, nullptr, CLSCTX_ALL, IID_IUnknown, unknown.put_void());
    if (FAILED(hr)) return hr;
    hr = ::OleRun(unknown.get());
    if (FAILED(hr)) return hr;
    hr = ProhibitDocumentTypes(unknown.get());
    if (FAILED(hr)) return hr;
    return unknown->QueryInterface(riid, document);
}

// The code units of a stream: UTF-16 in either order (with a byte-order mark,
// or told by the zero byte of its first character), otherwise single bytes,
// which is enough to read the markup of any encoding that keeps ASCII.
class StreamUnits {
public:
    explicit StreamUnits(IStream* stream) noexcept : m_stream(stream) {
        Fill();
        if (Starts("\xEF\xBB\xBF")) {
            m_pos = 3;
        } else if (Starts("\xFF\xFE")) {
            m_pos = 2;
            m_order = Order::kLittle;
        } else if (Starts("\xFE\xFF")) {
            m_pos = 2;
            m_order = Order::kBig;
        } else if (m_size >= 2 && (m_bytes[0] == 0) != (m_bytes[1] == 0)) {
            m_order = m_bytes[1] == 0 ? Order::kLittle : Order::kBig;
        }
    }
    // The next unit; -1 at the end.
    long Next() noexcept {
        const long first = Byte();
        if (first < 0 || m_order == Order::kBytes) return first;
        const long second = Byte();
        if (second < 0) return -1;
        return m_order == Order::kLittle ? first | (second << 8) : (first << 8) | second;
    }

private:
    enum class Order { kBytes, kLittle, kBig };

    bool Starts(const char* mark) const noexcept {
        const size_t length = ::strlen(mark);
        return m_size >= length && ::memcmp(m_bytes, mark, length) == 0;
    }
    long Byte() noexcept {
        if (m_pos == m_size && !Fill()) return -1;
        return m_bytes[m_pos++];
    }
    bool Fill() noexcept {
        ULONG read = 0;
        m_pos = 0;
        m_size = 0;
        if (FAILED(m_stream->Read(m_bytes, sizeof(m_bytes), &read))) return false;
        m_size = read;
        return read > 0;
    }

    IStream* m_stream;
    BYTE m_bytes[4096] = {};
    size_t m_size = 0;
    size_t m_pos = 0;
    Order m_order = Order::kBytes;
};

class TextUnits {
public:
    explicit TextUnits(const wchar_t* text) noexcept : m_next(text) {}
    long Next() noexcept { return *m_next ? *m_next++ : -1; }

private:
    const wchar_t* m_next;
};

// Reads on past the first '>' that follows at least marks units of mark in a
// row; the unit after it, or -1 when the units end first.
template <typename Units>
long SkipPast(Units& units, long mark, int marks) noexcept {
    int run = 0;
    for (long c = units.Next(); c >= 0; c = units.Next()) {
        if (c == '>' && run >= marks) return units.Next();
        run = c == mark ? run + 1 : 0;
    }
    return -1;
}

// The engine checks each attribute of an element against all before it: an
// element of a few hundred thousand attributes held the loading thread for
// minutes. None of the plug-in's files has more than a few.
constexpr int kMaxAttributesPerElement = 256;

// Whether the markup is refused before the engine sees it: a document type
// (whatever it declares, wherever it stands) or an element with too many
// attributes. Whether the rest is well-formed is the engine's to judge.
template <typename Units>
bool RefusedMarkup(Units& units) noexcept {
    for (long c = units.Next(); c >= 0;) {
        if (c != '<') {
            c = units.Next();
            continue;
        }
        c = units.Next();
        if (c == '?') {
            c = SkipPast(units, '?', 1);
        } else if (c == '!') {
            c = units.Next();
            if (c == '-') {
                c = SkipPast(units, '-', 2);
            } else if (c == '[') {
                c = SkipPast(units, ']', 2);
            } else {
                const char* rest = "DOCTYPE";
                while (*rest && (c == *rest || c == *rest - 'A' + 'a')) {
                    ++rest;
                    c = units.Next();
                }
                if (!*rest) return true;
            }
        } else {
            // A start or end tag: every "=" outside a quoted value is an attribute.
            int attributes = 0;
            for (long quote = 0; c >= 0 && (quote || c != '>'); c = units.Next()) {
                if (quote) {
                    if (c == quote) quote = 0;
                } else if (c == '"' || c == '\'') {
                    quote = c;
                } else if (c == '=' && ++attributes > kMaxAttributesPerElement) {
                    return true;
                }
            }
        }
    }
    return false;
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

HRESULT LoadDomFile(IXMLDOMDocument* document, const wchar_t* path, ULONGLONG maxBytes) noexcept {
    HRESULT hr = document->put_async(VARIANT_FALSE);
    if (FAILED(hr)) return hr;
    // Given a path, the engine reads it as a URL, where "#" and "%" mean
    // something; they may well be part of a user's folder name. A stream of
    // the file is read as it is. Reading keeps no other program from the
    // file (one that has it open to write would make the open fail): the
    // plug-in's own saves replace a file whole rather than write into it, and
    // what another program half wrote does not parse.
    ComPtr<IStream> stream;
    if (FAILED(::SHCreateStreamOnFileEx(path, STGM_READ | STGM_SHARE_DENY_NONE, FILE_ATTRIBUTE_NORMAL, FALSE,
                                        nullptr, stream.put()))) {
        return S_FALSE;
    }
    if (maxBytes != 0) {
        STATSTG stat = {};
        if (FAILED(stream->Stat(&stat, STATFLAG_NONAME))) return S_FALSE;
        if (stat.cbSize.QuadPart > maxBytes) return kXmlFileTooLarge;
    }
    StreamUnits units(stream.get());
    if (RefusedMarkup(units)) return kXmlMarkupRefused;
    const LARGE_INTEGER start = {};
    if (FAILED(stream->Seek(start, STREAM_SEEK_SET, nullptr))) return S_FALSE;
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
    TextUnits units(text);
    if (RefusedMarkup(units)) return kXmlMarkupRefused;
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

HRESULT ChildElement(IXMLDOMNode* parent, const wchar_t* name, ComPtr<IXMLDOMNode>& element) {
    element.reset();
    ComPtr<IXMLDOMNode> child;
    HRESULT hr = parent->get_firstChild(child.put());
    std::wstring childName;
    while (SUCCEEDED(hr) && child) {
        DOMNodeType type = NODE_INVALID;
        hr = child->get_nodeType(&type);
        if (FAILED(hr)) return hr;
        if (type == NODE_ELEMENT) {
            hr = NodeName(child.get(), childName);
            if (FAILED(hr)) return hr;
            if (childName == name) {
                element = std::move(child);
                return S_OK;
            }
        }
        ComPtr<IXMLDOMNode> next;
        hr = child->get_nextSibling(next.put());
        child = std::move(next);
    }
    return FAILED(hr) ? hr : S_FALSE;
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
