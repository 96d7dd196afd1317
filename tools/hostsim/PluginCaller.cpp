#include "tools/hostsim/PluginCaller.h"

#include <oleauto.h>

#include <vector>

#include "SMRPluginIF.h"
#include "support/Handles.h"

using tessaran::ComPtr;
using tessaran::UniqueBstr;
using tessaran::UniqueVariant;

namespace hostsim {

namespace {

HRESULT NewBstr(const std::wstring& text, UniqueBstr& out) {
    out.reset(::SysAllocStringLen(text.data(), static_cast<UINT>(text.size())));
    return out ? S_OK : E_OUTOFMEMORY;
}

std::wstring TakeText(const UniqueBstr& text) {
    return text ? std::wstring(text.get(), ::SysStringLen(text.get())) : std::wstring();
}

// ---- early binding ----

class VtableCaller final : public PluginCaller {
public:
    explicit VtableCaller(ComPtr<ISMRPlugin2> plugin) : m_plugin(std::move(plugin)) {}

    HRESULT GetText(const std::wstring& property, std::wstring& value) override {
        using Getter = HRESULT (STDMETHODCALLTYPE ISMRPlugin2::*)(BSTR*);
        Getter getter = nullptr;
        if (property == L"Name") getter = &ISMRPlugin2::get_Name;
        if (property == L"Title") getter = &ISMRPlugin2::get_Title;
        if (property == L"Description") getter = &ISMRPlugin2::get_Description;
        if (property == L"Version") getter = &ISMRPlugin2::get_Version;
        if (property == L"Icon") getter = &ISMRPlugin2::get_Icon;
        if (!getter) return DISP_E_UNKNOWNNAME;
        UniqueBstr text;
        const HRESULT hr = (m_plugin.get()->*getter)(text.put());
        value = TakeText(text);
        return hr;
    }

    HRESULT GetFlag(const std::wstring& property, VARIANT_BOOL& value) override {
        using Getter = HRESULT (STDMETHODCALLTYPE ISMRPlugin2::*)(VARIANT_BOOL*);
        Getter getter = nullptr;
        if (property == L"ShowSettingButton") getter = &ISMRPlugin2::get_ShowSettingButton;
        if (property == L"ShowCommonSettingButton") getter = &ISMRPlugin2::get_ShowCommonSettingButton;
        if (property == L"IsExecutable") getter = &ISMRPlugin2::get_IsExecutable;
        if (property == L"ShowSettingsSummary") getter = &ISMRPlugin2::get_ShowSettingsSummary;
        if (property == L"ShowFileNameSetting") getter = &ISMRPlugin2::get_ShowFileNameSetting;
        if (property == L"ShowFileTypeSetting") getter = &ISMRPlugin2::get_ShowFileTypeSetting;
        if (!getter) return DISP_E_UNKNOWNNAME;
        return (m_plugin.get()->*getter)(&value);
    }

    HRESULT Connect() override { return m_plugin->Connect(0); }
    HRESULT Disconnect() override { return m_plugin->Disconnect(0); }
    HRESULT SetLanguageID(LONG languageId) override { return m_plugin->SetLanguageID(languageId, 0); }
    HRESULT CreateID(GUID& newId) override { return m_plugin->CreateID(&newId, 0); }
    HRESULT DeleteID(const GUID& jobId) override { return m_plugin->DeleteID(jobId, 0); }
    HRESULT CopyID(const GUID& sourceId, GUID& newId) override { return m_plugin->CopyID(sourceId, &newId, 0); }
    HRESULT ShowSetting(const GUID& jobId, LONG parentWindow) override {
        return m_plugin->ShowSetting(jobId, parentWindow, 0);
    }
    HRESULT ShowCommonSetting(LONG argument) override { return m_plugin->ShowCommonSetting(argument, 0); }

    HRESULT IsSupportedFileType(const std::wstring& fileType, VARIANT_BOOL& supported) override {
        UniqueBstr text;
        if (FAILED(NewBstr(fileType, text))) return E_OUTOFMEMORY;
        return m_plugin->IsSupportedFileType(text.get(), &supported, 0);
    }

    HRESULT Execute(const GUID& jobId, const std::wstring& listFile, VARIANT_BOOL deleteFiles,
                    LONG parentWindow) override {
        UniqueBstr path;
        if (FAILED(NewBstr(listFile, path))) return E_OUTOFMEMORY;
        return m_plugin->Execute(jobId, path.get(), deleteFiles, parentWindow, 0);
    }

    HRESULT SettingsSummary(const GUID& jobId, std::wstring& summary) override {
        UniqueBstr text;
        const HRESULT hr = m_plugin->SettingsSummary(jobId, text.put(), 0);
        summary = TakeText(text);
        return hr;
    }

    HRESULT Import(const std::wstring& folder) override {
        UniqueBstr path;
        if (FAILED(NewBstr(folder, path))) return E_OUTOFMEMORY;
        return m_plugin->Import(path.get(), 0);
    }
    HRESULT Export(const std::wstring& folder) override {
        UniqueBstr path;
        if (FAILED(NewBstr(folder, path))) return E_OUTOFMEMORY;
        return m_plugin->Export(path.get(), 0);
    }

    HRESULT ShowLinkButton(const GUID& jobId, VARIANT_BOOL& show) override {
        return m_plugin->ShowLinkButton(jobId, &show, 0);
    }
    HRESULT LinkLabel(const GUID& jobId, std::wstring& label) override {
        UniqueBstr text;
        const HRESULT hr = m_plugin->LinkLabel(jobId, text.put(), 0);
        label = TakeText(text);
        return hr;
    }
    HRESULT ClickedLinkButton(const GUID& jobId) override { return m_plugin->ClickedLinkButton(jobId, 0); }

private:
    ComPtr<ISMRPlugin2> m_plugin;
};

// ---- late binding ----

// Builders for the arguments of one Invoke. The VARIANTs only borrow: the
// texts and buffers they point at live in the caller's frame.
VARIANT LongArg(LONG value) {
    VARIANT v;
    ::VariantInit(&v);
    V_VT(&v) = VT_I4;
    V_I4(&v) = value;
    return v;
}
VARIANT BstrArg(BSTR value) {
    VARIANT v;
    ::VariantInit(&v);
    V_VT(&v) = VT_BSTR;
    V_BSTR(&v) = value;
    return v;
}
VARIANT BoolOut(VARIANT_BOOL* value) {
    VARIANT v;
    ::VariantInit(&v);
    V_VT(&v) = VT_BOOL | VT_BYREF;
    V_BOOLREF(&v) = value;
    return v;
}
// Late binding for every operation whose arguments OLE Automation can carry.
// A job ID is a GUID passed by value (or a GUID buffer): the host's type
// library describes it as the standard GUID record, but the automation
// Invoke cannot pass a record by value (Wine's oleaut32 answers E_NOTIMPL,
// and it is outside the types Windows' own marshaller dispatches), so those
// nine operations stay on the vtable, as a late-binding host would also
// have to do.
class DispatchCaller final : public PluginCaller {
public:
    DispatchCaller(ComPtr<IDispatch> dispatch, std::unique_ptr<PluginCaller> vtable)
        : m_dispatch(std::move(dispatch)), m_vtable(std::move(vtable)) {}

    HRESULT GetText(const std::wstring& property, std::wstring& value) override {
        UniqueVariant result;
        const HRESULT hr = Invoke(property.c_str(), DISPATCH_PROPERTYGET, {}, result.get());
        if (FAILED(hr)) return hr;
        if (V_VT(result.get()) != VT_BSTR) return DISP_E_TYPEMISMATCH;
        value.assign(V_BSTR(result.get()), ::SysStringLen(V_BSTR(result.get())));
        return hr;
    }

    HRESULT GetFlag(const std::wstring& property, VARIANT_BOOL& value) override {
        UniqueVariant result;
        const HRESULT hr = Invoke(property.c_str(), DISPATCH_PROPERTYGET, {}, result.get());
        if (FAILED(hr)) return hr;
        if (V_VT(result.get()) != VT_BOOL) return DISP_E_TYPEMISMATCH;
        value = V_BOOL(result.get());
        return hr;
    }

    HRESULT Connect() override { return Invoke(L"Connect", DISPATCH_METHOD, {LongArg(0)}); }
    HRESULT Disconnect() override { return Invoke(L"Disconnect", DISPATCH_METHOD, {LongArg(0)}); }
    HRESULT SetLanguageID(LONG languageId) override {
        return Invoke(L"SetLanguageID", DISPATCH_METHOD, {LongArg(languageId), LongArg(0)});
    }
    HRESULT ShowCommonSetting(LONG argument) override {
        return Invoke(L"ShowCommonSetting", DISPATCH_METHOD, {LongArg(argument), LongArg(0)});
    }

    HRESULT IsSupportedFileType(const std::wstring& fileType, VARIANT_BOOL& supported) override {
        UniqueBstr text;
        if (FAILED(NewBstr(fileType, text))) return E_OUTOFMEMORY;
        return Invoke(L"IsSupportedFileType", DISPATCH_METHOD,
                      {BstrArg(text.get()), BoolOut(&supported), LongArg(0)});
    }

    HRESULT Import(const std::wstring& folder) override { return TextOnly(L"Import", folder); }
    HRESULT Export(const std::wstring& folder) override { return TextOnly(L"Export", folder); }

    // ---- job ID operations: vtable ----
    HRESULT CreateID(GUID& newId) override { return m_vtable->CreateID(newId); }
    HRESULT DeleteID(const GUID& jobId) override { return m_vtable->DeleteID(jobId); }
    HRESULT CopyID(const GUID& sourceId, GUID& newId) override { return m_vtable->CopyID(sourceId, newId); }
    HRESULT ShowSetting(const GUID& jobId, LONG parentWindow) override {
        return m_vtable->ShowSetting(jobId, parentWindow);
    }
    HRESULT Execute(const GUID& jobId, const std::wstring& listFile, VARIANT_BOOL deleteFiles,
                    LONG parentWindow) override {
        return m_vtable->Execute(jobId, listFile, deleteFiles, parentWindow);
    }
    HRESULT SettingsSummary(const GUID& jobId, std::wstring& summary) override {
        return m_vtable->SettingsSummary(jobId, summary);
    }
    HRESULT ShowLinkButton(const GUID& jobId, VARIANT_BOOL& show) override {
        return m_vtable->ShowLinkButton(jobId, show);
    }
    HRESULT LinkLabel(const GUID& jobId, std::wstring& label) override { return m_vtable->LinkLabel(jobId, label); }
    HRESULT ClickedLinkButton(const GUID& jobId) override { return m_vtable->ClickedLinkButton(jobId); }

private:
    HRESULT TextOnly(const wchar_t* name, const std::wstring& text) {
        UniqueBstr value;
        if (FAILED(NewBstr(text, value))) return E_OUTOFMEMORY;
        return Invoke(name, DISPATCH_METHOD, {BstrArg(value.get()), LongArg(0)});
    }

    // Calls a member by name with its arguments in declaration order. A failure
    // the plug-in returned comes back as DISP_E_EXCEPTION; its code is the result.
    HRESULT Invoke(const wchar_t* name, WORD flags, std::vector<VARIANT> args, VARIANT* result = nullptr) {
        DISPID id = DISPID_UNKNOWN;
        LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
        HRESULT hr = m_dispatch->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
        if (FAILED(hr)) return hr;
        std::vector<VARIANT> reversed(args.rbegin(), args.rend());
        DISPPARAMS params = {reversed.empty() ? nullptr : reversed.data(), nullptr,
                             static_cast<UINT>(reversed.size()), 0};
        EXCEPINFO exception = {};
        UINT argError = 0;
        hr = m_dispatch->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, result, &exception, &argError);
        if (hr == DISP_E_EXCEPTION) {
            if (exception.pfnDeferredFillIn) exception.pfnDeferredFillIn(&exception);
            const UniqueBstr source(exception.bstrSource);
            const UniqueBstr description(exception.bstrDescription);
            const UniqueBstr helpFile(exception.bstrHelpFile);
            if (exception.scode != 0) return exception.scode;
        }
        return hr;
    }

    ComPtr<IDispatch> m_dispatch;
    std::unique_ptr<PluginCaller> m_vtable;
};

}  // namespace

std::unique_ptr<PluginCaller> MakeVtableCaller(IUnknown* object, HRESULT& hr) {
    ComPtr<ISMRPlugin2> plugin;
    hr = object->QueryInterface(IID_ISMRPlugin2, plugin.put_void());
    if (FAILED(hr)) return nullptr;
    return std::make_unique<VtableCaller>(std::move(plugin));
}

std::unique_ptr<PluginCaller> MakeDispatchCaller(IUnknown* object, HRESULT& hr) {
    ComPtr<IDispatch> dispatch;
    hr = object->QueryInterface(IID_IDispatch, dispatch.put_void());
    if (FAILED(hr)) return nullptr;
    std::unique_ptr<PluginCaller> vtable = MakeVtableCaller(object, hr);
    if (!vtable) return nullptr;
    return std::make_unique<DispatchCaller>(std::move(dispatch), std::move(vtable));
}

}  // namespace hostsim
