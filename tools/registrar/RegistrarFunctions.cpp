#include "tools/registrar/RegistrarFunctions.h"

#include "platform/Registry/RegKey.h"
#include "platform/files/FileUtils.h"
#include "platform/files/OSInfo.h"
#include "platform/wrappers/UniqueHandle.h"
#include "tools/registrar/ReferenceProvider.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <utility>
#include <vector>

namespace {

constexpr const wchar_t* kSessionManagerKey = L"System\\CurrentControlSet\\Control\\Session Manager";
constexpr const wchar_t* kPendingRenamesValue = L"PendingFileRenameOperations";
constexpr ULONG kValueChars = 260;

bool sameName(const std::wstring& a, const std::wstring& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::towupper(a[i]) != std::towupper(b[i])) return false;
    }
    return true;
}

// The full path as the deletion list keeps it; the name itself when that fails.
std::wstring fullPath(const std::wstring& name) {
    const DWORD size = GetFullPathNameW(name.c_str(), 0, nullptr, nullptr);
    if (size == 0) return name;
    std::vector<wchar_t> buffer(size);
    const DWORD length = GetFullPathNameW(name.c_str(), size, buffer.data(), nullptr);
    if (length == 0 || length >= size) return name;
    return std::wstring(buffer.data(), length);
}

}  // namespace

bool readMachineRegistryString(const wchar_t* subKey, const wchar_t* valueName, std::wstring& out) {
    Kelmora::CRegKey key;
    if (key.Open(HKEY_LOCAL_MACHINE, subKey, KEY_READ) != ERROR_SUCCESS) {
        return false;
    }
    wchar_t buffer[kValueChars] = {};
    ULONG chars = kValueChars;
    if (key.QueryStringValue(valueName, buffer, &chars) != ERROR_SUCCESS) {
        return false;
    }
    out.assign(buffer, wcsnlen(buffer, kValueChars));
    return true;
}

bool readMachineRegistryFolder(const wchar_t* subKey, const wchar_t* valueName, std::wstring& out) {
    std::wstring folder;
    if (!readMachineRegistryString(subKey, valueName, folder) || folder.empty()) {
        return false;
    }
    out = std::move(folder);
    return true;
}

bool readProductFolder(std::wstring& out) {
    return readMachineRegistryFolder(kProductKey, kInstallDirValue, out);
}

bool runProcessAndWait(const std::wstring& commandLine, DWORD& exitCode) {
    // CreateProcessW may write into its command line.
    std::vector<wchar_t> buffer(commandLine.begin(), commandLine.end());
    buffer.push_back(L'\0');

    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(nullptr, buffer.data(), nullptr, nullptr, FALSE,
                        CREATE_NO_WINDOW | NORMAL_PRIORITY_CLASS, nullptr, nullptr, &startup,
                        &info)) {
        return false;
    }
    Kelmora::KernelHandle process(info.hProcess);
    Kelmora::KernelHandle thread(info.hThread);
    WaitForSingleObject(process.get(), INFINITE);
    return GetExitCodeProcess(process.get(), &exitCode) != FALSE;
}

bool getOsVersionInfo(int& osNumber, int& platform) {
    Kelmora::internal::OSInfoProxy<Kelmora::WinOSVersionAPI> info;
    return getOsVersionInfoFrom(info, osNumber, platform);
}

int isWindowsXpOrLater() {
    int osNumber = 0;
    int platform = 0;
    (void)getOsVersionInfo(osNumber, platform);
    return platform;
}

std::wstring uninstallCommandLine(const std::wstring& installerFolder,
                                  const std::wstring& productFolder, const std::wstring& script) {
    return L"\"" + installerFolder + L"\\CvInst.exe\" /uninstall \"" + productFolder + L"\\" +
           script + L"\"";
}

std::vector<std::wstring> restartDeletions(const std::wstring& programPath,
                                           const std::wstring& registryFilePath,
                                           const std::wstring& productFolder) {
    std::vector<std::wstring> names;
    if (!programPath.empty()) names.push_back(programPath);
    if (!registryFilePath.empty()) {
        names.push_back(registryFilePath);
        names.push_back(Tessil::JSONReferenceProvider::newFilePath(registryFilePath));
    }
    names.push_back(productFolder);
    return names;
}

std::wstring withoutDeletionsOf(const std::wstring& renameList,
                                const std::vector<std::wstring>& names) {
    const auto ours = [&](std::wstring source) {
        if (source.rfind(L"\\??\\", 0) == 0) source.erase(0, 4);
        for (const std::wstring& name : names) {
            if (sameName(source, name)) return true;
        }
        return false;
    };
    // Whole pairs are read from the start, as the restart reads them; only
    // ours are cut out, so every later string keeps its partner.
    std::wstring kept;
    std::size_t at = 0;
    while (at < renameList.size()) {
        const std::size_t sourceEnd = renameList.find(L'\0', at);
        if (sourceEnd == std::wstring::npos || sourceEnd == at) break;  // unended, or the end
        const std::size_t targetEnd = renameList.find(L'\0', sourceEnd + 1);
        if (targetEnd == std::wstring::npos) break;  // a source without its target
        const std::size_t next = targetEnd + 1;
        if (targetEnd != sourceEnd + 1 || !ours(renameList.substr(at, sourceEnd - at))) {
            kept.append(renameList, at, next - at);
        }
        at = next;
    }
    kept.append(renameList, at, std::wstring::npos);
    return kept;
}

bool cancelRestartDeletions(const wchar_t* registryFilePath) {
    std::wstring productFolder;
    if (!readProductFolder(productFolder)) {
        return false;
    }
    Kelmora::CRegKey key;
    if (key.Open(HKEY_LOCAL_MACHINE, kSessionManagerKey, KEY_READ | KEY_SET_VALUE) != ERROR_SUCCESS) {
        return false;
    }
    DWORD type = 0;
    DWORD size = 0;
    LONG status = key.QueryValue(kPendingRenamesValue, &type, nullptr, &size);
    if (status == ERROR_FILE_NOT_FOUND) {
        return true;  // nothing pending
    }
    if (status != ERROR_SUCCESS || type != REG_MULTI_SZ) {
        return false;
    }
    std::vector<BYTE> data(size);
    status = key.QueryValue(kPendingRenamesValue, &type, data.data(), &size);
    if (status != ERROR_SUCCESS || type != REG_MULTI_SZ || size > data.size()) {
        return false;
    }
    data.resize(size);
    std::wstring list(size / sizeof(wchar_t), L'\0');
    std::memcpy(list.data(), data.data(), list.size() * sizeof(wchar_t));

    std::vector<std::wstring> names;
    for (const std::wstring& name : restartDeletions(Kelmora::ModuleFilePath(nullptr),
                                                     registryFilePath ? registryFilePath : L"",
                                                     productFolder)) {
        names.push_back(fullPath(name));
    }
    const std::wstring kept = withoutDeletionsOf(list, names);
    if (kept == list) {
        return true;  // none of ours: the list stays untouched
    }
    // An odd last byte is no part of any string: it stays after them.
    const std::size_t listBytes = list.size() * sizeof(wchar_t);
    std::vector<BYTE> keptData(kept.size() * sizeof(wchar_t));
    std::memcpy(keptData.data(), kept.data(), keptData.size());
    keptData.insert(keptData.end(), data.begin() + static_cast<std::ptrdiff_t>(listBytes), data.end());
    if (std::all_of(keptData.begin(), keptData.end(), [](BYTE b) { return b == 0; })) {
        return key.DeleteValue(kPendingRenamesValue) == ERROR_SUCCESS;  // nothing left to do
    }
    const DWORD keptSize = static_cast<DWORD>(keptData.size());
    // RegSetValueExW counts in a NUL character that follows an unended last
    // string; none follows this one.
    keptData.insert(keptData.end(), {0xFF, 0xFF});
    return key.SetValue(kPendingRenamesValue, REG_MULTI_SZ, keptData.data(), keptSize) ==
           ERROR_SUCCESS;
}

bool uninstallComponent(const wchar_t* registryFilePath) {
    std::wstring installerFolder;
    if (!readMachineRegistryFolder(kInstallerKey, kInstallDirValue, installerFolder)) {
        return false;
    }
    std::wstring productFolder;
    if (!readProductFolder(productFolder)) {
        return false;
    }
    const wchar_t* script = isWindowsXpOrLater() != 0 ? L"vantrel64.inf" : L"vantrel32.inf";
    DWORD exitCode = 0;
    if (!runProcessAndWait(uninstallCommandLine(installerFolder, productFolder, script), exitCode)) {
        return false;
    }

    // Without its whole path the program file is left alone.
    for (const std::wstring& name : restartDeletions(Kelmora::ModuleFilePath(nullptr),
                                                     registryFilePath ? registryFilePath : L"",
                                                     productFolder)) {
        (void)MoveFileExW(name.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
    }
    return true;
}
