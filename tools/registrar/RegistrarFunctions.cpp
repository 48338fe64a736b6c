#include "tools/registrar/RegistrarFunctions.h"

#include "platform/Registry/RegKey.h"
#include "platform/files/FileUtils.h"
#include "platform/files/OSInfo.h"
#include "tools/common/KernelHandle.h"

#include <cwchar>
#include <utility>
#include <vector>

namespace {

constexpr const wchar_t* kProductKey = L"Software\\Corvane\\Vantrel";
constexpr const wchar_t* kInstallerKey = L"Software\\Corvane\\CvInst\\InstallSettings";
constexpr const wchar_t* kInstallDirValue = L"Install Dir";
constexpr ULONG kValueChars = 260;

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
    Tessil::KernelHandle process(info.hProcess);
    Tessil::KernelHandle thread(info.hThread);
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

bool uninstallComponent(const wchar_t* registryFilePath) {
    std::wstring installerFolder;
    if (!readMachineRegistryFolder(kInstallerKey, kInstallDirValue, installerFolder)) {
        return false;
    }
    std::wstring productFolder;
    if (!readMachineRegistryFolder(kProductKey, kInstallDirValue, productFolder)) {
        return false;
    }
    const wchar_t* script = isWindowsXpOrLater() != 0 ? L"vantrel64.inf" : L"vantrel32.inf";
    DWORD exitCode = 0;
    if (!runProcessAndWait(uninstallCommandLine(installerFolder, productFolder, script), exitCode)) {
        return false;
    }

    // Without its whole path the program file is left alone.
    const std::wstring programPath = Kelmora::ModuleFilePath(nullptr);
    if (!programPath.empty()) {
        (void)MoveFileExW(programPath.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
    }
    if (registryFilePath != nullptr && *registryFilePath != L'\0') {
        (void)MoveFileExW(registryFilePath, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
    }
    (void)MoveFileExW(productFolder.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
    return true;
}
