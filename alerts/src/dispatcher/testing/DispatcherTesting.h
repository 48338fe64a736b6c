// Test support for the dispatcher and the classes above it: a viewer
// registrar and a plug-in registrar driven by scripts, and update events
// that exist when the test says so.
#pragma once

#include "alerts/UPDATE_MANAGER/include/CvUpdateMgr_Helper.h"
#include "alerts/src/plugins/PluginRegistrar.h"
#include "alerts/src/viewers/ViewerRegistrar.h"
#include "framework/bus/MessageBus.h"

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace Drem::testing {

// Viewers added by the test, each a real proxy on the given bus.
class FakeViewerRegistrar : public ViewerRegistrar {
public:
    explicit FakeViewerRegistrar(std::shared_ptr<Tessil::MessageBus> bus,
                                 std::uint64_t requestTimeoutMs = 5000);
    void add(const std::wstring& viewerId);
    std::shared_ptr<AlertViewer> getViewer(const std::wstring& viewerId) override;
    std::vector<std::wstring> asked() const;

private:
    std::shared_ptr<Tessil::MessageBus> viewerBus_;
    const std::uint64_t requestTimeoutMs_;
    mutable std::mutex mutex_;
    std::map<std::wstring, std::shared_ptr<AlertViewer>> viewers_;  // guarded by mutex_
    std::vector<std::wstring> asked_;                                // guarded by mutex_
};

// processAlert and getAlertContent as scripted; every call is recorded.
class FakePluginRegistrar : public PluginRegistrar {
public:
    struct ProcessScript {
        std::uint32_t status = 0;
        bool echo = true;       // output = the input
        std::wstring output;    // used when echo is false
        std::int32_t suppress = 0;
        std::wstring reason;
    };
    struct ContentCall {
        std::wstring product;
        std::wstring alert;
        std::wstring viewerId;
    };

    FakePluginRegistrar();
    void setProcess(const ProcessScript& script);
    // The viewer's content; by default "<viewer id> content" with status 0.
    void setContent(const std::wstring& viewerId, std::uint32_t status, const std::wstring& content);

    std::uint32_t processAlert(const std::wstring& product, const std::wstring& alert,
                               std::wstring& processed, std::int32_t* suppress,
                               std::wstring& reason) override;
    std::uint32_t getAlertContent(const std::wstring& product, const std::wstring& alert,
                                  const std::wstring& viewerId, std::wstring& content) override;
    bool start() override { return true; }
    bool stop() override { return true; }

    // While held, getAlertContent blocks (after it is recorded) until released.
    void holdContent(bool hold);
    // Holds only the content requests for that viewer (empty: none); released by holdContent(false).
    void holdContentOf(const std::wstring& viewerId);
    // Waits until at least count content requests have been made.
    bool waitForContentCalls(std::size_t count, DWORD timeoutMs = 20000) const;

    std::vector<std::wstring> processed() const;
    std::vector<ContentCall> contentCalls() const;

private:
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    bool holdContent_ = false;                                                  // guarded by mutex_
    std::wstring heldViewer_;                                                   // guarded by mutex_
    ProcessScript script_;                                                      // guarded by mutex_
    std::map<std::wstring, std::pair<std::uint32_t, std::wstring>> contents_;  // guarded by mutex_
    std::vector<std::wstring> processed_;                                       // guarded by mutex_
    std::vector<ContentCall> contentCalls_;                                     // guarded by mutex_
};

// The update event exists while running is set.
class FakeUpdateEvents : public UpdateEventAPI {
public:
    HANDLE OpenEventW(DWORD access, BOOL inherit, const wchar_t* name) override;
    BOOL CloseHandle(HANDLE handle) override;
    bool running = false;
};

}  // namespace Drem::testing
