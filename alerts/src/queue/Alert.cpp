#include "alerts/src/queue/Alert.h"

#include "alerts/src/common/DefaultBus.h"
#include "alerts/src/queue/DuplicateKey.h"

#include <windows.h>

#include <algorithm>
#include <chrono>

namespace Drem {

namespace {

// 100-ns units between 1601-01-01 and 1970-01-01.
constexpr std::int64_t kEpochDifference = 116444736000000000LL;
// Longer waits are cut to this (about 272 years), far beyond any timeout.
constexpr std::int64_t kMaxWaitSeconds = std::int64_t{1} << 33;
// condition_variable waits are made in slices no longer than this.
constexpr auto kWaitSlice = std::chrono::seconds(60);

std::int64_t nowSince1970() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    ULARGE_INTEGER ticks;
    ticks.LowPart = now.dwLowDateTime;
    ticks.HighPart = now.dwHighDateTime;
    return static_cast<std::int64_t>(ticks.QuadPart) - kEpochDifference;
}

void escapeAll(std::wstring& text, wchar_t brace) {
    for (std::size_t at = text.find(brace); at != std::wstring::npos; at = text.find(brace, at + 2)) {
        text.insert(at, 1, L'\\');
    }
}

}  // namespace

Alert::Alert(AlertInfo&& info, std::shared_ptr<Tessil::MessageBus> bus,
             std::int64_t dismissWaitSeconds)
    : info_(std::move(info)),
      bus_(orDefaultMessageBus(std::move(bus))),
      state_(std::make_shared<Responses>()),
      dismissWaitSeconds_(dismissWaitSeconds) {
    (void)parseAlertContent(content_, info_.context);
    duplicateKeyHash_ = hashOfDuplicateKey(content_);
    queuedTime_ = nowSince1970();
}

Alert::~Alert() { endSubscription(); }

bool Alert::isHigherPriority(const Alert& other) const {
    return info_.priority < other.info_.priority;
}

bool Alert::isDuplicate(const Alert& other) const {
    const auto& mine = content_.actions;
    const auto& theirs = other.content_.actions;
    if (mine.size() > 4 || mine.size() != theirs.size()) {
        return false;
    }
    for (std::size_t i = 0; i < mine.size(); ++i) {
        if (mine[i].text != theirs[i].text) {
            return false;
        }
    }
    return content_.title == other.content_.title &&
           content_.defaultcontent == other.content_.defaultcontent &&
           content_.detailscontent == other.content_.detailscontent;
}

void Alert::setAlertInfo(const AlertInfo& info) { info_ = info; }

AlertInfo& Alert::getAlertInfo() { return info_; }

void Alert::setContent(std::wstring&& content) { info_.content = std::move(content); }

const std::wstring& Alert::getContent() const { return info_.content; }

void Alert::setViewer(std::shared_ptr<AlertViewer> viewer) { viewer_ = std::move(viewer); }

std::shared_ptr<AlertViewer>& Alert::getViewer() { return viewer_; }

std::int64_t Alert::getQueuedTime() const { return queuedTime_; }

std::wstring Alert::makeResponsePattern(const std::wstring& alertId, const std::wstring& instanceId) {
    std::wstring escaped = alertId;
    escapeAll(escaped, L'{');
    escapeAll(escaped, L'}');
    return L"Vantrel.Alert." + escaped + L"(.Dismissed.|.Failed.)" + instanceId;
}

bool Alert::show() {
    if (!viewer_) {
        return false;
    }
    bool expected = false;
    if (!shown_.compare_exchange_strong(expected, true)) {
        return true;
    }
    responsePattern_ = makeResponsePattern(info_.id, info_.instanceId);
    subscribeResponses();
    return viewer_->show(AlertInfo::toJson(info_), info_.id, info_.instanceId);
}

void Alert::subscribeResponses() {
    std::weak_ptr<Responses> weak = state_;
    subscribed_ = true;
    bus_->subscribeFilter(responsePattern_, responsePattern_,
                          [weak](std::shared_ptr<Tessil::Message>) -> std::uint32_t {
                              if (auto state = weak.lock()) {
                                  markResponded(*state);
                              }
                              return 0;
                          });
}

void Alert::markResponded(Responses& state) {
    {
        std::lock_guard<std::mutex> lock(state.mutex);
        state.responded = true;
    }
    state.responses.notify_all();
}

std::uint32_t Alert::onResponse(const std::shared_ptr<Tessil::Message>&) {
    markResponded(*state_);
    return 0;
}

bool Alert::wait(const std::int64_t& seconds) {
    if (!shown_) {
        return false;
    }
    if (state_->responded) {
        return true;
    }
    {
        const auto deadline = std::chrono::steady_clock::now() +
                              std::chrono::seconds(std::clamp<std::int64_t>(seconds, 0, kMaxWaitSeconds));
        std::unique_lock<std::mutex> lock(state_->mutex);
        while (!state_->responded) {
            const auto now = std::chrono::steady_clock::now();
            if (now >= deadline) {
                break;
            }
            state_->responses.wait_for(lock, std::min<std::chrono::steady_clock::duration>(
                                                 deadline - now, kWaitSlice));
        }
    }
    endSubscription();
    return state_->responded;
}

bool Alert::dismiss() {
    if (!shown_) {
        return false;
    }
    if (state_->responded) {
        return true;
    }
    std::shared_ptr<AlertViewer> viewer = viewer_;
    if (!viewer) {
        return false;
    }
    // A wait that ran out has ended the subscription: without a new one the
    // viewer's report for this dismissal could never be seen.
    if (!subscribed_) {
        subscribeResponses();
    }
    if (!viewer->dismiss(info_.id, info_.instanceId)) {
        return false;
    }
    return wait(dismissWaitSeconds_);
}

bool Alert::isShown() const { return shown_; }

std::wstring Alert::preferredViewersText() const {
    std::wstring text;
    for (std::size_t i = 0; i < info_.preferredViewer.size(); ++i) {
        if (i != 0) {
            text += L',';
        }
        text += info_.preferredViewer[i];
    }
    return text;
}

bool Alert::resetShown() { return shown_.exchange(false); }

void Alert::endSubscription() {
    if (subscribed_.exchange(false)) {
        bus_->unsubscribe(responsePattern_);
    }
}

}  // namespace Drem
