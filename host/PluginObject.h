// The COM object the host creates: the host's ISMRPlugin2 and the plug-in's
// own dual interface, with every operation forwarded to the controller.
#pragma once

#include <windows.h>

#include "SMRPluginIF.h"
#include "TessaranService.h"
#include "controller/MeishiServiceCtrl.h"

namespace tessaran {

// IDispatch of the plug-in's own interface, answered from its type library.
class CPluginDispatch : public ICSMRMeishiPlugin {
public:
    STDMETHODIMP GetTypeInfoCount(UINT* count) override;
    STDMETHODIMP GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) override;
    STDMETHODIMP GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID lcid, DISPID* ids) override;
    STDMETHODIMP Invoke(DISPID id, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* params, VARIANT* result,
                        EXCEPINFO* exception, UINT* argError) override;

protected:
    virtual ~CPluginDispatch() = default;
};

// IDispatch of the host's interface, answered from the host's registered type library.
class CHostDispatch : public ISMRPlugin2 {
public:
    STDMETHODIMP GetTypeInfoCount(UINT* count) override;
    STDMETHODIMP GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) override;
    STDMETHODIMP GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID lcid, DISPID* ids) override;
    STDMETHODIMP Invoke(DISPID id, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* params, VARIANT* result,
                        EXCEPINFO* exception, UINT* argError) override;

protected:
    virtual ~CHostDispatch() = default;
};

class CCSMRMeishiPlugin final : public CPluginDispatch, public CHostDispatch {
public:
    // Creates an instance (aggregated when outer is given), runs the
    // controller's Init once and answers riid.
    static HRESULT Create(IUnknown* outer, REFIID riid, void** object);

    // IUnknown, delegating to the controlling unknown.
    STDMETHODIMP QueryInterface(REFIID riid, void** object) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    // ISMRPlugin2
    STDMETHODIMP get_Name(BSTR* value) override;
    STDMETHODIMP get_Title(BSTR* value) override;
    STDMETHODIMP get_Description(BSTR* value) override;
    STDMETHODIMP get_Version(BSTR* value) override;
    STDMETHODIMP get_Icon(BSTR* value) override;
    STDMETHODIMP get_ShowSettingButton(VARIANT_BOOL* value) override;
    STDMETHODIMP get_ShowCommonSettingButton(VARIANT_BOOL* value) override;
    STDMETHODIMP get_IsExecutable(VARIANT_BOOL* value) override;
    STDMETHODIMP get_ShowSettingsSummary(VARIANT_BOOL* value) override;
    STDMETHODIMP get_ShowFileNameSetting(VARIANT_BOOL* value) override;
    STDMETHODIMP get_ShowFileTypeSetting(VARIANT_BOOL* value) override;
    STDMETHODIMP Connect(LONG reserved) override;
    STDMETHODIMP Disconnect(LONG reserved) override;
    STDMETHODIMP SetLanguageID(LONG languageId, LONG reserved) override;
    STDMETHODIMP CreateID(GUID* newId, LONG reserved) override;
    STDMETHODIMP DeleteID(GUID jobId, LONG reserved) override;
    STDMETHODIMP CopyID(GUID sourceId, GUID* newId, LONG reserved) override;
    STDMETHODIMP ShowSetting(GUID jobId, LONG parentWindow, LONG reserved) override;
    STDMETHODIMP ShowCommonSetting(LONG argument, LONG reserved) override;
    STDMETHODIMP IsSupportedFileType(BSTR fileType, VARIANT_BOOL* supported, LONG reserved) override;
    STDMETHODIMP Execute(GUID jobId, BSTR listFilePath, VARIANT_BOOL deleteFiles, LONG parentWindow,
                         LONG reserved) override;
    STDMETHODIMP SettingsSummary(GUID jobId, BSTR* summary, LONG reserved) override;
    STDMETHODIMP Import(BSTR folderPath, LONG reserved) override;
    STDMETHODIMP Export(BSTR folderPath, LONG reserved) override;
    STDMETHODIMP ShowLinkButton(GUID jobId, VARIANT_BOOL* show, LONG reserved) override;
    STDMETHODIMP LinkLabel(GUID jobId, BSTR* label, LONG reserved) override;
    STDMETHODIMP ClickedLinkButton(GUID jobId, LONG reserved) override;

    // For tests that drive the run with scripted dialogs.
    CMeishiServiceCtrl& Controller() noexcept { return m_PluginCtrl; }

private:
    explicit CCSMRMeishiPlugin(IUnknown* outer);
    ~CCSMRMeishiPlugin() override;

    // The identity of the object: answers the interface map and owns the count.
    class InnerUnknown final : public IUnknown {
    public:
        explicit InnerUnknown(CCSMRMeishiPlugin* owner) : m_owner(owner) {}
        STDMETHODIMP QueryInterface(REFIID riid, void** object) override;
        STDMETHODIMP_(ULONG) AddRef() override;
        STDMETHODIMP_(ULONG) Release() override;

    private:
        CCSMRMeishiPlugin* m_owner;
    };

    HRESULT Forward(const wchar_t* step, HRESULT hr) noexcept;
    HRESULT Flag(const wchar_t* operation, VARIANT_BOOL flag, VARIANT_BOOL* value) noexcept;
    HRESULT Text(const wchar_t* operation, const char* sjisKey, BSTR* value) noexcept;

    ULONG m_refCount = 0;  // apartment-threaded: the host calls on one thread
    InnerUnknown m_inner;
    IUnknown* m_outer;  // the controlling unknown: the aggregator, or m_inner
    CMeishiServiceCtrl m_PluginCtrl;
};

}  // namespace tessaran
