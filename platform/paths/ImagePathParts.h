// The parts of the running program's path, as the "App" placeholders use them.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

namespace Kelmora::internal {

inline constexpr unsigned kImageDrive = 1;
inline constexpr unsigned kImageFolder = 2;
inline constexpr unsigned kImageName = 4;
inline constexpr unsigned kImageExtension = 8;

class ImagePathParts {
public:
    // Fills the buffer like GetModuleFileNameW and answers its result.
    using ModuleFileName = std::function<DWORD(wchar_t* buffer, DWORD size)>;

    // Split of the process's program path; all parts stay empty when the path
    // cannot be read in full or cannot be split.
    static ImagePathParts Read(const ModuleFileName& moduleFileName = {});

    // The selected parts, always in the order drive, folder, name, extension.
    std::wstring Join(unsigned parts) const;

    std::wstring drive;
    std::wstring folder;  // ends with a backslash
    std::wstring name;
    std::wstring extension;
};

}  // namespace Kelmora::internal
