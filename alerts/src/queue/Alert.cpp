#include "alerts/src/queue/Alert.h"

#include "alerts/src/common/DefaultBus.h"
#include "alerts/src/common/StatusNames.h"
#include "alerts/src/common/UnixTime.h"
#include "alerts/src/queue/DuplicateKey.h"

#include <algorithm>
#include <chrono>

namespace Drem {

namespace {

// Longer waits are cut to this (about 272 years), far beyond any timeout.
constexpr std::int64_t kMaxWaitSeconds = std::int64_t{1} << 33;
// condition_variable waits are made in slices no longer than this.
constexpr auto kWaitSlice = std::chrono::seconds(60);

}  // namespace

Alert::Alert(AlertInfo&& info, std::shared_ptr<Tessil::MessageBus> bus,
             std::int64_t dismissWaitSeconds, BusConnector connect)
    : info_(std::move(info)),
      bus_(std::move(bus), std::move(connect)),
      state_(std::make_shared<Responses>()),
      dismissWaitSeconds_(dismissWaitSeconds) {
    (void)parseAlertContent(content_, info_.context);
    duplicateKeyHash_ = hashOfDuplicateKey(content_);
    queuedTime_ = unixTimeNow100ns();
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

bool Alert::show() {
    if (!viewer_) {
        return false;
    }
    bool expected = false;
    if (!shown_.compare_exchange_strong(expected, true)) {
        return true;
    }
    // A closing report counts only for the show it belongs to: the report of
    // a viewer tried before does not close this one.
    endSubscription();
    {
        std::lock_guard<std::mutex> lock(state_->mutex);
        state_->responded = false;
    }
    subscribeResponses();
    bool requested = false;
    bool sent = false;
    const bool shown =
        viewer_->show(AlertInfo::toJson(info_), info_.id, info_.instanceId, stop_.get(), &requested, &sent);
    showInterrupted_ = !shown && requested;  // held, not confirmed: the stop cut the wait
    if (sent) {
        viewerAsked_ = true;
    }
    return shown;
}

void Alert::subscribeResponses() {
    // Exact names: nothing of the producer's id ever reaches an expression.
    const std::wstring dismissed = alertStatusName(info_.id, L".Dismissed.", info_.instanceId);
    const std::wstring failed = alertStatusName(info_.id, L".Failed.", info_.instanceId);
    responseAlias_ = dismissed;
    std::weak_ptr<Responses> weak = state_;
    const Tessil::MessageHandler handler = [weak](std::shared_ptr<Tessil::Message>) -> std::uint32_t {
        if (auto state = weak.lock()) {
            markResponded(*state);
        }
        return 0;
    };
    const std::shared_ptr<Tessil::MessageBus> bus = bus_.get();
    if (!bus) {
        return;  // no connection: the wait runs to its limit, as with a refused subscription
    }
    subscribed_ = true;
    bus->subscribe(dismissed, responseAlias_, handler);
    bus->subscribe(failed, responseAlias_, handler);
}

void Alert::markResponded(Responses& state) {
    {
        std::lock_guard<std::mutex> lock(state.mutex);
        state.responded = true;
        state.seen = true;
    }
    state.responses.notify_all();
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
        const auto responded = [this] { return state_->responded.load(); };
        while (!responded() && !stopRequested()) {
            const auto now = std::chrono::steady_clock::now();
            if (now >= deadline) {
                break;
            }
            const auto slice = now + std::min<std::chrono::steady_clock::duration>(deadline - now, kWaitSlice);
            Kelmora::WaitUntil(stop_.get(), lock, state_->responses, slice, responded);
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
    if (!viewer->dismiss(info_.id, info_.instanceId, stop_.get(), [this] { return claimFailureReport(); })) {
        return false;
    }
    return wait(dismissWaitSeconds_);
}

bool Alert::isShown() const { return shown_; }

bool Alert::claimFailureReport() {
    // Once the stop has cut the waits short, a closing report that came
    // already is the producer's one report.
    if (stopRequested() && state_->seen) {
        return false;
    }
    return !failureClaimed_.exchange(true);
}

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
        if (auto bus = bus_.ifOpen()) {
            bus->unsubscribe(responseAlias_);
        }
    }
}

}  // namespace Drem
