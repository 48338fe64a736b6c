// VantrelDemo.exe --machine <folder> [--alerts N --producers M]
//
// The main job as its users meet it, each part a process of its own: the bus
// broker, the settings manager, the module host with Vantrel.dll, a viewer
// and producers, and the two programs Brisvel.exe and Ossamit.exe. The
// folder is the demo machine laid out by the build (see CMakeLists.txt); the
// machine's registry is written to match it. This process plays the system
// monitor and prints the bus announcements of the registrations.
//
// Without --alerts: one alert from one producer, with every step and log.
// With --alerts N: N alerts from M producers (default 4) over several user
// sessions, the active session moving among them, and the figures.
// Exit code 0 when everything went as the run shows, 1 otherwise, 2 on bad
// arguments.
#include "alerts/Vantrel/rig/LogText.h"
#include "neighbours/MessageBus/BusLibraryBesideProgram.h"
#include "neighbours/monitor/SystemMonitorNeighbour.h"
#include "neighbours/programs/NeighbourProgram.h"
#include "platform/Registry/ObfuscatedRegKey.h"

#include <windows.h>
#include <shlobj.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cwchar>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

const wchar_t kViewer[] = L"DemoViewer";
const wchar_t kProduct[] = L"DemoProduct";
const wchar_t kAppCode[] = L"VTDEMO";
const wchar_t kLogGroup[] = L"VantrelDemo";
constexpr DWORD kStartBoundMs = 60000;

std::wstring Join(const std::wstring& folder, const std::wstring& name) { return folder + L"\\" + name; }

const std::uint64_t kStarted = Neighbours::MachineMicroseconds();

// One line of the demo's own, after the seconds since it started.
void Say(const wchar_t* format, ...) {
    const std::uint64_t now = Neighbours::MachineMicroseconds();
    std::fwprintf(stdout, L"[%6.2f s] ", static_cast<double>(now - kStarted) / 1e6);
    va_list arguments;
    va_start(arguments, format);
    std::vfwprintf(stdout, format, arguments);
    va_end(arguments);
    std::fputwc(L'\n', stdout);
    std::fflush(stdout);
}

// ---- the machine ----

bool SetMachineString(const wchar_t* subKey, const wchar_t* name, const std::wstring& value, REGSAM view = 0) {
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, subKey, 0, nullptr, 0, KEY_ALL_ACCESS | view, nullptr, &key,
                        nullptr) != ERROR_SUCCESS) {
        return false;
    }
    const LONG result = RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                                       static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
    return result == ERROR_SUCCESS;
}

struct Layout {
    std::wstring root;
    std::wstring halvex() const { return Join(root, L"Halvex"); }      // the module host's install folder
    std::wstring product() const { return Join(root, L"Vantrel"); }    // the alert service's install folder
    std::wstring plugin() const { return Join(root, kProduct); }       // the demo product's plug-in
    std::wstring bastrel() const { return Join(root, L"Bastrel"); }    // the validation library
    std::wstring neighbours() const { return Join(root, L"neighbours"); }
};

// The registry values the deliverables read on this machine; file logs.
bool PrepareMachine(const Layout& layout) {
    Kelmora::CObfuscatedRegKey logging;
    return SetMachineString(L"SOFTWARE\\CORVANE\\HALVEX", L"Install Dir", layout.halvex()) &&
           SetMachineString(L"Software\\Corvane\\Vantrel", L"Install Dir", layout.product()) &&
           SetMachineString(L"Software\\Corvane\\Bastrel", L"szInstallDir64", layout.bastrel(), KEY_WOW64_32KEY) &&
           SetMachineString(L"Software\\Corvane\\Bastrel", L"bastrel_version", L"15.4", KEY_WOW64_32KEY) &&
           logging.Create(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Corvane\\Logging") == ERROR_SUCCESS &&
           logging.SetDWORDValue(L"Logging Mechanism", 1) == ERROR_SUCCESS;
}

std::wstring LogRoot() {
    PWSTR programData = nullptr;
    std::wstring folder;
    if (SUCCEEDED(SHGetKnownFolderPath(FOLDERID_ProgramData, 0, nullptr, &programData))) {
        folder = std::wstring(programData) + L"\\Corvane\\CVLOGS";
    }
    CoTaskMemFree(programData);
    return folder;
}

// The folders of the file logs of the module and of the two programs.
std::vector<std::wstring> LogFolders() {
    const std::wstring root = LogRoot();
    return {root + L"\\" + kLogGroup + L"\\Vantrel", root + L"\\_no_group\\Brisvel",
            root + L"\\_no_group\\Ossamit"};
}

std::vector<std::wstring> FilesIn(const std::wstring& folder, const wchar_t* pattern) {
    std::vector<std::wstring> files;
    WIN32_FIND_DATAW found{};
    HANDLE search = FindFirstFileW(Join(folder, pattern).c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return files;
    do {
        files.push_back(Join(folder, found.cFileName));
    } while (FindNextFileW(search, &found));
    FindClose(search);
    std::sort(files.begin(), files.end());
    return files;
}

// Logs of earlier runs and their index go, so each run starts its first file.
void ClearLogs() {
    for (const auto& folder : LogFolders()) {
        for (const auto& file : FilesIn(folder, L"*.log")) DeleteFileW(file.c_str());
        DeleteFileW(Join(folder, L"log.ini").c_str());
    }
}

// A UTF-16LE text file without its byte-order mark.
std::wstring ReadUtf16(const std::wstring& path) {
    std::ifstream in(path.c_str(), std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::wstring text(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / sizeof(wchar_t));
    if (!text.empty() && text.front() == 0xFEFF) text.erase(0, 1);
    return text;
}

bool IsErrorLine(const std::wstring& line) {
    return line.find(L"-- (Error)") != std::wstring::npos || line.find(L"-- (Critical)") != std::wstring::npos;
}

// Prints every log file; answers how many error lines they hold.
std::size_t PrintLogs(bool everyLine) {
    std::size_t errors = 0;
    for (const auto& folder : LogFolders()) {
        const auto files = FilesIn(folder, L"*.log");
        if (files.empty()) Say(L"log %ls: no lines at or above the logging severity", folder.c_str());
        for (const auto& file : files) {
            const auto lines = VantrelRig::LogTextLines(ReadUtf16(file));
            Say(L"log %ls (%zu lines):", file.c_str(), lines.size());
            for (const auto& line : lines) {
                const bool error = IsErrorLine(line);
                errors += error ? 1 : 0;
                if (everyLine || error) Say(L"  | %ls", line.c_str());
            }
        }
    }
    return errors;
}

// ---- processes ----

// Starts a program that writes into this console; its handle or null.
HANDLE Start(const std::wstring& program, const std::wstring& arguments) {
    std::wstring commandLine = L"\"" + program + L"\"";
    if (!arguments.empty()) commandLine += L" " + arguments;
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                        &info)) {
        Say(L"cannot start %ls (%lu)", program.c_str(), GetLastError());
        return nullptr;
    }
    CloseHandle(info.hThread);
    return info.hProcess;
}

// Waits for the process to end (bounded) and answers its exit code, 255 when
// it did not end in time (it is then ended).
DWORD Finish(HANDLE process, DWORD boundMs) {
    if (process == nullptr) return 255;
    DWORD code = 255;
    if (WaitForSingleObject(process, boundMs) == WAIT_OBJECT_0) {
        GetExitCodeProcess(process, &code);
    } else {
        TerminateProcess(process, 255);
        WaitForSingleObject(process, boundMs);
    }
    CloseHandle(process);
    return code;
}

DWORD Run(const std::wstring& program, const std::wstring& arguments, DWORD boundMs = kStartBoundMs) {
    return Finish(Start(program, arguments), boundMs);
}

// A program that runs until told to stop, with the two events it is handed.
class Service {
public:
    Service(const std::wstring& title, const std::wstring& tag) : title_(title) {
        const std::wstring base = L"vantrel-demo-" + tag + L"-" + std::to_wstring(GetCurrentProcessId());
        readyName_ = base + L"-ready";
        stopName_ = base + L"-stop";
        ready_ = CreateEventW(nullptr, TRUE, FALSE, readyName_.c_str());
        stop_ = CreateEventW(nullptr, TRUE, FALSE, stopName_.c_str());
    }
    ~Service() {
        stop();
        CloseHandle(ready_);
        CloseHandle(stop_);
    }
    Service(const Service&) = delete;
    Service& operator=(const Service&) = delete;

    std::wstring eventArguments() const { return L"--ready-event " + readyName_ + L" --stop-event " + stopName_; }
    const std::wstring& readyName() const { return readyName_; }
    const std::wstring& stopName() const { return stopName_; }

    // Starts it and waits until it is ready; false when it ended or took too long.
    bool start(const std::wstring& program, const std::wstring& arguments) {
        process_ = Start(program, arguments);
        if (process_ == nullptr) return false;
        HANDLE both[] = {ready_, process_};
        const bool ready = WaitForMultipleObjects(2, both, FALSE, kStartBoundMs) == WAIT_OBJECT_0;
        Say(ready ? L"%ls is running." : L"%ls did not start.", title_.c_str());
        return ready;
    }
    // Asks it to stop and answers its exit code (0 when it was never started).
    DWORD stop() {
        if (process_ == nullptr) return exitCode_;
        SetEvent(stop_);
        exitCode_ = Finish(process_, kStartBoundMs);
        process_ = nullptr;
        Say(L"%ls stopped with exit code %lu.", title_.c_str(), exitCode_);
        return exitCode_;
    }

private:
    std::wstring title_;
    std::wstring readyName_, stopName_;
    HANDLE ready_ = nullptr;
    HANDLE stop_ = nullptr;
    HANDLE process_ = nullptr;
    DWORD exitCode_ = 0;
};

// While it lives, an environment variable of this process (and so of the
// programs it starts) holds a value.
class ScopedEnvironment {
public:
    ScopedEnvironment(const wchar_t* name, const std::wstring& value) : name_(name) {
        wchar_t buffer[2048];
        const DWORD length = GetEnvironmentVariableW(name, buffer, 2048);
        had_ = length > 0 && length < 2048;
        if (had_) old_.assign(buffer, length);
        SetEnvironmentVariableW(name, value.c_str());
    }
    ~ScopedEnvironment() { SetEnvironmentVariableW(name_, had_ ? old_.c_str() : nullptr); }
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

private:
    const wchar_t* name_;
    bool had_ = false;
    std::wstring old_;
};

// ---- the bus, as the demo sees it ----

// The announcements of the registrations, printed as they come.
class Announcements {
public:
    explicit Announcements(const std::shared_ptr<Tessil::MessageBusClient>& bus) : bus_(bus) {
        bus_->subscribeFilter(LR"(Vantrel\.(Viewer|Product)\..+\.(Registered|Unregistered))",
                              [this](std::shared_ptr<Tessil::Message> message) -> std::uint32_t {
                                  Say(L"bus: %ls", message->getName().c_str());
                                  std::lock_guard<std::mutex> lock(mutex_);
                                  seen_.push_back(message->getName());
                                  arrived_.notify_all();
                                  return 0;
                              });
    }
    // Waits until that announcement has come.
    bool waitFor(const std::wstring& name, DWORD boundMs = 20000) {
        std::unique_lock<std::mutex> lock(mutex_);
        return arrived_.wait_for(lock, std::chrono::milliseconds(boundMs), [&] {
            return std::find(seen_.begin(), seen_.end(), name) != seen_.end();
        });
    }

private:
    std::shared_ptr<Tessil::MessageBusClient> bus_;
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::vector<std::wstring> seen_;
};

// ---- load figures ----

struct AlertResult {
    std::uint32_t session = 0;
    std::wstring answer, closing;
    std::uint64_t show = 0, answered = 0, viewer = 0, closed = 0;
};

std::vector<AlertResult> ReadResults(const std::wstring& path) {
    std::vector<AlertResult> results;
    std::wifstream in(path.c_str());
    std::wstring id, instance;
    AlertResult r;
    while (in >> id >> instance >> r.session >> r.answer >> r.show >> r.answered >> r.viewer >> r.closed >> r.closing) {
        results.push_back(r);
    }
    return results;
}

double Percentile(std::vector<double> values, double p) {
    if (values.empty()) return 0.0;
    std::sort(values.begin(), values.end());
    const std::size_t at = static_cast<std::size_t>(p / 100.0 * static_cast<double>(values.size() - 1) + 0.5);
    return values[std::min(at, values.size() - 1)];
}

void PrintLatencies(const wchar_t* title, const std::vector<double>& ms) {
    Say(L"  %-30ls p50 %8.1f ms  p90 %8.1f ms  p99 %8.1f ms  max %8.1f ms  (%zu alerts)", title,
        Percentile(ms, 50), Percentile(ms, 90), Percentile(ms, 99), Percentile(ms, 100), ms.size());
}

// Answers whether every queued alert was shown and dismissed.
bool PrintFigures(const std::vector<AlertResult>& results, unsigned expected) {
    std::map<std::wstring, unsigned> answers, closings;
    std::map<std::uint32_t, unsigned> sessions;
    std::vector<double> toQueued, toViewer;
    std::uint64_t first = ~0ull, last = 0, lastAnswer = 0;
    unsigned shownAndDismissed = 0, queued = 0;
    for (const auto& r : results) {
        ++answers[r.answer];
        ++sessions[r.session];
        first = std::min(first, r.show);
        lastAnswer = std::max(lastAnswer, r.answered);
        if (r.answer != L"Queued") continue;
        ++queued;
        ++closings[r.closing];
        toQueued.push_back(static_cast<double>(r.answered - r.show) / 1000.0);
        if (r.viewer >= r.show) toViewer.push_back(static_cast<double>(r.viewer - r.show) / 1000.0);
        if (r.viewer != 0 && r.closing == L"Dismissed") ++shownAndDismissed;
        last = std::max(last, r.closed);
    }
    Say(L"Figures:");
    Say(L"  alerts sent %zu of %u", results.size(), expected);
    for (const auto& [session, count] : sessions) {
        if (session == 0) {
            Say(L"  for the global queue: %u", count);
        } else {
            Say(L"  for session %u: %u", session, count);
        }
    }
    for (const auto& [word, count] : answers) Say(L"  answered %-12ls %u", word.c_str(), count);
    for (const auto& [word, count] : closings) Say(L"  closing report %-12ls %u", word.c_str(), count);
    Say(L"  queued and then shown and dismissed: %u of %u", shownAndDismissed, queued);
    if (first != ~0ull && lastAnswer > first) {
        Say(L"  accepted: %.1f alerts/s (first Show to last answer)",
            static_cast<double>(queued) * 1e6 / static_cast<double>(lastAnswer - first));
    }
    if (first != ~0ull && last > first) {
        Say(L"  end to end: %.1f alerts/s (first Show to last closing report)",
            static_cast<double>(queued) * 1e6 / static_cast<double>(last - first));
    }
    PrintLatencies(L"Show to Queued:", toQueued);
    PrintLatencies(L"Show to the viewer's request:", toViewer);
    return results.size() == expected && queued == expected && shownAndDismissed == queued;
}

// The active session moves among the sessions; each move is announced as a
// console connection, so that the session's dispatch thread looks again.
class SessionRotation {
public:
    SessionRotation(const std::wstring& sharedName, std::vector<std::uint32_t> sessions,
                    std::shared_ptr<Tessil::MessageBusClient> bus)
        : sessions_(std::move(sessions)), monitor_(std::move(bus)) {
        mapping_ = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sizeof(LONG),
                                      sharedName.c_str());
        active_ = mapping_ ? static_cast<volatile LONG*>(MapViewOfFile(mapping_, FILE_MAP_WRITE, 0, 0, sizeof(LONG)))
                           : nullptr;
        if (active_ != nullptr) InterlockedExchange(active_, static_cast<LONG>(sessions_.front()));
    }
    ~SessionRotation() {
        stopRotating();
        if (active_ != nullptr) UnmapViewOfFile(const_cast<LONG*>(active_));
        if (mapping_ != nullptr) CloseHandle(mapping_);
    }
    bool ok() const { return active_ != nullptr; }
    void startRotating(std::chrono::milliseconds period) {
        thread_ = std::thread([this, period] {
            std::size_t next = 0;
            std::unique_lock<std::mutex> lock(mutex_);
            while (!stopped_) {
                if (stopCondition_.wait_for(lock, period, [this] { return stopped_; })) break;
                next = (next + 1) % sessions_.size();
                InterlockedExchange(active_, static_cast<LONG>(sessions_[next]));
                monitor_.consoleConnect(sessions_[next]);
                ++moves_;
            }
        });
    }
    void stopRotating() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopped_ = true;
        }
        stopCondition_.notify_all();
        if (thread_.joinable()) thread_.join();
    }
    unsigned moves() const { return moves_.load(); }

private:
    std::vector<std::uint32_t> sessions_;
    Neighbours::SystemMonitorNeighbour monitor_;
    HANDLE mapping_ = nullptr;
    volatile LONG* active_ = nullptr;
    std::mutex mutex_;
    std::condition_variable stopCondition_;
    bool stopped_ = false;
    std::atomic<unsigned> moves_{0};
    std::thread thread_;
};

// ---- the run ----

struct Options {
    std::wstring machine;
    unsigned alerts = 0;  // 0: the one-alert demo
    unsigned producers = 4;
};

class Demo {
public:
    explicit Demo(const Options& options) : options_(options) { layout_.root = options.machine; }

    int run() {
        const bool load = options_.alerts > 0;
        const std::wstring suffix = std::to_wstring(GetCurrentProcessId());
        Say(load ? L"Vantrel under load: %u alerts from %u producers, across processes"
                 : L"Vantrel demo: one alert through the whole system, across processes",
            options_.alerts, options_.producers);
        Say(L"Machine: %ls", layout_.root.c_str());
        if (!PrepareMachine(layout_)) {
            Say(L"cannot write the machine's registry (%lu)", GetLastError());
            return 1;
        }
        ClearLogs();
        const std::wstring references = Join(layout_.product(), L"appregistry.dat");
        const std::wstring state = Join(layout_.root, L"settings.json");
        DeleteFileW(references.c_str());
        DeleteFileW(state.c_str());

        const std::wstring pipe = L"\\\\.\\pipe\\vantrel-demo-" + suffix;
        ScopedEnvironment broker(L"VT_BUS_BROKER", pipe);
        ScopedEnvironment trust(L"VT_QAV_TRUST", L"MessageBus.dll;TestPlugin.dll");
        ScopedEnvironment settingsState(L"VT_SETTINGS_STATE", state);
        const std::wstring sharedSession = L"vantrel-demo-active-session-" + suffix;
        std::vector<std::uint32_t> sessions = {1};
        if (load) sessions = {1, 2, 3};
        ScopedEnvironment activeSession(L"VT_WTS_ACTIVE_SHARED", sharedSession);

        const std::wstring neighbours = layout_.neighbours();
        Service brokerProcess(L"The bus broker", L"broker");
        if (!brokerProcess.start(Join(neighbours, L"BusBroker.exe"),
                                 pipe + L" " + suffix + L" " + brokerProcess.eventArguments())) {
            return 1;
        }
        bool ok = true;
        int exitCode = 1;
        {
            Neighbours::ProgramBus bus;
            if (!bus.client()) {
                Say(L"no bus handle for the demo");
                return 1;
            }
            Announcements announcements(bus.client());
            SessionRotation rotation(sharedSession, sessions, bus.client());
            if (!rotation.ok()) {
                Say(L"cannot share the active session (%lu)", GetLastError());
                return 1;
            }

            Service settings(L"The settings manager", L"settings");
            {
                // The settings manager takes its events from the environment.
                ScopedEnvironment ready(L"VT_SETTINGS_READY_EVENT", settings.readyName());
                ScopedEnvironment stop(L"VT_SETTINGS_STOP_EVENT", settings.stopName());
                ok = settings.start(Join(neighbours, L"SettingsManager.exe"), L"") && ok;
            }

            const std::wstring brisvel = Join(layout_.product(), L"Brisvel.exe");
            const DWORD registered = Run(brisvel, std::wstring(L"-register=") + kAppCode);
            Say(L"Brisvel.exe -register=%ls -> exit code %lu; %ls holds %ls", kAppCode, registered,
                references.c_str(), ReadUtf16(references).c_str());
            ok = registered == 0 && ok;

            Service host(L"The module host with Vantrel.dll", L"host");
            ok = host.start(Join(layout_.halvex(), L"ModuleHost.exe"),
                            L"\"" + Join(layout_.product(), L"Vantrel.dll") + L"\" --v2 \"" +
                                Join(layout_.halvex(), L"MessageBus.dll") + L"\" --log " + kLogGroup + L" " +
                                host.eventArguments()) &&
                 ok;
            Service viewer(L"The viewer " + std::wstring(kViewer), L"viewer");
            ok = viewer.start(Join(neighbours, L"Viewer.exe"),
                              std::wstring(kViewer) + L" " + viewer.eventArguments() + (load ? L" --quiet" : L"")) &&
                 ok;

            const std::wstring ossamit = Join(layout_.product(), L"Ossamit.exe");
            ok = ossamitRun(ossamit, std::wstring(L"-registerViewer=") + kViewer) && ok;
            ok = announcements.waitFor(L"Vantrel.Viewer." + std::wstring(kViewer) + L".Registered") && ok;
            ok = ossamitRun(ossamit, std::wstring(L"-registerProduct=") + kProduct + L" \"-pluginPath=" +
                                         layout_.plugin() + L"\" -pluginFile=TestPlugin.dll") &&
                 ok;

            ok = (load ? sendLoad(rotation) : sendOne()) && ok;

            ok = ossamitRun(ossamit, std::wstring(L"-unregisterViewer=") + kViewer) && ok;
            ok = announcements.waitFor(L"Vantrel.Viewer." + std::wstring(kViewer) + L".Unregistered") && ok;
            ok = ossamitRun(ossamit, std::wstring(L"-unregisterProduct=") + kProduct) && ok;
            ok = announcements.waitFor(L"Vantrel.Product." + std::wstring(kProduct) + L".Unregistered") && ok;

            Say(L"Stopping:");
            ok = host.stop() == 0 && ok;
            ok = viewer.stop() == 0 && ok;
            ok = settings.stop() == 0 && ok;
            exitCode = 0;
        }
        ok = brokerProcess.stop() == 0 && ok;

        Say(L"Logs (file logs under %ls):", LogRoot().c_str());
        const std::size_t errors = PrintLogs(!load);
        Say(L"Error lines in the logs: %zu", errors);
        ok = errors == 0 && exitCode == 0 && ok;
        Say(ok ? L"Result: everything went as shown." : L"Result: something did NOT go as it should; see above.");
        return ok ? 0 : 1;
    }

private:
    bool ossamitRun(const std::wstring& ossamit, const std::wstring& arguments) {
        const DWORD code = Run(ossamit, arguments);
        Say(L"Ossamit.exe %ls -> exit code %lu", arguments.c_str(), code);
        return code == 0;
    }

    bool sendOne() {
        const DWORD code = Run(Join(layout_.neighbours(), L"Producer.exe"),
                               std::wstring(L"--number 1 --alerts 1 --sessions 0 --wait-seconds 150 --product ") +
                                   kProduct + L" --viewer " + kViewer,
                               600000);
        Say(L"The producer ended with exit code %lu (0: the alert was queued, shown and dismissed).", code);
        return code == 0;
    }

    bool sendLoad(SessionRotation& rotation) {
        const unsigned producers = std::max(1u, std::min(options_.producers, options_.alerts));
        std::vector<HANDLE> running;
        std::vector<std::wstring> files;
        rotation.startRotating(std::chrono::milliseconds(200));
        const auto started = std::chrono::steady_clock::now();
        for (unsigned p = 0; p < producers; ++p) {
            const unsigned count = options_.alerts / producers + (p < options_.alerts % producers ? 1 : 0);
            files.push_back(Join(layout_.root, L"results-" + std::to_wstring(p + 1) + L".txt"));
            DeleteFileW(files.back().c_str());
            // Global alerts and alerts for each of the three user sessions.
            running.push_back(Start(Join(layout_.neighbours(), L"Producer.exe"),
                                    L"--number " + std::to_wstring(p + 1) + L" --alerts " + std::to_wstring(count) +
                                        L" --sessions 0,1,2,3 --product " + kProduct + L" --viewer " + kViewer +
                                        L" --quiet --results \"" + files.back() + L"\""));
        }
        bool ok = true;
        for (HANDLE process : running) ok = Finish(process, 900000) == 0 && ok;
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        rotation.stopRotating();
        std::vector<AlertResult> results;
        for (const auto& file : files) {
            auto some = ReadResults(file);
            results.insert(results.end(), some.begin(), some.end());
        }
        Say(L"%u producers ended after %.1f s; the active session moved %u times.", producers, seconds,
            rotation.moves());
        return PrintFigures(results, options_.alerts) && ok;
    }

    Options options_;
    Layout layout_;
};

}  // namespace

int wmain(int argc, wchar_t** argv) {
    Options options;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::wstring flag = argv[i];
        if (flag == L"--machine") {
            options.machine = argv[i + 1];
        } else if (flag == L"--alerts") {
            options.alerts = static_cast<unsigned>(std::wcstoul(argv[i + 1], nullptr, 10));
        } else if (flag == L"--producers") {
            options.producers = static_cast<unsigned>(std::wcstoul(argv[i + 1], nullptr, 10));
        } else {
            std::fwprintf(stderr, L"unknown option %ls\n", flag.c_str());
            return 2;
        }
    }
    if (options.machine.empty() || argc % 2 == 0) {
        std::fwprintf(stderr, L"usage: VantrelDemo --machine FOLDER [--alerts N [--producers M]]\n");
        return 2;
    }
    return Demo(options).run();
}
