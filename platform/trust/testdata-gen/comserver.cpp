// An in-process server for the verified-creation tests. Any class identifier
// is served; the factory answers both the verified factory interfaces and
// IClassFactory.
#include <windows.h>
#include <objbase.h>
#include <unknwn.h>

namespace {

constexpr GUID kFactoryInterface = {
    0xFD542581, 0x722E, 0x45BE, {0xBE, 0xD4, 0x62, 0xA1, 0xBE, 0x46, 0xAF, 0x03}};
constexpr GUID kFactoryInterfaceOld = {
    0x6058502E, 0x6069, 0x43F4, {0xB7, 0x33, 0x12, 0x86, 0x49, 0xA2, 0x0B, 0xD5}};

LONG g_objects = 0;

class Object final : public IUnknown {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (!out) return E_POINTER;
        if (iid == IID_IUnknown) {
            *out = this;
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return InterlockedIncrement(&refs_); }
    ULONG STDMETHODCALLTYPE Release() override {
        LONG left = InterlockedDecrement(&refs_);
        if (left == 0) {
            InterlockedDecrement(&g_objects);
            delete this;
        }
        return left;
    }
    Object() { InterlockedIncrement(&g_objects); }

private:
    LONG refs_ = 1;
};

HRESULT Create(REFIID iid, void** out) {
    if (!out) return E_POINTER;
    auto* object = new Object();
    HRESULT hr = object->QueryInterface(iid, out);
    object->Release();
    return hr;
}

// Slot 3 creates the object from (interface identifier, pointer out).
class VerifiedFactory : public IUnknown {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (!out) return E_POINTER;
        if (iid == IID_IUnknown || iid == kFactoryInterface || iid == kFactoryInterfaceOld) {
            *out = this;
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    virtual HRESULT STDMETHODCALLTYPE CreateObject(REFIID iid, void** out) { return Create(iid, out); }
};

class PlainFactory : public IClassFactory {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (!out) return E_POINTER;
        if (iid == IID_IUnknown || iid == IID_IClassFactory) {
            *out = this;
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
        if (out) *out = nullptr;
        if (outer) return CLASS_E_NOAGGREGATION;
        return Create(iid, out);
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }
};

VerifiedFactory g_verified;
PlainFactory g_plain;

}  // namespace

extern "C" __declspec(dllexport) HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID, REFIID iid,
                                                                         void** out) {
    if (!out) return E_POINTER;
    if (iid == kFactoryInterface || iid == kFactoryInterfaceOld) return g_verified.QueryInterface(iid, out);
    return g_plain.QueryInterface(iid, out);
}

extern "C" __declspec(dllexport) HRESULT STDAPICALLTYPE DllCanUnloadNow() {
    return g_objects == 0 ? S_OK : S_FALSE;
}
