// The registrar program's system steps: registry folders, the installer run
// and the deletions scheduled at restart.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

// The product's key under HKEY_LOCAL_MACHINE, whose value kInstallDirValue
// names the product folder; the suite installer's key names its own folder
// with a value of the same name.
inline constexpr const wchar_t* kProductKey = L"Software\\Corvane\\Vantrel";
inline constexpr const wchar_t* kInstallerKey = L"Software\\Corvane\\CvInst\\InstallSettings";
inline constexpr const wchar_t* kInstallDirValue = L"Install Dir";

// Reads a REG_SZ of up to 259 characters under HKEY_LOCAL_MACHINE\subKey
// (KEY_READ). On success out holds the text up to its first NUL; on failure
// out is unchanged.
bool readMachineRegistryString(const wchar_t* subKey, const wchar_t* valueName, std::wstring& out);

// readMachineRegistryString for a folder: an empty value counts as unreadable,
// since it would name the root of the current drive.
bool readMachineRegistryFolder(const wchar_t* subKey, const wchar_t* valueName, std::wstring& out);

// The product folder: readMachineRegistryFolder of the product's key.
bool readProductFolder(std::wstring& out);

// Starts the command line without a window and waits for the process to end.
// True when its exit code could be read.
bool runProcessAndWait(const std::wstring& commandLine, DWORD& exitCode);

// The Windows version from the OS information service: osNumber and the
// platform flag (0 win32, 1 x64; "unknown" reads as 0). False, outputs
// untouched, when detection failed; false with osNumber 0 and the platform
// set for an unknown Windows version.
bool getOsVersionInfo(int& osNumber, int& platform);

// Over any OS information object with GetOSInfo(osNumber, platform).
template <typename OSInfo>
bool getOsVersionInfoFrom(OSInfo& info, int& osNumber, int& platform) {
    DWORD detectedNumber = 0;
    DWORD detectedPlatform = 2;
    if (!info.GetOSInfo(detectedNumber, detectedPlatform)) {
        return false;
    }
    osNumber = static_cast<int>(detectedNumber);
    platform = detectedPlatform == 2 ? 0 : static_cast<int>(detectedPlatform);
    if (osNumber == 12) {
        osNumber = 0;
        return false;
    }
    return true;
}

// 1 on Windows NT 5.1 and later, else 0 (also when detection fails).
int isWindowsXpOrLater();

// "<installer folder>\CvInst.exe" /uninstall "<product folder>\<script>"
std::wstring uninstallCommandLine(const std::wstring& installerFolder,
                                  const std::wstring& productFolder, const std::wstring& script);

// The names an uninstallation schedules for deletion at the next restart, in
// this order: the program file (left out when empty), the reference file and
// the new file of an interrupted save (both left out when the reference file
// path is empty), the product folder.
std::vector<std::wstring> restartDeletions(const std::wstring& programPath,
                                           const std::wstring& registryFilePath,
                                           const std::wstring& productFolder);

// A rename list as PendingFileRenameOperations holds it (pairs of source and
// target, each NUL-terminated, the list ending in an empty string) without the
// deletions (empty target) whose source, less a leading "\??\", is one of
// names, compared without regard to letter case. Pairs are read from the start
// up to the first empty source or string without a partner; the rest, and
// every pair not cut out, stays character for character. Free of Win32.
std::wstring withoutDeletionsOf(const std::wstring& renameList,
                                const std::vector<std::wstring>& names);

// Removes from PendingFileRenameOperations the deletions an uninstallation
// scheduled (restartDeletions of this program, the reference file and the
// product folder), so that a restart after a new registration keeps them.
// False when the list could not be read or written; true when there was none.
bool cancelRestartDeletions(const wchar_t* registryFilePath);

// Runs the suite installer's uninstallation and waits for it, then schedules
// the program file, the reference file and the product folder for deletion
// at the next restart. False when a folder value is unreadable or empty or
// the installer could not be run; the installer's own exit code is not
// examined.
bool uninstallComponent(const wchar_t* registryFilePath);

