// The class object and the plug-in object as the real DLL serves them: the
// interface table, object identity, reference counts, aggregation and
// DllCanUnloadNow.
#include <gtest/gtest.h>

#include <windows.h>
#include <ocidl.h>

#include "common/HostProcess.h"
#include "SMRPluginIF.h"
#include "TessaranService.h"
#include "support/Handles.h"

using tessaran::ComPtr;
using tessaran::GetProc;

namespace {

using GetClassObjectFn = HRESULT(WINAPI*)(REFCLSID, REFIID, void**);
using CanUnloadNowFn = HRESULT(WINAPI*)();

void* const kMarker = reinterpret_cast<void*>(static_cast<uintptr_t>(0xDEADBEEF));

class ComObject : public ::testing::Test {
protected:
    static void SetUpTestSuite() { s_plugin = ::LoadLibraryW(tessaran_test::PluginDllPath().c_str()); }
    static void TearDownTestSuite() {
        if (s_plugin) ::FreeLibrary(s_plugin);
        s_plugin = nullptr;
    }

    void SetUp() override {
        ASSERT_NE(s_plugin, nullptr) << "cannot load the plug-in DLL";
        m_getClassObject = GetProc<GetClassObjectFn>(s_plugin, "DllGetClassObject");
        m_canUnloadNow = GetProc<CanUnloadNowFn>(s_plugin, "DllCanUnloadNow");
        ASSERT_NE(m_getClassObject, nullptr);
        ASSERT_NE(m_canUnloadNow, nullptr);
        ASSERT_HRESULT_SUCCEEDED(m_getClassObject(CLSID_CSMRMeishiPlugin, IID_IClassFactory, m_factory.put_void()));
    }

    // A new plain object, as the one reference the caller holds.
    ComPtr<IUnknown> NewObject() {
        ComPtr<IUnknown> object;
        EXPECT_HRESULT_SUCCEEDED(m_factory->CreateInstance(nullptr, IID_IUnknown, object.put_void()));
        return object;
    }

    static HMODULE s_plugin;
    GetClassObjectFn m_getClassObject = nullptr;
    CanUnloadNowFn m_canUnloadNow = nullptr;
    ComPtr<IClassFactory> m_factory;
};

HMODULE ComObject::s_plugin = nullptr;

// The identity of any interface pointer of an object.
IUnknown* Identity(IUnknown* any) {
    ComPtr<IUnknown> identity;
    if (FAILED(any->QueryInterface(IID_IUnknown, identity.put_void()))) return nullptr;
    return identity.get();
}

TEST_F(ComObject, ClassObjectServesOnlyItsClass) {
    void* object = kMarker;
    const CLSID other = {0x12345678, 0x1234, 0x1234, {1, 2, 3, 4, 5, 6, 7, 8}};
    EXPECT_EQ(m_getClassObject(other, IID_IClassFactory, &object), CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(object, nullptr);
    object = kMarker;
    EXPECT_EQ(m_getClassObject(CLSID_CSMRMeishiPlugin, IID_IDispatch, &object), E_NOINTERFACE);
    EXPECT_EQ(object, nullptr);

    // Created on first request and kept.
    ComPtr<IUnknown> again;
    ASSERT_HRESULT_SUCCEEDED(m_getClassObject(CLSID_CSMRMeishiPlugin, IID_IUnknown, again.put_void()));
    EXPECT_EQ(Identity(again.get()), Identity(m_factory.get()));
}

TEST_F(ComObject, AnswersItsInterfaceTableAndNothingElse) {
    ComPtr<IUnknown> object = NewObject();
    ASSERT_TRUE(object);
    ComPtr<ICSMRMeishiPlugin> own;
    ComPtr<IDispatch> dispatch;
    ComPtr<ISMRPlugin2> host;
    ASSERT_HRESULT_SUCCEEDED(object->QueryInterface(IID_ICSMRMeishiPlugin, own.put_void()));
    ASSERT_HRESULT_SUCCEEDED(object->QueryInterface(IID_IDispatch, dispatch.put_void()));
    ASSERT_HRESULT_SUCCEEDED(object->QueryInterface(IID_ISMRPlugin2, host.put_void()));

    // Late-bound callers reach the host's interface, not the plug-in's own.
    EXPECT_EQ(static_cast<void*>(dispatch.get()), static_cast<void*>(host.get()));
    EXPECT_NE(static_cast<void*>(dispatch.get()), static_cast<void*>(own.get()));
    // One identity, and it is the first entry of the table.
    EXPECT_EQ(Identity(own.get()), object.get());
    EXPECT_EQ(Identity(dispatch.get()), object.get());
    EXPECT_EQ(Identity(host.get()), object.get());
    EXPECT_EQ(static_cast<void*>(object.get()), static_cast<void*>(own.get()));

    const IID refused[] = {IID_IClassFactory, IID_IPersist, IID_IConnectionPointContainer, IID_IProvideClassInfo,
                           {0x0badf00d, 0x1111, 0x2222, {3, 3, 3, 3, 3, 3, 3, 3}}};
    for (const IID& iid : refused) {
        void* answer = kMarker;
        EXPECT_EQ(host->QueryInterface(iid, &answer), E_NOINTERFACE);
        EXPECT_EQ(answer, nullptr);
    }
    EXPECT_EQ(object->QueryInterface(IID_IUnknown, nullptr), E_POINTER);
}

TEST_F(ComObject, ReferenceCountsAndDestruction) {
    IUnknown* object = nullptr;
    ASSERT_HRESULT_SUCCEEDED(m_factory->CreateInstance(nullptr, IID_ISMRPlugin2, reinterpret_cast<void**>(&object)));
    EXPECT_EQ(object->AddRef(), 2u);
    ISMRPlugin2* host = nullptr;
    ASSERT_HRESULT_SUCCEEDED(object->QueryInterface(IID_ISMRPlugin2, reinterpret_cast<void**>(&host)));
    EXPECT_EQ(host->Release(), 2u);
    EXPECT_EQ(object->Release(), 1u);
    m_factory.reset();
    EXPECT_EQ(m_canUnloadNow(), S_FALSE) << "a live object keeps the DLL";
    EXPECT_EQ(object->Release(), 0u);
    EXPECT_EQ(m_canUnloadNow(), S_OK);
}

TEST_F(ComObject, FailedCreationLeavesNothingBehind) {
    void* object = kMarker;
    EXPECT_EQ(m_factory->CreateInstance(nullptr, IID_IClassFactory, &object), E_NOINTERFACE);
    EXPECT_EQ(object, nullptr);
    m_factory.reset();
    EXPECT_EQ(m_canUnloadNow(), S_OK);
}

TEST_F(ComObject, CanUnloadNowCountsObjectsClassObjectAndLocks) {
    EXPECT_EQ(m_canUnloadNow(), S_FALSE) << "the class object is held";
    ASSERT_HRESULT_SUCCEEDED(m_factory->LockServer(TRUE));
    ComPtr<IClassFactory> factory = std::move(m_factory);
    IClassFactory* locked = factory.get();
    factory.reset();
    EXPECT_EQ(m_canUnloadNow(), S_FALSE) << "LockServer keeps the DLL";
    ASSERT_HRESULT_SUCCEEDED(locked->LockServer(FALSE));  // the static class object outlives its references
    EXPECT_EQ(m_canUnloadNow(), S_OK);
}

// An outer object that counts its own references and forwards nothing.
class Outer final : public IUnknown {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** object) override {
        ++queries;
        if (IsEqualIID(riid, IID_IUnknown)) {
            *object = this;
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++count; }
    STDMETHODIMP_(ULONG) Release() override { return --count; }
    ULONG count = 1;
    int queries = 0;
};

TEST_F(ComObject, AggregatesUnderAnOuterObject) {
    Outer outer;
    void* refused = kMarker;
    EXPECT_EQ(m_factory->CreateInstance(&outer, IID_ISMRPlugin2, &refused), CLASS_E_NOAGGREGATION);
    EXPECT_EQ(refused, nullptr);

    IUnknown* inner = nullptr;
    ASSERT_HRESULT_SUCCEEDED(m_factory->CreateInstance(&outer, IID_IUnknown, reinterpret_cast<void**>(&inner)));
    EXPECT_EQ(outer.count, 1u) << "creation takes no reference on the outer object";

    // The inner unknown answers the table; the interfaces it hands out
    // delegate their IUnknown to the outer object.
    ISMRPlugin2* host = nullptr;
    ASSERT_HRESULT_SUCCEEDED(inner->QueryInterface(IID_ISMRPlugin2, reinterpret_cast<void**>(&host)));
    EXPECT_EQ(outer.count, 2u);
    EXPECT_EQ(host->AddRef(), 3u);
    EXPECT_EQ(host->Release(), 2u);
    IUnknown* identity = nullptr;
    ASSERT_HRESULT_SUCCEEDED(host->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity)));
    EXPECT_EQ(identity, &outer);
    EXPECT_EQ(outer.queries, 1);
    identity->Release();
    host->Release();
    EXPECT_EQ(outer.count, 1u);

    IUnknown* self = nullptr;
    ASSERT_HRESULT_SUCCEEDED(inner->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&self)));
    EXPECT_EQ(self, inner) << "the inner unknown keeps its own identity";
    self->Release();
    EXPECT_EQ(inner->Release(), 0u);
    m_factory.reset();
    EXPECT_EQ(m_canUnloadNow(), S_OK);
}

}  // namespace
