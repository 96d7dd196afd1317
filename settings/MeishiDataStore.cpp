#include "settings/MeishiDataStore.h"

#include <shlobj.h>
#include <shlwapi.h>
#include <sddl.h>

#include <cstdint>
#include <cwchar>
#include <functional>
#include <string>

#include "settings/SMRCrypto.h"
#include "settings/XmlDom.h"
#include "support/Format.h"
#include "support/Log.h"
#include "support/Result.h"

namespace tessaran {

namespace {

constexpr wchar_t kProductFolder[] = L"TessaranService";
constexpr wchar_t kSettingsFileName[] = L"MeishiPluginSettings.XML";
// The temporary copies of a save, beside the file (GetTempFileName's names).
constexpr wchar_t kTemporaryPrefix[] = L"~MS";
constexpr wchar_t kTemporaryPattern[] = L"~MS*.tmp";
constexpr wchar_t kEmptySettings[] = L"<PluginItem></PluginItem>";
constexpr wchar_t kDeclarationData[] = L" version='1.0' encoding='UTF-8'";
// The same on every machine, so that a settings file can be read anywhere.
constexpr wchar_t kPassPhrase[] = L"K3QW9ZT5MN2XR8VJ4HBD6LFC";

constexpr wchar_t kGuid[] = L"Guid";
constexpr wchar_t kMailAddress[] = L"MailAddress";
constexpr wchar_t kUsername[] = L"Username";
constexpr wchar_t kAppToken[] = L"AppToken";
constexpr wchar_t kEvenNumberImageToBackPage[] = L"EvenNumberImageToBackPage";
constexpr wchar_t kOCRLangID[] = L"OCRLangID";
constexpr wchar_t kOCRLangBackID[] = L"OCRLangBackID";

// A save that waits longer than this for another process gives up.
constexpr DWORD kLockTimeoutMs = 30000;

constexpr HRESULT kPathTooLong = HResultFromWin32(ERROR_FILENAME_EXCED_RANGE);
constexpr HRESULT kTooLong = HResultFromWin32(ERROR_INSUFFICIENT_BUFFER);
constexpr HRESULT kNoSuchJob = HResultFromWin32(ERROR_FILE_NOT_FOUND);
constexpr HRESULT kInvalidData = HResultFromWin32(ERROR_INVALID_DATA);
constexpr HRESULT kFileTooLarge = HResultFromWin32(ERROR_FILE_TOO_LARGE);
constexpr wchar_t kRootName[] = L"PluginItem";

volatile LONG g_writeLimit = static_cast<LONG>(MAXDWORD);

// Appends tail to path[MAX_PATH], refusing what would not fit.
HRESULT AppendText(wchar_t* path, const wchar_t* tail) noexcept {
    const size_t length = ::wcslen(path);
    const size_t extra = ::wcslen(tail);
    if (length + extra >= MAX_PATH) return kPathTooLong;
    ::wmemcpy(path + length, tail, extra + 1);
    return S_OK;
}

HRESULT AddBackslash(wchar_t* path) noexcept {
    const size_t length = ::wcslen(path);
    if (length > 0 && path[length - 1] == L'\\') return S_OK;
    return AppendText(path, L"\\");
}

// The settings file opened for one operation: its path, the lock held for
// the whole load-change-save, the document and its root.
struct SettingsDocument {
    wchar_t path[MAX_PATH] = {};
    CSettingsFileLock lock;
    ComPtr<IXMLDOMDocument> document;
    ComPtr<IXMLDOMElement> root;
};

// A file that cannot be read fails the operation and stays as it is: it is
// never taken for a file without jobs, nor saved over.
HRESULT OpenSettings(const CMeishiDataStore& store, SettingsDocument& settings) {
    TESSARAN_RETURN_IF_FAILED(store.GetSettingsFilePath(settings.path));
    TESSARAN_RETURN_IF_FAILED(settings.lock.Acquire(settings.path));
    // A file that could not be made shows up as a load failure below.
    store.EnsureSettingsFile(settings.path);
    const wchar_t* failedStep = nullptr;
    const HRESULT hr = CMeishiDataStore::ReadSettingsFile(settings.path, settings.document, settings.root, failedStep);
    return FAILED(hr) && failedStep ? LogFailure(failedStep, hr) : hr;
}

// The nodes under the root that the item operations walk: everything but the
// white space between elements, and comments and processing instructions,
// which someone editing the file may have added and which hold no job. (Taken
// for items without a Guid, a comment at the top made every job unreadable.)
bool IsItemNode(IXMLDOMNode* node) {
    DOMNodeType type = NODE_INVALID;
    if (FAILED(node->get_nodeType(&type))) return true;
    if (type == NODE_COMMENT || type == NODE_PROCESSING_INSTRUCTION) return false;
    return !IsWhitespaceText(node);
}

HRESULT NextItemNode(ComPtr<IXMLDOMNode>& node) {
    while (node) {
        ComPtr<IXMLDOMNode> next;
        const HRESULT hr = node->get_nextSibling(next.put());
        if (FAILED(hr)) return hr;
        node = std::move(next);
        if (node && IsItemNode(node.get())) break;
    }
    return S_OK;
}

HRESULT FirstItemNode(IXMLDOMNode* root, ComPtr<IXMLDOMNode>& node) {
    const HRESULT hr = root->get_firstChild(node.put());
    if (FAILED(hr)) return hr;
    return node && !IsItemNode(node.get()) ? NextItemNode(node) : S_OK;
}

HRESULT CountItems(IXMLDOMNode* root, long& count) {
    count = 0;
    ComPtr<IXMLDOMNode> node;
    TESSARAN_RETURN_IF_FAILED(FirstItemNode(root, node));
    for (; node; ++count) TESSARAN_RETURN_IF_FAILED(NextItemNode(node));
    return S_OK;
}

HRESULT LastItemNode(IXMLDOMNode* root, ComPtr<IXMLDOMNode>& node) {
    HRESULT hr = root->get_lastChild(node.put());
    while (SUCCEEDED(hr) && node && !IsItemNode(node.get())) {
        ComPtr<IXMLDOMNode> previous;
        hr = node->get_previousSibling(previous.put());
        node = std::move(previous);
    }
    return FAILED(hr) ? hr : S_OK;
}

// The file always starts with its own declaration, whatever the file it was
// loaded from began with: a declaration is only valid as the very first
// thing, so it goes before any comment or processing instruction there, and
// the engine writes the encoding it names, which must be UTF-8.
HRESULT EnsureDeclaration(IXMLDOMDocument* document) {
    ComPtr<IXMLDOMNode> first;
    HRESULT hr = document->get_firstChild(first.put());
    if (FAILED(hr)) return hr;
    DOMNodeType type = NODE_INVALID;
    std::wstring name;
    if (first && SUCCEEDED(first->get_nodeType(&type)) && type == NODE_PROCESSING_INSTRUCTION &&
        SUCCEEDED(NodeName(first.get(), name)) && name == L"xml") {
        ComPtr<IXMLDOMNode> removed;
        hr = document->removeChild(first.get(), removed.put());
        if (FAILED(hr)) return hr;
        hr = document->get_firstChild(first.put());
        if (FAILED(hr)) return hr;
    }
    UniqueBstr target(::SysAllocString(L"xml"));
    UniqueBstr data(::SysAllocString(kDeclarationData));
    if (!target || !data) return E_OUTOFMEMORY;
    ComPtr<IXMLDOMProcessingInstruction> declaration;
    hr = document->createProcessingInstruction(target.get(), data.get(), declaration.put());
    if (FAILED(hr)) return hr;
    UniqueVariant before;
    if (first) {
        V_VT(before.get()) = VT_UNKNOWN;
        V_UNKNOWN(before.get()) = first.get();
        first->AddRef();
    }
    ComPtr<IXMLDOMNode> inserted;
    return document->insertBefore(declaration.get(), *before.get(), inserted.put());
}

// S_OK with the first item whose Guid text is exactly wanted, S_FALSE when no
// item has it, E_POINTER when a child before the match has no Guid.
HRESULT FindItem(IXMLDOMElement* root, const std::wstring& wanted, ComPtr<IXMLDOMNode>& found) {
    // From sibling to sibling: the engine's child list finds each index by
    // counting from the first child, which made a search quadratic.
    ComPtr<IXMLDOMNode> child;
    TESSARAN_RETURN_IF_FAILED(FirstItemNode(root, child));
    std::wstring text;
    while (child) {
        ComPtr<IXMLDOMNode> guid;
        const HRESULT hr = ChildElement(child.get(), kGuid, guid);
        if (FAILED(hr)) return hr;
        if (hr != S_OK) return E_POINTER;
        TESSARAN_RETURN_IF_FAILED(NodeText(guid.get(), text));
        if (text == wanted) {
            found = child;
            return S_OK;
        }
        TESSARAN_RETURN_IF_FAILED(NextItemNode(child));
    }
    return S_FALSE;
}

// The text of an item's first child element of that name; E_POINTER when missing.
HRESULT ChildText(IXMLDOMNode* item, const wchar_t* name, std::wstring& text) {
    ComPtr<IXMLDOMNode> node;
    const HRESULT hr = ChildElement(item, name, node);
    if (FAILED(hr)) return hr;
    if (hr != S_OK) return E_POINTER;
    return NodeText(node.get(), text);
}

struct FieldText {
    const wchar_t* name;
    std::wstring text;
};

constexpr const wchar_t* kItemFields[7] = {kGuid,      kMailAddress, kUsername,     kAppToken,
                                           kEvenNumberImageToBackPage, kOCRLangID, kOCRLangBackID};

// What a save must read back from the file it wrote before that file takes
// the place of the settings: a settings document with as many items as the
// one saved, and the item the operation wrote, if any, with the very texts it
// was given (the engine writes some characters so that the file no longer
// loads, and drops or replaces others without a word).
struct SaveCheck {
    enum class Written { kNone, kLast, kFirstWithGuid };
    long items = 0;
    Written written = Written::kNone;
    std::wstring texts[7];  // the item's Guid and values, in file order

    HRESULT Expect(IXMLDOMNode* root, Written how, const std::wstring& guid, const FieldText (*fields)[6]) {
        written = how;
        texts[0] = guid;
        for (int i = 0; i < 6 && fields; ++i) texts[i + 1] = (*fields)[i].text;
        return CountItems(root, items);
    }
};

// The engine gives the text of an element without the white space around it,
// in memory as from a file: that white space is no part of a value.
bool SameValue(const std::wstring& read, const std::wstring& written) {
    constexpr wchar_t kSpace[] = L" \t\r\n";
    const size_t first = written.find_first_not_of(kSpace);
    if (first == std::wstring::npos) return read.find_first_not_of(kSpace) == std::wstring::npos;
    return read == written.substr(first, written.find_last_not_of(kSpace) - first + 1) || read == written;
}

HRESULT CheckWritten(const wchar_t* written, const SaveCheck& check) {
    ComPtr<IXMLDOMDocument> document;
    ComPtr<IXMLDOMElement> root;
    const wchar_t* failedStep = nullptr;
    HRESULT hr = CMeishiDataStore::ReadSettingsFile(written, document, root, failedStep);
    if (FAILED(hr)) return hr == kFileTooLarge || hr == E_OUTOFMEMORY ? hr : kInvalidData;
    long items = 0;
    if (FAILED(CountItems(root.get(), items)) || items != check.items) return kInvalidData;
    if (check.written == SaveCheck::Written::kNone) return S_OK;
    ComPtr<IXMLDOMNode> item;
    hr = check.written == SaveCheck::Written::kLast ? LastItemNode(root.get(), item)
                                                    : FindItem(root.get(), check.texts[0], item);
    if (hr != S_OK || !item) return kInvalidData;
    std::wstring text;
    for (int i = 0; i < 7; ++i) {
        if (FAILED(ChildText(item.get(), kItemFields[i], text)) || !SameValue(text, check.texts[i])) return kInvalidData;
    }
    return S_OK;
}

// Serialises the document as the engine writes it to a file and puts it in
// place of path in one step, once the file written reads back as the check
// asks.
HRESULT SaveDocument(IXMLDOMDocument* document, const wchar_t* path, bool replaceExisting, const SaveCheck& check) {
    ComPtr<IStream> stream;
    HRESULT hr = ::CreateStreamOnHGlobal(nullptr, TRUE, stream.put());
    if (FAILED(hr)) return LogFailure(L"pXMLDOMDocument->save", hr);
    UniqueVariant destination;
    V_VT(destination.get()) = VT_UNKNOWN;
    V_UNKNOWN(destination.get()) = stream.get();
    stream->AddRef();
    hr = document->save(*destination.get());
    if (FAILED(hr)) return LogFailure(L"pXMLDOMDocument->save", hr);

    STATSTG stat = {};
    hr = stream->Stat(&stat, STATFLAG_NONAME);
    if (FAILED(hr)) return LogFailure(L"pXMLDOMDocument->save", hr);
    if (stat.cbSize.HighPart != 0) return LogFailure(L"pXMLDOMDocument->save", E_OUTOFMEMORY);
    HGLOBAL memory = nullptr;
    hr = ::GetHGlobalFromStream(stream.get(), &memory);
    if (FAILED(hr)) return LogFailure(L"pXMLDOMDocument->save", hr);
    // Never a file that no later operation would read.
    if (stat.cbSize.LowPart > CMeishiDataStore::kMaxFileBytes) return LogFailure(L"Save check", kFileTooLarge);
    GlobalLockGuard bytes(memory);
    if (!bytes.get() && stat.cbSize.LowPart != 0) return LogFailure(L"pXMLDOMDocument->save", LastErrorHResult());
    return CMeishiDataStore::ReplaceFileContent(path, bytes.get(), stat.cbSize.LowPart, replaceExisting,
                                                [&](const wchar_t* written) { return CheckWritten(written, check); });
}

HRESULT SaveSettings(SettingsDocument& settings, const SaveCheck& check) {
    const HRESULT hr = EnsureDeclaration(settings.document.get());
    if (FAILED(hr)) return LogFailure(L"pXMLDOMDocument->save", hr);
    return SaveDocument(settings.document.get(), settings.path, true, check);
}

// Overwrites a token's characters before its memory is given back.
class SecretBuffer {
public:
    SecretBuffer() noexcept : m_units() {}
    ~SecretBuffer() { ::SecureZeroMemory(m_units, sizeof(m_units)); }
    SecretBuffer(const SecretBuffer&) = delete;
    SecretBuffer& operator=(const SecretBuffer&) = delete;
    wchar_t* get() noexcept { return m_units; }
    // Copies text with its terminator; false when it does not fit.
    bool Assign(const std::wstring& text) noexcept {
        if (text.size() >= CSMRCrypto::kBufferUnits) return false;
        ::wmemcpy(m_units, text.c_str(), text.size() + 1);
        return true;
    }

private:
    wchar_t m_units[CSMRCrypto::kBufferUnits];
};

// The element text of a token: empty, the cipher text, or (when the cipher
// itself fails) the token as typed. A token whose text would not fit the
// file's buffers is refused.
HRESULT TokenText(const std::wstring& token, std::wstring& text) {
    text.clear();
    if (token.empty()) return S_OK;
    SecretBuffer plain;
    SecretBuffer passPhrase;
    wchar_t cipher[CSMRCrypto::kBufferUnits] = {};
    HRESULT hr = kTooLong;
    if (plain.Assign(token) && passPhrase.Assign(kPassPhrase)) {
        hr = CSMRCrypto::EnCode(plain.get(), passPhrase.get(), cipher, CSMRCrypto::kBufferUnits);
    }
    if (SUCCEEDED(hr)) {
        text = cipher;
        return S_OK;
    }
    LogWrite(LOG_ERROR, L"CSMRCrypto::EnCode hr = %08X", static_cast<unsigned>(hr));
    if (hr == kTooLong) return hr;
    text = token;
    return S_OK;
}

// The token of an element text: empty, the deciphered text, or (when the
// cipher fails) the text as stored. A text longer than the buffers is refused.
HRESULT TokenFromText(const std::wstring& text, std::wstring& token) {
    token.clear();
    if (text.empty()) return S_OK;
    SecretBuffer cipher;
    SecretBuffer passPhrase;
    SecretBuffer plain;
    HRESULT hr = kTooLong;
    if (cipher.Assign(text) && passPhrase.Assign(kPassPhrase)) {
        hr = CSMRCrypto::DeCode(cipher.get(), passPhrase.get(), plain.get(), CSMRCrypto::kBufferUnits);
    }
    if (SUCCEEDED(hr)) {
        token = plain.get();
        return S_OK;
    }
    LogWrite(LOG_ERROR, L"CSMRCrypto::DeCode hr = %08X", static_cast<unsigned>(hr));
    if (hr == kTooLong) return hr;
    token = text;
    return S_OK;
}

std::wstring DecimalText(int value) {
    wchar_t text[16] = {};
    Format(text, 16, L"%d", value);
    return text;
}

// The six values of an item after its Guid, as the file holds them.
HRESULT ValueTexts(const SettingItem& item, FieldText (&fields)[6]) {
    std::wstring token;
    TESSARAN_RETURN_IF_FAILED(TokenText(item.GetAppToken(), token));
    fields[0] = {kMailAddress, item.GetMailAddress()};
    fields[1] = {kUsername, item.GetUsername()};
    fields[2] = {kAppToken, std::move(token)};
    fields[3] = {kEvenNumberImageToBackPage, DecimalText(item.GetEvenNumberImageToBackPage())};
    fields[4] = {kOCRLangID, DecimalText(item.GetOCRLangID())};
    fields[5] = {kOCRLangBackID, DecimalText(item.GetOCRLangBackID())};
    return S_OK;
}

HRESULT AppendTextElement(IXMLDOMDocument* document, IXMLDOMElement* parent, const wchar_t* name,
                          const std::wstring& text) {
    UniqueBstr tag(::SysAllocString(name));
    if (!tag) return E_OUTOFMEMORY;
    ComPtr<IXMLDOMElement> element;
    HRESULT hr = document->createElement(tag.get(), element.put());
    if (FAILED(hr)) return hr;
    TESSARAN_RETURN_IF_FAILED(SetNodeText(element.get(), text));
    ComPtr<IXMLDOMNode> appended;
    return parent->appendChild(element.get(), appended.put());
}

uint64_t HashPath(const wchar_t* path) noexcept {
    // FNV-1a over the upper-cased path: file names are compared without case.
    uint64_t hash = 14695981039346656037ull;
    for (const wchar_t* p = path; *p; ++p) {
        wchar_t c = *p;
        ::CharUpperBuffW(&c, 1);
        hash ^= static_cast<uint16_t>(c);
        hash *= 1099511628211ull;
    }
    return hash;
}

// Everyone may wait for the lock and release it, and do nothing else with it.
constexpr wchar_t kLockSecurity[] = L"D:(A;;0x00100001;;;WD)";
constexpr DWORD kLockAccess = SYNCHRONIZE | MUTEX_MODIFY_STATE;

// Every save writes a whole copy of the settings, token included, beside the
// file before it replaces the file. A save that was killed leaves its copy;
// with the lock held no save is under way, so every such copy is stale.
// Without the file, a copy may be all that is left of it (see DiscardCopy).
void RemoveStaleCopies(const wchar_t* settingsPath) noexcept {
    if (::GetFileAttributesW(settingsPath) == INVALID_FILE_ATTRIBUTES) return;
    wchar_t pattern[MAX_PATH] = {};
    const wchar_t* slash = ::wcsrchr(settingsPath, L'\\');
    const size_t folderLength = slash ? static_cast<size_t>(slash - settingsPath) + 1 : 0;
    if (folderLength == 0 || folderLength + ::wcslen(kTemporaryPattern) >= MAX_PATH) return;
    ::wmemcpy(pattern, settingsPath, folderLength);
    ::wcscpy(pattern + folderLength, kTemporaryPattern);
    WIN32_FIND_DATAW found;
    UniqueFind find(::FindFirstFileW(pattern, &found));
    if (!find) return;
    do {
        // The pattern also matches short names; only our own copies go.
        const size_t length = ::wcslen(found.cFileName);
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || length < 7 ||
            ::_wcsnicmp(found.cFileName, kTemporaryPrefix, 3) != 0 ||
            ::_wcsicmp(found.cFileName + length - 4, L".tmp") != 0) {
            continue;
        }
        wchar_t stale[MAX_PATH] = {};
        if (folderLength + length >= MAX_PATH) continue;
        ::wmemcpy(stale, settingsPath, folderLength);
        ::wcscpy(stale + folderLength, found.cFileName);
        if (!::DeleteFileW(stale) && ::GetLastError() != ERROR_FILE_NOT_FOUND) {
            LogFailure(L"Settings stale copy DeleteFile", LastErrorHResult());
        }
    } while (::FindNextFileW(find.get(), &found));
}

}  // namespace

// ---- lock ----

void CSettingsFileLock::Name(const wchar_t* path, wchar_t (&name)[kNameUnits]) noexcept {
    const uint64_t hash = HashPath(path);
    Format(name, kNameUnits, L"Global\\TessaranService.Settings.%08X%08X", static_cast<unsigned>(hash >> 32),
           static_cast<unsigned>(hash & 0xFFFFFFFFu));
}

HRESULT CSettingsFileLock::Acquire(const wchar_t* path) {
    // The name stands for the file: every process that uses the same settings
    // file shares one mutex. The all-users file is shared by users in other
    // sessions (fast user switching, remote desktop), so the name is in the
    // machine's namespace, and whoever makes the mutex first lets everyone
    // else, elevated or not, of any account, wait for it and release it.
    wchar_t name[kNameUnits] = {};
    Name(path, name);
    m_held.reset();
    UniqueHLocal descriptor;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(kLockSecurity, SDDL_REVISION_1,
                                                               reinterpret_cast<PSECURITY_DESCRIPTOR*>(descriptor.put()),
                                                               nullptr)) {
        return LogFailure(L"Settings lock security", LastErrorHResult());
    }
    SECURITY_ATTRIBUTES security = {sizeof(security), descriptor.get(), FALSE};
    m_mutex.reset(::CreateMutexExW(&security, name, 0, kLockAccess));
    if (!m_mutex) return LogFailure(L"Settings lock CreateMutex", LastErrorHResult());
    switch (::WaitForSingleObject(m_mutex.get(), kLockTimeoutMs)) {
    case WAIT_OBJECT_0:
    // A process that ended while holding the lock left the file as its last
    // complete save, since saves replace the file in one step.
    case WAIT_ABANDONED:
        m_held.reset(m_mutex.get());
        RemoveStaleCopies(path);
        return S_OK;
    case WAIT_TIMEOUT:
        return LogFailure(L"Settings lock wait", HResultFromWin32(ERROR_TIMEOUT));
    default:
        return LogFailure(L"Settings lock wait", LastErrorHResult());
    }
}

// ---- location ----

HRESULT CMeishiDataStore::GetSettingsFolder(const wchar_t* subFolder, wchar_t* path) const {
    if (!subFolder || !path) return E_POINTER;
    path[0] = L'\0';
    wchar_t base[MAX_PATH] = {};
    HRESULT hr = ::SHGetFolderPathW(nullptr, m_Csidl, nullptr, SHGFP_TYPE_DEFAULT, base);
    // S_FALSE names a folder that does not exist and leaves no path: working
    // on with it would put the settings beside the current directory.
    if (hr == S_FALSE || (SUCCEEDED(hr) && base[0] == L'\0')) hr = HResultFromWin32(ERROR_PATH_NOT_FOUND);
    if (FAILED(hr)) return LogFailure(L"SHGetFolderPath", hr);

    if (FAILED(AddBackslash(base)) || Format(path, MAX_PATH, L"%sOrvell Electronics\\", base) < 0) {
        path[0] = L'\0';
        return LogFailure(L"GetSettingsFolder path", kPathTooLong);
    }
    hr = CheckDirectory(path);
    if (FAILED(hr)) {
        path[0] = L'\0';
        return LogFailure(L"CheckDirectory 1", hr);
    }
    if (FAILED(AppendText(path, subFolder)) || FAILED(AddBackslash(path))) {
        path[0] = L'\0';
        return LogFailure(L"GetSettingsFolder path", kPathTooLong);
    }
    hr = CheckDirectory(path);
    if (FAILED(hr)) {
        path[0] = L'\0';
        return LogFailure(L"CheckDirectory 2", hr);
    }
    return S_OK;
}

HRESULT CMeishiDataStore::CheckDirectory(const wchar_t* folder) {
    if (::PathFileExistsW(folder)) return S_OK;
    if (::CreateDirectoryW(folder, nullptr)) return S_OK;
    const DWORD error = ::GetLastError();
    // Another process made it in the meantime.
    if (error == ERROR_ALREADY_EXISTS) {
        const DWORD attributes = ::GetFileAttributesW(folder);
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) return S_OK;
    }
    const HRESULT hr = HResultFromWin32(static_cast<long>(error));
    return LogFailure(L"CheckDirectory CreateDirectory", FAILED(hr) ? hr : E_FAIL);
}

HRESULT CMeishiDataStore::GetSettingsFilePath(wchar_t* path) const {
    TESSARAN_RETURN_IF_FAILED(GetSettingsFolder(kProductFolder, path));
    const HRESULT hr = AppendText(path, kSettingsFileName);
    if (FAILED(hr)) {
        path[0] = L'\0';
        return LogFailure(L"GetSettingsFilePath path", hr);
    }
    return S_OK;
}

// ---- saving ----

void CMeishiDataStore::SetWriteLimitForTest(DWORD bytes) noexcept {
    ::InterlockedExchange(&g_writeLimit, static_cast<LONG>(bytes));
}

HRESULT CMeishiDataStore::ReadSettingsFile(const wchar_t* path, ComPtr<IXMLDOMDocument>& document,
                                           ComPtr<IXMLDOMElement>& root, const wchar_t*& failedStep) {
    failedStep = L"pXMLDOMDocument.CreateInstance";
    HRESULT hr = CreateDomDocument(document);
    if (FAILED(hr)) return hr;
    failedStep = L"pXMLDOMDocument->load";
    hr = LoadDomFile(document.get(), path, kMaxFileBytes);
    if (hr != S_OK) return FAILED(hr) ? hr : E_FAIL;
    failedStep = nullptr;
    hr = DocumentElement(document.get(), root);
    if (FAILED(hr)) return hr;
    failedStep = L"pXMLDOMDocument->GetdocumentElemen";
    if (hr != S_OK) return E_FAIL;
    // Any other document is no settings file: jobs added to it would be
    // stored where no reader looks for them.
    std::wstring name;
    hr = NodeName(root.get(), name);
    if (FAILED(hr) || name != kRootName) return FAILED(hr) ? hr : kInvalidData;
    failedStep = nullptr;
    return S_OK;
}

HRESULT CMeishiDataStore::ReplaceFileContent(const wchar_t* path, const void* data, DWORD size, bool replaceExisting,
                                             const std::function<HRESULT(const wchar_t*)>& check) {
    if (!path || (!data && size != 0)) return E_POINTER;
    wchar_t folder[MAX_PATH] = {};
    const wchar_t* slash = ::wcsrchr(path, L'\\');
    const size_t folderLength = slash ? static_cast<size_t>(slash - path) : 0;
    if (folderLength == 0 || folderLength >= MAX_PATH) return LogFailure(L"Save GetTempFileName", E_INVALIDARG);
    ::wmemcpy(folder, path, folderLength);

    // In the same folder, so that the final move is a rename on one volume.
    wchar_t temporary[MAX_PATH] = {};
    if (!::GetTempFileNameW(folder, kTemporaryPrefix, 0, temporary)) {
        return LogFailure(L"Save GetTempFileName", LastErrorHResult());
    }
    HRESULT hr = S_OK;
    {
        UniqueFile file(::CreateFileW(temporary, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                      nullptr));
        if (!file) {
            hr = LogFailure(L"Save CreateFile", LastErrorHResult());
        } else {
            const DWORD limit = static_cast<DWORD>(g_writeLimit);
            const DWORD toWrite = size < limit ? size : limit;
            const BYTE* bytes = static_cast<const BYTE*>(data);
            DWORD done = 0;
            while (SUCCEEDED(hr) && done < toWrite) {
                DWORD written = 0;
                if (!::WriteFile(file.get(), bytes + done, toWrite - done, &written, nullptr) || written == 0) {
                    hr = LogFailure(L"Save WriteFile", LastErrorHResult());
                }
                done += written;
            }
            if (SUCCEEDED(hr) && toWrite < size) {
                hr = LogFailure(L"Save WriteFile", HResultFromWin32(ERROR_DISK_FULL));
            }
            if (SUCCEEDED(hr) && !::FlushFileBuffers(file.get())) {
                hr = LogFailure(L"Save FlushFileBuffers", LastErrorHResult());
            }
        }
    }
    if (SUCCEEDED(hr) && check) {
        hr = check(temporary);
        if (FAILED(hr)) LogFailure(L"Save check", hr);
    }
    bool existed = false;  // whether path existed when the copy was to take its place
    if (SUCCEEDED(hr)) {
        existed = ::GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES;
        const DWORD error = MoveIntoPlace(temporary, path, replaceExisting);
        if (!replaceExisting && (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS)) {
            hr = S_FALSE;
        } else if (error != ERROR_SUCCESS) {
            ::SetLastError(error);
            hr = LogFailure(L"Save MoveFileEx", LastErrorHResult());
        }
    }
    if (hr != S_OK) DiscardCopy(temporary, path, existed);
    return hr;
}

void CMeishiDataStore::DiscardCopy(const wchar_t* copy, const wchar_t* to, bool toExisted) noexcept {
    if (toExisted && ::GetFileAttributesW(to) == INVALID_FILE_ATTRIBUTES) return;
    const DWORD error = ::GetLastError();
    ::DeleteFileW(copy);
    ::SetLastError(error);
}

DWORD CMeishiDataStore::MoveIntoPlace(const wchar_t* from, const wchar_t* to, bool replaceExisting) noexcept {
    // About half a second in all; the settings lock keeps our own processes out.
    constexpr int kAttempts = 10;
    constexpr DWORD kPauseMs = 50;
    // A folder of that name is never replaced by a file, and no wait makes it
    // one: said at once rather than after the attempts below. (Wine's
    // ReplaceFileW even reported success over one.)
    const DWORD present = ::GetFileAttributesW(to);
    if (present != INVALID_FILE_ATTRIBUTES && (present & FILE_ATTRIBUTE_DIRECTORY)) return ERROR_ALREADY_EXISTS;
    for (int attempt = 1;; ++attempt) {
        DWORD error = ERROR_SUCCESS;
        // A file that exists keeps its access rights and attributes: those of
        // the temporary copy are what its folder hands down, which in the
        // all-users folder may leave the other users unable to write.
        if (replaceExisting && ::GetFileAttributesW(to) != INVALID_FILE_ATTRIBUTES) {
            if (::ReplaceFileW(to, from, nullptr, 0, nullptr, nullptr)) return ERROR_SUCCESS;
            error = ::GetLastError();
            // The old file is gone and the copy still has its own name: moving
            // it is all that is left to do. A file that vanished meanwhile is
            // simply made.
            if (error == ERROR_UNABLE_TO_MOVE_REPLACEMENT || error == ERROR_FILE_NOT_FOUND) error = ERROR_SUCCESS;
        }
        if (error == ERROR_SUCCESS) {
            const DWORD flags = MOVEFILE_WRITE_THROUGH | (replaceExisting ? MOVEFILE_REPLACE_EXISTING : 0);
            if (::MoveFileExW(from, to, flags)) return ERROR_SUCCESS;
            error = ::GetLastError();
        }
        const bool busy = error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED ||
                          error == ERROR_LOCK_VIOLATION || error == ERROR_UNABLE_TO_REMOVE_REPLACED;
        if (!busy || attempt == kAttempts) return error != ERROR_SUCCESS ? error : ERROR_GEN_FAILURE;
        ::Sleep(kPauseMs);
    }
}

HRESULT CMeishiDataStore::EnsureSettingsFile(const wchar_t* path) const {
    if (!path || !*path) return E_INVALIDARG;
    if (::PathFileExistsW(path)) return S_OK;
    CSettingsFileLock lock;
    TESSARAN_RETURN_IF_FAILED(lock.Acquire(path));
    if (::PathFileExistsW(path)) return S_OK;

    ComPtr<IXMLDOMDocument> document;
    TESSARAN_RETURN_IF_FAILED(CreateDomDocument(document));
    HRESULT hr = LoadDomText(document.get(), kEmptySettings);
    if (FAILED(hr)) return hr;
    ComPtr<IXMLDOMElement> root;
    hr = DocumentElement(document.get(), root);
    if (FAILED(hr)) return hr;
    if (hr != S_OK) return E_FAIL;
    hr = EnsureDeclaration(document.get());
    if (FAILED(hr)) return LogFailure(L"pXMLDOMDocument->save", hr);
    // Never over a file that appeared meanwhile.
    hr = SaveDocument(document.get(), path, false, SaveCheck());
    return FAILED(hr) ? hr : S_OK;
}

// ---- items ----

HRESULT CMeishiDataStore::AddItem(const SettingItem& item) {
    SettingsDocument settings;
    TESSARAN_RETURN_IF_FAILED(OpenSettings(*this, settings));
    FieldText fields[6];
    TESSARAN_RETURN_IF_FAILED(ValueTexts(item, fields));

    UniqueBstr tag(::SysAllocString(L"Item"));
    if (!tag) return E_OUTOFMEMORY;
    ComPtr<IXMLDOMElement> element;
    TESSARAN_RETURN_IF_FAILED(settings.document->createElement(tag.get(), element.put()));
    TESSARAN_RETURN_IF_FAILED(
        AppendTextElement(settings.document.get(), element.get(), kGuid, item.GetGuid().ToString()));
    for (const FieldText& field : fields) {
        TESSARAN_RETURN_IF_FAILED(AppendTextElement(settings.document.get(), element.get(), field.name, field.text));
    }
    // A job added behind an item without a Guid could never be found again.
    ComPtr<IXMLDOMNode> existing;
    const HRESULT reachable = FindItem(settings.root.get(), item.GetGuid().ToString(), existing);
    if (FAILED(reachable)) return reachable;
    ComPtr<IXMLDOMNode> appended;
    TESSARAN_RETURN_IF_FAILED(settings.root->appendChild(element.get(), appended.put()));
    SaveCheck check;
    TESSARAN_RETURN_IF_FAILED(
        check.Expect(settings.root.get(), SaveCheck::Written::kLast, item.GetGuid().ToString(), &fields));
    return SaveSettings(settings, check);
}

HRESULT CMeishiDataStore::GetItem(const GUID& jobId, SettingItem& item) {
    SettingsDocument settings;
    TESSARAN_RETURN_IF_FAILED(OpenSettings(*this, settings));
    ComPtr<IXMLDOMNode> found;
    const HRESULT hr = FindItem(settings.root.get(), CSMRGuid(jobId).ToString(), found);
    if (FAILED(hr)) return hr;
    if (hr != S_OK) return LogFailure(L"bExsist == FALSE", kNoSuchJob);

    // Read into a copy: the caller's item changes only when every field was read.
    SettingItem read;
    std::wstring text;
    TESSARAN_RETURN_IF_FAILED(ChildText(found.get(), kGuid, text));
    GUID guid = jobId;
    ::IIDFromString(text.c_str(), &guid);
    read.SetGuid(guid);
    TESSARAN_RETURN_IF_FAILED(ChildText(found.get(), kMailAddress, text));
    read.SetMailAddress(text);
    TESSARAN_RETURN_IF_FAILED(ChildText(found.get(), kUsername, text));
    read.SetUsername(text);
    TESSARAN_RETURN_IF_FAILED(ChildText(found.get(), kAppToken, text));
    std::wstring token;
    TESSARAN_RETURN_IF_FAILED(TokenFromText(text, token));
    read.SetAppToken(token);
    ::SecureZeroMemory(&token[0], token.size() * sizeof(wchar_t));
    TESSARAN_RETURN_IF_FAILED(ChildText(found.get(), kEvenNumberImageToBackPage, text));
    read.SetEvenNumberImageToBackPage(::_wtoi(text.c_str()));
    TESSARAN_RETURN_IF_FAILED(ChildText(found.get(), kOCRLangID, text));
    read.SetOCRLangID(::_wtoi(text.c_str()));
    TESSARAN_RETURN_IF_FAILED(ChildText(found.get(), kOCRLangBackID, text));
    read.SetOCRLangBackID(::_wtoi(text.c_str()));
    item = read;
    return S_OK;
}

HRESULT CMeishiDataStore::SetItem(const GUID& jobId, const SettingItem& item) {
    SettingsDocument settings;
    TESSARAN_RETURN_IF_FAILED(OpenSettings(*this, settings));
    ComPtr<IXMLDOMNode> found;
    const HRESULT hr = FindItem(settings.root.get(), CSMRGuid(jobId).ToString(), found);
    if (FAILED(hr)) return hr;
    if (hr != S_OK) return LogFailure(L"bExsist == FALSE", kNoSuchJob);

    FieldText fields[6];
    TESSARAN_RETURN_IF_FAILED(ValueTexts(item, fields));
    // Every element is looked up before any is changed; the Guid element stays
    // as it is whatever GUID the item carries.
    ComPtr<IXMLDOMNode> elements[6];
    for (int i = 0; i < 6; ++i) {
        const HRESULT selected = ChildElement(found.get(), fields[i].name, elements[i]);
        if (FAILED(selected)) return selected;
        if (selected != S_OK) return E_POINTER;
    }
    for (int i = 0; i < 6; ++i) TESSARAN_RETURN_IF_FAILED(SetNodeText(elements[i].get(), fields[i].text));
    SaveCheck check;
    TESSARAN_RETURN_IF_FAILED(
        check.Expect(settings.root.get(), SaveCheck::Written::kFirstWithGuid, CSMRGuid(jobId).ToString(), &fields));
    return SaveSettings(settings, check);
}

HRESULT CMeishiDataStore::RemoveItem(const GUID& jobId) {
    SettingsDocument settings;
    TESSARAN_RETURN_IF_FAILED(OpenSettings(*this, settings));
    ComPtr<IXMLDOMNode> found;
    const HRESULT hr = FindItem(settings.root.get(), CSMRGuid(jobId).ToString(), found);
    if (FAILED(hr)) return hr;
    if (hr == S_OK) {
        ComPtr<IXMLDOMNode> removed;
        TESSARAN_RETURN_IF_FAILED(settings.root->removeChild(found.get(), removed.put()));
    }
    SaveCheck check;
    TESSARAN_RETURN_IF_FAILED(check.Expect(settings.root.get(), SaveCheck::Written::kNone, {}, nullptr));
    return SaveSettings(settings, check);
}

}  // namespace tessaran
