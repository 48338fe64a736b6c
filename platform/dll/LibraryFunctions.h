// What a loadable library is looked up by: its file name and folders, and
// the four standard exports every such library has.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace Tessil {

struct LibraryDescriptor {
    std::wstring fileName;
    std::vector<std::wstring> searchPaths;  // in order of preference; may hold placeholders
};

using CreateObjectFn = const void* (*)(std::uint32_t version);
using ReleaseObjectFn = void (*)(void* object);
using GetVersionStrFn = const char* (*)();
using GetVersionNumFn = std::uint32_t (*)();

struct LibraryFunctions {
    CreateObjectFn CreateObject = nullptr;
    ReleaseObjectFn ReleaseObject = nullptr;
    GetVersionStrFn GetVersionStr = nullptr;
    GetVersionNumFn GetVersionNum = nullptr;
};

}  // namespace Tessil
