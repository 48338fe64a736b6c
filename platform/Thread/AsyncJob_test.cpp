#include "platform/Thread/AsyncJob.h"

#include "platform/Thread/testing/CapturingHandler.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <stdexcept>

namespace {

using namespace std::chrono_literals;

TEST(AsyncJobTest, JobThatReturnsAtOnce) {
    std::thread::id jobThread;
    {
        Kelmora::AsyncJob job([&] { jobThread = std::this_thread::get_id(); });
    }
    EXPECT_NE(std::thread::id(), jobThread);
    EXPECT_NE(std::this_thread::get_id(), jobThread);
}

TEST(AsyncJobTest, ConstructorReturnsWhileTheJobRunsAndDestructorWaits) {
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<bool> finished{false};
    auto job = std::make_unique<Kelmora::AsyncJob>([&] {
        released.wait_for(30s);
        finished = true;
    });
    EXPECT_FALSE(finished.load());  // still blocked: the constructor did not wait for the end
    release.set_value();
    job.reset();
    EXPECT_TRUE(finished.load());
}

struct Owner {
    int runs = 0;
    int Work() { return ++runs; }
};

TEST(AsyncJobTest, MemberFunctionOfAnOwner) {
    Owner owner;
    { Kelmora::AsyncJob job(&Owner::Work, &owner); }
    EXPECT_EQ(1, owner.runs);
}

TEST(AsyncJobTest, ThrowingJobsAreLoggedAndJoined) {
    struct Case {
        std::function<void()> job;
        int line;
        std::wstring message;
    };
    const Case cases[] = {
        {[] { throw std::runtime_error("boom"); }, 58,
         L"STL exception caught while invoking asynchronous job: boom."},
        {[] { throw 42; }, 62, L"Unknown exception caught while invoking asynchronous job."},
    };
    for (const Case& c : cases) {
        CapturingHandler handler;
        { Kelmora::AsyncJob job(c.job); }
        const auto lines = handler.Lines();
        ASSERT_EQ(1u, lines.size());
        EXPECT_EQ(Kelmora::kLogTypeError, lines[0].type);
        EXPECT_EQ(L"Thread\\AsyncJob", lines[0].file);
        EXPECT_EQ(L"Kelmora::AsyncJob::_execute", lines[0].function);
        EXPECT_EQ(c.line, lines[0].line);
        EXPECT_EQ(c.message, lines[0].message);
    }
}

}  // namespace
