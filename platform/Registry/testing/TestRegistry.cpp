#include "platform/Registry/testing/TestRegistry.h"

#include <atomic>

namespace Kelmora::testing {

std::wstring UniqueName(const std::wstring& prefix) {
    static std::atomic<unsigned> counter{0};
    return prefix + L"-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
           std::to_wstring(GetTickCount64()) + L"-" + std::to_wstring(counter++);
}

PrivateHklm::PrivateHklm() : path_(L"Software\\VantrelTests\\" + UniqueName(L"hklm")) {
    if (RegCreateKeyExW(HKEY_CURRENT_USER, path_.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_ALL_ACCESS, nullptr, &root_, nullptr) != ERROR_SUCCESS) {
        root_ = nullptr;
        return;
    }
    ok_ = RegOverridePredefKey(HKEY_LOCAL_MACHINE, root_) == ERROR_SUCCESS;
}

PrivateHklm::~PrivateHklm() {
    RegOverridePredefKey(HKEY_LOCAL_MACHINE, nullptr);
    if (root_ != nullptr) {
        RegCloseKey(root_);
        RegDeleteTreeW(HKEY_CURRENT_USER, path_.c_str());
        RegDeleteKeyW(HKEY_CURRENT_USER, path_.c_str());
    }
}

RealHklmSoftwareKey::RealHklmSoftwareKey() : path_(L"SOFTWARE\\" + UniqueName(L"VtRegTest")) {}

RealHklmSoftwareKey::~RealHklmSoftwareKey() {
    for (REGSAM view : {KEY_WOW64_64KEY, KEY_WOW64_32KEY}) {
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path_.c_str(), 0, KEY_ALL_ACCESS | view, &key) ==
            ERROR_SUCCESS) {
            RegDeleteTreeW(key, nullptr);
            RegCloseKey(key);
            RegDeleteKeyExW(HKEY_LOCAL_MACHINE, path_.c_str(), view, 0);
        }
    }
}

}  // namespace Kelmora::testing
