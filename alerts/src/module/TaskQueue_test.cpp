#include "alerts/src/module/TaskQueue.h"

#include <gtest/gtest.h>

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
    Drem::TaskQueue queue;
    auto popped = std::async(std::launch::async, [&queue] {
        Drem::TaskQueue::Task task;
        return queue.pop(task);
    });
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
    Drem::TaskQueue::Task task;
    EXPECT_FALSE(queue.pop(task));
    EXPECT_FALSE(ran);
}

}  // namespace
