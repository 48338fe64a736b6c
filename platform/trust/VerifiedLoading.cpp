// The process-wide entry points: VerifyFile, LoadVerifiedLibrary and
// CreateVerifiedInstance.
#include <windows.h>
#include <objbase.h>
#include <psapi.h>

#include <algorithm>
#include <cstdint>
#include <exception>
#include <string>
#include <vector>

#include "platform/trust/TrustHandles.h"
#include "platform/trust/TrustVerifier.h"

namespace Tessil {

// The class factory the verified road asks for: slot 3 creates the object.
// Outside an anonymous namespace, so the compiler cannot assume it has no
// implementation.
class VerifiedClassFactory : public IUnknown {
public:
    virtual HRESULT STDMETHODCALLTYPE CreateObject(REFIID interfaceId, void** out) = 0;
};

}  // namespace Tessil

namespace {

using namespace Tessil::trust_detail;

// {FD542581-722E-45BE-BED4-62A1BE46AF03}
constexpr GUID kFactoryInterface = {
    0xFD542581, 0x722E, 0x45BE, {0xBE, 0xD4, 0x62, 0xA1, 0xBE, 0x46, 0xAF, 0x03}};
// {6058502E-6069-43F4-B733-128649A20BD5}
constexpr GUID kFactoryInterfaceOld = {
    0x6058502E, 0x6069, 0x43F4, {0xB7, 0x33, 0x12, 0x86, 0x49, 0xA2, 0x0B, 0xD5}};

constexpr DWORD kModuleRoom = 4096;

// File name of the loaded module whose image holds the address; empty when
// none does.
std::wstring ModuleFileHolding(const void* address) {
    KernelHandle process(OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE,
                                     GetCurrentProcessId()));
    if (!process) return std::wstring();
    std::vector<HMODULE> modules(kModuleRoom);
    DWORD needed = 0;
    if (!EnumProcessModules(process.get(), modules.data(),
                            static_cast<DWORD>(modules.size() * sizeof(HMODULE)), &needed))
        return std::wstring();
    // More modules than room: list them again with enough room.
    if (needed > modules.size() * sizeof(HMODULE)) {
        modules.resize(needed / sizeof(HMODULE) + 64);
        if (!EnumProcessModules(process.get(), modules.data(),
                                static_cast<DWORD>(modules.size() * sizeof(HMODULE)), &needed))
            return std::wstring();
    }
    const std::size_t count = std::min<std::size_t>(needed / sizeof(HMODULE), modules.size());
    const auto code = reinterpret_cast<std::uintptr_t>(address);
    for (std::size_t i = 0; i < count; ++i) {
        MODULEINFO info{};
        if (!GetModuleInformation(process.get(), modules[i], &info, sizeof(info))) continue;
        const auto base = reinterpret_cast<std::uintptr_t>(info.lpBaseOfDll);
        if (base <= code && code < base + info.SizeOfImage) {
            wchar_t name[MAX_PATH + 1] = {};
            DWORD chars = GetModuleFileNameExW(process.get(), modules[i], name, MAX_PATH);
            return chars ? std::wstring(name, chars) : std::wstring();
        }
    }
    return std::wstring();
}

}  // namespace

DWORD VerifyFile(const wchar_t* path) {
    if (!path || !*path) return ERROR_INVALID_PARAMETER;
    try {
        return Tessil::TrustVerifier::GetInstance().Verify(path);
    } catch (const std::exception&) {
        return ERROR_ACCESS_DENIED;  // the verifier could not be made: nothing is trusted
    }
}

HMODULE LoadVerifiedLibrary(const wchar_t* path, DWORD flags) {
    if (!path || !*path) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    // Held without write or delete sharing from the check until loaded, so
    // the checked file is the loaded one. A file that cannot be held (missing,
    // or open elsewhere with write or delete access) is not trusted.
    FileHandle held = OpenDenyingChanges(path);
    if (!held) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    DWORD verdict = VerifyFile(path);
    if (verdict != ERROR_SUCCESS) {
        held.reset();
        SetLastError(verdict);
        return nullptr;
    }
    // Flags that name no search locations would take the library's own
    // dependencies from the host's search order.
    constexpr DWORD kSearchLocations =
        LOAD_WITH_ALTERED_SEARCH_PATH | LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR |
        LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_USER_DIRS |
        LOAD_LIBRARY_SEARCH_SYSTEM32 | LOAD_LIBRARY_SEARCH_DEFAULT_DIRS;
    if ((flags & kSearchLocations) == 0) flags |= Tessil::kVerifiedLibrarySearchFlags;
    HMODULE module = LoadLibraryExW(path, nullptr, flags);
    held.reset();
    return module;
}

HRESULT CreateVerifiedInstance(REFCLSID classId, IUnknown* outer, DWORD context, REFIID interfaceId,
                               void** out, bool verify) {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (!verify) return CoCreateInstance(classId, outer, context, interfaceId, out);

    void* factoryPointer = nullptr;
    HRESULT hr = CoGetClassObject(classId, context, nullptr, kFactoryInterface, &factoryPointer);
    if (FAILED(hr)) {
        if (factoryPointer) static_cast<IUnknown*>(factoryPointer)->Release();
        factoryPointer = nullptr;
        hr = CoGetClassObject(classId, context, nullptr, kFactoryInterfaceOld, &factoryPointer);
        if (FAILED(hr)) {
            if (factoryPointer) static_cast<IUnknown*>(factoryPointer)->Release();
            return hr;
        }
    }
    if (!factoryPointer) return E_NOINTERFACE;
    auto* factory = static_cast<Tessil::VerifiedClassFactory*>(factoryPointer);

    // The first entry of the factory's table points into its module's code.
    void* const* table = *reinterpret_cast<void* const* const*>(factory);
    std::wstring module = ModuleFileHolding(table[0]);
    if (VerifyFile(module.c_str()) != ERROR_SUCCESS) {
        factory->Release();
        return E_ACCESSDENIED;
    }
    hr = factory->CreateObject(interfaceId, out);
    factory->Release();
    return hr;
}
