// ModuleHost.exe <module library> [options]
//   --v2 <bus library>       initialise with the host's own bus handle
//   --log <name>             log name handed to NewModule
//   --direct <name>=<text>   a direct message while started (repeatable)
//   --property <name>=<text> a property (repeatable)
//   --install-dir <folder>   test set-up: a private HKLM of this process whose
//   --validation-dir <folder>  host install folder and validation library are these
//   --ready-event <name>     set once the module is started
//   --stop-event <name>      while started, wait until this is set
// Prints one line per entry point ("<entry> <status>") and exits 0 when every
// entry answered success, 1 when one failed, 2 on bad arguments or loading.
#include "neighbours/host/ModuleHost.h"
#include "neighbours/programs/NeighbourProgram.h"

#include <windows.h>

#include <cstdio>
#include <string>

namespace {

std::pair<std::wstring, std::wstring> splitPair(const std::wstring& text) {
    const auto at = text.find(L'=');
    return at == std::wstring::npos ? std::make_pair(text, std::wstring())
                                    : std::make_pair(text.substr(0, at), text.substr(at + 1));
}

bool setString(HKEY root, const wchar_t* subKey, const wchar_t* name, const std::wstring& value) {
    HKEY key = nullptr;
    if (RegCreateKeyExW(root, subKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) != 0) {
        return false;
    }
    const LONG result =
        RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                       static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
    return result == 0;
}

// Redirects HKLM of this process to a fresh key under HKCU holding only what
// the module needs: the host's install folder and the validation library.
bool privateMachineKey(const std::wstring& installDir, const std::wstring& validationDir,
                       std::wstring& privatePath) {
    privatePath = L"Software\\VantrelModuleHost-" + std::to_wstring(GetCurrentProcessId());
    HKEY root = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, privatePath.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                        nullptr, &root, nullptr) != 0) {
        return false;
    }
    bool ok = true;
    if (!installDir.empty()) {
        ok = ok && setString(root, L"SOFTWARE\\CORVANE\\HALVEX", L"Install Dir", installDir);
    }
    if (!validationDir.empty()) {
        ok = ok && setString(root, L"Software\\Corvane\\Bastrel", L"szInstallDir64", validationDir) &&
             setString(root, L"Software\\Corvane\\Bastrel", L"bastrel_version", L"15.4");
    }
    ok = ok && RegOverridePredefKey(HKEY_LOCAL_MACHINE, root) == 0;
    RegCloseKey(root);
    return ok;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) {
        return 2;
    }
    Tessil::host::LifeCycleOptions options;
    std::wstring busLibrary;
    std::wstring installDir;
    std::wstring validationDir;
    std::wstring readyEvent;
    std::wstring stopEvent;
    for (int i = 2; i < argc; ++i) {
        const std::wstring flag = argv[i];
        if (i + 1 >= argc) {
            return 2;
        }
        const std::wstring value = argv[++i];
        if (flag == L"--v2") {
            options.initializeVersion = 2;
            busLibrary = value;
        } else if (flag == L"--log") {
            options.logName = value;
        } else if (flag == L"--direct") {
            auto [name, payload] = splitPair(value);
            options.directMessages.push_back({name, payload});
        } else if (flag == L"--property") {
            options.properties.push_back(splitPair(value));
        } else if (flag == L"--install-dir") {
            installDir = value;
        } else if (flag == L"--validation-dir") {
            validationDir = value;
        } else if (flag == L"--ready-event") {
            readyEvent = value;
        } else if (flag == L"--stop-event") {
            stopEvent = value;
        } else {
            return 2;
        }
    }
    std::wstring privatePath;
    if (!installDir.empty() || !validationDir.empty()) {
        if (!privateMachineKey(installDir, validationDir, privatePath)) {
            return 2;
        }
    }
    if (!readyEvent.empty() || !stopEvent.empty()) {
        options.whileStarted = [&readyEvent, &stopEvent] {
            Neighbours::SignalNamedEvent(readyEvent);
            Neighbours::WaitForNamedEvent(stopEvent);
        };
    }
    int exitCode = 2;
    {
        Tessil::host::ModuleHost host;
        if (host.loadModule(argv[1]) && (busLibrary.empty() || host.openHostBus(busLibrary))) {
            const auto steps = host.runLifeCycle(options);
            for (const auto& step : steps) {
                std::printf("%ls %lu\n", step.entry.c_str(), static_cast<unsigned long>(step.status));
            }
            exitCode = Tessil::host::allSucceeded(steps) ? 0 : 1;
        }
    }
    std::fflush(stdout);
    if (!privatePath.empty()) {
        RegOverridePredefKey(HKEY_LOCAL_MACHINE, nullptr);
        RegDeleteTreeW(HKEY_CURRENT_USER, privatePath.c_str());
        RegDeleteKeyW(HKEY_CURRENT_USER, privatePath.c_str());
    }
    return exitCode;
}
