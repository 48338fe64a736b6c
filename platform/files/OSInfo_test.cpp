// OS detection through a fake version API with a table of versions (Wine
// reports one fixed version), plus one run against the real system.
#include "platform/files/OSInfo.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using Kelmora::internal::OSInfoProxy;

struct FakeSystem {
    DWORD platformId = VER_PLATFORM_WIN32_NT;
    DWORD minor = 0;
    WORD servicePack = 0;
    std::atomic<int> calls{0};
};

// Answers VerifyVersionInfoW from a described system, reading the condition
// mask as VerSetConditionMask lays it out (3 bits per type bit).
struct FakeVersionAPI : Kelmora::WinOSVersionAPI {
    std::shared_ptr<FakeSystem> system;
    explicit FakeVersionAPI(std::shared_ptr<FakeSystem> s) : system(std::move(s)) {}
    BOOL VerifyVersionInfoW(OSVERSIONINFOEXW* info, DWORD typeMask,
                            DWORDLONG conditionMask) override {
        ++system->calls;
        auto compare = [&](int bit, DWORD actual, DWORD wanted) {
            switch ((conditionMask >> (3 * bit)) & 7) {
                case VER_EQUAL: return actual == wanted;
                case VER_GREATER: return actual > wanted;
                case VER_GREATER_EQUAL: return actual >= wanted;
                case VER_LESS: return actual < wanted;
                case VER_LESS_EQUAL: return actual <= wanted;
                default: return false;
            }
        };
        bool ok = true;
        if (typeMask & VER_MINORVERSION) ok = ok && compare(0, system->minor, info->dwMinorVersion);
        if (typeMask & VER_PLATFORMID) ok = ok && compare(3, system->platformId, info->dwPlatformId);
        if (typeMask & VER_SERVICEPACKMAJOR)
            ok = ok && compare(5, system->servicePack, info->wServicePackMajor);
        return ok ? TRUE : FALSE;
    }
};

using Proxy = OSInfoProxy<FakeVersionAPI>;

std::unique_ptr<Proxy> MakeProxy(std::shared_ptr<FakeSystem> system, std::wstring productVersion,
                                 std::shared_ptr<std::atomic<int>> reads = nullptr) {
    return std::make_unique<Proxy>(FakeVersionAPI(std::move(system)),
                                   [productVersion, reads](std::wstring& text) {
                                       if (reads) ++*reads;
                                       text = productVersion;
                                       return true;
                                   });
}

struct VersionCase {
    const char* name;
    const wchar_t* productVersion;
    DWORD platformId;
    DWORD systemMinor;   // 9x rule
    WORD systemSP;
    DWORD os;
    DWORD platform;
    DWORD major, minor;
    WORD sp;
    bool numbersOk;
};

class OSDetection : public ::testing::TestWithParam<VersionCase> {};

TEST_P(OSDetection, Table) {
    const VersionCase& c = GetParam();
    auto system = std::make_shared<FakeSystem>();
    system->platformId = c.platformId;
    system->minor = c.systemMinor;
    system->servicePack = c.systemSP;
    auto proxy = MakeProxy(system, c.productVersion);
    EXPECT_EQ(c.os, proxy->GetOSVersion());
    EXPECT_EQ(c.platform, proxy->GetPlatform());
    DWORD major = 9, minor = 9;
    WORD sp = 9;
    EXPECT_EQ(c.numbersOk, proxy->GetVersionNumbers(major, minor, sp));
    EXPECT_EQ(c.major, major);
    EXPECT_EQ(c.minor, minor);
    EXPECT_EQ(c.sp, sp);
    DWORD os = 9, platform = 9;
    EXPECT_EQ(c.os != 0, proxy->GetOSInfo(os, platform));
    EXPECT_EQ(c.os, os);
    EXPECT_EQ(c.platform, platform);
}

INSTANTIATE_TEST_SUITE_P(
    Versions, OSDetection,
    ::testing::Values(
        VersionCase{"Win10", L"10.0.100.1", 2, 0, 0, 11, 1, 10, 0, 0, true},
        VersionCase{"Win7SP1", L"6.1.760.1", 2, 0, 1, 8, 1, 6, 1, 1, true},
        VersionCase{"Win7", L"6.1.7600", 2, 0, 0, 8, 1, 6, 1, 0, true},
        VersionCase{"VistaSP2", L"6.0.6002", 2, 0, 2, 7, 1, 6, 0, 2, true},
        VersionCase{"Win8", L"6.2.9200", 2, 0, 0, 9, 1, 6, 2, 0, true},
        VersionCase{"Win81", L"6.3.9600", 2, 0, 0, 10, 1, 6, 3, 0, true},
        VersionCase{"Six4", L"6.4", 2, 0, 0, 10, 1, 6, 4, 0, true},
        VersionCase{"Win2000SP4", L"5.0.2195", 2, 0, 4, 4, 0, 5, 0, 4, true},
        VersionCase{"XPSP3", L"5.1.2600", 2, 0, 3, 6, 1, 5, 1, 3, true},
        VersionCase{"Server2003SP2", L"5.2.3790", 2, 0, 2, 6, 1, 5, 2, 2, true},
        VersionCase{"XPSP5NotProbed", L"5.1", 2, 0, 5, 6, 1, 5, 1, 0, true},
        VersionCase{"NT4", L"4.0.1381", 2, 0, 6, 3, 0, 4, 0, 0, true},
        VersionCase{"Eleven", L"11.0.1", 2, 0, 0, 12, 1, 11, 0, 0, false},
        VersionCase{"Seven", L"7.0", 2, 0, 0, 12, 1, 7, 0, 0, false},
        VersionCase{"Win95", L"4.0.950", 1, 0, 0, 1, 0, 4, 0, 0, true},
        VersionCase{"Win98", L"4.10.1998", 1, 10, 0, 2, 0, 4, 10, 0, true},
        VersionCase{"Minor51", L"4.51", 1, 51, 0, 2, 0, 4, 51, 0, true},
        VersionCase{"WinME", L"4.90.3000", 1, 90, 0, 5, 0, 4, 90, 0, true},
        VersionCase{"Minor7", L"4.7", 1, 7, 0, 2, 0, 4, 7, 0, true},
        VersionCase{"Minor8", L"4.8", 1, 8, 0, 2, 0, 4, 8, 0, true},
        VersionCase{"Minor99", L"4.99", 1, 99, 0, 5, 0, 4, 99, 0, true},
        VersionCase{"MinorAtLimit", L"4.100", 1, 100, 0, 0, 2, 0, 0, 0, false},
        VersionCase{"MinorBeyond", L"4.200", 1, 200, 0, 0, 2, 0, 0, 0, false},
        VersionCase{"NoPlatform", L"10.0", 0, 0, 0, 0, 2, 0, 0, 0, false},
        // Bad version texts: detection fails, nothing throws.
        VersionCase{"Empty", L"", 2, 0, 0, 0, 2, 0, 0, 0, false},
        VersionCase{"NotANumber", L"abc.1", 2, 0, 0, 0, 2, 0, 0, 0, false},
        VersionCase{"EmptyPart", L"6..1", 2, 0, 0, 0, 2, 0, 0, 0, false},
        VersionCase{"Negative", L"-1.0", 2, 0, 0, 0, 2, 0, 0, 0, false},
        VersionCase{"TooLarge", L"99999999999.0", 2, 0, 0, 0, 2, 0, 0, 0, false},
        VersionCase{"LeadingDigits", L"10abc.0x", 2, 0, 0, 11, 1, 10, 0, 0, true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(OSInfoTest, KernelVersionNumbers) {
    auto proxy = MakeProxy(std::make_shared<FakeSystem>(), L"10.0.100.1.77");
    DWORD v[4] = {9, 9, 9, 9};
    ASSERT_TRUE(proxy->GetKernelVersion(v[0], v[1], v[2], v[3]));
    EXPECT_EQ(10u, v[0]);
    EXPECT_EQ(0u, v[1]);
    EXPECT_EQ(100u, v[2]);
    EXPECT_EQ(1u, v[3]);
    auto failing = MakeProxy(std::make_shared<FakeSystem>(), L"x");
    EXPECT_FALSE(failing->GetKernelVersion(v[0], v[1], v[2], v[3]));
    EXPECT_EQ(0u, v[0] | v[1] | v[2] | v[3]);
}

TEST(OSInfoTest, FailedDetectionIsRetriedAndSuccessIsKept) {
    auto system = std::make_shared<FakeSystem>();
    auto attempts = std::make_shared<int>(0);
    Proxy proxy(FakeVersionAPI(system), [attempts](std::wstring& text) {
        if (++*attempts == 1) return false;
        text = L"6.2";
        return true;
    });
    EXPECT_EQ(0u, proxy.GetOSVersion());
    EXPECT_EQ(9u, proxy.GetOSVersion());
    EXPECT_EQ(9u, proxy.GetOSVersion());
    EXPECT_EQ(2, *attempts);
}

TEST(OSInfoTest, OneDetectionForManyThreads) {
    auto reads = std::make_shared<std::atomic<int>>(0);
    auto proxy = MakeProxy(std::make_shared<FakeSystem>(), L"10.0.1", reads);
    std::vector<std::thread> threads;
    std::atomic<int> right{0};
    for (int k = 0; k < 8; ++k) {
        threads.emplace_back([&] {
            for (int n = 0; n < 100; ++n) {
                if (proxy->GetOSVersion() == 11 && proxy->GetPlatform() == 1) ++right;
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(800, right.load());
    EXPECT_EQ(1, reads->load());
}

TEST(OSInfoTest, ThrowingReaderNeverLeavesTheGuardRunning) {
    auto calls = std::make_shared<int>(0);
    Proxy proxy(FakeVersionAPI(std::make_shared<FakeSystem>()), [calls](std::wstring&) -> bool {
        ++*calls;
        throw std::invalid_argument("not a number");
    });
    EXPECT_EQ(0u, proxy.GetOSVersion());
    EXPECT_EQ(2u, proxy.GetPlatform());
    EXPECT_EQ(2, *calls);
}

TEST(OSInfoTest, WindowsNTThroughTheWrapper) {
    auto system = std::make_shared<FakeSystem>();
    auto proxy = MakeProxy(system, L"10.0");
    EXPECT_TRUE(proxy->IsWindowsNT());
    system->platformId = VER_PLATFORM_WIN32_WINDOWS;
    EXPECT_FALSE(proxy->IsWindowsNT());
}

TEST(OSInfoTest, RealSystem) {
    OSInfoProxy<> proxy;
    EXPECT_TRUE(proxy.IsWindowsNT());
    EXPECT_FALSE(proxy.IsWow64());  // a 64-bit process
    EXPECT_NE(0u, proxy.GetOSVersion());
    EXPECT_EQ(1u, proxy.GetPlatform());
    DWORD v[4];
    EXPECT_TRUE(proxy.GetKernelVersion(v[0], v[1], v[2], v[3]));
    EXPECT_GE(v[0], 5u);
}

}  // namespace
