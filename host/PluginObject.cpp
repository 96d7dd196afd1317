#include "host/PluginObject.h"

#include <new>

#include "host/Module.h"
#include "support/Handles.h"
#include "support/Localize.h"
#include "support/Log.h"
#include "support/Result.h"

namespace tessaran {

namespace {

// The plug-in's own activation context, from its manifest resource when it
// has one: its dialogs then get the controls the plug-in was built for,
// whatever the host itself uses. Made once, kept for the life of the module.
HANDLE ModuleActivationContext() noexcept {
    static const UniqueActCtx context = [] {
        ACTCTXW request = {};
        request.cbSize = sizeof(request);
        request.dwFlags = ACTCTX_FLAG_HMODULE_VALID | ACTCTX_FLAG_RESOURCE_NAME_VALID;
        request.hModule = ModuleInstance();
        request.lpResourceName = MAKEINTRESOURCEW(2);  // ISOLATIONAWARE_MANIFEST_RESOURCE_ID
        return UniqueActCtx(::CreateActCtxW(&request));
    }();
    return context.get();
}

// The plug-in module's resource context for the duration of one host call;
// the caller's is restored on return.
class ResourceContext {
public:
    ResourceContext() noexcept : m_scope(ModuleActivationContext()) {}

private:
    ActivationScope m_scope;
};

// Type information of one interface from a type library, loaded once.
HRESULT LoadTypeInfo(bool hostLibrary, ITypeInfo** info) {
    if (!info) return E_POINTER;
    *info = nullptr;
    ComPtr<ITypeLib> library;
    HRESULT hr;
    if (hostLibrary) {
        // The host registers its own library; the plug-in does not carry it.
        hr = ::LoadRegTypeLib(LIBID_SMRPluginIF, 2, 0, LOCALE_NEUTRAL, library.put());
    } else {
        wchar_t path[MAX_PATH] = {};
        const DWORD length = ::GetModuleFileNameW(ModuleInstance(), path, MAX_PATH);
        if (length == 0 || length >= MAX_PATH) return LastErrorHResult();
        hr = ::LoadTypeLibEx(path, REGKIND_NONE, library.put());
    }
    if (FAILED(hr)) return hr;
    return library->GetTypeInfoOfGuid(hostLibrary ? IID_ISMRPlugin2 : IID_ICSMRMeishiPlugin, info);
}

// Loaded per call rather than kept: OLE Automation already caches the
// library, and a kept reference would outlive the module when it is unloaded.
HRESULT InterfaceTypeInfo(bool hostLibrary, ITypeInfo** info) { return LoadTypeInfo(hostLibrary, info); }

template <typename Interface>
HRESULT DispatchInvoke(bool hostLibrary, Interface* self, DISPID id, REFIID riid, WORD flags, DISPPARAMS* params,
                       VARIANT* result, EXCEPINFO* exception, UINT* argError) {
    if (!IsEqualIID(riid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
    ComPtr<ITypeInfo> info;
    const HRESULT hr = InterfaceTypeInfo(hostLibrary, info.put());
    if (FAILED(hr)) return hr;
    return info->Invoke(self, id, flags, params, result, exception, argError);
}

HRESULT DispatchNames(bool hostLibrary, REFIID riid, LPOLESTR* names, UINT count, DISPID* ids) {
    if (!IsEqualIID(riid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
    ComPtr<ITypeInfo> info;
    const HRESULT hr = InterfaceTypeInfo(hostLibrary, info.put());
    if (FAILED(hr)) return hr;
    return info->GetIDsOfNames(names, count, ids);
}

HRESULT DispatchTypeInfo(bool hostLibrary, UINT index, ITypeInfo** info) {
    if (!info) return E_POINTER;
    *info = nullptr;
    if (index != 0) return DISP_E_BADINDEX;
    return InterfaceTypeInfo(hostLibrary, info);
}

}  // namespace

// ---- IDispatch parts ----

STDMETHODIMP CPluginDispatch::GetTypeInfoCount(UINT* count) {
    if (!count) return E_POINTER;
    *count = 1;
    return S_OK;
}
STDMETHODIMP CPluginDispatch::GetTypeInfo(UINT index, LCID, ITypeInfo** info) {
    return TessaranGuard([&] { return DispatchTypeInfo(false, index, info); });
}
STDMETHODIMP CPluginDispatch::GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID, DISPID* ids) {
    return TessaranGuard([&] { return DispatchNames(false, riid, names, count, ids); });
}
STDMETHODIMP CPluginDispatch::Invoke(DISPID id, REFIID riid, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                                     EXCEPINFO* exception, UINT* argError) {
    return TessaranGuard([&] {
        return DispatchInvoke<ICSMRMeishiPlugin>(false, this, id, riid, flags, params, result, exception, argError);
    });
}

STDMETHODIMP CHostDispatch::GetTypeInfoCount(UINT* count) {
    if (!count) return E_POINTER;
    *count = 1;
    return S_OK;
}
STDMETHODIMP CHostDispatch::GetTypeInfo(UINT index, LCID, ITypeInfo** info) {
    return TessaranGuard([&] { return DispatchTypeInfo(true, index, info); });
}
STDMETHODIMP CHostDispatch::GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID, DISPID* ids) {
    return TessaranGuard([&] { return DispatchNames(true, riid, names, count, ids); });
}
STDMETHODIMP CHostDispatch::Invoke(DISPID id, REFIID riid, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                                   EXCEPINFO* exception, UINT* argError) {
    return TessaranGuard([&] {
        return DispatchInvoke<ISMRPlugin2>(true, this, id, riid, flags, params, result, exception, argError);
    });
}

// ---- identity ----

CCSMRMeishiPlugin::CCSMRMeishiPlugin(IUnknown* outer) : m_inner(this), m_outer(outer ? outer : &m_inner) {
    ModuleLock();
}

CCSMRMeishiPlugin::~CCSMRMeishiPlugin() { ModuleUnlock(); }

HRESULT CCSMRMeishiPlugin::Create(IUnknown* outer, REFIID riid, void** object) {
    if (!object) return E_POINTER;
    *object = nullptr;
    // An aggregator may ask only for the inner IUnknown.
    if (outer && !IsEqualIID(riid, IID_IUnknown)) return CLASS_E_NOAGGREGATION;
    return TessaranGuard([&]() -> HRESULT {
        auto* plugin = new (std::nothrow) CCSMRMeishiPlugin(outer);
        if (!plugin) return E_OUTOFMEMORY;
        // Hold the object while Init runs; its outcome does not stop the creation.
        plugin->m_inner.AddRef();
        try {
            plugin->m_PluginCtrl.Init();
        } catch (...) {
        }
        const HRESULT hr = plugin->m_inner.QueryInterface(riid, object);
        plugin->m_inner.Release();  // destroys the object when the query failed
        return hr;
    });
}

STDMETHODIMP CCSMRMeishiPlugin::InnerUnknown::QueryInterface(REFIID riid, void** object) {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (IsEqualIID(riid, IID_IUnknown)) {
        // An aggregator must get the non-delegating identity.
        *object = m_owner->m_outer == this ? static_cast<IUnknown*>(static_cast<CPluginDispatch*>(m_owner))
                                           : static_cast<IUnknown*>(this);
    } else if (IsEqualIID(riid, IID_ICSMRMeishiPlugin)) {
        *object = static_cast<ICSMRMeishiPlugin*>(m_owner);
    } else if (IsEqualIID(riid, IID_IDispatch) || IsEqualIID(riid, IID_ISMRPlugin2)) {
        // Late-bound callers reach the host interface.
        *object = static_cast<ISMRPlugin2*>(m_owner);
    } else {
        return E_NOINTERFACE;
    }
    static_cast<IUnknown*>(*object)->AddRef();
    return S_OK;
}

STDMETHODIMP_(ULONG) CCSMRMeishiPlugin::InnerUnknown::AddRef() { return ++m_owner->m_refCount; }

STDMETHODIMP_(ULONG) CCSMRMeishiPlugin::InnerUnknown::Release() {
    const ULONG count = --m_owner->m_refCount;
    if (count == 0) {
        // Guard against re-entry while the controller tears down.
        m_owner->m_refCount = 1;
        delete m_owner;
    }
    return count;
}

STDMETHODIMP CCSMRMeishiPlugin::QueryInterface(REFIID riid, void** object) {
    return m_outer->QueryInterface(riid, object);
}
STDMETHODIMP_(ULONG) CCSMRMeishiPlugin::AddRef() { return m_outer->AddRef(); }
STDMETHODIMP_(ULONG) CCSMRMeishiPlugin::Release() { return m_outer->Release(); }

// ---- frame ----

HRESULT CCSMRMeishiPlugin::Forward(const wchar_t* step, HRESULT hr) noexcept {
    if (FAILED(hr)) {
        LogWrite(LOG_ERROR, L"%s: error = %08X", step, static_cast<unsigned>(hr));
        return hr;
    }
    return S_OK;
}

HRESULT CCSMRMeishiPlugin::Flag(const wchar_t* operation, VARIANT_BOOL flag, VARIANT_BOOL* value) noexcept {
    const ResourceContext context;
    LogWrite(LOG_ENTRY, L"CCSMRMeishiPlugin::%s", operation);
    if (!value) return E_POINTER;
    *value = flag;
    return S_OK;
}

HRESULT CCSMRMeishiPlugin::Text(const wchar_t* operation, const char* sjisKey, BSTR* value) noexcept {
    const ResourceContext context;
    LogWrite(LOG_ENTRY, L"CCSMRMeishiPlugin::%s", operation);
    if (!value) return E_POINTER;
    *value = nullptr;
    return TessaranGuard([&]() -> HRESULT {
        const std::wstring text = LocalizeText(sjisKey);
        *value = ::SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
        return *value ? S_OK : E_OUTOFMEMORY;
    });
}

namespace {
HRESULT NewBstr(const std::wstring& text, BSTR* value) {
    *value = ::SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    return *value ? S_OK : E_OUTOFMEMORY;
}
}  // namespace

// The body runs inside the guard; a thrown failure is logged under the step
// like a returned one.
#define PLUGIN_FORWARD(step, body)                                          \
    do {                                                                     \
        const HRESULT hr_ = TessaranGuard([&]() -> HRESULT { return body; }); \
        return Forward(step, hr_);                                           \
    } while (0)

STDMETHODIMP CCSMRMeishiPlugin::get_Name(BSTR* value) {
    return Text(L"get_Name", "Scanmoor plug-in for Veltrano", value);
}
STDMETHODIMP CCSMRMeishiPlugin::get_Title(BSTR* value) { return Text(L"get_Title", "Send to Veltrano", value); }
STDMETHODIMP CCSMRMeishiPlugin::get_Description(BSTR* value) {
    return Text(L"get_Description", "Function to link Veltrano and Scanmoor.", value);
}

STDMETHODIMP CCSMRMeishiPlugin::get_Version(BSTR* value) {
    const ResourceContext context;
    LogWrite(LOG_ENTRY, L"CCSMRMeishiPlugin::get_Version");
    if (!value) return E_POINTER;
    *value = nullptr;
    return TessaranGuard([&] { return NewBstr(m_PluginCtrl.GetVersion(), value); });
}

STDMETHODIMP CCSMRMeishiPlugin::get_Icon(BSTR* value) {
    const ResourceContext context;
    LogWrite(LOG_ENTRY, L"CCSMRMeishiPlugin::get_Icon");
    if (!value) return E_POINTER;
    *value = nullptr;
    return TessaranGuard([&] { return NewBstr(m_PluginCtrl.GetIconPath(), value); });
}

STDMETHODIMP CCSMRMeishiPlugin::get_ShowSettingButton(VARIANT_BOOL* value) {
    return Flag(L"get_ShowSettingButton", VARIANT_TRUE, value);
}
STDMETHODIMP CCSMRMeishiPlugin::get_ShowCommonSettingButton(VARIANT_BOOL* value) {
    return Flag(L"get_ShowCommonSettingButton", VARIANT_FALSE, value);
}
STDMETHODIMP CCSMRMeishiPlugin::get_IsExecutable(VARIANT_BOOL* value) {
    return Flag(L"get_IsExecutable", VARIANT_TRUE, value);
}
STDMETHODIMP CCSMRMeishiPlugin::get_ShowSettingsSummary(VARIANT_BOOL* value) {
    return Flag(L"get_ShowSettingsSummary", VARIANT_TRUE, value);
}
STDMETHODIMP CCSMRMeishiPlugin::get_ShowFileNameSetting(VARIANT_BOOL* value) {
    return Flag(L"get_ShowFileNameSetting", VARIANT_FALSE, value);
}
STDMETHODIMP CCSMRMeishiPlugin::get_ShowFileTypeSetting(VARIANT_BOOL* value) {
    return Flag(L"get_ShowFileTypeSetting", VARIANT_TRUE, value);
}

STDMETHODIMP CCSMRMeishiPlugin::Connect(LONG) {
    const ResourceContext context;
    LogWrite(LOG_ENTRY, L"CCSMRMeishiPlugin::Connect");
    PLUGIN_FORWARD(L"m_PluginCtrl.Connect()", m_PluginCtrl.Connect());
}

STDMETHODIMP CCSMRMeishiPlugin::Disconnect(LONG) {
    const ResourceContext context;
    LogWrite(LOG_ENTRY, L"CCSMRMeishiPlugin::Disconnect");
    PLUGIN_FORWARD(L"m_PluginCtrl.Disconnect()", m_PluginCtrl.Disconnect());
}

STDMETHODIMP CCSMRMeishiPlugin::SetLanguageID(LONG languageId, LONG) {
    const ResourceContext context;
    LogWrite(LOG_ENTRY, L"CCSMRMeishiPlugin::SetLanguageID");
    CZumLibrary::Instance().SetLocale(static_cast<LANGID>(languageId & 0xFFFF));
    return S_OK;
}

STDMETHODIMP CCSMRMeishiPlugin::CreateID(GUID* newId, LONG) {
    const ResourceContext context;
    LogWrite(LOG_ENTRY, L"CCSMRMeishiPlugin::CreateID");
    PLUGIN_FORWARD(L"m_PluginCtrl.CreateID", m_PluginCtrl.CreateID(newId));
}

STDMETHODIMP CCSMRMeishiPlugin::DeleteID(GUID jobId, LONG) {
    const ResourceContext context;
    LogWrite(LOG_ENTRY, L"CCSMRMeishiPlugin::DeleteID");
    PLUGIN_FORWARD(L"m_PluginCtrl.DeleteID", m_PluginCtrl.DeleteID(jobId));
}

STDMETHODIMP CCSMRMeishiPlugin::CopyID(GUID sourceId, GUID* newId, LONG) {
    const ResourceContext context;
    LogWrite(LOG_ENTRY, L"CCSMRMeishiPlugin::CopyID");
    PLUGIN_FORWARD(L"m_PluginCtrl.CopyID", m_PluginCtrl.CopyID(sourceId, newId));
}

STDMETHODIMP CCSMRMeishiPlugin::ShowSetting(GUID jobId, LONG parentWindow, LONG) {
    const ResourceContext context;
    LogWrite(LOG_ENTRY, L"CCSMRMeishiPlugin::ShowSetting");
    PLUGIN_FORWARD(L"m_PluginCtrl.ShowSettingDlg",
                   m_PluginCtrl.ShowSettingDlg(jobId, reinterpret_cast<HWND>(static_cast<LONG_PTR>(parentWindow))));
}

STDMETHODIMP CCSMRMeishiPlugin::ShowCommonSetting(LONG, LONG) {
    const ResourceContext context;
    LogWrite(LOG_ENTRY, L"CCSMRMeishiPlugin::ShowCommonSetting");
    return E_NOTIMPL;
}

STDMETHODIMP CCSMRMeishiPlugin::IsSupportedFileType(BSTR fileType, VARIANT_BOOL* supported, LONG) {
    const ResourceContext context;
    LogWrite(LOG_ENTRY, L"CCSMRMeishiPlugin::IsSupportedFileType");
    PLUGIN_FORWARD(L"m_PluginCtrl.IsSupportedFileType",
                   m_PluginCtrl.IsSupportedFileType(fileType ? fileType : L"", supported));
}

STDMETHODIMP CCSMRMeishiPlugin::Execute(GUID jobId, BSTR listFilePath, VARIANT_BOOL deleteFiles, LONG parentWindow,
                                        LONG) {
    const ResourceContext context;
    LogWrite(LOG_ENTRY, L"CCSMRMeishiPlugin::Execute");
    PLUGIN_FORWARD(L"m_PluginCtrl.Execute",
                   m_PluginCtrl.Execute(jobId, listFilePath ? listFilePath : L"", deleteFiles,
                                        reinterpret_cast<HWND>(static_cast<LONG_PTR>(parentWindow))));
}

STDMETHODIMP CCSMRMeishiPlugin::SettingsSummary(GUID jobId, BSTR* summary, LONG) {
    const ResourceContext context;
    LogWrite(LOG_ENTRY, L"CCSMRMeishiPlugin::SettingsSummary");
    PLUGIN_FORWARD(L"m_PluginCtrl.SettingsSummary", m_PluginCtrl.SettingsSummary(jobId, summary));
}

STDMETHODIMP CCSMRMeishiPlugin::Import(BSTR folderPath, LONG) {
    const ResourceContext context;
    LogWrite(LOG_ENTRY, L"CCSMRMeishiPlugin::Import");
    PLUGIN_FORWARD(L"m_PluginCtrl.ImportData", m_PluginCtrl.ImportData(folderPath ? folderPath : L""));
}

STDMETHODIMP CCSMRMeishiPlugin::Export(BSTR folderPath, LONG) {
    const ResourceContext context;
    LogWrite(LOG_ENTRY, L"CCSMRMeishiPlugin::Export");
    PLUGIN_FORWARD(L"m_PluginCtrl.ExportData", m_PluginCtrl.ExportData(folderPath ? folderPath : L""));
}

STDMETHODIMP CCSMRMeishiPlugin::ShowLinkButton(GUID, VARIANT_BOOL* show, LONG) {
    const ResourceContext context;
    LogWrite(LOG_ENTRY, L"CCSMRMeishiPlugin::ShowLinkButton");
    if (!show) return E_POINTER;
    *show = VARIANT_FALSE;
    return S_OK;
}

STDMETHODIMP CCSMRMeishiPlugin::LinkLabel(GUID, BSTR* label, LONG) {
    const ResourceContext context;
    LogWrite(LOG_ENTRY, L"CCSMRMeishiPlugin::LinkLabel");
    if (!label) return E_POINTER;
    *label = nullptr;
    return TessaranGuard([&] { return NewBstr(std::wstring(), label); });
}

STDMETHODIMP CCSMRMeishiPlugin::ClickedLinkButton(GUID, LONG) {
    const ResourceContext context;
    LogWrite(LOG_ENTRY, L"CCSMRMeishiPlugin::ClickedLinkButton");
    return S_OK;
}

#undef PLUGIN_FORWARD

}  // namespace tessaran
