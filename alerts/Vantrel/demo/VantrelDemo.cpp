// VantrelDemo.exe --vantrel <Vantrel.dll> --bus <signed MessageBus.dll>
//                 --validation <folder> --plugin <signed plug-in>
// Hosts Vantrel.dll with the neighbours it talks to, sends one alert and
// prints what became of it. Exits 0 when the alert was queued, shown and
// closed, 1 otherwise, 2 on bad arguments.
#include "alerts/Vantrel/rig/VantrelRig.h"

#include <cstdio>
#include <string>

int wmain(int argc, wchar_t** argv) {
    VantrelRig::Paths paths;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::wstring flag = argv[i];
        const std::wstring value = argv[i + 1];
        if (flag == L"--vantrel") {
            paths.vantrel = value;
        } else if (flag == L"--bus") {
            paths.busLibrary = value;
        } else if (flag == L"--validation") {
            paths.validationFolder = value;
        } else if (flag == L"--plugin") {
            paths.plugin = value;
        } else {
            std::fwprintf(stderr, L"unknown option %ls\n", flag.c_str());
            return 2;
        }
    }
    if (paths.vantrel.empty() || paths.busLibrary.empty() || paths.validationFolder.empty() || paths.plugin.empty()) {
        std::fwprintf(stderr, L"usage: VantrelDemo --vantrel DLL --bus DLL --validation FOLDER --plugin DLL\n");
        return 2;
    }
    VantrelRig::Machine machine(paths);
    if (!machine.ok()) {
        std::fwprintf(stderr, L"set-up failed: %ls\n", machine.error().c_str());
        return 1;
    }
    VantrelRig::Scenario scenario;
    scenario.logName = L"VantrelDemo";
    const std::wstring logFolder = VantrelRig::moduleLogFolder(scenario.logName);
    VantrelRig::clearLogFiles(logFolder);
    scenario.onNote = [](const std::wstring& text) {
        std::wprintf(L"  %ls\n", text.c_str());
        std::fflush(stdout);
    };
    std::wprintf(L"Vantrel demo: one alert through the module host\n");
    const VantrelRig::Outcome outcome = VantrelRig::run(paths, scenario);
    const auto logLines = VantrelRig::readLogLines(logFolder);
    std::wprintf(L"The module's own log (%ls):\n", logFolder.c_str());
    for (const auto& line : logLines) {
        std::wprintf(L"  | %ls\n", line.c_str());
    }
    const bool queued = outcome.reply.find(L".Queued.") != std::wstring::npos;
    const bool closed = outcome.closing.find(L".Dismissed.") != std::wstring::npos;
    std::wprintf(L"Result: the alert was %ls, %ls and %ls.\n", queued ? L"queued" : L"NOT queued",
                 outcome.shownContent.empty() ? L"NOT shown" : L"shown",
                 closed ? L"dismissed by the viewer" : L"NOT closed");
    std::fflush(stdout);
    return queued && closed && Tessil::host::allSucceeded(outcome.steps) ? 0 : 1;
}
