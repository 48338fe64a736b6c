// File and folder utilities. A null or empty path makes every
// test false. Paths are plain wide strings.
#pragma once

#include <windows.h>

#include <string>

namespace Kelmora {

bool FileExists(const wchar_t* path);
bool DirectoryExists(const wchar_t* path);
// _wstat succeeds and the mode has the regular-file bit.
bool IsRegularFile(const wchar_t* path);

// Deletes the files matching pattern (which must hold a backslash that is
// not its last character), clearing their read-only attribute; recursive
// also deletes matching folders with everything in them. A link or
// junction is removed itself, never what it points to. Every entry is tried;
// false when any failed or nothing matched.
bool DeleteFiles(const wchar_t* pattern, bool recursive);
// Deletes the folder and everything in it; false for ".", ".." and a path
// that is no folder. A link or junction is removed, not followed.
bool DeleteDirectoryTree(const wchar_t* path);
// Creates the folder and its missing parents. An existing folder answers
// 183 and true; a path that exists as a file (or has a file as a parent)
// answers false. error may be null.
bool CreateDirectoryTree(const wchar_t* path, DWORD* error);
// Puts the file at from in the place of the file at to with one rename over
// it, so that at every moment, across a kill too, to names the old file or
// the whole new one: the new file's bytes are flushed to the disk first, and
// it takes the attributes of the file it replaces (keeps its own when there
// is none). A folder or a read-only file at to is not replaced
// (ERROR_ACCESS_DENIED), nor, under Wine, a file someone holds open. False
// with the last error set when any step fails; to is then as it was.
bool ReplaceFileByRename(const wchar_t* from, const wchar_t* to);

// The longest path the system allows, in characters with its terminating NUL.
inline constexpr DWORD kLongestPath = 32768;
// Fills the buffer like GetModuleFileNameW.
using ModuleFileNameFunction = DWORD(WINAPI*)(HMODULE module, LPWSTR buffer, DWORD size);
// The module's file path (null module: the program's), the buffer grown
// until the whole path fits; empty when the call fails or the path does not
// fit even the longest path, never a cut path.
std::wstring ModuleFilePath(HMODULE module, ModuleFileNameFunction moduleFileName = GetModuleFileNameW);

// GetCurrentDirectoryW; empty when it fails.
std::wstring GetCurrentFolder();
// The module's path split at its last backslash (null module: the program).
bool SplitModulePath(HMODULE module, std::wstring& folder, std::wstring& fileName);
bool GetModuleFolder(HMODULE module, std::wstring& folder);
bool GetProcessFolder(std::wstring& folder);
// The path of a file in the program's folder; empty when the program's path
// cannot be read.
std::wstring PathBesideProgram(const wchar_t* file);

}  // namespace Kelmora
