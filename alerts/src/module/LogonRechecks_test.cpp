#include "alerts/src/module/LogonRechecks.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

// Sessions that the test logs on, and the ids the checks found.
class Machine {
public:
    void logOn(std::uint32_t id) {
        std::lock_guard<std::mutex> lock(mutex_);
        loggedOn_.insert(id);
    }
    std::vector<std::uint32_t> loggedOnAmong(const std::vector<std::uint32_t>& ids) {
        std::lock_guard<std::mutex> lock(mutex_);
        ++checks_;
        std::vector<std::uint32_t> found;
        std::copy_if(ids.begin(), ids.end(), std::back_inserter(found), [&](std::uint32_t id) {
            return loggedOn_.count(id) != 0;
        });
        changed_.notify_all();
        return found;
    }
    void found(std::uint32_t id) {
        std::lock_guard<std::mutex> lock(mutex_);
        found_.push_back(id);
        changed_.notify_all();
    }
    bool waitForFound(std::size_t count) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, 20s, [&] { return found_.size() >= count; });
    }
    bool waitForChecks(std::size_t count) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, 20s, [&] { return checks_ >= count; });
    }
    std::vector<std::uint32_t> foundIds() {
        std::lock_guard<std::mutex> lock(mutex_);
        return found_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::set<std::uint32_t> loggedOn_;
    std::vector<std::uint32_t> found_;
    std::size_t checks_ = 0;
};

class LogonRechecksTest : public ::testing::Test {
protected:
    Drem::LogonRechecks make(Drem::LogonRechecks::Timing timing) {
        return Drem::LogonRechecks(
            timing, [this](const std::vector<std::uint32_t>& ids) { return machine_.loggedOnAmong(ids); },
            [this](std::uint32_t id) { machine_.found(id); });
    }
    bool waitUntilIdle(const Drem::LogonRechecks& rechecks) {
        for (int i = 0; i < 4000 && rechecks.running(); ++i) {
            std::this_thread::sleep_for(5ms);
        }
        return !rechecks.running();
    }
    Machine machine_;
};

TEST_F(LogonRechecksTest, ASessionLoggedOnWithinItsChecksIsFoundOnce) {
    auto rechecks = make({1ms, 1000000});
    ASSERT_TRUE(rechecks.add(4));
    ASSERT_TRUE(rechecks.add(4));  // a second notice waits beside nothing new
    ASSERT_TRUE(rechecks.add(5));
    EXPECT_EQ(rechecks.waiting(), 2u);
    ASSERT_TRUE(machine_.waitForChecks(3));
    machine_.logOn(4);
    ASSERT_TRUE(machine_.waitForFound(1));
    EXPECT_EQ(machine_.foundIds(), std::vector<std::uint32_t>{4});
    EXPECT_EQ(rechecks.waiting(), 1u);
    EXPECT_TRUE(rechecks.running());
}

TEST_F(LogonRechecksTest, ChecksEndWithTheirCountAndTheThreadWithTheLast) {
    auto rechecks = make({1ms, 3});
    ASSERT_TRUE(rechecks.add(7));
    ASSERT_TRUE(waitUntilIdle(rechecks));
    EXPECT_EQ(rechecks.waiting(), 0u);
    machine_.logOn(7);
    // A later notice starts the checks again.
    ASSERT_TRUE(rechecks.add(7));
    ASSERT_TRUE(machine_.waitForFound(1));
    ASSERT_TRUE(waitUntilIdle(rechecks));
    EXPECT_EQ(machine_.foundIds(), std::vector<std::uint32_t>{7});
}

TEST_F(LogonRechecksTest, BoundedInNumberAndEndedForGoodByTheStop) {
    auto rechecks = make({1h, 30});
    for (std::uint32_t id = 0; id < Drem::LogonRechecks::kMaxWaiting; ++id) {
        ASSERT_TRUE(rechecks.add(1000 + id));
    }
    EXPECT_FALSE(rechecks.add(5));
    EXPECT_TRUE(rechecks.add(1000));  // one waiting already is counted again
    EXPECT_EQ(rechecks.waiting(), Drem::LogonRechecks::kMaxWaiting);
    // The stop does not wait for the hour.
    rechecks.stop();
    EXPECT_FALSE(rechecks.running());
    EXPECT_FALSE(rechecks.add(5));
    EXPECT_EQ(rechecks.waiting(), 0u);
}

}  // namespace
