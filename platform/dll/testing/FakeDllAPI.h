// Test support: a library wrapper over an in-memory set of "libraries".
#pragma once

#include "platform/dll/DllAPI.h"
#include "platform/dll/PathAPI.h"

#include <map>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

namespace Tessil::testing {

// A function's address as GetProcAddress would answer it.
template <typename Function>
FARPROC AsProc(Function* function) {
    return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(function));
}

class FakeDllAPI : public DllAPI {
public:
    struct Library {
        HMODULE module;
        std::map<std::string, FARPROC> exports;
    };

    bool loadLibrary(const std::wstring& path, HMODULE* out) override {
        std::lock_guard<std::mutex> lock(mutex);
        loads.push_back(path);
        events.push_back(L"load " + path);
        if (throwOnLoad) {
            throw std::runtime_error("load");
        }
        auto it = libraries.find(path);
        if (it == libraries.end() || refused.count(path) != 0) {
            return false;
        }
        *out = it->second.module;
        ++references[it->second.module];
        return true;
    }
    FARPROC getProcAddress(HMODULE module, const char* name) override {
        std::lock_guard<std::mutex> lock(mutex);
        if (throwOnLookup) {
            throw std::runtime_error("lookup");
        }
        for (auto& [path, library] : libraries) {
            if (library.module == module) {
                auto e = library.exports.find(name);
                return e == library.exports.end() ? nullptr : e->second;
            }
        }
        return nullptr;
    }
    bool isTrusted(const std::wstring& path) override { return !path.empty(); }
    bool freeLibrary(HMODULE module) override {
        std::lock_guard<std::mutex> lock(mutex);
        frees.push_back(module);
        if (failFree) {
            return false;
        }
        --references[module];
        return true;
    }
    bool getModuleHandleEx(DWORD, const wchar_t* path, HMODULE* out) override {
        std::lock_guard<std::mutex> lock(mutex);
        handleLookups.push_back(path);
        auto it = libraries.find(path);
        if (it == libraries.end() || references[it->second.module] <= 0) {
            return false;
        }
        *out = it->second.module;
        ++references[it->second.module];
        return true;
    }

    HANDLE holdFile(const std::wstring& path) override {
        std::lock_guard<std::mutex> lock(mutex);
        events.push_back(L"hold " + path);
        if (unholdable.count(path) != 0) {
            return INVALID_HANDLE_VALUE;
        }
        return kHold;
    }
    void releaseFile(HANDLE hold) override {
        std::lock_guard<std::mutex> lock(mutex);
        events.push_back(hold == kHold ? L"release" : L"release of an unknown hold");
    }

    // What a hold answers: no real file is opened.
    inline static const HANDLE kHold = reinterpret_cast<HANDLE>(0x4711);

    std::mutex mutex;
    std::map<std::wstring, Library> libraries;
    std::set<std::wstring> unholdable;
    std::vector<std::wstring> events;  // holds, loads and releases in order
    std::set<std::wstring> refused;
    std::map<HMODULE, int> references;
    std::vector<std::wstring> loads;
    std::vector<std::wstring> handleLookups;
    std::vector<HMODULE> frees;
    bool throwOnLoad = false;
    bool throwOnLookup = false;
    bool failFree = false;
};

// A path wrapper whose files are a fixed set; records every existence test.
class FakePathAPI : public PathAPI {
public:
    bool fileExists(const wchar_t* path) override {
        std::wstring text = path != nullptr ? path : L"";
        checked.push_back(text);
        // The file system takes a doubled backslash as one.
        for (std::size_t at; (at = text.find(L"\\\\")) != std::wstring::npos;) {
            text.erase(at, 1);
        }
        return !text.empty() && files.count(text) != 0;
    }
    std::set<std::wstring> files;
    std::vector<std::wstring> checked;
};

}  // namespace Tessil::testing
