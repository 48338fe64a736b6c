#include "framework/AnalyticsAPI/include/AnalyticsAPI/Transports.h"

#include "platform/trust/TrustVerifier.h"

#include <objbase.h>

#include <cstring>

namespace Tessil::Analytics {

HRESULT ComAPI::coInitializeEx(void* reserved, DWORD model) { return CoInitializeEx(reserved, model); }

void ComAPI::coUninitialize() { CoUninitialize(); }

HRESULT ComAPI::createVerifiedInstance(REFCLSID clsid, IUnknown* outer, DWORD context, REFIID iid,
                                       void** out, bool verify) {
    return CreateVerifiedInstance(clsid, outer, context, iid, out, verify);
}

HRESULT ComAPI::coCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD context, REFIID iid,
                                 void** out) {
    return CoCreateInstance(clsid, outer, context, iid, out);
}

BSTR ComAPI::sysAllocString(const wchar_t* text) { return SysAllocString(text); }

void ComAPI::sysFreeString(BSTR text) { SysFreeString(text); }

namespace {

bool IsZeroGuid(const GUID& guid) {
    static const GUID zero{};
    return std::memcmp(&guid, &zero, sizeof(GUID)) == 0;
}

// COM initialised for the scope; uninitialised only when that succeeded.
class ComInitScope {
public:
    explicit ComInitScope(ComAPI& api)
        : api_(api), initialised_(SUCCEEDED(api.coInitializeEx(nullptr, COINIT_MULTITHREADED))) {}
    ~ComInitScope() {
        if (initialised_) {
            api_.coUninitialize();
        }
    }
    ComInitScope(const ComInitScope&) = delete;
    ComInitScope& operator=(const ComInitScope&) = delete;

private:
    ComAPI& api_;
    bool initialised_;
};

class ServerRef {
public:
    explicit ServerRef(ITelemetryServer* server) : server_(server) {}
    ~ServerRef() {
        if (server_ != nullptr) {
            server_->Release();
        }
    }
    ServerRef(const ServerRef&) = delete;
    ServerRef& operator=(const ServerRef&) = delete;
    ITelemetryServer* get() const { return server_; }

private:
    ITelemetryServer* server_;
};

class ScopedBstr {
public:
    ScopedBstr(ComAPI& api, const wchar_t* text) : api_(api), text_(api.sysAllocString(text)) {}
    ~ScopedBstr() {
        if (text_ != nullptr) {
            api_.sysFreeString(text_);
        }
    }
    ScopedBstr(const ScopedBstr&) = delete;
    ScopedBstr& operator=(const ScopedBstr&) = delete;
    BSTR get() const { return text_; }

private:
    ComAPI& api_;
    BSTR text_;
};

// The object of a creation call, released when the call failed.
ITelemetryServer* TakeCreated(HRESULT result, void* object) {
    auto* server = static_cast<ITelemetryServer*>(object);
    if (FAILED(result) && server != nullptr) {
        server->Release();
        return nullptr;
    }
    return server;
}

}  // namespace

CLegacyTransport::CLegacyTransport(const GUID& clsid, std::shared_ptr<ComAPI> api)
    : CBaseTransport(L"Legacy", 1),
      clsid_(IsZeroGuid(clsid) ? CLSID_TelemetryServer : clsid),
      api_(api ? std::move(api) : std::make_shared<ComAPI>()),
      formatter_(std::make_unique<CJSONFormatter>()) {}

ITelemetryServer* CLegacyTransport::createServer() {
    void* object = nullptr;
    HRESULT result = api_->createVerifiedInstance(clsid_, nullptr, kTelemetryServerContext,
                                                  IID_ITelemetryServer, &object, true);
    if (ITelemetryServer* server = TakeCreated(result, object); server != nullptr) {
        return server;
    }
    if (result == E_ACCESSDENIED) {
        // The server is not trusted: never bypass the check.
        return nullptr;
    }
    object = nullptr;
    result = api_->coCreateInstance(clsid_, nullptr, kTelemetryServerContext, IID_ITelemetryServer,
                                    &object);
    return TakeCreated(result, object);
}

bool CLegacyTransport::Connect() {
    ComInitScope com(*api_);
    ServerRef server(createServer());
    return server.get() != nullptr;
}

bool CLegacyTransport::Send(const Dimensions& dimensions) {
    if (!formatter_) {
        return false;
    }
    ComInitScope com(*api_);
    ServerRef server(createServer());
    if (server.get() == nullptr) {
        return false;
    }
    std::wstring json;
    if (!formatter_->Format(dimensions, json)) {
        return false;
    }
    ScopedBstr first(*api_, L"");
    ScopedBstr event(*api_, json.c_str());
    ScopedBstr last(*api_, L"");
    if (first.get() == nullptr || event.get() == nullptr || last.get() == nullptr) {
        return false;
    }
    return server.get()->SendEvent(first.get(), event.get(), last.get()) >= 0;
}

}  // namespace Tessil::Analytics
