// Test double of the settings manager: a bus endpoint that keeps properties
// in memory, answers the six requests and publishes the change
// notifications. Scriptable from tests.
#pragma once

#include "framework/bus/MessageBus.h"

#include <windows.h>

#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace Neighbours {

class SettingsManagerNeighbour {
public:
    struct Request {
        std::wstring name;
        std::wstring payload;
    };

    explicit SettingsManagerNeighbour(std::shared_ptr<Tessil::MessageBus> bus);
    ~SettingsManagerNeighbour();
    SettingsManagerNeighbour(const SettingsManagerNeighbour&) = delete;
    SettingsManagerNeighbour& operator=(const SettingsManagerNeighbour&) = delete;

    // Subscribes to the six request names; false when the bus refused one.
    bool start();

    void store(const std::wstring& name, const std::wstring& value);
    std::optional<std::wstring> stored(const std::wstring& name) const;
    std::map<std::wstring, std::wstring> all() const;

    // Scripts: every "status" false (nothing changes); reply names that are
    // not the requested ones; no answer at all; a delay before answering;
    // a reply payload used verbatim for one request name.
    void setStatusFalse(bool on);
    void setWrongReplyName(bool on);
    void setNoAnswer(bool on);
    void setDelayMs(DWORD delay);
    void setRawReply(const std::wstring& requestName, std::optional<std::wstring> payload);

    // The requests received so far, in order.
    std::vector<Request> requests() const;
    // Waits until at least count requests have come (false after timeoutMs).
    bool waitForRequests(std::size_t count, DWORD timeoutMs) const;

    // Called (outside the lock) with every property after each change.
    void setChangeObserver(std::function<void(const std::map<std::wstring, std::wstring>&)> observer);

    // Publishes a notification with a chosen name and payload.
    std::uint32_t publish(const std::wstring& name, const std::wstring& payload);

private:
    std::uint32_t onRequest(const std::shared_ptr<Tessil::Message>& message);
    std::wstring answer(const std::wstring& requestName, const std::wstring& payload,
                        std::vector<Request>& notifications);

    std::shared_ptr<Tessil::MessageBus> bus_;
    std::vector<std::wstring> subscribed_;

    mutable std::mutex mutex_;  // guards everything below
    mutable std::condition_variable requestArrived_;
    std::map<std::wstring, std::wstring> properties_;
    std::vector<Request> requests_;
    std::map<std::wstring, std::wstring> rawReplies_;
    bool statusFalse_ = false;
    bool wrongReplyName_ = false;
    bool noAnswer_ = false;
    DWORD delayMs_ = 0;
    std::function<void(const std::map<std::wstring, std::wstring>&)> observer_;
};

}  // namespace Neighbours
