#include "platform/paths/ImagePathParts.h"

#include "platform/files/FileUtils.h"

namespace Kelmora::internal {

ImagePathParts ImagePathParts::Read() { return Split(ModuleFilePath(nullptr)); }

ImagePathParts ImagePathParts::Split(const std::wstring& path) {
    ImagePathParts parts;
    std::size_t start = 0;
    if (path.size() >= 2 && path[1] == L':') {
        parts.drive = path.substr(0, 2);
        start = 2;
    }
    const std::size_t slash = path.find_last_of(L"\\/");
    const std::size_t nameStart = slash == std::wstring::npos || slash < start ? start : slash + 1;
    parts.folder = path.substr(start, nameStart - start);
    const std::wstring file = path.substr(nameStart);
    const std::size_t dot = file.rfind(L'.');
    parts.name = file.substr(0, dot);
    parts.extension = dot == std::wstring::npos ? std::wstring() : file.substr(dot);
    return parts;
}

std::wstring ImagePathParts::Join(unsigned selected) const {
    std::wstring text;
    if (selected & kImageDrive) text += drive;
    if (selected & kImageFolder) text += folder;
    if (selected & kImageName) text += name;
    if (selected & kImageExtension) text += extension;
    return text;
}

}  // namespace Kelmora::internal
