#include "tools/registrar/RegistrarFunctions.h"

#include "platform/Registry/RegKey.h"
#include "platform/files/FileUtils.h"
#include "platform/files/OSInfo.h"
#include "platform/wrappers/UniqueHandle.h"
#include "tools/registrar/ReferenceProvider.h"

#include <algorithm>
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
    std::size_t at = 0;
    // The next NUL-terminated string; false at the end of the text.
    const auto next = [&](std::wstring& out) {
        if (at >= renameList.size()) return false;
        const std::size_t end = std::min(renameList.find(L'\0', at), renameList.size());
        out = renameList.substr(at, end - at);
        at = end + 1;
        return true;
    };
    const auto ours = [&](std::wstring source) {
        if (source.rfind(L"\\??\\", 0) == 0) source.erase(0, 4);
        for (const std::wstring& name : names) {
            if (sameName(source, name)) return true;
        }
        return false;
    };
    std::wstring kept;
    std::wstring source;
    std::wstring target;
    while (next(source) && !source.empty()) {
        const bool paired = next(target);
        if (paired && target.empty() && ours(source)) continue;
        kept += source;
        kept.push_back(L'\0');
        if (!paired) break;
        kept += target;
        kept.push_back(L'\0');
    }
    kept.push_back(L'\0');
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
    std::wstring list(size / sizeof(wchar_t) + 1, L'\0');
    status = key.QueryValue(kPendingRenamesValue, &type, reinterpret_cast<BYTE*>(list.data()), &size);
    if (status != ERROR_SUCCESS) {
        return false;
    }
    list.resize(size / sizeof(wchar_t));

    std::vector<std::wstring> names;
    for (const std::wstring& name : restartDeletions(Kelmora::ModuleFilePath(nullptr),
                                                     registryFilePath ? registryFilePath : L"",
                                                     productFolder)) {
        names.push_back(fullPath(name));
    }
    const std::wstring kept = withoutDeletionsOf(list, names);
    if (kept == withoutDeletionsOf(list, {})) {
        return true;  // none of ours: the list stays untouched
    }
    if (kept.size() <= 1) {
        return key.DeleteValue(kPendingRenamesValue) == ERROR_SUCCESS;
    }
    return key.SetValue(kPendingRenamesValue, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(kept.data()),
                        static_cast<DWORD>(kept.size() * sizeof(wchar_t))) == ERROR_SUCCESS;
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
