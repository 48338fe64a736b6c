#include "alerts/src/viewers/ViewerRegistrar.h"

#include "alerts/src/common/DefaultBus.h"
#include "alerts/src/common/RequestNames.h"
#include "framework/settings/SettingsManagerClient.h"
#include "platform/Logging/Logging.h"

namespace Drem {

namespace {

const wchar_t kSource[] = L"ViewerRegistrar";
const wchar_t kViewerKeyPrefix[] = L"Vantrel/Viewer";
const wchar_t kSender[] = L"Vantrel";

}  // namespace

ViewerRegistrar::ViewerRegistrar(std::shared_ptr<Tessil::MessageBus> bus,
                                 std::shared_ptr<Tessil::SettingsManager> settings,
                                 std::uint64_t loadTimeoutMs, std::uint64_t viewerRequestTimeoutMs)
    : bus_(orDefaultMessageBus(std::move(bus))),
      settings_(settings ? std::move(settings)
                         : std::make_shared<Tessil::SettingsManagerClient>(bus_)),
      loadTimeoutMs_(loadTimeoutMs),
      viewerRequestTimeoutMs_(viewerRequestTimeoutMs) {}

ViewerRegistrar::~ViewerRegistrar() { stop(); }

void ViewerRegistrar::start() {
    const wchar_t function[] = L"Drem::ViewerRegistrar::start";
    if (!settings_->subscribeSetByPrefix(
            [this](const std::wstring& name, const std::wstring&) { addViewer(name); },
            kViewerKeyPrefix)) {
        VT_LOG(ETWLogging::LevelWarning, kSource, function,
               L"Failed to subscribe for alert viewer register operations.");
    }
    if (!settings_->subscribeDeleteByPrefix([this](const std::wstring& name) { removeViewer(name); },
                                            kViewerKeyPrefix)) {
        VT_LOG(ETWLogging::LevelWarning, kSource, function,
               L"Failed to subscribe for alert viewer unregister operations.");
    }
    loadViewers();
}

void ViewerRegistrar::stop() {
    settings_->unsubscribeSetByPrefix(kViewerKeyPrefix);
    settings_->unsubscribeDeleteByPrefix(kViewerKeyPrefix);
}

void ViewerRegistrar::loadViewers() {
    const wchar_t function[] = L"Drem::ViewerRegistrar::loadViewers";
    Tessil::PropertyValues properties;
    if (!settings_->getPropertiesByPrefix(std::wstring(kViewerKeyPrefix), properties, loadTimeoutMs_)) {
        VT_LOG(ETWLogging::LevelWarning, kSource, function, L"Failed to retrieved registered viewers.");
    }
    VT_LOG(ETWLogging::LevelInformation, kSource, function, L"Retrieved viewers from SM: %zx",
           properties.size());
    for (const auto& property : properties) {
        VT_LOG(ETWLogging::LevelInformation, kSource, function, L"Adding Viewer to list: %s",
               property.first.c_str());
        addViewer(property.first);
    }
}

void ViewerRegistrar::addViewer(const std::wstring& keyName) {
    const wchar_t function[] = L"Drem::ViewerRegistrar::addViewer";
    std::wstring id;
    if (!parseViewerId(keyName, id)) {
        VT_LOG(ETWLogging::LevelError, kSource, function,
               L"Failed to parse viewer id. Unable to add viewer. Key: %s", keyName.c_str());
        return;
    }
    auto viewer = std::make_shared<AlertViewer>(id, bus_, viewerRequestTimeoutMs_);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        viewers_.emplace(id, std::move(viewer));
    }
    VT_LOG(ETWLogging::LevelInformation, kSource, function, L"Viewer registered: %s", id.c_str());
    announce(id, L"Registered");
}

void ViewerRegistrar::removeViewer(const std::wstring& keyName) {
    const wchar_t function[] = L"Drem::ViewerRegistrar::removeViewer";
    std::wstring id;
    if (!parseViewerId(keyName, id)) {
        VT_LOG(ETWLogging::LevelError, kSource, function,
               L"Failed to parse viewer id. Unable to remove viewer. Key: %s", keyName.c_str());
        return;
    }
    std::shared_ptr<AlertViewer> removed;  // released outside the lock
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = viewers_.find(id);
        if (it != viewers_.end()) {
            removed = std::move(it->second);
            viewers_.erase(it);
        }
    }
    VT_LOG(ETWLogging::LevelNormal, kSource, function, L"Viewer unregistered: %s", id.c_str());
    announce(id, L"Unregistered");
}

std::shared_ptr<AlertViewer> ViewerRegistrar::getViewer(const std::wstring& viewerId) {
    bool empty = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        empty = viewers_.empty();
    }
    if (empty) {
        VT_LOG(ETWLogging::LevelWarning, kSource, L"Drem::ViewerRegistrar::getViewer",
               L"Reloading the viewers from SettingManager");
        loadViewers();
    }
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = viewers_.find(viewerId);
    return it != viewers_.end() ? it->second : nullptr;
}

bool ViewerRegistrar::parseViewerId(const std::wstring& keyName, std::wstring& viewerId) {
    return parseViewerKey(keyName, viewerId);
}

std::wstring ViewerRegistrar::makeStatusMessageName(const std::wstring& viewerId,
                                                    const std::wstring& word) {
    return L"Vantrel.Viewer." + viewerId + L"." + word;
}

void ViewerRegistrar::announce(const std::wstring& viewerId, const wchar_t* word) {
    bus_->publish(Tessil::Message::create(makeStatusMessageName(viewerId, word), kSender,
                                          std::wstring()));
}

}  // namespace Drem
