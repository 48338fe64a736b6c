// "SettingsManager.exe": the settings manager double as a program of its own,
// on a handle of the bus library found beside it. Its properties are read
// from and written back to the UTF-16 JSON file named by VT_SETTINGS_STATE
// (one object of name -> value). It runs until the event named by
// VT_SETTINGS_STOP_EVENT is set, or until its standard input closes; the
// event named by VT_SETTINGS_READY_EVENT is set once it answers requests.
#include "framework/bus/MessageBusClient.h"
#include "framework/bus/MessageBusShimImpl.h"
#include "framework/json/JSONFormatter.h"
#include "neighbours/MessageBus/BusLibraryBesideProgram.h"
#include "neighbours/SettingsManager/SettingsManagerNeighbour.h"
#include "neighbours/programs/NeighbourProgram.h"

#include <windows.h>

#include <cstdio>
#include <string>

namespace {

std::wstring Environment(const wchar_t* name) {
    wchar_t buffer[2048];
    DWORD length = GetEnvironmentVariableW(name, buffer, 2048);
    return (length > 0 && length < 2048) ? std::wstring(buffer, length) : std::wstring();
}


std::wstring ReadText(const std::wstring& path) {
    std::wstring text;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return text;
    }
    LARGE_INTEGER size{};
    if (GetFileSizeEx(file, &size) && size.QuadPart > 0 && size.QuadPart < (1 << 26)) {
        text.resize(static_cast<std::size_t>(size.QuadPart) / sizeof(wchar_t));
        DWORD read = 0;
        ReadFile(file, text.data(), static_cast<DWORD>(text.size() * sizeof(wchar_t)), &read, nullptr);
        text.resize(read / sizeof(wchar_t));
    }
    CloseHandle(file);
    return text;
}

void WriteText(const std::wstring& path, const std::wstring& text) {
    const std::wstring temporary = path + L".tmp";
    HANDLE file = CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return;
    }
    DWORD written = 0;
    BOOL ok = WriteFile(file, text.data(), static_cast<DWORD>(text.size() * sizeof(wchar_t)), &written,
                        nullptr);
    CloseHandle(file);
    if (ok) {
        MoveFileExW(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING);
    }
}

// Stores every string member of a flat object.
void LoadState(const std::wstring& text, Neighbours::SettingsManagerNeighbour& neighbour) {
    rapidjson::GenericDocument<Tessil::JSONFormatter::Encoding> document;
    document.Parse<rapidjson::kParseIterativeFlag>(text.c_str());
    if (document.HasParseError() || !document.IsObject()) {
        return;
    }
    for (auto& member : document.GetObject()) {
        if (member.value.IsString()) {
            neighbour.store(std::wstring(member.name.GetString(), member.name.GetStringLength()),
                            std::wstring(member.value.GetString(), member.value.GetStringLength()));
        }
    }
}

std::wstring StateText(const std::map<std::wstring, std::wstring>& properties) {
    Tessil::JSONFormatter state;
    for (const auto& [name, value] : properties) {
        state.setString(name, value);
    }
    return state.toString();
}

}  // namespace

int wmain() {
    const Neighbours::BusLibrary library = Neighbours::LoadBusLibraryBesideProgram();
    if (library.module == nullptr) {
        std::fprintf(stderr, "MessageBus.dll not found\n");
        return 2;
    }
    const Tessil::MessageBusFunctions* functions = library.functions;
    Tessil::MessageBusHandle handle = nullptr;
    if (functions == nullptr || functions->open(&handle) != 0 || handle == nullptr) {
        std::fprintf(stderr, "bus handle not opened\n");
        return 3;
    }
    int exitCode = 0;
    {
        auto bus = std::make_shared<Tessil::MessageBusClient>(
            std::make_shared<Tessil::MessageBusShimImpl>(handle, functions));
        Neighbours::SettingsManagerNeighbour neighbour(bus);
        const std::wstring statePath = Environment(L"VT_SETTINGS_STATE");
        if (!statePath.empty()) {
            LoadState(ReadText(statePath), neighbour);
            WriteText(statePath, StateText(neighbour.all()));
            neighbour.setChangeObserver([statePath](const std::map<std::wstring, std::wstring>& all) {
                WriteText(statePath, StateText(all));
            });
        }
        if (!neighbour.start()) {
            std::fprintf(stderr, "subscriptions refused\n");
            exitCode = 4;
        } else {
            std::printf("settings manager: ready\n");
            std::fflush(stdout);
            Neighbours::SignalNamedEvent(Environment(L"VT_SETTINGS_READY_EVENT"));
            if (!Neighbours::WaitForNamedEvent(Environment(L"VT_SETTINGS_STOP_EVENT"))) {
                while (std::getchar() != EOF) {
                }
            }
        }
    }
    functions->close(handle);
    return exitCode;
}
