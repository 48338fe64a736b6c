#include "framework/message/ReplyImpl.h"

#include "platform/Logging/testing/CapturingLogger.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

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
    auto p = std::make_shared<ReplySlot>();
    ReplyImpl r(p, 250, c.clock());
    EXPECT_EQ(r.deadline(), 6250u);
    EXPECT_EQ(r.getStatus(), REPLY_STATUS_PENDING);
    EXPECT_FALSE(r.getMessage());
}

TEST(ReplyImpl, HugeTimeoutSaturates) {
    FakeClock c;
    auto p = std::make_shared<ReplySlot>();
    ReplyImpl r(p, ~0ull, c.clock());
    EXPECT_EQ(r.deadline(), ~0ull);
    ReplyImpl r2(nullptr, ~0ull - 500, c.clock());
    EXPECT_EQ(r2.deadline(), ~0ull);
}

TEST(ReplyImpl, HugeTimeoutStillWaitsAndReceives) {
    auto p = std::make_shared<ReplySlot>();
    ReplyImpl r(p, ~0ull);
    std::thread t([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        p->complete(Message::create(L"n", L"s", L"p"));
    });
    EXPECT_EQ(r.wait(), REPLY_STATUS_RECEIVED);
    t.join();
    ASSERT_TRUE(r.getMessage());
    EXPECT_EQ(r.getMessage()->getName(), L"n");
}

TEST(ReplyImpl, ReceivedMessage) {
    auto p = std::make_shared<ReplySlot>();
    p->complete(Message::create(L"n", L"s", L"p"));
    ReplyImpl r(p, 0);
    EXPECT_EQ(r.wait(), REPLY_STATUS_RECEIVED);
    EXPECT_EQ(r.getStatus(), REPLY_STATUS_RECEIVED);
    EXPECT_EQ(r.wait(), REPLY_STATUS_RECEIVED);
    EXPECT_TRUE(r.getMessage());
}

TEST(ReplyImpl, EmptyMessageFails) {
    auto p = std::make_shared<ReplySlot>();
    p->complete(nullptr);
    ReplyImpl r(p, 0);
    EXPECT_EQ(r.wait(), REPLY_STATUS_FAILED);
    EXPECT_FALSE(r.getMessage());
}

TEST(ReplyImpl, TimedOutAndFailedSlotsAndOnlyTheFirstOutcomeCounts) {
    auto timedOut = std::make_shared<ReplySlot>();
    auto failed = std::make_shared<ReplySlot>();
    timedOut->timeOut();
    failed->fail();
    timedOut->complete(Message::create(L"n", L"s", L"p"));
    failed->complete(Message::create(L"n", L"s", L"p"));
    EXPECT_EQ(ReplyImpl(timedOut, 0).wait(), REPLY_STATUS_TIMED_OUT);
    EXPECT_EQ(ReplyImpl(failed, 0).wait(), REPLY_STATUS_FAILED);
}

TEST(ReplyImpl, SeveralThreadsWaitingForOneSlotAllSeeTheReply) {
    auto slot = std::make_shared<ReplySlot>();
    ReplyImpl r(slot, 60000);
    std::atomic<int> received{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 4; ++i) {
        waiters.emplace_back([&] { received += r.wait() == REPLY_STATUS_RECEIVED; });
    }
    slot->complete(Message::create(L"n", L"s", L"p"));
    for (auto& t : waiters) t.join();
    EXPECT_EQ(received.load(), 4);
}

TEST(ReplyImpl, DeadlinePassedGivesTimedOutAndLogs) {
    ScopedCapturingLogger logger;
    FakeClock c;
    auto p = std::make_shared<ReplySlot>();
    ReplyImpl r(p, 100, c.clock());
    c.now->store(5000 + 1101);
    EXPECT_EQ(r.wait(), REPLY_STATUS_TIMED_OUT);
    EXPECT_EQ(r.getStatus(), REPLY_STATUS_TIMED_OUT);
    EXPECT_TRUE(logger->Contains(4, L"Reply future did not get fulfilled on time. Returning."));
    auto recs = logger->Records();
    ASSERT_FALSE(recs.empty());
    EXPECT_EQ(recs.back().file, L"message\\ReplyImpl");
    EXPECT_EQ(recs.back().function, L"Tessil::ReplyImpl::getReplyMessage");
    // A later reply changes nothing.
    p->complete(Message::create(L"n", L"s", L"p"));
    EXPECT_EQ(r.wait(), REPLY_STATUS_TIMED_OUT);
}

TEST(ReplyImpl, RealClockTimesOut) {
    auto p = std::make_shared<ReplySlot>();
    ReplyImpl r(p, 0);
    EXPECT_EQ(r.wait(), REPLY_STATUS_TIMED_OUT);
}

TEST(ReplyImpl, WaitForExpiresWithWarningAndStaysPending) {
    ScopedCapturingLogger logger;
    auto p = std::make_shared<ReplySlot>();
    ReplyImpl r(p, 60000);
    EXPECT_EQ(r.waitFor(10), REPLY_STATUS_PENDING);
    EXPECT_TRUE(logger->Contains(2, L"Reply waitFor timed out. Returning."));
    EXPECT_EQ(r.waitFor(-5), REPLY_STATUS_PENDING);
    p->complete(Message::create(L"n", L"s", L"p"));
    EXPECT_EQ(r.waitFor(10), REPLY_STATUS_RECEIVED);
    EXPECT_EQ(r.waitFor(10), REPLY_STATUS_RECEIVED);
}

TEST(ReplyImpl, InvalidFutureFails) {
    ScopedCapturingLogger logger;
    ReplyImpl r(nullptr, 0);
    EXPECT_EQ(r.wait(), REPLY_STATUS_FAILED);
    EXPECT_TRUE(logger->Contains(4, L"Reply future is in an invalid state. Returning."));
    ReplyImpl r2(nullptr, 0);
    EXPECT_EQ(r2.waitFor(5), REPLY_STATUS_FAILED);
    EXPECT_EQ(r2.getStatus(), REPLY_STATUS_FAILED);
}

}  // namespace
}  // namespace Tessil
