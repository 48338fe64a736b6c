// Runs Vantrel.dll in the module host with the neighbours it talks to on the
// host's bus: the settings manager with one viewer key, that viewer, the
// system monitor and the default product plug-in, all in one process, for
// the end-to-end test.
#pragma once

#include "framework/bus/MessageBusClient.h"
#include "neighbours/host/ModuleHost.h"

#include <windows.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace VantrelRig {

struct Paths {
    std::wstring vantrel;           // Vantrel.dll
    std::wstring busLibrary;        // a signed MessageBus.dll
    std::wstring validationFolder;  // the folder of the validation library
    std::wstring plugin;            // a signed plug-in library, used as the default plug-in
};

// "/unix/path" -> "Z:\unix\path"; Windows paths stay as they are.
std::wstring windowsPath(const std::wstring& path);

// The table of the bus library at that path when it is loaded, else null.
const Tessil::MessageBusFunctions* loadedBusFunctions(const std::wstring& busLibrary);

// A private HKLM for this process naming the validation library, the host's
// install folder (the bus library's) and the default plug-in's folder, where
// a copy of the plug-in is put; the trust verdict names both libraries.
class Machine {
public:
    explicit Machine(const Paths& paths);
    ~Machine();
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;
    bool ok() const { return ok_; }
    const std::wstring& error() const { return error_; }

private:
    bool fail(const std::wstring& what);

    std::wstring privatePath_;
    std::wstring pluginFolder_;
    bool overridden_ = false;
    bool ok_ = false;
    std::wstring error_;
};

// Clients on new handles of a loaded bus library; the handles are closed
// when this goes, so every client must be released before.
class BusHandles {
public:
    explicit BusHandles(const Tessil::MessageBusFunctions* functions) : functions_(functions) {}
    ~BusHandles();
    BusHandles(const BusHandles&) = delete;
    BusHandles& operator=(const BusHandles&) = delete;
    std::shared_ptr<Tessil::MessageBusClient> open();

private:
    const Tessil::MessageBusFunctions* functions_;
    std::vector<Tessil::MessageBusHandle> handles_;
};

struct Outcome {
    std::vector<Tessil::host::StepResult> steps;
    std::wstring instance;       // handed out by "Vantrel.Alert.GetId"
    std::wstring reply;          // the answer to the show request
    std::wstring viewerRequest;  // the request the viewer got
    std::wstring shownContent;   // the content the viewer was given
    std::wstring closing;        // the closing report the viewer published
    std::wstring statusAfter;    // "Vantrel.Queue.GetStatus" once closed
    std::vector<std::wstring> notes;  // what happened, in order
};

struct Scenario {
    std::wstring alertId = L"3F2A9C1E-7B64-4D0A-9E5B-1C8D2F6A4B70";
    std::wstring product = L"DemoProduct";
    std::wstring viewerId = L"DemoViewer";
    std::wstring title = L"Disk almost full";
    std::uint32_t sessionId = 0;  // 0: the active session's
    // 2: the host's own bus handle; 1: the module's own connection, which the
    // neighbours then share through the bus library it loaded.
    int initializeVersion = 2;
    // The module's log group; its file log is written when not empty.
    std::wstring logName;
    // Called with every note as it happens.
    std::function<void(const std::wstring&)> onNote;
};

// Loads Vantrel.dll in the host, runs the life cycle and, while started,
// sends one alert.
Outcome run(const Paths& paths, const Scenario& scenario);

// The folder of the module's file log for that log group.
std::wstring moduleLogFolder(const std::wstring& logName);
// The lines of every log file in the folder, file by file.
std::vector<std::wstring> readLogLines(const std::wstring& folder);
// Deletes the log files in the folder.
void clearLogFiles(const std::wstring& folder);

}  // namespace VantrelRig
