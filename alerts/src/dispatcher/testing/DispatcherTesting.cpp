#include "alerts/src/dispatcher/testing/DispatcherTesting.h"

#include "alerts/src/plugins/testing/PluginTesting.h"

#include <chrono>

namespace Drem::testing {

FakeViewerRegistrar::FakeViewerRegistrar(std::shared_ptr<Tessil::MessageBus> bus,
                                         std::uint64_t requestTimeoutMs)
    : ViewerRegistrar(bus, std::make_shared<FakeSettingsManager>()),
      viewerBus_(std::move(bus)),
      requestTimeoutMs_(requestTimeoutMs) {}

void FakeViewerRegistrar::add(const std::wstring& viewerId) {
    auto viewer = std::make_shared<AlertViewer>(viewerId, viewerBus_, requestTimeoutMs_);
    std::lock_guard<std::mutex> lock(mutex_);
    viewers_[viewerId] = std::move(viewer);
}

std::shared_ptr<AlertViewer> FakeViewerRegistrar::getViewer(const std::wstring& viewerId) {
    std::lock_guard<std::mutex> lock(mutex_);
    asked_.push_back(viewerId);
    auto it = viewers_.find(viewerId);
    return it == viewers_.end() ? nullptr : it->second;
}

std::vector<std::wstring> FakeViewerRegistrar::asked() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return asked_;
}

FakePluginRegistrar::FakePluginRegistrar() : PluginRegistrar(std::make_shared<FakeSettingsManager>()) {}

void FakePluginRegistrar::setProcess(const ProcessScript& script) {
    std::lock_guard<std::mutex> lock(mutex_);
    script_ = script;
}

void FakePluginRegistrar::setContent(const std::wstring& viewerId, std::uint32_t status,
                                     const std::wstring& content) {
    std::lock_guard<std::mutex> lock(mutex_);
    contents_[viewerId] = {status, content};
}

std::uint32_t FakePluginRegistrar::processAlert(const std::wstring&, const std::wstring& alert,
                                                std::wstring& processed, std::int32_t* suppress,
                                                std::wstring& reason) {
    std::lock_guard<std::mutex> lock(mutex_);
    processed_.push_back(alert);
    *suppress = script_.suppress;
    if (script_.status == 0) {
        processed = script_.echo ? alert : script_.output;
        reason = script_.reason;
    }
    return script_.status;
}

std::uint32_t FakePluginRegistrar::getAlertContent(const std::wstring& product, const std::wstring& alert,
                                                   const std::wstring& viewerId, std::wstring& content) {
    std::unique_lock<std::mutex> lock(mutex_);
    contentCalls_.push_back({product, alert, viewerId});
    changed_.notify_all();
    changed_.wait(lock, [&] { return !holdContent_ && (heldViewer_.empty() || heldViewer_ != viewerId); });
    auto it = contents_.find(viewerId);
    if (it == contents_.end()) {
        content = viewerId + L" content";
        return 0;
    }
    if (it->second.first == 0) {
        content = it->second.second;
    }
    return it->second.first;
}

void FakePluginRegistrar::holdContent(bool hold) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        holdContent_ = hold;
        heldViewer_.clear();
    }
    changed_.notify_all();
}

void FakePluginRegistrar::holdContentOf(const std::wstring& viewerId) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        heldViewer_ = viewerId;
    }
    changed_.notify_all();
}

bool FakePluginRegistrar::waitForContentCalls(std::size_t count, DWORD timeoutMs) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [&] { return contentCalls_.size() >= count; });
}

std::vector<std::wstring> FakePluginRegistrar::processed() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return processed_;
}

std::vector<FakePluginRegistrar::ContentCall> FakePluginRegistrar::contentCalls() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return contentCalls_;
}

HANDLE FakeUpdateEvents::OpenEventW(DWORD, BOOL, const wchar_t*) {
    if (!running) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return nullptr;
    }
    return ::CreateEventW(nullptr, TRUE, FALSE, nullptr);  // closed by the helper
}

BOOL FakeUpdateEvents::CloseHandle(HANDLE handle) { return ::CloseHandle(handle); }

}  // namespace Drem::testing
