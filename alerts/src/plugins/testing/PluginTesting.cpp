#include "alerts/src/plugins/testing/PluginTesting.h"

#include "framework/json/JSONFormatter.h"
#include "platform/dll/DllAPI.h"
#include "platform/dll/DllLoader.h"
#include "platform/dll/SharedLibrary.h"

#include <shellapi.h>

#include <atomic>

namespace Drem::testing {

void FakeSettingsManager::set(const std::wstring& name, const std::wstring& value) {
    std::lock_guard<std::mutex> lock(mutex_);
    properties_[name] = value;
}

void FakeSettingsManager::erase(const std::wstring& name) {
    std::lock_guard<std::mutex> lock(mutex_);
    properties_.erase(name);
}

void FakeSettingsManager::notifyDeleted(const std::wstring& name) {
    std::vector<Tessil::PropertyCallback> callbacks;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const auto& [prefix, callback] : deleteCallbacks_) {
            if (name.compare(0, prefix.size(), prefix) == 0) {
                callbacks.push_back(callback);
            }
        }
    }
    for (const auto& callback : callbacks) {
        callback(name);
    }
}

void FakeSettingsManager::setAnswering(bool answering) {
    std::lock_guard<std::mutex> lock(mutex_);
    answering_ = answering;
}

std::vector<std::wstring> FakeSettingsManager::requestedNames() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requested_;
}

std::vector<std::uint64_t> FakeSettingsManager::requestTimeouts() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return timeouts_;
}

std::vector<std::wstring> FakeSettingsManager::subscribedPrefixes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return subscribed_;
}

std::vector<std::wstring> FakeSettingsManager::unsubscribedPrefixes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return unsubscribed_;
}

bool FakeSettingsManager::getProperty(const std::wstring& name, std::wstring& value, const std::uint64_t& timeout) {
    std::lock_guard<std::mutex> lock(mutex_);
    requested_.push_back(name);
    timeouts_.push_back(timeout);
    auto it = properties_.find(name);
    if (!answering_ || it == properties_.end()) {
        return false;
    }
    value = it->second;
    return true;
}

bool FakeSettingsManager::subscribeDeleteByPrefix(Tessil::PropertyCallback callback, const std::wstring& prefix) {
    std::lock_guard<std::mutex> lock(mutex_);
    subscribed_.push_back(prefix);
    deleteCallbacks_[prefix] = std::move(callback);
    return true;
}

bool FakeSettingsManager::unsubscribeDeleteByPrefix(const std::wstring& prefix) {
    std::lock_guard<std::mutex> lock(mutex_);
    unsubscribed_.push_back(prefix);
    return deleteCallbacks_.erase(prefix) != 0;
}

namespace {

class UncheckedDllAPI : public Tessil::DllAPI {
public:
    bool loadLibrary(const std::wstring& path, HMODULE* out) override {
        *out = LoadLibraryW(path.c_str());
        return *out != nullptr;
    }
};

}  // namespace

std::shared_ptr<Tessil::SharedLibrary> makeUncheckedLibrary(const Tessil::LibraryDescriptor& descriptor) {
    return std::make_shared<Tessil::SharedLibrary>(
        descriptor, std::make_shared<Tessil::DllLoader>(std::make_shared<UncheckedDllAPI>()));
}

std::wstring registration(const std::wstring& folder, const std::wstring& file) {
    Tessil::JSONFormatter value;
    value.setString(L"pluginPath", folder);
    value.setString(L"pluginFile", file);
    return value.toString();
}

std::wstring programFolder() {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder = path;
    return folder.substr(0, folder.rfind(L'\\'));
}

TempFolder::TempFolder() {
    static std::atomic<unsigned> counter{0};
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    path_ = std::wstring(temp) + L"vt-plugins-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
            std::to_wstring(GetTickCount64()) + L"-" + std::to_wstring(++counter);
    CreateDirectoryW(path_.c_str(), nullptr);
}

TempFolder::~TempFolder() {
    // SHFileOperation wants a list ended by two zeros.
    std::wstring from = path_ + L'\0';
    SHFILEOPSTRUCTW operation{};
    operation.wFunc = FO_DELETE;
    operation.pFrom = from.c_str();
    operation.fFlags = FOF_NO_UI;
    SHFileOperationW(&operation);
}

PluginCopy::PluginCopy(const std::wstring& folder, const std::wstring& fileName, bool hold)
    : path_(folder + L"\\" + fileName), hold_(hold) {
    copied_ = CopyFileW((programFolder() + L"\\TestPlugin.dll").c_str(), path_.c_str(), FALSE) != FALSE;
    if (copied_ && hold_) {
        held_ = LoadLibraryW(path_.c_str());
    }
}

PluginCopy::~PluginCopy() {
    if (held_ != nullptr) {
        FreeLibrary(held_);
    }
}

bool PluginCopy::loaded() const { return GetModuleHandleW(path_.c_str()) != nullptr; }

template <typename Function>
Function PluginCopy::script(const char* name) const {
    HMODULE module = held_ != nullptr ? held_ : GetModuleHandleW(path_.c_str());
    if (module == nullptr) {
        return nullptr;
    }
    return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

void PluginCopy::reset() {
    if (auto f = script<VtPluginScript_Reset_t>("VtPluginScript_Reset")) f();
}

void PluginCopy::setCreateObjectNull(bool on) {
    if (auto f = script<VtPluginScript_SetCreateObjectNull_t>("VtPluginScript_SetCreateObjectNull")) f(on);
}

void PluginCopy::setEntryMissing(int entry, bool on) {
    if (auto f = script<VtPluginScript_SetEntryMissing_t>("VtPluginScript_SetEntryMissing")) f(entry, on);
}

void PluginCopy::setStatus(int entry, std::uint32_t status) {
    if (auto f = script<VtPluginScript_SetStatus_t>("VtPluginScript_SetStatus")) f(entry, status);
}

void PluginCopy::setProcessed(int mode, const wchar_t* text) {
    if (auto f = script<VtPluginScript_SetProcessed_t>("VtPluginScript_SetProcessed")) f(mode, text);
}

void PluginCopy::setReason(int mode, const wchar_t* text) {
    if (auto f = script<VtPluginScript_SetReason_t>("VtPluginScript_SetReason")) f(mode, text);
}

void PluginCopy::setSuppress(bool write, std::int32_t value) {
    if (auto f = script<VtPluginScript_SetSuppress_t>("VtPluginScript_SetSuppress")) f(write, value);
}

void PluginCopy::setContent(const wchar_t* viewerId, int mode, const wchar_t* text) {
    if (auto f = script<VtPluginScript_SetContent_t>("VtPluginScript_SetContent")) f(viewerId, mode, text);
}

void PluginCopy::setHold(int entry, std::uint32_t ms) {
    if (auto f = script<VtPluginScript_SetHold_t>("VtPluginScript_SetHold")) f(entry, ms);
}

std::uint32_t PluginCopy::counter(int which) const {
    auto f = script<VtPluginScript_Counter_t>("VtPluginScript_Counter");
    return f != nullptr ? f(which) : 0;
}

std::vector<std::wstring> PluginCopy::journal() const {
    std::vector<std::wstring> lines;
    auto count = script<VtPluginScript_JournalCount_t>("VtPluginScript_JournalCount");
    auto entry = script<VtPluginScript_JournalEntry_t>("VtPluginScript_JournalEntry");
    if (count == nullptr || entry == nullptr) {
        return lines;
    }
    for (std::uint32_t i = 0, n = count(); i < n; ++i) {
        std::wstring line(entry(i, nullptr, 0), L'\0');
        entry(i, line.data(), static_cast<std::uint32_t>(line.size() + 1));
        lines.push_back(std::move(line));
    }
    return lines;
}

std::vector<std::wstring> PluginCopy::calls() const {
    std::vector<std::wstring> names;
    for (const std::wstring& line : journal()) {
        names.push_back(line.substr(0, line.find(L' ')));
    }
    return names;
}

}  // namespace Drem::testing
