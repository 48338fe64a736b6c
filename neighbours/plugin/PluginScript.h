// Scripting exports of the product plug-in neighbour for tests. Resolve them
// with GetProcAddress on the copy under test: every copy of the library at
// its own path is a module of its own with its own script and counters.
#pragma once

#include <cstdint>

extern "C" {
// Entries of the table by position; kVtPluginCreateObject counts CreateObject.
enum VtPluginEntry : int {
    kVtPluginCreate = 0,
    kVtPluginDestroy = 1,
    kVtPluginProcessAlert = 2,
    kVtPluginFreeProcessResult = 3,
    kVtPluginGetAlertContent = 4,
    kVtPluginFreeContent = 5,
    kVtPluginCreateObject = 6,
};

// What an out string is made of.
enum VtPluginText : int {
    kVtTextEcho = 0,            // the alert JSON received
    kVtTextNull = 1,            // a null pointer
    kVtTextEmpty = 2,           // ""
    kVtTextInvalidJson = 3,     // text that is no JSON
    kVtTextWithoutContext = 4,  // the alert JSON received, its "context" member taken out
    kVtTextGiven = 5,           // the text given with the mode
};

// Counters read by VtPluginScript_Counter; entries 0 to 6 count calls.
enum VtPluginCounter : int {
    kVtCountOutstandingStrings = 7,  // handed out, not yet handed back
    kVtCountUnknownFrees = 8,        // free calls with a pointer not handed out (or freed twice)
    kVtCountLiveHandles = 9,         // created, not yet destroyed
    kVtCountOverlaps = 10,           // entries that began while another was running
    kVtCountBadHandles = 11,         // calls with a handle not created (or destroyed)
};

// Clears the script, the journal and the call counts; strings and handles
// still out stay counted.
typedef void (*VtPluginScript_Reset_t)();
// CreateObject answers null while on is non-zero.
typedef void (*VtPluginScript_SetCreateObjectNull_t)(int on);
// The table handed out has a null pointer for entry while on is non-zero.
typedef void (*VtPluginScript_SetEntryMissing_t)(int entry, int on);
// Status answered by entry (create, destroy, processAlert, getAlertContent).
typedef void (*VtPluginScript_SetStatus_t)(int entry, std::uint32_t status);
// The processed alert and the reason handed out by processAlert; the
// defaults are kVtTextEcho and the given text "processed".
typedef void (*VtPluginScript_SetProcessed_t)(int mode, const wchar_t* text);
typedef void (*VtPluginScript_SetReason_t)(int mode, const wchar_t* text);
// processAlert writes value into the suppress flag when write is non-zero
// (by default it leaves the flag as it found it).
typedef void (*VtPluginScript_SetSuppress_t)(int write, std::int32_t value);
// Content for one viewer, or for every viewer without a script of its own
// when viewerId is null. The default is the given text "content for " + id.
typedef void (*VtPluginScript_SetContent_t)(const wchar_t* viewerId, int mode, const wchar_t* text);
// The entry waits, before answering, up to ms or until another entry begins.
typedef void (*VtPluginScript_SetHold_t)(int entry, std::uint32_t ms);
typedef std::uint32_t (*VtPluginScript_Counter_t)(int counter);
// The ordered journal, one line per call: "CreateObject V", "create NAME",
// "destroy", "processAlert ALERT", "freeProcessResult", "getAlertContent
// VIEWER ALERT", "freeContent". The first 10000 lines are kept.
typedef std::uint32_t (*VtPluginScript_JournalCount_t)();
// Copies entry index into buffer (capacity characters, terminated, cut when
// longer); answers the entry's full length, 0 past the end.
typedef std::uint32_t (*VtPluginScript_JournalEntry_t)(std::uint32_t index, wchar_t* buffer,
                                                       std::uint32_t capacity);
}
