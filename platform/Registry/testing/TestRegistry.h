// Test support: a private HKEY_LOCAL_MACHINE for the calling process, and
// per-process names under the real one (for tests of the 32-bit view).
#pragma once

#include <windows.h>

#include <string>

namespace Kelmora::testing {

// A name unique to this process and call: "<prefix>-<pid>-<tick>-<n>".
std::wstring UniqueName(const std::wstring& prefix);

// Redirects HKLM of this process to a fresh non-volatile key under HKCU for
// the object's lifetime, then removes that key again.
class PrivateHklm {
public:
    PrivateHklm();
    ~PrivateHklm();
    PrivateHklm(const PrivateHklm&) = delete;
    PrivateHklm& operator=(const PrivateHklm&) = delete;
    bool ok() const { return ok_; }

private:
    std::wstring path_;
    HKEY root_ = nullptr;
    bool ok_ = false;
};

// Real HKLM\SOFTWARE\<unique> removed from both views at destruction.
class RealHklmSoftwareKey {
public:
    RealHklmSoftwareKey();
    ~RealHklmSoftwareKey();
    RealHklmSoftwareKey(const RealHklmSoftwareKey&) = delete;
    RealHklmSoftwareKey& operator=(const RealHklmSoftwareKey&) = delete;
    // "SOFTWARE\<unique>".
    const std::wstring& path() const { return path_; }

private:
    std::wstring path_;
};

}  // namespace Kelmora::testing
