#include "platform/paths/CommonReplacements.h"

#include "platform/Thread/Once.h"
#include "platform/paths/ImagePathParts.h"
#include "platform/paths/KnownFolders.h"
#include "platform/paths/PlaceholderExpansion.h"
#include "platform/wrappers/OSInfo.h"
#include "platform/wrappers/ShlObjAPI.h"


namespace Kelmora {

class CommonReplacements::_Impl {
public:
    std::shared_ptr<ShlObjAPI> shell;
    std::shared_ptr<OSInfo> osInfo;
    ReplacementStats stats;
};

namespace {

using internal::ImagePathParts;
using Value = std::function<std::wstring(const CommonReplacements::_Impl&)>;

// This class's own copy of the program path parts, read at the first use.
const ImagePathParts& imagePathParts() {
    static Kelmora::OnceFlag once;
    static ImagePathParts parts;
    once.call([] { parts = ImagePathParts::Read(); });
    return parts;
}

Value appParts(unsigned parts) {
    return [parts](const CommonReplacements::_Impl&) { return imagePathParts().Join(parts); };
}

std::unordered_map<std::wstring, Value> buildTable() {
    std::unordered_map<std::wstring, Value> table = {
        {L"$(App.Path)", appParts(15)},
        {L"$(App.Folder)", appParts(3)},
        {L"$(App.Name)", appParts(4)},
        {L"$(App.Binary)", appParts(12)},
        {L"$(OS.Platform)",
         [](const CommonReplacements::_Impl& impl) {
             return internal::PlatformName(static_cast<unsigned long>(impl.osInfo->GetPlatform()));
         }},
    };
    for (const auto& known : internal::kKnownFolderPlaceholders) {
        const KNOWNFOLDERID* id = known.id;
        table.emplace(known.placeholder, [id](const CommonReplacements::_Impl& impl) {
            return KnownFolderPath(*impl.shell, *id);
        });
    }
    return table;
}

// Built when the library is loaded; only read afterwards.
const std::unordered_map<std::wstring, Value> kTable = buildTable();

}  // namespace

CommonReplacements::CommonReplacements(std::shared_ptr<ShlObjAPI> shell,
                                       std::shared_ptr<OSInfo> osInfo)
    : impl_(std::make_shared<_Impl>()) {
    impl_->shell = shell ? std::move(shell) : std::make_shared<ShlObjAPI>();
    impl_->osInfo = osInfo ? std::move(osInfo) : std::make_shared<OSInfo>();
}

CommonReplacements::~CommonReplacements() = default;

bool CommonReplacements::Replace(std::wstring& text, const Table& callerTable) {
    const _Impl& impl = *impl_;
    const auto counts =
        internal::ExpandPlaceholders(text, [&](const std::wstring& placeholder) -> std::wstring {
            auto own = callerTable.find(placeholder);
            if (own != callerTable.end()) {
                // A caller entry that answers empty leaves the placeholder.
                return own->second ? own->second() : std::wstring();
            }
            auto builtIn = kTable.find(placeholder);
            return builtIn != kTable.end() ? builtIn->second(impl) : std::wstring();
        });
    impl_->stats.found = counts.found;
    impl_->stats.replaced = counts.replaced;
    return true;
}

bool CommonReplacements::Replace(std::wstring& text) {
    return Replace(text, Table());
}

ReplacementStats CommonReplacements::GetStats() {
    return impl_->stats;
}

}  // namespace Kelmora
