// Test double of the telemetry COM server: an in-process server for any
// class identifier it is registered under. Every object created, released
// and every event received is appended to the journal named by
// VT_TELEMETRY_JOURNAL. VT_TELEMETRY_RESULT (hex HRESULT) scripts the
// answer to an event; VT_TELEMETRY_VERIFIED_FACTORY=1 makes the class
// factory also answer the verifier's factory interfaces.
#include "framework/AnalyticsAPI/include/AnalyticsAPI/TelemetryServer.h"

#include <windows.h>
#include <oleauto.h>
#include <unknwn.h>

#include <cwchar>
#include <string>

namespace {

using Tessil::Analytics::ITelemetryServer;

LONG gObjects = 0;
LONG gLocks = 0;

// {FD542581-722E-45BE-BED4-62A1BE46AF03} and {6058502E-6069-43F4-B733-128649A20BD5}
const GUID kVerifiedFactoryA = {0xFD542581, 0x722E, 0x45BE, {0xBE, 0xD4, 0x62, 0xA1, 0xBE, 0x46, 0xAF, 0x03}};
const GUID kVerifiedFactoryB = {0x6058502E, 0x6069, 0x43F4, {0xB7, 0x33, 0x12, 0x86, 0x49, 0xA2, 0x0B, 0xD5}};

std::wstring Environment(const wchar_t* name) {
    wchar_t buffer[1024];
    DWORD length = GetEnvironmentVariableW(name, buffer, 1024);
    if (length == 0 || length >= 1024) {
        return {};
    }
    return std::wstring(buffer, length);
}

void AppendJournal(const std::wstring& record) {
    std::wstring path = Environment(L"VT_TELEMETRY_JOURNAL");
    if (path.empty()) {
        return;
    }
    // Appends from several threads race under Wine (append is seek-then-write),
    // so records are written one at a time. A named mutex also survives the
    // DLL being unloaded and loaded again between COM sessions.
    std::wstring lockName = L"Local\\VtTelemetryJournal." + std::to_wstring(GetCurrentProcessId());
    HANDLE lock = CreateMutexW(nullptr, FALSE, lockName.c_str());
    if (lock != nullptr) {
        WaitForSingleObject(lock, INFINITE);
    }
    HANDLE file = CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        DWORD written = 0;
        WriteFile(file, record.data(), static_cast<DWORD>(record.size() * sizeof(wchar_t)),
                  &written, nullptr);
        CloseHandle(file);
    }
    if (lock != nullptr) {
        ReleaseMutex(lock);
        CloseHandle(lock);
    }
}

std::wstring Field(BSTR text) {
    std::wstring value = text != nullptr ? std::wstring(text, SysStringLen(text)) : std::wstring();
    return L"[" + std::to_wstring(value.size()) + L"]" + value;
}

HRESULT ScriptedResult() {
    std::wstring text = Environment(L"VT_TELEMETRY_RESULT");
    if (text.empty()) {
        return S_OK;
    }
    return static_cast<HRESULT>(std::wcstoul(text.c_str(), nullptr, 16));
}

class Server final : public ITelemetryServer {
public:
    Server() {
        InterlockedIncrement(&gObjects);
        AppendJournal(L"C\n");
    }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (out == nullptr) {
            return E_POINTER;
        }
        if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, Tessil::Analytics::IID_ITelemetryServer)) {
            *out = static_cast<ITelemetryServer*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&refs_)); }
    ULONG STDMETHODCALLTYPE Release() override {
        LONG left = InterlockedDecrement(&refs_);
        if (left == 0) {
            AppendJournal(L"R\n");
            delete this;
            InterlockedDecrement(&gObjects);
        }
        return static_cast<ULONG>(left);
    }
    HRESULT STDMETHODCALLTYPE SendEvent(BSTR first, BSTR eventJson, BSTR last) override {
        AppendJournal(L"E" + Field(first) + Field(eventJson) + Field(last) + L"\n");
        return ScriptedResult();
    }

private:
    LONG refs_ = 1;
};

// The verifier's factory shape: slot 3 creates from (iid, out).
struct IVerifiedFactory : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE CreateInstance(REFIID iid, void** out) = 0;
};

HRESULT CreateServer(REFIID iid, void** out) {
    Server* server = new (std::nothrow) Server();
    if (server == nullptr) {
        return E_OUTOFMEMORY;
    }
    HRESULT result = server->QueryInterface(iid, out);
    server->Release();
    return result;
}

class Factory final : public IClassFactory {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (out == nullptr) {
            return E_POINTER;
        }
        if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_IClassFactory)) {
            *out = static_cast<IClassFactory*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
        if (out == nullptr) {
            return E_POINTER;
        }
        *out = nullptr;
        if (outer != nullptr) {
            return CLASS_E_NOAGGREGATION;
        }
        return CreateServer(iid, out);
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
        if (lock) {
            InterlockedIncrement(&gLocks);
        } else {
            InterlockedDecrement(&gLocks);
        }
        return S_OK;
    }
};

class VerifiedFactory final : public IVerifiedFactory {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (out == nullptr) {
            return E_POINTER;
        }
        if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, kVerifiedFactoryA) ||
            IsEqualGUID(iid, kVerifiedFactoryB)) {
            *out = static_cast<IVerifiedFactory*>(this);
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE CreateInstance(REFIID iid, void** out) override {
        if (out == nullptr) {
            return E_POINTER;
        }
        *out = nullptr;
        return CreateServer(iid, out);
    }
};

Factory gFactory;
VerifiedFactory gVerifiedFactory;

}  // namespace

extern "C" HRESULT __stdcall DllGetClassObject(REFCLSID, REFIID iid, void** out) {
    if (out == nullptr) {
        return E_POINTER;
    }
    *out = nullptr;
    if (IsEqualGUID(iid, kVerifiedFactoryA) || IsEqualGUID(iid, kVerifiedFactoryB)) {
        if (Environment(L"VT_TELEMETRY_VERIFIED_FACTORY") != L"1") {
            return E_NOINTERFACE;
        }
        return gVerifiedFactory.QueryInterface(iid, out);
    }
    return gFactory.QueryInterface(iid, out);
}

extern "C" HRESULT __stdcall DllCanUnloadNow() {
    return (gObjects == 0 && gLocks == 0) ? S_OK : S_FALSE;
}
