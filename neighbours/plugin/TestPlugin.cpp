// Product plug-in neighbour: the four standard exports, the six-entry table
// for CreateObject(2000000), and scripting exports for tests (PluginScript.h).
// It keeps count of the strings and handles it hands out and notes every
// entry that begins while another one is still running.
//
// Locks: g_mutex guards the script, the counters and the journal; g_holdMutex
// only the hold signal. Neither is held while an entry waits.

#include "alerts/src/plugins/AlertPluginFunctions.h"
#include "neighbours/plugin/PluginScript.h"

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace {

constexpr std::uint32_t kBadHandleStatus = 0x80000002;
constexpr std::size_t kJournalLimit = 10000;
constexpr int kEntries = 6;

struct TextScript {
    int mode = kVtTextEcho;
    std::wstring text;
};

struct Script {
    bool createObjectNull = false;
    bool missing[kEntries] = {};
    std::uint32_t status[kEntries] = {};
    std::uint32_t holdMs[kEntries] = {};
    TextScript processed{kVtTextEcho, L""};
    TextScript reason{kVtTextGiven, L"processed"};
    std::optional<std::int32_t> suppress;
    std::optional<TextScript> defaultContent;
    std::map<std::wstring, TextScript> content;
};

std::mutex g_mutex;
Script g_script;                           // guarded by g_mutex
std::uint32_t g_calls[kEntries + 1] = {};  // guarded by g_mutex
std::set<const wchar_t*> g_strings;        // guarded by g_mutex
std::set<const int*> g_handles;            // guarded by g_mutex
std::uint32_t g_unknownFrees = 0;          // guarded by g_mutex
std::uint32_t g_badHandles = 0;            // guarded by g_mutex
std::uint32_t g_overlaps = 0;              // guarded by g_mutex
std::vector<std::wstring> g_journal;       // guarded by g_mutex

std::atomic<int> g_running{0};
std::mutex g_holdMutex;
std::condition_variable g_holdSignal;
std::uint64_t g_entriesBegun = 0;  // guarded by g_holdMutex

void journal(std::wstring line) {
    if (g_journal.size() < kJournalLimit) {
        g_journal.push_back(std::move(line));
    }
}

// Marks one entry call from its start to its end.
class EntryScope {
public:
    explicit EntryScope(int entry) {
        const bool overlapping = g_running.fetch_add(1) > 0;
        // Counted as begun before its call is counted: a caller that sees
        // the call and then enters releases this entry's hold.
        std::uint64_t begun = 0;
        {
            std::lock_guard<std::mutex> lock(g_holdMutex);
            begun = ++g_entriesBegun;
        }
        g_holdSignal.notify_all();
        std::uint32_t holdMs = 0;
        {
            std::lock_guard<std::mutex> lock(g_mutex);
            ++g_calls[entry];
            if (overlapping) {
                ++g_overlaps;
            }
            holdMs = g_script.holdMs[entry];
        }
        if (holdMs != 0) {
            std::unique_lock<std::mutex> lock(g_holdMutex);
            g_holdSignal.wait_for(lock, std::chrono::milliseconds(holdMs),
                                  [&] { return g_entriesBegun != begun; });
        }
    }
    ~EntryScope() { g_running.fetch_sub(1); }
    EntryScope(const EntryScope&) = delete;
    EntryScope& operator=(const EntryScope&) = delete;
};

std::wstring withoutContext(const wchar_t* alert) {
    using Document = rapidjson::GenericDocument<rapidjson::UTF16<wchar_t>>;
    Document document;
    document.Parse(alert);
    if (document.HasParseError() || !document.IsObject()) {
        return alert;
    }
    document.RemoveMember(L"context");
    rapidjson::GenericStringBuffer<rapidjson::UTF16<wchar_t>> buffer;
    rapidjson::Writer<decltype(buffer), rapidjson::UTF16<wchar_t>, rapidjson::UTF16<wchar_t>> writer(buffer);
    document.Accept(writer);
    return buffer.GetString();
}

// A counted copy of the scripted text, or null.
wchar_t* handOut(const TextScript& script, const wchar_t* alert) {
    std::wstring text;
    switch (script.mode) {
        case kVtTextNull:
            return nullptr;
        case kVtTextEmpty:
            break;
        case kVtTextInvalidJson:
            text = L"{\"id\": not json";
            break;
        case kVtTextWithoutContext:
            text = withoutContext(alert);
            break;
        case kVtTextGiven:
            text = script.text;
            break;
        default:
            text = alert;
            break;
    }
    auto* copy = new wchar_t[text.size() + 1];
    std::memcpy(copy, text.c_str(), (text.size() + 1) * sizeof(wchar_t));
    g_strings.insert(copy);
    return copy;
}

void takeBack(wchar_t* text) {
    if (text == nullptr) {
        return;
    }
    if (g_strings.erase(text) == 0) {
        ++g_unknownFrees;
        return;
    }
    delete[] text;
}

bool knownHandle(AlertPluginHandle handle) {
    if (g_handles.count(static_cast<const int*>(handle)) != 0) {
        return true;
    }
    ++g_badHandles;
    return false;
}

std::uint32_t create(AlertPluginHandle* handle, const wchar_t* instanceName) {
    EntryScope scope(kVtPluginCreate);
    std::lock_guard<std::mutex> lock(g_mutex);
    journal(std::wstring(L"create ") + (instanceName != nullptr ? instanceName : L"(null)"));
    if (g_script.status[kVtPluginCreate] != 0) {
        return g_script.status[kVtPluginCreate];
    }
    if (handle == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    auto* instance = new int(0);
    g_handles.insert(instance);
    *handle = instance;
    return 0;
}

std::uint32_t destroy(AlertPluginHandle handle) {
    EntryScope scope(kVtPluginDestroy);
    std::lock_guard<std::mutex> lock(g_mutex);
    journal(L"destroy");
    if (!knownHandle(handle)) {
        return kBadHandleStatus;
    }
    g_handles.erase(static_cast<const int*>(handle));
    delete static_cast<int*>(handle);
    return g_script.status[kVtPluginDestroy];
}

std::uint32_t processAlert(AlertPluginHandle handle, const wchar_t* alert, wchar_t** processed,
                           std::int32_t* suppress, wchar_t** reason) {
    EntryScope scope(kVtPluginProcessAlert);
    std::lock_guard<std::mutex> lock(g_mutex);
    const wchar_t* input = alert != nullptr ? alert : L"";
    journal(std::wstring(L"processAlert ") + input);
    if (!knownHandle(handle) || processed == nullptr || reason == nullptr) {
        return kBadHandleStatus;
    }
    if (g_script.suppress && suppress != nullptr) {
        *suppress = *g_script.suppress;
    }
    if (g_script.status[kVtPluginProcessAlert] != 0) {
        return g_script.status[kVtPluginProcessAlert];
    }
    *processed = handOut(g_script.processed, input);
    *reason = handOut(g_script.reason, input);
    return 0;
}

std::uint32_t freeProcessResult(wchar_t* processed, wchar_t* reason) {
    EntryScope scope(kVtPluginFreeProcessResult);
    std::lock_guard<std::mutex> lock(g_mutex);
    journal(L"freeProcessResult");
    takeBack(processed);
    takeBack(reason);
    return 0;
}

std::uint32_t getAlertContent(AlertPluginHandle handle, const wchar_t* alert, const wchar_t* viewerId,
                              wchar_t** content) {
    EntryScope scope(kVtPluginGetAlertContent);
    std::lock_guard<std::mutex> lock(g_mutex);
    const wchar_t* input = alert != nullptr ? alert : L"";
    const std::wstring viewer = viewerId != nullptr ? viewerId : L"";
    journal(L"getAlertContent " + viewer + L" " + input);
    if (!knownHandle(handle) || content == nullptr) {
        return kBadHandleStatus;
    }
    if (g_script.status[kVtPluginGetAlertContent] != 0) {
        return g_script.status[kVtPluginGetAlertContent];
    }
    auto it = g_script.content.find(viewer);
    const TextScript script = it != g_script.content.end() ? it->second
                              : g_script.defaultContent  ? *g_script.defaultContent
                                                         : TextScript{kVtTextGiven, L"content for " + viewer};
    *content = handOut(script, input);
    return 0;
}

std::uint32_t freeContent(wchar_t* content) {
    EntryScope scope(kVtPluginFreeContent);
    std::lock_guard<std::mutex> lock(g_mutex);
    journal(L"freeContent");
    takeBack(content);
    return 0;
}

const AlertPluginFunctions kTable = {create, destroy, processAlert, freeProcessResult, getAlertContent,
                                     freeContent};
AlertPluginFunctions g_handedOut;  // guarded by g_mutex; the table with scripted gaps

TextScript textScript(int mode, const wchar_t* text) { return {mode, text != nullptr ? text : L""}; }

bool validEntry(int entry) { return entry >= 0 && entry < kEntries; }

}  // namespace

extern "C" {

__declspec(dllexport) const void* CreateObject(std::uint32_t version) {
    std::lock_guard<std::mutex> lock(g_mutex);
    ++g_calls[kVtPluginCreateObject];
    journal(L"CreateObject " + std::to_wstring(version));
    if (version != kAlertPluginInterfaceVersion || g_script.createObjectNull) {
        return nullptr;
    }
    g_handedOut = kTable;
    auto** slots = reinterpret_cast<void**>(&g_handedOut);
    for (int entry = 0; entry < kEntries; ++entry) {
        if (g_script.missing[entry]) {
            slots[entry] = nullptr;
        }
    }
    return &g_handedOut;
}

__declspec(dllexport) void ReleaseObject(void*) {}
__declspec(dllexport) const char* GetVersionStr() { return "1.0.0.0"; }
__declspec(dllexport) std::uint32_t GetVersionNum() { return 1000000; }

__declspec(dllexport) void VtPluginScript_Reset() {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_script = Script{};
    std::fill(std::begin(g_calls), std::end(g_calls), 0u);
    g_unknownFrees = 0;
    g_badHandles = 0;
    g_overlaps = 0;
    g_journal.clear();
}

__declspec(dllexport) void VtPluginScript_SetCreateObjectNull(int on) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_script.createObjectNull = on != 0;
}

__declspec(dllexport) void VtPluginScript_SetEntryMissing(int entry, int on) {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (validEntry(entry)) {
        g_script.missing[entry] = on != 0;
    }
}

__declspec(dllexport) void VtPluginScript_SetStatus(int entry, std::uint32_t status) {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (validEntry(entry)) {
        g_script.status[entry] = status;
    }
}

__declspec(dllexport) void VtPluginScript_SetProcessed(int mode, const wchar_t* text) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_script.processed = textScript(mode, text);
}

__declspec(dllexport) void VtPluginScript_SetReason(int mode, const wchar_t* text) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_script.reason = textScript(mode, text);
}

__declspec(dllexport) void VtPluginScript_SetSuppress(int write, std::int32_t value) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_script.suppress = write != 0 ? std::optional<std::int32_t>(value) : std::nullopt;
}

__declspec(dllexport) void VtPluginScript_SetContent(const wchar_t* viewerId, int mode, const wchar_t* text) {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (viewerId == nullptr) {
        g_script.defaultContent = textScript(mode, text);
    } else {
        g_script.content[viewerId] = textScript(mode, text);
    }
}

__declspec(dllexport) void VtPluginScript_SetHold(int entry, std::uint32_t ms) {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (validEntry(entry)) {
        g_script.holdMs[entry] = ms;
    }
}

__declspec(dllexport) std::uint32_t VtPluginScript_Counter(int counter) {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (counter >= 0 && counter <= kVtPluginCreateObject) {
        return g_calls[counter];
    }
    switch (counter) {
        case kVtCountOutstandingStrings:
            return static_cast<std::uint32_t>(g_strings.size());
        case kVtCountUnknownFrees:
            return g_unknownFrees;
        case kVtCountLiveHandles:
            return static_cast<std::uint32_t>(g_handles.size());
        case kVtCountOverlaps:
            return g_overlaps;
        case kVtCountBadHandles:
            return g_badHandles;
        default:
            return 0;
    }
}

__declspec(dllexport) std::uint32_t VtPluginScript_JournalCount() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return static_cast<std::uint32_t>(g_journal.size());
}

__declspec(dllexport) std::uint32_t VtPluginScript_JournalEntry(std::uint32_t index, wchar_t* buffer,
                                                                std::uint32_t capacity) {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (index >= g_journal.size()) {
        return 0;
    }
    const std::wstring& line = g_journal[index];
    if (buffer != nullptr && capacity != 0) {
        const std::size_t n = std::min<std::size_t>(line.size(), capacity - 1);
        std::memcpy(buffer, line.c_str(), n * sizeof(wchar_t));
        buffer[n] = L'\0';
    }
    return static_cast<std::uint32_t>(line.size());
}

}  // extern "C"
