#include "alerts/Vantrel/rig/VantrelRig.h"

#include "alerts/Vantrel/rig/LogText.h"
#include "alerts/data/AlertInfo.h"
#include "alerts/src/common/testing/BusRecorder.h"
#include "framework/bus/MessageBusShimImpl.h"
#include "neighbours/SettingsManager/SettingsManagerNeighbour.h"
#include "neighbours/monitor/SystemMonitorNeighbour.h"
#include "neighbours/viewer/ViewerNeighbour.h"

#include "platform/Registry/ObfuscatedRegKey.h"
#include "platform/wrappers/KnownFolderPath.h"

#include <shlobj.h>


namespace VantrelRig {

namespace {

bool setString(HKEY root, const std::wstring& subKey, const wchar_t* name, const std::wstring& value) {
    HKEY key = nullptr;
    if (RegCreateKeyExW(root, subKey.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) != 0) {
        return false;
    }
    const LONG result = RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                                       static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
    return result == 0;
}

std::wstring folderOf(const std::wstring& path) {
    const auto slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring(L".") : path.substr(0, slash);
}

// The request's reply, or empty.
std::shared_ptr<Tessil::Message> ask(Tessil::MessageBus& bus, const std::wstring& name, const std::wstring& payload) {
    std::shared_ptr<Tessil::Reply> reply;
    if (bus.request(Tessil::Message::create(name, L"VantrelDemo", payload), reply, 20000) != 0 || !reply ||
        reply->wait() != Tessil::REPLY_STATUS_RECEIVED) {
        return nullptr;
    }
    return reply->getMessage();
}

}  // namespace

const Tessil::MessageBusFunctions* loadedBusFunctions(const std::wstring& busLibrary) {
    HMODULE bus = GetModuleHandleW(windowsPath(busLibrary).c_str());
    if (bus == nullptr) {
        return nullptr;
    }
    auto createObject = reinterpret_cast<const void* (*)(std::uint32_t)>(
        reinterpret_cast<void*>(GetProcAddress(bus, "CreateObject")));
    return createObject ? static_cast<const Tessil::MessageBusFunctions*>(createObject(2001000)) : nullptr;
}

std::wstring windowsPath(const std::wstring& path) {
    if (path.empty() || path[0] != L'/') {
        return path;
    }
    std::wstring converted = L"Z:" + path;
    for (auto& c : converted) {
        if (c == L'/') c = L'\\';
    }
    return converted;
}

Machine::Machine(const Paths& paths) {
    privatePath_ = L"Software\\VantrelRig-" + std::to_wstring(GetCurrentProcessId());
    HKEY root = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, privatePath_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &root,
                        nullptr) != 0) {
        fail(L"cannot create the private machine key");
        return;
    }
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    pluginFolder_ = std::wstring(temp) + L"VantrelRig-" + std::to_wstring(GetCurrentProcessId());
    CreateDirectoryW(pluginFolder_.c_str(), nullptr);
    const bool written =
        setString(root, L"Software\\Corvane\\Bastrel", L"szInstallDir64", windowsPath(paths.validationFolder)) &&
        setString(root, L"Software\\Corvane\\Bastrel", L"bastrel_version", L"15.4") &&
        setString(root, L"SOFTWARE\\CORVANE\\HALVEX", L"Install Dir", folderOf(windowsPath(paths.busLibrary))) &&
        setString(root, L"Software\\Corvane\\KytPlugin", L"Install Dir", pluginFolder_);
    const bool overridden = written && RegOverridePredefKey(HKEY_LOCAL_MACHINE, root) == 0;
    RegCloseKey(root);
    if (!overridden) {
        fail(L"cannot redirect the machine key");
        return;
    }
    overridden_ = true;
    {
        // The file logger, so that the module's own lines can be read back.
        Kelmora::CObfuscatedRegKey logging;
        if (logging.Create(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Corvane\\Logging") != ERROR_SUCCESS ||
            logging.SetDWORDValue(L"Logging Mechanism", 1) != ERROR_SUCCESS) {
            fail(L"cannot choose the file logger");
            return;
        }
    }
    if (!CopyFileW(windowsPath(paths.plugin).c_str(), (pluginFolder_ + L"\\kytplugin.dll").c_str(), FALSE)) {
        fail(L"cannot copy the plug-in");
        return;
    }
    SetEnvironmentVariableW(L"VT_QAV_TRUST", L"MessageBus.dll;kytplugin.dll");
    ok_ = true;
}

Machine::~Machine() {
    SetEnvironmentVariableW(L"VT_QAV_TRUST", nullptr);
    if (overridden_) {
        RegOverridePredefKey(HKEY_LOCAL_MACHINE, nullptr);
    }
    RegDeleteTreeW(HKEY_CURRENT_USER, privatePath_.c_str());
    RegDeleteKeyW(HKEY_CURRENT_USER, privatePath_.c_str());
    if (!pluginFolder_.empty()) {
        DeleteFileW((pluginFolder_ + L"\\kytplugin.dll").c_str());
        RemoveDirectoryW(pluginFolder_.c_str());
    }
}

bool Machine::fail(const std::wstring& what) {
    error_ = what + L" (" + std::to_wstring(GetLastError()) + L")";
    ok_ = false;
    return false;
}

BusHandles::~BusHandles() {
    for (auto handle : handles_) {
        functions_->close(handle);
    }
}

std::shared_ptr<Tessil::MessageBusClient> BusHandles::open() {
    Tessil::MessageBusHandle handle = nullptr;
    if (functions_ == nullptr || functions_->open(&handle) != 0) {
        return nullptr;
    }
    handles_.push_back(handle);
    return std::make_shared<Tessil::MessageBusClient>(std::make_shared<Tessil::MessageBusShimImpl>(handle, functions_));
}

Outcome run(const Paths& paths, const Scenario& scenario) {
    Outcome outcome;
    auto note = [&](const std::wstring& text) {
        outcome.notes.push_back(text);
        if (scenario.onNote) scenario.onNote(text);
    };
    Tessil::host::ModuleHost host;
    if (!host.loadModule(windowsPath(paths.vantrel))) {
        note(L"Vantrel.dll could not be loaded");
        return outcome;
    }
    if (scenario.initializeVersion == 2 && !host.openHostBus(windowsPath(paths.busLibrary))) {
        note(L"the bus library could not be loaded");
        return outcome;
    }
    Tessil::host::LifeCycleOptions options;
    options.initializeVersion = scenario.initializeVersion;
    options.logName = scenario.logName;
    options.whileStarted = [&] {
        BusHandles handles(scenario.initializeVersion == 2 ? host.hostBusFunctions()
                                                           : loadedBusFunctions(paths.busLibrary));
        auto settingsBus = handles.open();
        auto viewerBus = handles.open();
        auto producer = handles.open();
        auto monitorBus = handles.open();
        if (!settingsBus || !viewerBus || !producer || !monitorBus) {
            note(L"no bus handles for the neighbours");
            return;
        }
        {
            Neighbours::SettingsManagerNeighbour settings(settingsBus);
            settings.store(L"Vantrel/Viewer/" + scenario.viewerId, L"{}");
            Neighbours::ViewerNeighbour viewer(viewerBus, scenario.viewerId);
            Drem::testing::BusRecorder closing(producer, L"Vantrel\\.Alert\\..*\\.(Dismissed|Failed)\\..*");
            viewer.setOnShow([&](const Neighbours::ViewerNeighbour::Request& request) {
                Drem::AlertInfo shown;
                Drem::AlertInfo::fromJson(request.payload, shown);
                outcome.viewerRequest = request.name;
                outcome.shownContent = shown.content;
                note(L"viewer " + scenario.viewerId + L" shows \"" + shown.content + L"\" (" + request.name + L")");
            });
            if (!settings.start() || !viewer.start()) {
                note(L"the neighbours could not subscribe");
                return;
            }
            Neighbours::SystemMonitorNeighbour monitor(monitorBus);

            auto id = ask(*producer, L"Vantrel.Alert.GetId", L"");
            outcome.instance = id ? id->getPayload() : L"";
            note(L"instance number handed out: " + outcome.instance);

            Drem::AlertInfo info;
            info.id = scenario.alertId;
            info.instanceId = outcome.instance;
            info.product = scenario.product;
            info.priority = 2;
            info.sessionId = scenario.sessionId;
            info.timeout = 30;
            info.preferredViewer = {L"MissingViewer", scenario.viewerId};
            info.context = L"{\"title\":\"" + scenario.title + L"\",\"defaultcontent\":\"Free some space.\"}";
            const std::wstring payload = Drem::AlertInfo::toJson(info);
            note(L"sending Vantrel.Alert.Show." + outcome.instance + L": " + payload);
            auto answer = ask(*producer, L"Vantrel.Alert.Show." + outcome.instance, payload);
            outcome.reply = answer ? answer->getName() : L"(no answer)";
            note(L"the module answered " + outcome.reply);
            // The console session connects: the session checks its queues again.
            monitor.consoleConnect(1);

            if (closing.waitFor(1, 60000)) {
                outcome.closing = closing.names()[0];
                note(L"closing report: " + outcome.closing);
            } else {
                note(L"no closing report within 60 s");
            }
            // Idle once the dispatch thread has finished with the alert.
            for (int i = 0; i < 50; ++i) {
                auto status = ask(*producer, L"Vantrel.Queue.GetStatus", L"");
                outcome.statusAfter = status ? status->getPayload() : L"(no answer)";
                if (outcome.statusAfter == L"0") break;
                Sleep(100);
            }
            note(L"queue status afterwards: " + outcome.statusAfter);
            viewer.stop();
        }
    };
    outcome.steps = host.runLifeCycle(options);
    for (const auto& step : outcome.steps) {
        note(step.entry + L" -> " + std::to_wstring(step.status));
    }
    host.closeHostBus();
    return outcome;
}

std::wstring moduleLogFolder(const std::wstring& logName) {
    const std::wstring programData = Kelmora::KnownFolderPath(FOLDERID_ProgramData);
    return programData.empty() ? std::wstring()
                               : programData + L"\\Corvane\\CVLOGS\\" + logName + L"\\Vantrel";
}

namespace {

template <typename Visit>
void forEachLogFile(const std::wstring& folder, Visit visit) {
    WIN32_FIND_DATAW found{};
    HANDLE search = FindFirstFileW((folder + L"\\*.log").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        return;
    }
    do {
        visit(folder + L"\\" + found.cFileName);
    } while (FindNextFileW(search, &found));
    FindClose(search);
}

}  // namespace

std::vector<std::wstring> readLogLines(const std::wstring& folder) {
    std::vector<std::wstring> lines;
    forEachLogFile(folder, [&lines](const std::wstring& path) {
        HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            return;
        }
        std::wstring text;
        wchar_t buffer[4096];
        DWORD read = 0;
        while (ReadFile(file, buffer, sizeof(buffer), &read, nullptr) && read > 0) {
            text.append(buffer, read / sizeof(wchar_t));
        }
        CloseHandle(file);
        const auto fileLines = LogTextLines(text);
        lines.insert(lines.end(), fileLines.begin(), fileLines.end());
    });
    return lines;
}

void clearLogFiles(const std::wstring& folder) {
    forEachLogFile(folder, [](const std::wstring& path) { DeleteFileW(path.c_str()); });
}

}  // namespace VantrelRig
