// Asks whether the suite's updater is updating a package: the updater holds
// a named event for as long as the update runs.
#pragma once

#include <windows.h>

#include <memory>
#include <string>

// The kernel-object calls of the test; tests replace them.
class UpdateEventAPI {
public:
    virtual ~UpdateEventAPI() = default;
    virtual HANDLE OpenEventW(DWORD access, BOOL inherit, const wchar_t* name);
    virtual BOOL CloseHandle(HANDLE handle);
};

class CCvUpdateMgr_Helper {
public:
    static constexpr std::size_t kPackageCapacity = 260;  // terminator included

    // The package name is cut to fit; an empty api becomes the real calls.
    explicit CCvUpdateMgr_Helper(const wchar_t* package = L"default",
                                 std::shared_ptr<UpdateEventAPI> api = nullptr);
    ~CCvUpdateMgr_Helper();
    CCvUpdateMgr_Helper(const CCvUpdateMgr_Helper&) = delete;
    CCvUpdateMgr_Helper& operator=(const CCvUpdateMgr_Helper&) = delete;

    // Not supported here: E_NOTIMPL.
    virtual HRESULT CancelUpdate();
    virtual HRESULT CancelUpdate2(BOOL* sent);
    // running = whether the package's event exists; E_POINTER for a null pointer.
    virtual HRESULT IsUpdateRunning(BOOL* running);
    // Not supported here: E_NOTIMPL.
    virtual HRESULT IsUpdateRunning2(BOOL* running, DWORD* phase);
    virtual HRESULT IsRestartPending(BOOL* pending);
    virtual HRESULT RemindRestart();

    // "Global\{834C46D9-6762-4FF9-8279-2C04C8B1162C}" + package, at most 259 characters.
    std::wstring eventName() const;

private:
    wchar_t package_[kPackageCapacity];
    std::shared_ptr<UpdateEventAPI> api_;
};
