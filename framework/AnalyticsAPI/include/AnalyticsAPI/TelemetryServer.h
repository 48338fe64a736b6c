// The outside telemetry COM server: its class, interface and the one method
// the transport calls.
#pragma once

#include <windows.h>
#include <oleauto.h>
#include <unknwn.h>

namespace Tessil::Analytics {

// {E782BE15-9936-4A7F-8DF9-9AB95D229DF1}
inline constexpr GUID CLSID_TelemetryServer = {
    0xE782BE15, 0x9936, 0x4A7F, {0x8D, 0xF9, 0x9A, 0xB9, 0x5D, 0x22, 0x9D, 0xF1}};
// {AC29BAF7-7EFF-4A82-8B29-76B1A3E27A6D}
inline constexpr GUID IID_ITelemetryServer = {
    0xAC29BAF7, 0x7EFF, 0x4A82, {0x8B, 0x29, 0x76, 0xB1, 0xA3, 0xE2, 0x7A, 0x6D}};

// In-process server, in-process handler, local server and remote server.
inline constexpr DWORD kTelemetryServerContext = 0x17;

struct ITelemetryServer : public IUnknown {
    // (empty text, the event JSON, empty text); non-negative = delivered.
    virtual HRESULT STDMETHODCALLTYPE SendEvent(BSTR first, BSTR eventJson, BSTR last) = 0;
};

}  // namespace Tessil::Analytics
