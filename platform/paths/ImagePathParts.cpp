#include "platform/paths/ImagePathParts.h"

#include <cstdlib>

namespace Kelmora::internal {

ImagePathParts ImagePathParts::Read(const ModuleFileName& moduleFileName) {
    ImagePathParts parts;
    wchar_t path[MAX_PATH] = {};
    const DWORD length = moduleFileName ? moduleFileName(path, MAX_PATH)
                                        : GetModuleFileNameW(nullptr, path, MAX_PATH);
    // A full buffer means the path was cut: no parts rather than a wrong path.
    if (length == 0 || length >= MAX_PATH) {
        return parts;
    }
    path[length] = L'\0';
    wchar_t drive[4] = {};
    wchar_t folder[257] = {};
    wchar_t name[257] = {};
    wchar_t extension[257] = {};
    if (_wsplitpath_s(path, drive, 4, folder, 257, name, 257, extension, 257) != 0) {
        return parts;
    }
    parts.drive = drive;
    parts.folder = folder;
    parts.name = name;
    parts.extension = extension;
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
