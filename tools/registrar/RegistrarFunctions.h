// The registrar program's system steps: registry folders, the installer run
// and the deletions scheduled at restart.
#pragma once

#include <windows.h>

#include <string>

// Reads a REG_SZ of up to 259 characters under HKEY_LOCAL_MACHINE\subKey
// (KEY_READ). On success out holds the text up to its first NUL; on failure
// out is unchanged.
bool readMachineRegistryString(const wchar_t* subKey, const wchar_t* valueName, std::wstring& out);

// readMachineRegistryString for a folder: an empty value counts as unreadable,
// since it would name the root of the current drive.
bool readMachineRegistryFolder(const wchar_t* subKey, const wchar_t* valueName, std::wstring& out);

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

// Runs the suite installer's uninstallation and waits for it, then schedules
// the program file, the reference file and the product folder for deletion
// at the next restart. False when a folder value is unreadable or empty or
// the installer could not be run; the installer's own exit code is not
// examined.
bool uninstallComponent(const wchar_t* registryFilePath);

