// The registry of viewers: loads the viewer keys from the settings manager,
// follows their set and delete notifications, announces each change on the
// bus and hands out the viewer of an id.
#pragma once

#include "alerts/src/viewers/AlertViewer.h"
#include "framework/bus/MessageBus.h"
#include "framework/settings/SettingsManager.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

namespace Drem {

class ViewerRegistrar {
public:
    static constexpr std::uint64_t kDefaultLoadTimeoutMs = 30000;

    // An empty bus becomes a new default connection; an empty settings
    // client becomes one over that bus. Nothing is subscribed or asked yet.
    ViewerRegistrar(std::shared_ptr<Tessil::MessageBus> bus,
                    std::shared_ptr<Tessil::SettingsManager> settings,
                    std::uint64_t loadTimeoutMs = kDefaultLoadTimeoutMs,
                    std::uint64_t viewerRequestTimeoutMs = AlertViewer::kDefaultRequestTimeoutMs);
    virtual ~ViewerRegistrar();
    ViewerRegistrar(const ViewerRegistrar&) = delete;
    ViewerRegistrar& operator=(const ViewerRegistrar&) = delete;

    // Empty when no viewer of that id is registered; an empty registry is
    // loaded again from the settings manager first.
    virtual std::shared_ptr<AlertViewer> getViewer(const std::wstring& viewerId);

    // Follows the viewer keys and loads the registered viewers.
    void start();
    // Ends both notification subscriptions; the viewers stay.
    void stop();

    void loadViewers();
    void addViewer(const std::wstring& keyName);
    void removeViewer(const std::wstring& keyName);

    // The text after "Vantrel/Viewer" and one separator character, unchecked.
    static bool parseViewerId(const std::wstring& keyName, std::wstring& viewerId);
    // "Vantrel.Viewer." + viewerId + "." + word.
    static std::wstring makeStatusMessageName(const std::wstring& viewerId, const std::wstring& word);

private:
    void announce(const std::wstring& viewerId, const wchar_t* word);

    // Innermost lock of the alert service: nothing is called while it is held.
    std::mutex mutex_;
    std::unordered_map<std::wstring, std::shared_ptr<AlertViewer>> viewers_;  // guarded by mutex_
    std::shared_ptr<Tessil::MessageBus> bus_;
    std::shared_ptr<Tessil::SettingsManager> settings_;
    const std::uint64_t loadTimeoutMs_;
    const std::uint64_t viewerRequestTimeoutMs_;
};

}  // namespace Drem
