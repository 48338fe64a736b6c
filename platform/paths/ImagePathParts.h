// The parts of the running program's path, as the "App" placeholders use them.
#pragma once

#include <string>

namespace Kelmora::internal {

inline constexpr unsigned kImageDrive = 1;
inline constexpr unsigned kImageFolder = 2;
inline constexpr unsigned kImageName = 4;
inline constexpr unsigned kImageExtension = 8;

class ImagePathParts {
public:
    // Split of the process's program path; all parts stay empty when the path
    // cannot be read in full.
    static ImagePathParts Read();
    // Split of a path as _wsplitpath splits it; an empty path has no parts.
    static ImagePathParts Split(const std::wstring& path);

    // The selected parts, always in the order drive, folder, name, extension.
    std::wstring Join(unsigned parts) const;

    std::wstring drive;
    std::wstring folder;  // ends with a backslash
    std::wstring name;
    std::wstring extension;
};

}  // namespace Kelmora::internal
