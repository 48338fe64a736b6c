// Waits for the first delivery of one bus message.
#pragma once

#include "framework/bus/MessageBusClient.h"

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace Drem {

class MessageWatcher {
public:
    // received: run by onMessage once the arrival is recorded, before the
    // waiters are woken (a seam for tests; it must not touch the watcher).
    explicit MessageWatcher(std::shared_ptr<Tessil::MessageBusClient> bus,
                            std::function<void()> received = {});
    // Unsubscribes messageName, which returns once a running delivery is done.
    virtual ~MessageWatcher();
    MessageWatcher(const MessageWatcher&) = delete;
    MessageWatcher& operator=(const MessageWatcher&) = delete;

    // The bus handler, run on a delivery thread; the message is not read.
    std::uint32_t onMessage(std::shared_ptr<Tessil::Message> message);
    // Whether the message has arrived, waiting up to ms (none for ms <= 0).
    bool wait(std::int64_t ms);

    std::wstring messageName;  // set before subscribing; also the alias

private:
    std::shared_ptr<Tessil::MessageBusClient> bus_;
    std::function<void()> receivedSeam_;
    bool received_ = false;  // guarded by lock_
    std::mutex lock_;
    std::condition_variable condition_;
};

}  // namespace Drem
