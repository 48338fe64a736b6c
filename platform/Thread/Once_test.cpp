#include "platform/Thread/Once.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <stdexcept>
#include <thread>

namespace {

using namespace std::chrono_literals;

TEST(OnceFlagTest, AThrowLeavesTheFlagUnsetAndTheNextCallRunsAgain) {
    Kelmora::OnceFlag flag;
    int runs = 0;
    EXPECT_THROW(flag.call([&] { ++runs; throw std::runtime_error("first"); }), std::runtime_error);
    EXPECT_FALSE(flag.done());

    // On another thread, bounded: a flag stuck after the throw would block here.
    auto second = std::async(std::launch::async, [&] { flag.call([&] { ++runs; }); });
    ASSERT_EQ(std::future_status::ready, second.wait_for(30s));
    second.get();
    EXPECT_TRUE(flag.done());
    flag.call([&] { ++runs; });
    EXPECT_EQ(2, runs);
}

TEST(OnceFlagTest, ConcurrentCallersRunTheCallableOnceAndSeeItsResult) {
    Kelmora::OnceFlag flag;
    std::atomic<int> runs{0};
    int value = 0;
    std::vector<std::thread> threads;
    std::atomic<int> seen{0};
    for (int i = 0; i < 8; ++i)
        threads.emplace_back([&] {
            flag.call([&] {
                std::this_thread::sleep_for(10ms);
                value = 42;
                ++runs;
            });
            if (value == 42) ++seen;
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(1, runs.load());
    EXPECT_EQ(8, seen.load());
}

}  // namespace
