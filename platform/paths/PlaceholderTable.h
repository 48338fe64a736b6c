// The placeholders that both expanders (Tessil::PathHelpers and
// Kelmora::CommonReplacements) answer the same way, built for either one's
// implementation class: the four "App" parts of the program path,
// "$(OS.Platform)" and the known folders.
#pragma once

#include "platform/Thread/Once.h"
#include "platform/paths/ImagePathParts.h"
#include "platform/paths/KnownFolders.h"

#include <functional>
#include <string>
#include <unordered_map>

namespace Kelmora::internal {

template <typename Impl>
using PlaceholderTable = std::unordered_map<std::wstring, std::function<std::wstring(const Impl&)>>;

// Each expander's own copy of the program path parts, read at its first use.
template <typename Impl>
const ImagePathParts& ImagePathPartsOf() {
    static Kelmora::OnceFlag once;
    static ImagePathParts parts;
    once.call([] { parts = ImagePathParts::Read(); });
    return parts;
}

// Impl holds an osInfo with GetPlatform and a shell for KnownFolderPath.
template <typename Impl>
PlaceholderTable<Impl> SharedPlaceholders() {
    auto appParts = [](unsigned parts) {
        return [parts](const Impl&) { return ImagePathPartsOf<Impl>().Join(parts); };
    };
    PlaceholderTable<Impl> table = {
        {L"$(App.Path)", appParts(kImageDrive | kImageFolder | kImageName | kImageExtension)},
        {L"$(App.Folder)", appParts(kImageDrive | kImageFolder)},
        {L"$(App.Name)", appParts(kImageName)},
        {L"$(App.Binary)", appParts(kImageName | kImageExtension)},
        {L"$(OS.Platform)",
         [](const Impl& impl) { return PlatformName(static_cast<unsigned long>(impl.osInfo->GetPlatform())); }},
    };
    for (const auto& known : kKnownFolderPlaceholders) {
        const KNOWNFOLDERID* id = known.id;
        table.emplace(known.placeholder, [id](const Impl& impl) { return KnownFolderPath(*impl.shell, *id); });
    }
    return table;
}

}  // namespace Kelmora::internal
