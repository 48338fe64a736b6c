// Module names and the file version used by both loggers.
#pragma once

#include <windows.h>

#include <string>

namespace ETWLogging::internal {

// File name of the module (the process's program file for null): the part of
// its full path after the last "\". False when the path is empty or has no "\".
bool ModuleFileName(HMODULE module, std::wstring& fileName);

// The name cut before its last "." (the whole name when there is none).
std::wstring StripExtension(const std::wstring& fileName);

// The module that holds the logging code.
HMODULE ModuleOfLoggingCode();

// "FileVersion" of the first translation listed in the file's version
// resource, with "a,b,c,d" rewritten as "a.b.c.d"; empty without one.
std::wstring FileVersionOf(const std::wstring& path);

}  // namespace ETWLogging::internal
