// The transports: the telemetry COM server ("Legacy") and the one that drops
// every event ("NULL-Pattern").
#pragma once

#include "framework/AnalyticsAPI/include/AnalyticsAPI/Formatter.h"
#include "framework/AnalyticsAPI/include/AnalyticsAPI/TelemetryServer.h"
#include "framework/AnalyticsAPI/include/AnalyticsAPI/internal/Transport.h"

#include <windows.h>
#include <oleauto.h>

#include <memory>

namespace Tessil::Analytics {

// The COM functions the legacy transport calls; tests replace them.
class ComAPI {
public:
    virtual ~ComAPI() = default;
    virtual HRESULT coInitializeEx(void* reserved, DWORD model);
    virtual void coUninitialize();
    // Creation that first checks that the class factory's module is trusted;
    // E_ACCESSDENIED when it is not.
    virtual HRESULT createVerifiedInstance(REFCLSID clsid, IUnknown* outer, DWORD context,
                                           REFIID iid, void** out, bool verify);
    virtual HRESULT coCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD context, REFIID iid,
                                     void** out);
    virtual BSTR sysAllocString(const wchar_t* text);
    virtual void sysFreeString(BSTR text);
};

class CLegacyTransport : public internal::CBaseTransport {
public:
    // A zero class identifier keeps the default server's; an empty api
    // pointer makes the real one.
    explicit CLegacyTransport(const GUID& clsid = GUID{}, std::shared_ptr<ComAPI> api = {});

    // Whether the server object can be created (it is released at once).
    bool Connect() override;
    // Formats the dimensions and hands them to a new server object.
    bool Send(const Dimensions& dimensions) override;
    void Disconnect() override {}

    const GUID& GetClassId() const { return clsid_; }

private:
    // Verified creation; direct creation only when verification failed for
    // a reason other than the server being untrusted. Null when neither worked.
    ITelemetryServer* createServer();

    GUID clsid_;
    std::shared_ptr<ComAPI> api_;
    std::unique_ptr<IFormatter> formatter_;
};

class CNullTransport : public internal::CBaseTransport {
public:
    CNullTransport() : CBaseTransport(L"NULL-Pattern", 1) {}
    bool Connect() override { return true; }
    bool Send(const Dimensions&) override { return true; }
    void Disconnect() override {}
};

}  // namespace Tessil::Analytics
