// The alerts meant for no particular session: a queue without a thread of
// its own, drained by the user sessions' dispatch threads, which it wakes
// when an alert arrives.
#pragma once

#include "alerts/src/dispatcher/AlertDispatcher.h"
#include "alerts/src/queue/AlertQueue.h"
#include "alerts/src/sessions/AlertSession.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace Drem {

class AlertGlobalSession : public AlertSession {
public:
    // An empty dispatcher becomes one built from the two registrars (with a
    // default bus connection of its own); it is used for its plug-in step only.
    AlertGlobalSession(std::shared_ptr<ViewerRegistrar> viewerRegistrar,
                       std::shared_ptr<PluginRegistrar> pluginRegistrar,
                       std::shared_ptr<AlertDispatcher> dispatcher = nullptr);
    ~AlertGlobalSession() override;

    void queueAlert(std::shared_ptr<Alert> alert, bool* suppressed) override;
    bool deleteAlert(const std::wstring& instanceId, const std::wstring& alertId) override;

    // Whether the global head goes before the session's own head: the smaller
    // priority number wins, as within one queue; among equal numbers the
    // alert queued earlier.
    virtual bool globalGoesFirst(const Alert& sessionHead);
    // The head of the queue, which stays this session's to answer for (a
    // delete, the queue status) until the taker releases or puts it back.
    virtual std::shared_ptr<Alert> popFront();
    // Queues again an alert that popFront gave a session which then stopped
    // before any viewer was asked about it: at its first place, and the
    // sessions woken. An alert deleted meanwhile is let go instead.
    virtual void putBack(std::shared_ptr<Alert> alert);
    // The taker of an alert from popFront is done with it.
    virtual void release(const std::shared_ptr<Alert>& alert);
    // Marks a taken alert of that instance deleted; true when one was taken.
    virtual bool deleteTaken(const std::wstring& instanceId);
    // Nothing queued here, for the dispatch threads.
    virtual bool isEmpty();
    // An alert is queued here or taken and not yet done with.
    virtual bool holdsAlerts();
    // Adds a wake callback and answers its registration; a session that
    // follows another of the same id registers its own beside the first's.
    // The callback runs under this session's mutex and must take no lock that
    // is held while this session is asked.
    virtual std::uint64_t registerSession(std::uint32_t sessionId, std::function<void()> wake);
    // Removes only that registration.
    virtual void unregisterSession(std::uint64_t registration);

private:
    // Calls every wake callback; with mutex_ held.
    void wakeAll();
    // Takes the alert out of taken_; with mutex_ held.
    void forgetTaken(const std::shared_ptr<Alert>& alert);

    std::shared_ptr<ViewerRegistrar> viewerRegistrar_;
    std::shared_ptr<PluginRegistrar> pluginRegistrar_;
    std::shared_ptr<AlertDispatcher> dispatcher_;
    // Order: a user session's mutex, then this one, then the queue's lock.
    std::mutex mutex_;
    AlertQueue queue_;                                                         // used under mutex_
    std::vector<std::shared_ptr<Alert>> taken_;                                // guarded by mutex_
    struct Registration {
        std::uint32_t sessionId;
        std::function<void()> wake;
    };
    std::uint64_t nextRegistration_ = 1;                                 // guarded by mutex_
    std::unordered_map<std::uint64_t, Registration> wakeCallbacks_;  // guarded by mutex_
};

}  // namespace Drem
