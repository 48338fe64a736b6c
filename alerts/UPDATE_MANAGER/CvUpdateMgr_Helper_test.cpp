#include "alerts/UPDATE_MANAGER/include/CvUpdateMgr_Helper.h"

#include "platform/Logging/testing/CapturingLogger.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using ETWLogging::testing::ScopedCapturingLogger;

namespace {

const std::wstring kPrefix = L"Global\\{834C46D9-6762-4FF9-8279-2C04C8B1162C}";

// Owns an event made by the test.
class TestEvent {
public:
    explicit TestEvent(const std::wstring& name) : handle_(CreateEventW(nullptr, TRUE, FALSE, name.c_str())) {}
    ~TestEvent() {
        if (handle_ != nullptr) {
            CloseHandle(handle_);
        }
    }
    TestEvent(const TestEvent&) = delete;
    TestEvent& operator=(const TestEvent&) = delete;
    HANDLE get() const { return handle_; }

private:
    HANDLE handle_;
};

std::wstring perProcessPackage() { return L"vt-test-" + std::to_wstring(GetCurrentProcessId()); }

// Answers a scripted handle and records the calls.
class FakeEventAPI : public UpdateEventAPI {
public:
    HANDLE OpenEventW(DWORD access, BOOL inherit, const wchar_t* name) override {
        opened.push_back({access, inherit, name});
        SetLastError(error);
        return handle;
    }
    BOOL CloseHandle(HANDLE h) override {
        closed.push_back(h);
        return TRUE;
    }
    struct Open {
        DWORD access;
        BOOL inherit;
        std::wstring name;
    };
    HANDLE handle = nullptr;
    DWORD error = ERROR_FILE_NOT_FOUND;
    std::vector<Open> opened;
    std::vector<HANDLE> closed;
};

}  // namespace

TEST(UpdateRunningTest, EventNameIsThePrefixAndThePackageCutTo259Characters) {
    EXPECT_EQ(CCvUpdateMgr_Helper().eventName(), kPrefix + L"default");
    EXPECT_EQ(CCvUpdateMgr_Helper(L"").eventName(), kPrefix);
    EXPECT_EQ(CCvUpdateMgr_Helper(nullptr).eventName(), kPrefix);
    const std::wstring longPackage(400, L'p');
    const std::wstring name = CCvUpdateMgr_Helper(longPackage.c_str()).eventName();
    EXPECT_EQ(name.size(), 259u);
    EXPECT_EQ(name, (kPrefix + longPackage).substr(0, 259));
}

TEST(UpdateRunningTest, AnswersWhetherThePackagesEventExists) {
    ScopedCapturingLogger logger;
    const std::wstring package = perProcessPackage();
    CCvUpdateMgr_Helper helper(package.c_str());
    BOOL running = TRUE;
    EXPECT_EQ(helper.IsUpdateRunning(&running), S_OK);
    EXPECT_FALSE(running);
    EXPECT_TRUE(logger->Contains(ETWLogging::LevelNormal, L"An update is NOT running."));
    {
        TestEvent event(kPrefix + package);
        ASSERT_NE(event.get(), nullptr);
        running = FALSE;
        EXPECT_EQ(helper.IsUpdateRunning(&running), S_OK);
        EXPECT_TRUE(running);
        EXPECT_TRUE(logger->Contains(ETWLogging::LevelNormal, L"An update is running."));
        EXPECT_TRUE(logger->Contains(ETWLogging::LevelNormal, L"Checking if an update is currently running...."));
    }
    running = TRUE;
    EXPECT_EQ(helper.IsUpdateRunning(&running), S_OK);
    EXPECT_FALSE(running);
}

TEST(UpdateRunningTest, OpensWithSynchroniseAndModifyAccessAndClosesTheHandle) {
    auto api = std::make_shared<FakeEventAPI>();
    api->handle = reinterpret_cast<HANDLE>(static_cast<INT_PTR>(0x1234));
    CCvUpdateMgr_Helper helper(L"default", api);
    BOOL running = FALSE;
    SetLastError(77);
    EXPECT_EQ(helper.IsUpdateRunning(&running), S_OK);
    EXPECT_TRUE(running);
    ASSERT_EQ(api->opened.size(), 1u);
    EXPECT_EQ(api->opened[0].access, 0x100002u);
    EXPECT_EQ(api->opened[0].inherit, FALSE);
    EXPECT_EQ(api->opened[0].name, kPrefix + L"default");
    EXPECT_EQ(api->closed, std::vector<HANDLE>{api->handle});
}

TEST(UpdateRunningTest, AnyFailureToOpenReadsAsNotRunning) {
    for (DWORD error : {DWORD{ERROR_FILE_NOT_FOUND}, DWORD{ERROR_ACCESS_DENIED}, DWORD{ERROR_INVALID_HANDLE}}) {
        auto api = std::make_shared<FakeEventAPI>();
        api->error = error;
        CCvUpdateMgr_Helper helper(L"default", api);
        BOOL running = TRUE;
        EXPECT_EQ(helper.IsUpdateRunning(&running), S_OK) << error;
        EXPECT_FALSE(running) << error;
        EXPECT_TRUE(api->closed.empty());
    }
}

TEST(UpdateRunningTest, NullOutPointerIsRefused) {
    ScopedCapturingLogger logger;
    auto api = std::make_shared<FakeEventAPI>();
    CCvUpdateMgr_Helper helper(L"default", api);
    EXPECT_EQ(helper.IsUpdateRunning(nullptr), E_POINTER);
    EXPECT_TRUE(api->opened.empty());
    EXPECT_TRUE(logger->Contains(ETWLogging::LevelError, L"Invalid parameter!"));
}
