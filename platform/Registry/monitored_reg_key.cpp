#include "platform/Registry/monitored_reg_key.h"

#include "platform/Logging/internal_logging.h"

#include <exception>

namespace Kelmora {

namespace {

void CloseEvent(HANDLE event) {
    if (event != nullptr && event != INVALID_HANDLE_VALUE) {
        CloseHandle(event);
    }
}

}  // namespace

monitored_reg_key::monitored_reg_key() : key_(std::make_unique<CRegKey>()) {}

monitored_reg_key::~monitored_reg_key() {
    Stop();
    CloseEvent(changeEvent_.exchange(nullptr));
    CloseEvent(stopEvent_);
    stopEvent_ = nullptr;
    callback_ = nullptr;
    key_.reset();
}

LONG monitored_reg_key::Create(HKEY parent, const wchar_t* subKey, wchar_t* keyClass,
                               DWORD options, REGSAM access, SECURITY_ATTRIBUTES* attributes,
                               DWORD* disposition) {
    StopAndClose();
    return key_->Create(parent, subKey, keyClass, options, access, attributes, disposition);
}

LONG monitored_reg_key::Open(HKEY parent, const wchar_t* subKey, REGSAM access) {
    StopAndClose();
    return key_->Open(parent, subKey, access);
}

LONG monitored_reg_key::Close() {
    Stop();
    return key_->Close();
}

LONG monitored_reg_key::StopAndClose() {
    Stop();
    return Close();
}

bool monitored_reg_key::Start(std::function<void()> callback, bool watchSubtree,
                              DWORD notifyFilter) {
    Stop();
    if (key_->Key() == nullptr || !callback || watcher_.joinable()) {
        return false;
    }
    callback_ = std::move(callback);
    CloseEvent(stopEvent_);
    stopEvent_ = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    CloseEvent(changeEvent_.exchange(CreateEventW(nullptr, FALSE, FALSE, nullptr)));
    armedEvent_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    const HANDLE armed = armedEvent_;
    watcher_ = std::thread([this, armed, watchSubtree, notifyFilter] {
        registry_callback_thread(watchSubtree, notifyFilter);
        if (armed != nullptr) {
            SetEvent(armed);  // a body that ended before arming
        }
    });
    if (armed != nullptr) {
        WaitForSingleObject(armed, INFINITE);
    }
    return true;
}

bool monitored_reg_key::Stop() {
    if (stopEvent_ != nullptr) {
        SetEvent(stopEvent_);
    }
    // A watcher that re-arms now gets no event and ends.
    HANDLE change = changeEvent_.exchange(nullptr);
    if (watcher_.joinable()) {
        watcher_.join();
    }
    CloseEvent(change);
    CloseEvent(stopEvent_);
    stopEvent_ = nullptr;
    CloseEvent(armedEvent_);
    armedEvent_ = nullptr;
    return true;
}

DWORD monitored_reg_key::registry_callback_thread(bool watchSubtree, DWORD notifyFilter) {
    // The handles as they were when the thread started; Stop closes them
    // only after joining this thread.
    const HANDLE events[2] = {stopEvent_, changeEvent_.load()};
    HANDLE armed = armedEvent_;
    for (;;) {
        const LONG result = key_->NotifyChangeKeyValue(watchSubtree ? TRUE : FALSE, notifyFilter,
                                                       changeEvent_.load(), TRUE);
        if (armed != nullptr) {
            SetEvent(armed);  // Start may return now
            armed = nullptr;
        }
        if (result != ERROR_SUCCESS) {
            return GetLastError();
        }
        const DWORD wait = WaitForMultipleObjects(2, events, FALSE, INFINITE);
        if (wait != WAIT_OBJECT_0 + 1 || !callback_) {
            return GetLastError();
        }
        try {
            callback_();
        } catch (const std::exception& e) {
            CLogger::Log(kLogTypeError, L"Registry\\monitored_reg_key",
                         L"Kelmora::monitored_reg_key::registry_callback_thread", 183,
                         L"STL exception caught while invoking registry key monitor callback: %hs.",
                         e.what());
        } catch (...) {
            CLogger::Log(kLogTypeError, L"Registry\\monitored_reg_key",
                         L"Kelmora::monitored_reg_key::registry_callback_thread", 187,
                         L"Unexpected exception caught while invoking registry key monitor callback.");
        }
    }
}

}  // namespace Kelmora
