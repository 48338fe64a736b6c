// Test support for the product plug-ins: a settings manager in memory, an
// unchecked library factory, and copies of the plug-in neighbour with their
// scripting exports.
#pragma once

#include "alerts/src/plugins/AlertPluginLib.h"
#include "framework/settings/SettingsManager.h"
#include "neighbours/plugin/PluginScript.h"

#include <windows.h>

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace Tessil {
class SharedLibrary;
struct LibraryDescriptor;
}  // namespace Tessil

namespace Drem::testing {

// Text properties in memory; every other operation fails. The delete
// subscriptions are run by notifyDeleted, on the caller's thread.
class FakeSettingsManager : public Tessil::SettingsManager {
public:
    void set(const std::wstring& name, const std::wstring& value);
    void erase(const std::wstring& name);
    // Runs the delete callbacks whose prefix starts name.
    void notifyDeleted(const std::wstring& name);
    // While false, getProperty answers false as on a time-out.
    void setAnswering(bool answering);

    std::vector<std::wstring> requestedNames() const;
    std::vector<std::uint64_t> requestTimeouts() const;
    std::vector<std::wstring> subscribedPrefixes() const;
    std::vector<std::wstring> unsubscribedPrefixes() const;

    bool getProperty(const std::wstring& name, std::wstring& value, const std::uint64_t& timeout) override;
    bool subscribeDeleteByPrefix(Tessil::PropertyCallback callback, const std::wstring& prefix) override;
    bool unsubscribeDeleteByPrefix(const std::wstring& prefix) override;

    bool setProperty(const std::wstring&, double, const std::uint64_t&) override { return false; }
    bool setProperty(const std::wstring&, unsigned long, const std::uint64_t&) override { return false; }
    bool setProperty(const std::wstring&, std::uint64_t, const std::uint64_t&) override { return false; }
    bool setProperty(const std::wstring&, unsigned int, const std::uint64_t&) override { return false; }
    bool setProperty(const std::wstring&, std::int64_t, const std::uint64_t&) override { return false; }
    bool setProperty(const std::wstring&, int, const std::uint64_t&) override { return false; }
    bool setProperty(const std::wstring&, bool, const std::uint64_t&) override { return false; }
    bool setProperty(const std::wstring&, const wchar_t*, const std::uint64_t&) override { return false; }
    bool setProperty(const std::wstring&, const std::wstring&, const std::uint64_t&) override { return false; }
    Tessil::PropertyResults setProperties(const Tessil::PropertyValues&, const std::uint64_t&) override {
        return {};
    }
    bool setVolatileProperty(const std::wstring&, double, const std::uint64_t&) override { return false; }
    bool setVolatileProperty(const std::wstring&, unsigned long, const std::uint64_t&) override { return false; }
    bool setVolatileProperty(const std::wstring&, std::uint64_t, const std::uint64_t&) override { return false; }
    bool setVolatileProperty(const std::wstring&, unsigned int, const std::uint64_t&) override { return false; }
    bool setVolatileProperty(const std::wstring&, std::int64_t, const std::uint64_t&) override { return false; }
    bool setVolatileProperty(const std::wstring&, int, const std::uint64_t&) override { return false; }
    bool setVolatileProperty(const std::wstring&, bool, const std::uint64_t&) override { return false; }
    bool setVolatileProperty(const std::wstring&, const wchar_t*, const std::uint64_t&) override { return false; }
    bool setVolatileProperty(const std::wstring&, const std::wstring&, const std::uint64_t&) override {
        return false;
    }
    Tessil::PropertyResults setVolatileProperties(const Tessil::PropertyValues&, const std::uint64_t&) override {
        return {};
    }
    bool getProperty(const std::wstring&, double&, const std::uint64_t&) override { return false; }
    bool getProperty(const std::wstring&, unsigned long&, const std::uint64_t&) override { return false; }
    bool getProperty(const std::wstring&, std::uint64_t&, const std::uint64_t&) override { return false; }
    bool getProperty(const std::wstring&, unsigned int&, const std::uint64_t&) override { return false; }
    bool getProperty(const std::wstring&, std::int64_t&, const std::uint64_t&) override { return false; }
    bool getProperty(const std::wstring&, int&, const std::uint64_t&) override { return false; }
    bool getProperty(const std::wstring&, bool&, const std::uint64_t&) override { return false; }
    Tessil::PropertyResults getProperties(const std::vector<std::wstring>&, Tessil::PropertyValues&,
                                          const std::uint64_t&) override {
        return {};
    }
    bool getPropertiesByPrefix(const std::vector<std::wstring>&, Tessil::PropertyValues&,
                               const std::uint64_t&) override {
        return false;
    }
    bool getPropertiesByPrefix(const std::wstring&, Tessil::PropertyValues&, const std::uint64_t&) override {
        return false;
    }
    bool removeProperty(const std::wstring&, const std::uint64_t&) override { return false; }
    Tessil::PropertyResults removeProperties(const std::vector<std::wstring>&, const std::uint64_t&) override {
        return {};
    }
    Tessil::PropertyResults removePropertiesByPrefix(const std::vector<std::wstring>&,
                                                     const std::uint64_t&) override {
        return {};
    }
    bool removePropertiesByPrefix(const std::wstring&, const std::uint64_t&) override { return false; }
    bool subscribePropertySet(Tessil::PropertyCallback, const std::wstring&) override { return false; }
    bool subscribePropertySet(Tessil::PropertyCallback) override { return false; }
    bool subscribeSetByPrefix(Tessil::PropertyValueCallback, const std::wstring&) override { return false; }
    bool unsubscribeSetByPrefix(const std::wstring&) override { return false; }
    bool subscribePropertyRemoved(Tessil::PropertyCallback, const std::wstring&) override { return false; }
    bool subscribePropertyRemoved(Tessil::PropertyCallback) override { return false; }

private:
    mutable std::mutex mutex_;
    std::map<std::wstring, std::wstring> properties_;                 // guarded by mutex_
    std::map<std::wstring, Tessil::PropertyCallback> deleteCallbacks_;  // guarded by mutex_
    std::vector<std::wstring> requested_;                             // guarded by mutex_
    std::vector<std::uint64_t> timeouts_;                             // guarded by mutex_
    std::vector<std::wstring> subscribed_;                            // guarded by mutex_
    std::vector<std::wstring> unsubscribed_;                          // guarded by mutex_
    bool answering_ = true;                                           // guarded by mutex_
};

// Builds libraries that load without the signature check (the checked road
// has tests of its own).
std::shared_ptr<Tessil::SharedLibrary> makeUncheckedLibrary(const Tessil::LibraryDescriptor& descriptor);

// The registration value {"pluginPath": folder, "pluginFile": file}.
std::wstring registration(const std::wstring& folder, const std::wstring& file);

// The folder of the running test program.
std::wstring programFolder();

// A folder of this process's own under the temporary folder, removed with
// everything in it at destruction.
class TempFolder {
public:
    TempFolder();
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    const std::wstring& path() const { return path_; }

private:
    std::wstring path_;
};

// A copy of the plug-in neighbour (TestPlugin.dll beside the test program)
// as folder\fileName. Held loaded, the copy keeps its script and counters
// while the code under test loads and frees it; a copy not held is scripted
// only while someone else has it loaded.
class PluginCopy {
public:
    PluginCopy(const std::wstring& folder, const std::wstring& fileName, bool hold = true);
    ~PluginCopy();
    PluginCopy(const PluginCopy&) = delete;
    PluginCopy& operator=(const PluginCopy&) = delete;

    bool ok() const { return copied_ && (!hold_ || held_ != nullptr); }
    const std::wstring& path() const { return path_; }
    // Whether the copy is loaded in this process now.
    bool loaded() const;

    void reset();
    void setCreateObjectNull(bool on);
    void setEntryMissing(int entry, bool on);
    void setStatus(int entry, std::uint32_t status);
    void setProcessed(int mode, const wchar_t* text = nullptr);
    void setReason(int mode, const wchar_t* text = nullptr);
    void setSuppress(bool write, std::int32_t value);
    void setContent(const wchar_t* viewerId, int mode, const wchar_t* text = nullptr);
    void setHold(int entry, std::uint32_t ms);
    std::uint32_t counter(int counter) const;
    std::vector<std::wstring> journal() const;
    // The journal's lines cut at their first space.
    std::vector<std::wstring> calls() const;

private:
    template <typename Function>
    Function script(const char* name) const;

    std::wstring path_;
    bool hold_;
    bool copied_ = false;
    HMODULE held_ = nullptr;  // owned: one reference, freed at destruction
};

}  // namespace Drem::testing
