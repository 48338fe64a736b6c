// The registry watcher on the real Wine registry (a private HKLM).
#include "platform/Registry/monitored_reg_key.h"

#include "platform/Thread/testing/CapturingHandler.h"
#include "platform/Registry/testing/TestRegistry.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stdexcept>

namespace {

using namespace std::chrono_literals;
constexpr DWORD kFilter = REG_NOTIFY_CHANGE_LAST_SET | REG_NOTIFY_CHANGE_NAME;

// Counts callbacks; tests wait on it with a generous bound, never a sleep.
class Counter {
public:
    void Hit() {
        std::lock_guard<std::mutex> lock(mutex_);
        ++count_;
        thread_ = std::this_thread::get_id();
        changed_.notify_all();
    }
    bool WaitFor(int count, std::chrono::milliseconds bound = 10s) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, bound, [&] { return count_ >= count; });
    }
    int Count() {
        std::lock_guard<std::mutex> lock(mutex_);
        return count_;
    }
    std::thread::id Thread() {
        std::lock_guard<std::mutex> lock(mutex_);
        return thread_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    int count_ = 0;                 // guarded by mutex_
    std::thread::id thread_;        // guarded by mutex_
};

class MonitoredRegKeyTest : public ::testing::Test {
protected:
    // The watcher asks again for a notification only after each callback,
    // and a change before that is not seen: change a value (to a new number
    // each time) until the callback count reaches the goal, within a
    // generous bound.
    bool ChangeUntil(Kelmora::CRegKey& key, const wchar_t* name, Counter& counter, int goal) {
        for (int attempt = 0; attempt < 200; ++attempt) {
            if (key.SetDWORDValue(name, static_cast<DWORD>(++stamp_)) != ERROR_SUCCESS) {
                return false;
            }
            if (counter.WaitFor(goal, 50ms)) {
                return true;
            }
        }
        return false;
    }
    DWORD stamp_ = GetTickCount();

    void SetUp() override {
        ASSERT_TRUE(hklm_.ok());
        ASSERT_EQ(0, writer_.Create(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Corvane\\Qen\\OEM", REG_NONE,
                                    REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS));
    }
    Kelmora::testing::PrivateHklm hklm_;
    Kelmora::CRegKey writer_;
};

TEST_F(MonitoredRegKeyTest, StartRefusesWithoutKeyOrCallback) {
    Kelmora::monitored_reg_key key;
    EXPECT_FALSE(key.Start([] {}, false, kFilter));
    ASSERT_EQ(0, key.Open(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Corvane\\Qen\\OEM", KEY_READ));
    EXPECT_FALSE(key.Start(nullptr, false, kFilter));
    EXPECT_TRUE(key.Stop());
}

TEST_F(MonitoredRegKeyTest, OneChangeRightAfterStartIsReported) {
    Kelmora::monitored_reg_key key;
    ASSERT_EQ(0, key.Open(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Corvane\\Qen\\OEM", KEY_READ));
    Counter counter;
    ASSERT_TRUE(key.Start([&] { counter.Hit(); }, false, kFilter));
    ASSERT_EQ(0, writer_.SetDWORDValue(L"OOBE", 1));
    EXPECT_TRUE(counter.WaitFor(1));
}

TEST_F(MonitoredRegKeyTest, EveryChangeAfterTheCallbackIsReported) {
    Kelmora::monitored_reg_key key;
    ASSERT_EQ(0, key.Open(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Corvane\\Qen\\OEM", KEY_READ));
    Counter counter;
    ASSERT_TRUE(key.Start([&] { counter.Hit(); }, false, kFilter));
    ASSERT_TRUE(ChangeUntil(writer_, L"OOBE", counter, 1));
    EXPECT_NE(std::this_thread::get_id(), counter.Thread());
    ASSERT_TRUE(ChangeUntil(writer_, L"OOBE", counter, counter.Count() + 1));
    EXPECT_TRUE(key.Stop());  // wakes the watcher from its endless wait and joins it
    const int count = counter.Count();
    ASSERT_EQ(0, writer_.SetDWORDValue(L"OOBE", 3));
    EXPECT_FALSE(counter.WaitFor(count + 1, 300ms));  // stopped: nothing more
}

TEST_F(MonitoredRegKeyTest, SubtreeChangesWhenAskedFor) {
    Kelmora::monitored_reg_key key;
    ASSERT_EQ(0, key.Open(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Corvane\\Qen", KEY_READ));
    Counter counter;
    ASSERT_TRUE(key.Start([&] { counter.Hit(); }, true, kFilter));
    EXPECT_TRUE(ChangeUntil(writer_, L"deep", counter, 1));
}

TEST_F(MonitoredRegKeyTest, StartTwiceReplacesTheFirstWatch) {
    Kelmora::monitored_reg_key key;
    ASSERT_EQ(0, key.Open(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Corvane\\Qen\\OEM", KEY_READ));
    Counter first, second;
    ASSERT_TRUE(key.Start([&] { first.Hit(); }, false, kFilter));
    ASSERT_TRUE(key.Start([&] { second.Hit(); }, false, kFilter));
    ASSERT_TRUE(ChangeUntil(writer_, L"v", second, 1));
    EXPECT_EQ(0, first.Count());
}

TEST_F(MonitoredRegKeyTest, ThrowingCallbackIsLoggedAndTheWatchGoesOn) {
    CapturingHandler handler;
    Kelmora::monitored_reg_key key;
    ASSERT_EQ(0, key.Open(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Corvane\\Qen\\OEM", KEY_READ));
    Counter counter;
    ASSERT_TRUE(key.Start(
        [&] {
            counter.Hit();
            if (counter.Count() == 1) throw std::runtime_error("bad callback");
            throw 7;
        },
        false, kFilter));
    ASSERT_TRUE(ChangeUntil(writer_, L"v", counter, 2));
    key.Stop();
    const auto lines = handler.Lines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(L"Registry\\monitored_reg_key", lines[0].file);
    EXPECT_EQ(L"Kelmora::monitored_reg_key::registry_callback_thread", lines[0].function);
    EXPECT_EQ(183, lines[0].line);
    EXPECT_EQ(L"STL exception caught while invoking registry key monitor callback: bad callback.",
              lines[0].message);
    EXPECT_EQ(187, lines[1].line);
    EXPECT_EQ(L"Unexpected exception caught while invoking registry key monitor callback.",
              lines[1].message);
}

TEST_F(MonitoredRegKeyTest, DeletingTheWatchedKeyThenStop) {
    Kelmora::monitored_reg_key key;
    ASSERT_EQ(0, key.Open(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Corvane\\Qen\\OEM", KEY_READ));
    Counter counter;
    ASSERT_TRUE(key.Start([&] { counter.Hit(); }, false, kFilter));
    writer_.Close();
    Kelmora::CRegKey parent;
    ASSERT_EQ(0, parent.Open(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Corvane\\Qen", KEY_ALL_ACCESS));
    ASSERT_EQ(0, parent.RecurseDeleteKey(L"OEM"));
    counter.WaitFor(1, 300ms);  // Windows reports the deletion; Wine does not
    EXPECT_LE(counter.Count(), 1);
    EXPECT_TRUE(key.Stop());
}

TEST_F(MonitoredRegKeyTest, CloseOpenAndDestructionStopTheWatch) {
    Counter counter;
    {
        Kelmora::monitored_reg_key key;
        ASSERT_EQ(0, key.Open(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Corvane\\Qen\\OEM", KEY_READ));
        ASSERT_TRUE(key.Start([&] { counter.Hit(); }, false, kFilter));
        EXPECT_EQ(0, key.Close());
        EXPECT_EQ(nullptr, key.Key().Key());
        EXPECT_FALSE(key.Start([&] { counter.Hit(); }, false, kFilter));
        ASSERT_EQ(0, key.Create(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Corvane\\Qen\\OEM"));
        ASSERT_TRUE(key.Start([&] { counter.Hit(); }, false, kFilter));
        ASSERT_EQ(0, key.Open(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Corvane\\Qen\\OEM", KEY_READ));
        ASSERT_TRUE(key.Start([&] { counter.Hit(); }, false, kFilter));
    }  // destroyed while watching
    ASSERT_EQ(0, writer_.SetDWORDValue(L"after", 1));
    EXPECT_FALSE(counter.WaitFor(1, 300ms));
}

}  // namespace
