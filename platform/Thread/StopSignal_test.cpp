#include "platform/Thread/StopSignal.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

namespace {

using namespace std::chrono_literals;
using Kelmora::StopSignal;

// A waiter of its own thread, with nothing but the stop to end it.
struct Waiter {
    std::mutex mutex;
    std::condition_variable condition;
    bool done = false;  // guarded by mutex

    std::future<bool> start(StopSignal& stop, StopSignal::Clock::duration limit = 1h) {
        return std::async(std::launch::async, [this, &stop, limit] {
            std::unique_lock<std::mutex> lock(mutex);
            return stop.waitUntil(lock, condition, StopSignal::Clock::now() + limit, [this] { return done; });
        });
    }
};

TEST(StopSignalTest, TheStopEndsAWaitThatHasBegun) {
    StopSignal stop;
    Waiter waiter;
    auto ended = waiter.start(stop);
    EXPECT_EQ(std::future_status::timeout, ended.wait_for(50ms));
    stop.request();
    ASSERT_EQ(std::future_status::ready, ended.wait_for(30s));
    EXPECT_FALSE(ended.get());
    EXPECT_TRUE(stop.requested());
}

TEST(StopSignalTest, AWaitBegunAfterTheStopEndsAtOnce) {
    StopSignal stop;
    stop.request();
    stop.request();
    Waiter waiter;
    auto ended = waiter.start(stop);
    ASSERT_EQ(std::future_status::ready, ended.wait_for(30s));
    EXPECT_FALSE(ended.get());
}

TEST(StopSignalTest, AWaitEndsWhenDoneOrAtItsDeadline) {
    StopSignal stop;
    Waiter waiter;
    auto ended = waiter.start(stop);
    {
        std::lock_guard<std::mutex> lock(waiter.mutex);
        waiter.done = true;
    }
    waiter.condition.notify_all();
    ASSERT_EQ(std::future_status::ready, ended.wait_for(30s));
    EXPECT_TRUE(ended.get());

    Waiter late;
    auto timedOut = late.start(stop, 10ms);
    ASSERT_EQ(std::future_status::ready, timedOut.wait_for(30s));
    EXPECT_FALSE(timedOut.get());
    EXPECT_FALSE(stop.requested());
}

// The stop raised while waiters enter, sleep and leave: every one ends, and
// neither side is left waiting for the other.
TEST(StopSignalTest, AStopRacingWaitersThatComeAndGoLosesNoWakeUp) {
    for (int round = 0; round < 300; ++round) {
        StopSignal stop;
        Waiter first;
        Waiter second;
        auto a = first.start(stop);
        auto b = second.start(stop, 1ms);
        auto raised = std::async(std::launch::async, [&] { stop.request(); });
        ASSERT_EQ(std::future_status::ready, raised.wait_for(30s)) << "round " << round;
        ASSERT_EQ(std::future_status::ready, a.wait_for(30s)) << "round " << round;
        ASSERT_EQ(std::future_status::ready, b.wait_for(30s)) << "round " << round;
    }
}

}  // namespace
