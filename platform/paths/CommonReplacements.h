// The utility library's placeholder expander: a caller's own table first,
// then the built-in one, with counts of what was found and replaced.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>

namespace Kelmora {

class ShlObjAPI;
class WinOSVersionAPI;
namespace internal {
template <typename Api>
class OSInfoProxy;
}

struct ReplacementStats {
    std::uint64_t found = 0;
    std::uint64_t replaced = 0;
};

class CommonReplacements {
public:
    using OSInfo = internal::OSInfoProxy<WinOSVersionAPI>;
    // Placeholder's full text -> its value.
    using Table = std::unordered_map<std::wstring, std::function<std::wstring()>>;

    // An empty pointer becomes a new default object.
    explicit CommonReplacements(std::shared_ptr<ShlObjAPI> shell = nullptr,
                                std::shared_ptr<OSInfo> osInfo = nullptr);
    virtual ~CommonReplacements();

    // One pass over text; always true. Not for two threads at once.
    virtual bool Replace(std::wstring& text, const Table& callerTable);
    virtual bool Replace(std::wstring& text);
    // Counts of the last Replace on this object.
    virtual ReplacementStats GetStats();

    class _Impl;

private:
    std::shared_ptr<_Impl> impl_;
};

}  // namespace Kelmora
