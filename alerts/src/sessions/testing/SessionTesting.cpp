#include "alerts/src/sessions/testing/SessionTesting.h"

#include <chrono>
#include <cstdlib>
#include <cstring>

namespace Drem::testing {

namespace {

LONGLONG nowTicks() {
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    ULARGE_INTEGER ticks{};
    ticks.LowPart = now.dwLowDateTime;
    ticks.HighPart = now.dwHighDateTime;
    return static_cast<LONGLONG>(ticks.QuadPart);
}

}  // namespace

void FakeTerminalServices::setSessions(const std::vector<std::pair<DWORD, WTS_CONNECTSTATE_CLASS>>& sessions) {
    std::lock_guard<std::mutex> lock(mutex_);
    sessions_ = sessions;
}

void FakeTerminalServices::setActive(DWORD sessionId) {
    std::lock_guard<std::mutex> lock(mutex_);
    sessions_ = {{0, WTSDisconnected}};
    if (sessionId != 0) {
        sessions_.push_back({sessionId, WTSActive});
    }
}

void FakeTerminalServices::failEnumeration(DWORD error) {
    std::lock_guard<std::mutex> lock(mutex_);
    enumerationError_ = error;
}

void FakeTerminalServices::setLoggedOnSecondsAgo(DWORD sessionId, std::uint64_t secondsAgo) {
    std::lock_guard<std::mutex> lock(mutex_);
    loggedOnAgo_[sessionId] = secondsAgo;
}

void FakeTerminalServices::failSessionInfo(DWORD error) {
    std::lock_guard<std::mutex> lock(mutex_);
    infoError_ = error;
}

void FakeTerminalServices::setSessionInfoSize(DWORD bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    infoSize_ = bytes;
}

void FakeTerminalServices::setOnEnumerate(std::function<void()> hook) {
    std::lock_guard<std::mutex> lock(mutex_);
    onEnumerate_ = std::move(hook);
}

BOOL FakeTerminalServices::EnumerateSessions(WTS_SESSION_INFOW** sessions, DWORD* count) {
    std::function<void()> hook;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        hook = onEnumerate_;
    }
    if (hook) {
        hook();
    }
    std::lock_guard<std::mutex> lock(mutex_);
    ++enumerations_;
    enumerated_.notify_all();
    if (enumerationError_ != 0) {
        SetLastError(enumerationError_);
        return FALSE;
    }
    auto* list = static_cast<WTS_SESSION_INFOW*>(
        std::calloc(sessions_.size() + 1, sizeof(WTS_SESSION_INFOW)));
    for (std::size_t i = 0; i < sessions_.size(); ++i) {
        list[i].SessionId = sessions_[i].first;
        list[i].State = sessions_[i].second;
    }
    ++outstanding_;
    *sessions = list;
    *count = static_cast<DWORD>(sessions_.size());
    return TRUE;
}

BOOL FakeTerminalServices::QuerySessionInformation(DWORD sessionId, WTS_INFO_CLASS, LPWSTR* buffer,
                                                   DWORD* bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (infoError_ != 0) {
        SetLastError(infoError_);
        return FALSE;
    }
    auto* info = static_cast<WTSINFOW*>(std::calloc(1, sizeof(WTSINFOW) + 64));
    const LONGLONG now = nowTicks();
    auto it = loggedOnAgo_.find(sessionId);
    const std::uint64_t ago = it == loggedOnAgo_.end() ? 3600 : it->second;
    info->SessionId = sessionId;
    info->CurrentTime.QuadPart = now;
    info->LogonTime.QuadPart = now - static_cast<LONGLONG>(ago * 10000000ull);
    ++outstanding_;
    *buffer = reinterpret_cast<LPWSTR>(info);
    *bytes = infoSize_;
    return TRUE;
}

void FakeTerminalServices::FreeMemory(void* memory) {
    std::lock_guard<std::mutex> lock(mutex_);
    --outstanding_;
    std::free(memory);
}

std::size_t FakeTerminalServices::enumerations() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return enumerations_;
}

bool FakeTerminalServices::waitForEnumerations(std::size_t count, DWORD timeoutMs) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return enumerated_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                [&] { return enumerations_ >= count; });
}

int FakeTerminalServices::outstanding() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return outstanding_;
}

FakeDispatcher::FakeDispatcher(std::shared_ptr<ViewerRegistrar> viewers,
                               std::shared_ptr<PluginRegistrar> plugins,
                               std::shared_ptr<Tessil::MessageBus> bus)
    : AlertDispatcher(std::move(viewers), std::move(plugins), std::move(bus)) {}

FakeDispatcher::~FakeDispatcher() {
    std::lock_guard<std::mutex> lock(mutex_);
    closing_ = true;
    changed_.notify_all();
}

bool FakeDispatcher::process(Alert&) {
    std::lock_guard<std::mutex> lock(mutex_);
    return processResult_;
}

bool FakeDispatcher::show(std::shared_ptr<Alert> alert) {
    std::unique_lock<std::mutex> lock(mutex_);
    shown_.push_back(alert ? alert->getAlertInfo().instanceId : L"<none>");
    stoppedUnheld_ = false;
    changed_.notify_all();
    changed_.wait(lock, [this] { return !holdShow_ || interrupted_; });
    if (holdShow_) {
        stoppedUnheld_ = true;
        return false;
    }
    if (!alert || !showResult_) {
        return false;
    }
    current_ = std::move(alert);
    return true;
}

bool FakeDispatcher::wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    waiting_ = true;
    changed_.notify_all();
    changed_.wait(lock, [this] { return !holdWait_ || closing_ || interrupted_; });
    waiting_ = false;
    return waitResult_ && current_ != nullptr && !interrupted_;
}

bool FakeDispatcher::dismissIfShowing(const std::wstring& instanceId) {
    std::lock_guard<std::mutex> lock(mutex_);
    dismissed_.push_back(instanceId);
    if (!current_ || current_->getAlertInfo().instanceId != instanceId) {
        return false;
    }
    current_.reset();
    return dismissResult_;
}

bool FakeDispatcher::dismissCurrent() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++dismissCurrentCalls_;
    const bool had = current_ != nullptr;
    current_.reset();
    return had && dismissResult_;
}

void FakeDispatcher::interrupt() {
    AlertDispatcher::interrupt();
    std::lock_guard<std::mutex> lock(mutex_);
    interrupted_ = true;
    changed_.notify_all();
}

bool FakeDispatcher::lastShowStoppedUnheld() {
    std::lock_guard<std::mutex> lock(mutex_);
    return stoppedUnheld_;
}

void FakeDispatcher::holdShow(bool hold) {
    std::lock_guard<std::mutex> lock(mutex_);
    holdShow_ = hold;
    changed_.notify_all();
}

bool FakeDispatcher::interrupted() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return interrupted_;
}

void FakeDispatcher::setProcessResult(bool queued) {
    std::lock_guard<std::mutex> lock(mutex_);
    processResult_ = queued;
}

void FakeDispatcher::setShowResult(bool shown) {
    std::lock_guard<std::mutex> lock(mutex_);
    showResult_ = shown;
}

void FakeDispatcher::setWaitResult(bool waited) {
    std::lock_guard<std::mutex> lock(mutex_);
    waitResult_ = waited;
}

void FakeDispatcher::setDismissResult(bool dismissed) {
    std::lock_guard<std::mutex> lock(mutex_);
    dismissResult_ = dismissed;
}

void FakeDispatcher::holdWait(bool hold) {
    std::lock_guard<std::mutex> lock(mutex_);
    holdWait_ = hold;
    changed_.notify_all();
}

std::vector<std::wstring> FakeDispatcher::shown() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return shown_;
}

bool FakeDispatcher::waitForShown(std::size_t count, DWORD timeoutMs) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [&] { return shown_.size() >= count; });
}

bool FakeDispatcher::waitForWaiting(DWORD timeoutMs) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return waiting_; });
}

std::vector<std::wstring> FakeDispatcher::dismissedInstances() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return dismissed_;
}

int FakeDispatcher::dismissCurrentCalls() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return dismissCurrentCalls_;
}

}  // namespace Drem::testing
