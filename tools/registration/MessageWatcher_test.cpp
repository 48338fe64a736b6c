#include "tools/registration/MessageWatcher.h"

#include "framework/bus/testing/FakeMessageBusShim.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <future>
#include <memory>
#include <thread>

using Drem::MessageWatcher;
using Tessil::testing::FakeMessageBusShim;

namespace {

constexpr const wchar_t* kName = L"Vantrel.Viewer.v1.Unregistered";

// A wait that ignored the arrival until its deadline would end long after the
// bound: the deadline is ten minutes, the bound one.
constexpr std::int64_t kLongDeadlineMs = 600000;
constexpr auto kBound = std::chrono::seconds(60);

// Runs wait(kLongDeadlineMs) on a thread of its own: whether it answered true
// within kBound. A wait still running then keeps the watcher until it ends.
bool AnswersTrueWellBeforeItsDeadline(const std::shared_ptr<MessageWatcher>& watcher) {
    auto answer = std::make_shared<std::promise<bool>>();
    std::future<bool> answered = answer->get_future();
    std::thread([watcher, answer] { answer->set_value(watcher->wait(kLongDeadlineMs)); }).detach();
    return answered.wait_for(kBound) == std::future_status::ready && answered.get();
}

class MessageWatcherTest : public ::testing::Test {
protected:
    std::shared_ptr<FakeMessageBusShim> shim = std::make_shared<FakeMessageBusShim>();
    std::shared_ptr<Tessil::MessageBusClient> bus = std::make_shared<Tessil::MessageBusClient>(shim);

    // Subscribes the watcher the way the program does: by name, the name as alias.
    std::shared_ptr<MessageWatcher> Watch() {
        auto watcher = std::make_shared<MessageWatcher>(bus);
        watcher->messageName = kName;
        MessageWatcher* target = watcher.get();
        EXPECT_EQ(bus->subscribe(kName, kName,
                                 [target](std::shared_ptr<Tessil::Message> m) {
                                     return target->onMessage(std::move(m));
                                 }),
                  0u);
        return watcher;
    }
    std::uint32_t Deliver() {
        Tessil::MessageHeader header;
        Tessil::initHeader(&header);
        return shim->deliver(kName, &header, kName);
    }
};

TEST_F(MessageWatcherTest, NothingArrivedAnswersFalseAtTheDeadline) {
    auto watcher = Watch();
    EXPECT_FALSE(watcher->wait(0));
    EXPECT_FALSE(watcher->wait(-5));
    EXPECT_FALSE(watcher->wait(30));
}

TEST_F(MessageWatcherTest, ADeliveryBeforeTheWaitCounts) {
    auto watcher = Watch();
    EXPECT_EQ(Deliver(), 0u);
    EXPECT_TRUE(watcher->wait(0));
    EXPECT_TRUE(AnswersTrueWellBeforeItsDeadline(watcher));
}

TEST_F(MessageWatcherTest, ADeliveryDuringTheWaitEndsIt) {
    auto watcher = Watch();
    std::promise<void> waiting;
    std::thread delivery([&] {
        waiting.get_future().wait();
        Deliver();
    });
    waiting.set_value();
    EXPECT_TRUE(AnswersTrueWellBeforeItsDeadline(watcher));
    delivery.join();
}

TEST_F(MessageWatcherTest, DestructionUnsubscribesTheName) {
    auto watcher = Watch();
    ASSERT_EQ(shim->subscriptions.size(), 1u);
    const std::uint32_t id = shim->subscriptions[0].id;
    watcher.reset();
    EXPECT_EQ(shim->unsubscribed, std::vector<std::uint32_t>{id});
    EXPECT_TRUE(shim->subscriptions.empty());
    EXPECT_EQ(Deliver(), 0xFFFFFFFFu);  // nobody left to deliver to
}

// The waiter destroys the watcher as soon as the wait returns, while the
// delivery that woke it may still be in onMessage: the delivery must be done
// with the watcher by then. The seam holds the delivery between recording the
// arrival and waking the waiter: a watcher that woke its waiter after
// unlocking would let the wait return, and the watcher go, right there.
TEST(MessageWatcherLifetime, WaiterMayDestroyItRightAfterTheWait) {
    std::promise<void> returned;
    std::future<void> waitReturned = returned.get_future();
    bool returnedDuringDelivery = false;
    auto* watcher = new MessageWatcher(nullptr, [&] {
        returnedDuringDelivery =
            waitReturned.wait_for(std::chrono::seconds(2)) == std::future_status::ready;
    });
    std::thread delivery([watcher] { watcher->onMessage(nullptr); });
    EXPECT_TRUE(watcher->wait(60000));
    returned.set_value();
    delivery.join();  // so that a faulty variant fails here instead of crashing
    delete watcher;
    EXPECT_FALSE(returnedDuringDelivery);
}

TEST(MessageWatcherLifetime, WaiterDestroysItRightAfterTheWaitManyTimes) {
    for (int round = 0; round < 1000; ++round) {
        auto* watcher = new MessageWatcher(nullptr);
        std::thread delivery([watcher] { watcher->onMessage(nullptr); });
        ASSERT_TRUE(watcher->wait(60000));
        delete watcher;
        delivery.join();
    }
}

}  // namespace
