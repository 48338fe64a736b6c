// One alert on its way to the user: its data, the viewer asked to show it,
// and whether a viewer has shown it and reported it closed.
#pragma once

#include "alerts/data/AlertContent.h"
#include "alerts/data/AlertInfo.h"
#include "alerts/src/common/DefaultBus.h"
#include "alerts/src/viewers/AlertViewer.h"
#include "framework/bus/MessageBus.h"
#include "platform/Thread/StopSignal.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

namespace Drem {

class Alert {
public:
    static constexpr std::int64_t kDefaultDismissWaitSeconds = 30;

    // An empty bus becomes, when the alert is first shown, a connection from
    // connect or else a new default one, for the closing reports.
    // dismissWaitSeconds bounds the wait for the closing report after a
    // confirmed dismissal.
    Alert(AlertInfo&& info, std::shared_ptr<Tessil::MessageBus> bus,
          std::int64_t dismissWaitSeconds = kDefaultDismissWaitSeconds, BusConnector connect = {});
    virtual ~Alert();
    Alert(const Alert&) = delete;
    Alert& operator=(const Alert&) = delete;

    // A smaller priority number is more urgent.
    virtual bool isHigherPriority(const Alert& other) const;
    // Same action texts (at most 4 actions), title, default and details content.
    virtual bool isDuplicate(const Alert& other) const;
    virtual void setAlertInfo(const AlertInfo& info);
    virtual AlertInfo& getAlertInfo();
    virtual void setContent(std::wstring&& content);
    virtual const std::wstring& getContent() const;
    virtual void setViewer(std::shared_ptr<AlertViewer> viewer);
    virtual std::shared_ptr<AlertViewer>& getViewer();
    virtual std::int64_t getQueuedTime() const;
    // Subscribes to the closing reports, then asks the viewer; true at once
    // when already shown.
    virtual bool show();
    // Waits up to seconds for a closing report; true when one came.
    virtual bool wait(const std::int64_t& seconds);
    // Has the viewer take the alert down and waits for the closing report,
    // subscribing again when an earlier wait has ended the subscription.
    virtual bool dismiss();
    virtual bool isShown() const;
    // The preferred viewer ids joined with ",".
    virtual std::wstring preferredViewersText() const;
    // Clears shown; answers its previous value.
    virtual bool resetShown();
    // True when the last show was cut short by the stop while its viewer
    // held the request: a take-down must still send that viewer the Delete.
    bool isShowInterrupted() const { return showInterrupted_; }
    // Whether a viewer was ever sent a Show request for this alert: from then
    // on it ends with a report, it never goes back to a queue.
    bool viewerAsked() const { return viewerAsked_; }
    // True once, for the one failure report the module may publish; after a
    // stop only while no closing report has arrived: the producer gets one.
    bool claimFailureReport();
    // A delete request took the alert while it was out of its queue: it is
    // neither shown nor queued again.
    void markDeleted() { deleted_ = true; }
    bool isDeleted() const { return deleted_; }
    // Raising this stop ends the waits of show, wait and dismiss at once.
    // Set before show, by the one dispatcher that shows the alert.
    void setStopSignal(std::shared_ptr<Kelmora::StopSignal> stop) { stop_ = std::move(stop); }

    const AlertContent& getAlertContent() const { return content_; }
    // Its place among queued alerts of its priority: numbered at its first
    // push, kept when it is put back. Used by the queue that holds it, under
    // that queue's lock.
    std::uint64_t arrival() const { return arrival_; }
    void setArrival(std::uint64_t arrival) { arrival_ = arrival; }
    // The hash of the content's duplicate key, taken when the alert is built.
    std::uint64_t getDuplicateKeyHash() const { return duplicateKeyHash_; }

private:
    // Shared with the subscription's handler, so a report that is being
    // delivered never reaches a destroyed alert.
    struct Responses {
        std::mutex mutex;
        std::condition_variable responses;
        std::atomic<bool> responded{false};  // written under mutex
        std::atomic<bool> seen{false};       // never cleared
    };

    static void markResponded(Responses& state);
    // Subscribes to the two closing reports by exact name, both under one alias.
    void subscribeResponses();
    void endSubscription();
    bool stopRequested() const { return stop_ && stop_->requested(); }

    AlertInfo info_;
    LazyBus bus_;
    std::atomic<bool> shown_{false};
    std::atomic<bool> showInterrupted_{false};
    std::atomic<bool> viewerAsked_{false};
    std::atomic<bool> failureClaimed_{false};
    std::atomic<bool> deleted_{false};
    std::shared_ptr<Responses> state_;
    std::shared_ptr<AlertViewer> viewer_;
    std::wstring responseAlias_;
    std::atomic<bool> subscribed_{false};  // a subscription under responseAlias_ may exist
    AlertContent content_;
    std::uint64_t duplicateKeyHash_;
    std::int64_t queuedTime_;
    std::uint64_t arrival_ = 0;  // 0: never queued
    const std::int64_t dismissWaitSeconds_;
    std::shared_ptr<Kelmora::StopSignal> stop_;
};

}  // namespace Drem
