#include "platform/paths/PathHelpers.h"

#include "platform/paths/PlaceholderExpansion.h"
#include "platform/paths/PlaceholderTable.h"
#include "platform/wrappers/OSInfo.h"
#include "platform/wrappers/RegistryAPI.h"
#include "platform/wrappers/ShlObjAPI.h"

#include <functional>
#include <unordered_map>

namespace Tessil {

class PathHelpers::_Impl {
public:
    std::shared_ptr<ShlObjAPI> shell;
    std::shared_ptr<OSInfo> osInfo;
    std::shared_ptr<RegistryAPI> registry;
};

namespace {

using Value = std::function<std::wstring(const PathHelpers::_Impl&)>;

const wchar_t kHostKey[] = L"SOFTWARE\\CORVANE\\HALVEX";

std::unordered_map<std::wstring, Value> buildTable() {
    auto table = Kelmora::internal::SharedPlaceholders<PathHelpers::_Impl>();
    table.emplace(L"$(Halvex.InstallDir)", [](const PathHelpers::_Impl& impl) {
        const wchar_t* valueName = impl.osInfo->IsWow64() ? L"Install Dir32" : L"Install Dir";
        std::wstring folder;
        if (impl.registry->readString(kHostKey, valueName, folder) != 0) {
            folder.clear();
        }
        return folder;
    });
    return table;
}

// Built when the library is loaded; only read afterwards.
const std::unordered_map<std::wstring, Value> kTable = buildTable();

}  // namespace

PathHelpers::PathHelpers(std::shared_ptr<ShlObjAPI> shell, std::shared_ptr<OSInfo> osInfo,
                         std::shared_ptr<RegistryAPI> registry)
    : impl_(std::make_shared<_Impl>()) {
    impl_->shell = shell ? std::move(shell) : std::make_shared<ShlObjAPI>();
    impl_->osInfo = osInfo ? std::move(osInfo) : std::make_shared<OSInfo>();
    impl_->registry = registry ? std::move(registry) : std::make_shared<RegistryAPI>();
}

PathHelpers::~PathHelpers() = default;

bool PathHelpers::expand(std::wstring& text) {
    const _Impl& impl = *impl_;
    Kelmora::internal::ExpandPlaceholders(text, [&impl](const std::wstring& placeholder) {
        auto it = kTable.find(placeholder);
        return it != kTable.end() ? it->second(impl) : std::wstring();
    });
    return true;
}

}  // namespace Tessil
