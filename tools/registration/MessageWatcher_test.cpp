#include "tools/registration/MessageWatcher.h"

#include "framework/bus/testing/FakeMessageBusShim.h"

#include <gtest/gtest.h>

#include <future>
#include <memory>
#include <thread>

using Drem::MessageWatcher;
using Tessil::testing::FakeMessageBusShim;

namespace {

constexpr const wchar_t* kName = L"Vantrel.Viewer.v1.Unregistered";

class MessageWatcherTest : public ::testing::Test {
protected:
    std::shared_ptr<FakeMessageBusShim> shim = std::make_shared<FakeMessageBusShim>();
    std::shared_ptr<Tessil::MessageBusClient> bus = std::make_shared<Tessil::MessageBusClient>(shim);

    // Subscribes the watcher the way the program does: by name, the name as alias.
    std::unique_ptr<MessageWatcher> Watch() {
        auto watcher = std::make_unique<MessageWatcher>(bus);
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
    EXPECT_TRUE(watcher->wait(60000));  // at once, not at the deadline
}

TEST_F(MessageWatcherTest, ADeliveryDuringTheWaitEndsIt) {
    auto watcher = Watch();
    std::promise<void> waiting;
    std::thread delivery([&] {
        waiting.get_future().wait();
        Deliver();
    });
    waiting.set_value();
    EXPECT_TRUE(watcher->wait(60000));
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
// with the watcher by then.
TEST(MessageWatcherLifetime, WaiterMayDestroyItRightAfterTheWait) {
    for (int round = 0; round < 1000; ++round) {
        auto* watcher = new MessageWatcher(nullptr);
        std::thread delivery([watcher] { watcher->onMessage(nullptr); });
        ASSERT_TRUE(watcher->wait(60000));
        delete watcher;
        delivery.join();
    }
}

}  // namespace
