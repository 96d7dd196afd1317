// The host's two ways of calling the plug-in: early bound through the
// ISMRPlugin2 vtable, or late bound through IDispatch as a script host would.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include <memory>
#include <string>

namespace hostsim {

// Every call passes the reserved final argument as 0, as the host does. Out
// values are meaningful only when the HRESULT succeeded.
class PluginCaller {
public:
    virtual ~PluginCaller() = default;

    // property is one of Name, Title, Description, Version, Icon.
    virtual HRESULT GetText(const std::wstring& property, std::wstring& value) = 0;
    // property is one of the six flag properties (ShowSettingButton, ...).
    virtual HRESULT GetFlag(const std::wstring& property, VARIANT_BOOL& value) = 0;

    virtual HRESULT Connect() = 0;
    virtual HRESULT Disconnect() = 0;
    virtual HRESULT SetLanguageID(LONG languageId) = 0;
    virtual HRESULT CreateID(GUID& newId) = 0;
    virtual HRESULT DeleteID(const GUID& jobId) = 0;
    virtual HRESULT CopyID(const GUID& sourceId, GUID& newId) = 0;
    virtual HRESULT ShowSetting(const GUID& jobId, LONG parentWindow) = 0;
    virtual HRESULT ShowCommonSetting(LONG argument) = 0;
    virtual HRESULT IsSupportedFileType(const std::wstring& fileType, VARIANT_BOOL& supported) = 0;
    virtual HRESULT Execute(const GUID& jobId, const std::wstring& listFile, VARIANT_BOOL deleteFiles,
                            LONG parentWindow) = 0;
    virtual HRESULT SettingsSummary(const GUID& jobId, std::wstring& summary) = 0;
    virtual HRESULT Import(const std::wstring& folder) = 0;
    virtual HRESULT Export(const std::wstring& folder) = 0;
    virtual HRESULT ShowLinkButton(const GUID& jobId, VARIANT_BOOL& show) = 0;
    virtual HRESULT LinkLabel(const GUID& jobId, std::wstring& label) = 0;
    virtual HRESULT ClickedLinkButton(const GUID& jobId) = 0;
};

// Callers on an existing object; each holds its own reference. Null with hr
// set when the object does not answer the interface the caller needs.
std::unique_ptr<PluginCaller> MakeVtableCaller(IUnknown* object, HRESULT& hr);
std::unique_ptr<PluginCaller> MakeDispatchCaller(IUnknown* object, HRESULT& hr);

}  // namespace hostsim
