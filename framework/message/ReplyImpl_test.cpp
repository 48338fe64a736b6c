#include "framework/message/ReplyImpl.h"

#include "platform/Logging/testing/CapturingLogger.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <system_error>
#include <thread>

namespace Tessil {
namespace {

using ETWLogging::testing::ScopedCapturingLogger;

struct FakeClock {
    std::shared_ptr<std::atomic<std::uint64_t>> now = std::make_shared<std::atomic<std::uint64_t>>(5000);
    ReplyImpl::Clock clock() const {
        auto n = now;
        return [n] { return n->load(); };
    }
};

TEST(ReplyImpl, DeadlineIsNowPlusTimeoutPlus1000) {
    FakeClock c;
    std::promise<std::shared_ptr<Message>> p;
    ReplyImpl r(p.get_future().share(), 250, c.clock());
    EXPECT_EQ(r.deadline(), 6250u);
    EXPECT_EQ(r.getStatus(), REPLY_STATUS_PENDING);
    EXPECT_FALSE(r.getMessage());
}

TEST(ReplyImpl, HugeTimeoutSaturates) {
    FakeClock c;
    std::promise<std::shared_ptr<Message>> p;
    ReplyImpl r(p.get_future().share(), ~0ull, c.clock());
    EXPECT_EQ(r.deadline(), ~0ull);
    ReplyImpl r2(std::shared_future<std::shared_ptr<Message>>(), ~0ull - 500, c.clock());
    EXPECT_EQ(r2.deadline(), ~0ull);
}

TEST(ReplyImpl, HugeTimeoutStillWaitsAndReceives) {
    std::promise<std::shared_ptr<Message>> p;
    ReplyImpl r(p.get_future().share(), ~0ull);
    std::thread t([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        p.set_value(Message::create(L"n", L"s", L"p"));
    });
    EXPECT_EQ(r.wait(), REPLY_STATUS_RECEIVED);
    t.join();
    ASSERT_TRUE(r.getMessage());
    EXPECT_EQ(r.getMessage()->getName(), L"n");
}

TEST(ReplyImpl, ReceivedMessage) {
    std::promise<std::shared_ptr<Message>> p;
    p.set_value(Message::create(L"n", L"s", L"p"));
    ReplyImpl r(p.get_future().share(), 0);
    EXPECT_EQ(r.wait(), REPLY_STATUS_RECEIVED);
    EXPECT_EQ(r.getStatus(), REPLY_STATUS_RECEIVED);
    EXPECT_EQ(r.wait(), REPLY_STATUS_RECEIVED);
    EXPECT_TRUE(r.getMessage());
}

TEST(ReplyImpl, EmptyMessageFails) {
    std::promise<std::shared_ptr<Message>> p;
    p.set_value(nullptr);
    ReplyImpl r(p.get_future().share(), 0);
    EXPECT_EQ(r.wait(), REPLY_STATUS_FAILED);
    EXPECT_FALSE(r.getMessage());
}

TEST(ReplyImpl, CanceledIsTimedOutOtherErrorsFail) {
    std::promise<std::shared_ptr<Message>> p1, p2, p3;
    p1.set_exception(std::make_exception_ptr(
        std::system_error(std::make_error_code(std::errc::operation_canceled))));
    p2.set_exception(std::make_exception_ptr(
        std::system_error(std::make_error_code(std::errc::no_message_available))));
    auto f3 = p3.get_future().share();
    { auto gone = std::move(p3); }
    EXPECT_EQ(ReplyImpl(p1.get_future().share(), 0).wait(), REPLY_STATUS_TIMED_OUT);
    EXPECT_EQ(ReplyImpl(p2.get_future().share(), 0).wait(), REPLY_STATUS_FAILED);
    EXPECT_EQ(ReplyImpl(f3, 0).wait(), REPLY_STATUS_FAILED);
}

TEST(ReplyImpl, DeadlinePassedGivesTimedOutAndLogs) {
    ScopedCapturingLogger logger;
    FakeClock c;
    std::promise<std::shared_ptr<Message>> p;
    ReplyImpl r(p.get_future().share(), 100, c.clock());
    c.now->store(5000 + 1101);
    EXPECT_EQ(r.wait(), REPLY_STATUS_TIMED_OUT);
    EXPECT_EQ(r.getStatus(), REPLY_STATUS_TIMED_OUT);
    EXPECT_TRUE(logger->Contains(4, L"Reply future did not get fulfilled on time. Returning."));
    auto recs = logger->Records();
    ASSERT_FALSE(recs.empty());
    EXPECT_EQ(recs.back().file, L"message\\ReplyImpl");
    EXPECT_EQ(recs.back().function, L"Tessil::ReplyImpl::getReplyMessage");
    // A later reply changes nothing.
    p.set_value(Message::create(L"n", L"s", L"p"));
    EXPECT_EQ(r.wait(), REPLY_STATUS_TIMED_OUT);
}

TEST(ReplyImpl, RealClockTimesOut) {
    std::promise<std::shared_ptr<Message>> p;
    ReplyImpl r(p.get_future().share(), 0);
    EXPECT_EQ(r.wait(), REPLY_STATUS_TIMED_OUT);
}

TEST(ReplyImpl, WaitForExpiresWithWarningAndStaysPending) {
    ScopedCapturingLogger logger;
    std::promise<std::shared_ptr<Message>> p;
    ReplyImpl r(p.get_future().share(), 60000);
    EXPECT_EQ(r.waitFor(10), REPLY_STATUS_PENDING);
    EXPECT_TRUE(logger->Contains(2, L"Reply waitFor timed out. Returning."));
    EXPECT_EQ(r.waitFor(-5), REPLY_STATUS_PENDING);
    p.set_value(Message::create(L"n", L"s", L"p"));
    EXPECT_EQ(r.waitFor(10), REPLY_STATUS_RECEIVED);
    EXPECT_EQ(r.waitFor(10), REPLY_STATUS_RECEIVED);
}

TEST(ReplyImpl, InvalidFutureFails) {
    ScopedCapturingLogger logger;
    ReplyImpl r(std::shared_future<std::shared_ptr<Message>>(), 0);
    EXPECT_EQ(r.wait(), REPLY_STATUS_FAILED);
    EXPECT_TRUE(logger->Contains(4, L"Reply future is in an invalid state. Returning."));
    ReplyImpl r2(std::shared_future<std::shared_ptr<Message>>(), 0);
    EXPECT_EQ(r2.waitFor(5), REPLY_STATUS_FAILED);
    EXPECT_EQ(r2.getStatus(), REPLY_STATUS_FAILED);
}

}  // namespace
}  // namespace Tessil
