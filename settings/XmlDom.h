// The MSXML 6 DOM as the settings file, the host's configuration file and
// "AppConfig.XML" use it. Nothing here logs: callers name the failed step.
#pragma once

#include <windows.h>
#include <msxml2.h>

#include <string>

#include "support/Handles.h"

namespace tessaran {

// The platform headers of this toolchain declare neither.
extern const CLSID kClsidDomDocument60;
extern const IID kIidXmlDomDocument2;

// A document that declares a document type, or that has an element with
// hundreds of attributes, is refused with this code before the engine sees
// it: entities could stand for anything, of any size, and the engine takes
// time quadratic in the attributes of an element.
constexpr HRESULT kXmlMarkupRefused = static_cast<HRESULT>(0x8007000D);  // ERROR_INVALID_DATA
// A file larger than its reader allows is refused with this code, unread.
constexpr HRESULT kXmlFileTooLarge = static_cast<HRESULT>(0x800700DF);  // ERROR_FILE_TOO_LARGE

// A new DOMDocument60, run and asked for the interface, that prohibits
// document type declarations and resolves nothing external.
HRESULT CreateDomDocument(ComPtr<IXMLDOMDocument>& document) noexcept;
HRESULT CreateDomDocument2(ComPtr<IXMLDOMDocument2>& document) noexcept;

// Loads a file synchronously: S_OK, S_FALSE when the file is missing,
// unreadable or not well-formed, kXmlMarkupRefused, kXmlFileTooLarge
// when it holds more than maxBytes (0: no limit), or the failure of setting
// up the load.
HRESULT LoadDomFile(IXMLDOMDocument* document, const wchar_t* path, ULONGLONG maxBytes = 0) noexcept;
// Parses a text: S_OK, S_FALSE when it is not well-formed,
// kXmlMarkupRefused, or the failure of setting up the parse.
HRESULT LoadDomText(IXMLDOMDocument* document, const wchar_t* text) noexcept;

// The document element: S_OK, S_FALSE when there is none, or a failure.
HRESULT DocumentElement(IXMLDOMDocument* document, ComPtr<IXMLDOMElement>& element) noexcept;

// The first node that the expression selects: S_OK, S_FALSE when none, or a failure.
HRESULT SelectNode(IXMLDOMNode* context, const wchar_t* expression, ComPtr<IXMLDOMNode>& node) noexcept;
// The first child element of that name, as SelectNode with a bare name finds
// it, but without compiling a query: S_OK, S_FALSE when none, or a failure.
HRESULT ChildElement(IXMLDOMNode* parent, const wchar_t* name, ComPtr<IXMLDOMNode>& element);

HRESULT NodeText(IXMLDOMNode* node, std::wstring& text);
HRESULT SetNodeText(IXMLDOMNode* node, const std::wstring& text) noexcept;
HRESULT NodeName(IXMLDOMNode* node, std::wstring& name);

// A text node of white space only: indentation between elements, never data.
bool IsWhitespaceText(IXMLDOMNode* node);

// A new BSTR holding text; null when out of memory.
UniqueBstr MakeBstr(const std::wstring& text) noexcept;

}  // namespace tessaran
