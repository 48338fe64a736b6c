#include "platform/paths/CommonReplacements.h"

#include "platform/paths/PlaceholderExpansion.h"
#include "platform/paths/PlaceholderTable.h"
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

// Built when the library is loaded; only read afterwards.
const internal::PlaceholderTable<CommonReplacements::_Impl> kTable =
    internal::SharedPlaceholders<CommonReplacements::_Impl>();

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
