#include "alerts/src/module/TaskQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <vector>

namespace {

TEST(TaskQueue, TasksLeaveInArrivalOrder) {
    Drem::TaskQueue queue;
    std::vector<int> ran;
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(queue.push([&ran, i] { ran.push_back(i); return DWORD{0}; }));
    }
    Drem::TaskQueue::Task task;
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(queue.pop(task));
        task();
    }
    EXPECT_EQ(ran, (std::vector<int>{0, 1, 2}));
}

TEST(TaskQueue, StopWakesAWaitingPopAndRefusesFurtherTasks) {
    std::promise<void> waiting;
    std::atomic<bool> once{false};
    Drem::TaskQueue queue([&] {
        if (!once.exchange(true)) waiting.set_value();
    });
    auto popped = std::async(std::launch::async, [&queue] {
        Drem::TaskQueue::Task task;
        return queue.pop(task);
    });
    // Stopped only once the pop waits, so the stop has a waiter to wake.
    ASSERT_EQ(waiting.get_future().wait_for(std::chrono::seconds(30)), std::future_status::ready);
    queue.stop();
    ASSERT_EQ(popped.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    EXPECT_FALSE(popped.get());
    EXPECT_FALSE(queue.push([] { return DWORD{0}; }));
}

TEST(TaskQueue, TasksLeftAtTheStopNeverRun) {
    Drem::TaskQueue queue;
    bool ran = false;
    ASSERT_TRUE(queue.push([&ran] { ran = true; return DWORD{0}; }));
    queue.stop();
    // Run as the executor runs them: whatever a pop hands out.
    Drem::TaskQueue::Task task;
    while (queue.pop(task)) {
        task();
    }
    EXPECT_FALSE(ran);
}

}  // namespace
