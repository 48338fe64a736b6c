// The framework's placeholder expander, used for library search folders.
#pragma once

#include <memory>
#include <string>

namespace Kelmora {
class WinOSVersionAPI;
namespace internal {
template <typename Api>
class OSInfoProxy;
}
}  // namespace Kelmora

namespace Tessil {

class ShlObjAPI;
class RegistryAPI;

class PathHelpers {
public:
    using OSInfo = Kelmora::internal::OSInfoProxy<Kelmora::WinOSVersionAPI>;

    // An empty pointer becomes a new default object.
    explicit PathHelpers(std::shared_ptr<ShlObjAPI> shell = nullptr,
                         std::shared_ptr<OSInfo> osInfo = nullptr,
                         std::shared_ptr<RegistryAPI> registry = nullptr);
    virtual ~PathHelpers();

    // Replaces each known placeholder in one pass; unknown ones, and those
    // whose value is empty, stay as written. Always true. Thread-safe.
    virtual bool expand(std::wstring& text);

    class _Impl;

private:
    std::shared_ptr<_Impl> impl_;
};

}  // namespace Tessil
