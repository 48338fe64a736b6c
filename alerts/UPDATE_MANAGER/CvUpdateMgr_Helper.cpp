#include "alerts/UPDATE_MANAGER/include/CvUpdateMgr_Helper.h"

#include "platform/Logging/Logging.h"

#include <cwchar>

namespace {

const wchar_t kSource[] = L"CvUpdateMgr_Helper";
const wchar_t kEventPrefix[] = L"Global\\{834C46D9-6762-4FF9-8279-2C04C8B1162C}";
// Access to open the event with: synchronise and modify state.
constexpr DWORD kEventAccess = 0x100002;

// Owns an event handle opened through the api.
class ScopedEvent {
public:
    ScopedEvent(UpdateEventAPI& api, HANDLE handle) : api_(api), handle_(handle) {}
    ~ScopedEvent() {
        if (handle_ != nullptr) {
            const DWORD lastError = GetLastError();
            api_.CloseHandle(handle_);
            SetLastError(lastError);
        }
    }
    ScopedEvent(const ScopedEvent&) = delete;
    ScopedEvent& operator=(const ScopedEvent&) = delete;
    explicit operator bool() const { return handle_ != nullptr; }

private:
    UpdateEventAPI& api_;
    HANDLE handle_;
};

}  // namespace

HANDLE UpdateEventAPI::OpenEventW(DWORD access, BOOL inherit, const wchar_t* name) {
    return ::OpenEventW(access, inherit, name);
}

BOOL UpdateEventAPI::CloseHandle(HANDLE handle) { return ::CloseHandle(handle); }

CCvUpdateMgr_Helper::CCvUpdateMgr_Helper(const wchar_t* package, std::shared_ptr<UpdateEventAPI> api)
    : api_(api ? std::move(api) : std::make_shared<UpdateEventAPI>()) {
    package_[0] = L'\0';
    if (package != nullptr) {
        const std::size_t length = wcsnlen(package, kPackageCapacity - 1);
        wmemcpy(package_, package, length);
        package_[length] = L'\0';
    }
}

CCvUpdateMgr_Helper::~CCvUpdateMgr_Helper() = default;

std::wstring CCvUpdateMgr_Helper::eventName() const {
    std::wstring name = std::wstring(kEventPrefix) + package_;
    if (name.size() > kPackageCapacity - 1) {
        name.resize(kPackageCapacity - 1);
    }
    return name;
}

HRESULT CCvUpdateMgr_Helper::CancelUpdate() { return E_NOTIMPL; }

HRESULT CCvUpdateMgr_Helper::CancelUpdate2(BOOL*) { return E_NOTIMPL; }

HRESULT CCvUpdateMgr_Helper::IsUpdateRunning(BOOL* running) {
    const wchar_t function[] = L"CCvUpdateMgr_Helper::IsUpdateRunning";
    if (running == nullptr) {
        VT_LOG(ETWLogging::LevelError, kSource, function, L"Invalid parameter!");
        return E_POINTER;
    }
    VT_LOG(ETWLogging::LevelNormal, kSource, function, L"Checking if an update is currently running....");
    const std::wstring name = eventName();
    ScopedEvent event(*api_, api_->OpenEventW(kEventAccess, FALSE, name.c_str()));
    if (event) {
        VT_LOG(ETWLogging::LevelNormal, kSource, function, L"An update is running.");
        *running = TRUE;
    } else {
        VT_LOG(ETWLogging::LevelNormal, kSource, function, L"An update is NOT running.");
        *running = FALSE;
    }
    return S_OK;
}

HRESULT CCvUpdateMgr_Helper::IsUpdateRunning2(BOOL*, DWORD*) { return E_NOTIMPL; }

HRESULT CCvUpdateMgr_Helper::IsRestartPending(BOOL*) { return E_NOTIMPL; }

HRESULT CCvUpdateMgr_Helper::RemindRestart() { return E_NOTIMPL; }
