// Kelmora::internal::OSInfoProxy<Api>: the Windows version as a small
// number, the platform flag, the service pack, the kernel library's version
// and the WOW64 state, detected once per object. Api is
// Kelmora::WinOSVersionAPI or a test's own class with the same operation.
#pragma once

#include "platform/wrappers/WinOSVersionAPI.h"

#include <windows.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>

namespace Kelmora::internal {

// Fills text with the kernel library's "ProductVersion"; false when absent.
using ProductVersionReader = std::function<bool(std::wstring& text)>;

// The default reader: a SystemFileVersionInfo on "kernel32.dll".
bool ReadKernelProductVersion(std::wstring& text);

// Splits at "." keeping empty parts and converts the first up to four as
// unsigned decimal numbers (leading digits). False, never an exception, for
// no parts or a part that is not a number (empty, a sign, out of range).
bool ParseKernelVersion(const std::wstring& text, DWORD (&numbers)[4]);

// OS numbers: 1 95, 2 98, 3 NT4, 4 2000, 5 ME, 6 XP, 7 Vista, 8 7, 9 8,
// 10 8.1, 11 10, 12 unknown; 0 not detected. Platforms: 0 win32, 1 x64,
// 2 unknown.
template <typename Api = WinOSVersionAPI>
class OSInfoProxy {
public:
    class _Impl {
    public:
        _Impl(Api* api, ProductVersionReader reader)
            : versionApi(api), reader_(reader ? std::move(reader) : ReadKernelProductVersion) {}
        virtual bool ReadKernelVersion() {  // 0
            std::wstring text;
            return reader_(text) && ParseKernelVersion(text, kernelVersion);
        }
        virtual ~_Impl() = default;

        // The once guard: true when a detection has succeeded.
        bool EnsureDetected() {
            for (;;) {
                int state = 0;
                if (onceState.compare_exchange_strong(state, 1)) {
                    bool ok = false;
                    try {
                        ok = Detect();
                    } catch (...) {
                        ok = false;  // never left in state 1: the others would spin for ever
                    }
                    onceState.store(ok ? 2 : 0);
                    return ok;
                }
                if (state == 2) {
                    return true;
                }
                std::this_thread::yield();
            }
        }

        std::atomic<int> onceState{0};
        DWORD detected = 0;
        DWORD major = 0;
        DWORD minor = 0;
        WORD servicePack = 0;
        DWORD kernelVersion[4] = {};
        DWORD osNumber = 0;
        DWORD platform = 0;
        Api* versionApi;

    private:
        bool Verify(OSVERSIONINFOEXW& info, DWORD type, BYTE condition) {
            info.dwOSVersionInfoSize = sizeof(info);
            return versionApi->VerifyVersionInfoW(&info, type,
                                                  VerSetConditionMask(0, type, condition)) != FALSE;
        }
        bool IsPlatform(DWORD id) {
            OSVERSIONINFOEXW info{};
            info.dwPlatformId = id;
            return Verify(info, VER_PLATFORMID, VER_EQUAL);
        }
        bool MinorBelow(DWORD v) {
            OSVERSIONINFOEXW info{};
            info.dwMinorVersion = v;
            return Verify(info, VER_MINORVERSION, VER_LESS);
        }
        WORD ProbeServicePack(WORD from) {
            for (WORD k = from; k >= 1; --k) {
                OSVERSIONINFOEXW info{};
                info.wServicePackMajor = k;
                if (Verify(info, VER_SERVICEPACKMAJOR, VER_EQUAL)) {
                    return k;
                }
            }
            return 0;
        }
        DWORD FindMinor(DWORD limit) {
            DWORD v = 8;
            const DWORD top = (limit + 7) / 8 * 8;
            bool stopped = false;
            for (; v <= top; v += 8) {
                if (MinorBelow(v)) {
                    stopped = true;
                    break;
                }
            }
            if (!stopped) {
                return limit;
            }
            v -= 4;
            for (DWORD step : {2u, 1u}) {
                v = MinorBelow(v) ? v - step : v + step;
            }
            OSVERSIONINFOEXW info{};
            info.dwMinorVersion = v;
            return Verify(info, VER_MINORVERSION, VER_EQUAL) ? v : v - 1;
        }
        bool Detect() {
            if (!ReadKernelVersion()) {
                return false;
            }
            if (IsPlatform(VER_PLATFORM_WIN32_WINDOWS)) {
                const DWORD found = FindMinor(100);
                if (found == 100) {
                    return false;
                }
                major = 4;
                minor = found;
                servicePack = 0;
                platform = 0;
                osNumber = found == 0 ? 1 : (found < 90 ? 2 : 5);
            } else if (IsPlatform(VER_PLATFORM_WIN32_NT)) {
                const DWORD kMajor = kernelVersion[0];
                const DWORD kMinor = kernelVersion[1];
                WORD probeFrom = 0;
                platform = 1;
                if (kMajor <= 4) {
                    osNumber = 3;
                    platform = 0;
                } else if (kMajor == 5) {
                    osNumber = kMinor == 0 ? 4 : 6;
                    platform = kMinor == 0 ? 0 : 1;
                    probeFrom = kMinor == 0 ? 4 : 3;
                } else if (kMajor == 6) {
                    osNumber = kMinor == 0 ? 7 : kMinor == 1 ? 8 : kMinor == 2 ? 9 : 10;
                    probeFrom = kMinor == 0 ? 2 : kMinor == 1 ? 1 : 0;
                } else if (kMajor == 10) {
                    osNumber = 11;
                } else {
                    osNumber = 12;
                }
                major = kMajor;
                minor = kMinor;
                servicePack = ProbeServicePack(probeFrom);
            } else {
                return false;
            }
            detected = 1;
            return true;
        }

        ProductVersionReader reader_;
    };

    OSInfoProxy() : OSInfoProxy(Api()) {}
    // A test passes its own version API and kernel-version reader.
    explicit OSInfoProxy(Api api, ProductVersionReader reader = {})
        : api_(std::move(api)), impl_(std::make_shared<_Impl>(&api_, std::move(reader))) {}
    OSInfoProxy(const OSInfoProxy&) = delete;
    OSInfoProxy& operator=(const OSInfoProxy&) = delete;

    virtual ~OSInfoProxy() = default;                                        // 0
    virtual DWORD GetOSVersion() {                                           // 1
        return impl_->EnsureDetected() ? impl_->osNumber : 0;
    }
    virtual DWORD GetPlatform() {                                            // 2
        return impl_->EnsureDetected() ? impl_->platform : 2;
    }
    virtual bool GetVersionNumbers(DWORD& major, DWORD& minor, WORD& servicePack) {  // 3
        major = minor = 0;
        servicePack = 0;
        if (!impl_->EnsureDetected()) {
            return false;
        }
        major = impl_->major;
        minor = impl_->minor;
        servicePack = impl_->servicePack;
        return impl_->osNumber != 12;
    }
    virtual bool GetOSInfo(DWORD& osNumber, DWORD& platform) {               // 4
        osNumber = 0;
        platform = 2;
        if (!impl_->EnsureDetected()) {
            return false;
        }
        osNumber = impl_->osNumber;
        platform = impl_->platform;
        return true;
    }
    virtual bool IsWow64() {                                                 // 5
        using IsWow64ProcessFn = BOOL(WINAPI*)(HANDLE, PBOOL);
        HMODULE kernel = GetModuleHandleW(L"kernel32");
        auto isWow64 = kernel == nullptr ? nullptr
                                         : reinterpret_cast<IsWow64ProcessFn>(reinterpret_cast<void*>(
                                               GetProcAddress(kernel, "IsWow64Process")));
        BOOL flag = FALSE;
        if (isWow64 == nullptr || !isWow64(GetCurrentProcess(), &flag)) {
            return false;
        }
        return flag != FALSE;
    }
    virtual bool IsWindowsNT() {                                             // 6
        OSVERSIONINFOEXW info{};
        info.dwOSVersionInfoSize = sizeof(info);
        info.dwPlatformId = VER_PLATFORM_WIN32_NT;
        return api_.VerifyVersionInfoW(&info, VER_PLATFORMID,
                                       VerSetConditionMask(0, VER_PLATFORMID, VER_EQUAL)) != FALSE;
    }
    virtual bool GetKernelVersion(DWORD& a, DWORD& b, DWORD& c, DWORD& d) {  // 7
        a = b = c = d = 0;
        if (!impl_->EnsureDetected()) {
            return false;
        }
        a = impl_->kernelVersion[0];
        b = impl_->kernelVersion[1];
        c = impl_->kernelVersion[2];
        d = impl_->kernelVersion[3];
        return true;
    }

private:
    Api api_;
    std::shared_ptr<_Impl> impl_;
};

}  // namespace Kelmora::internal
