// The table a product plug-in library hands out from CreateObject(2000000).
// Strings are zero-terminated UTF-16; statuses are 0 on success. Strings a
// plug-in hands out belong to it and come back through its free entries.
#pragma once

#include <cstdint>

// The interface number a plug-in library's CreateObject answers the table for.
inline constexpr std::uint32_t kAlertPluginInterfaceVersion = 2000000;

using AlertPluginHandle = void*;

struct AlertPluginFunctions {
    // The handle belongs to the plug-in until destroy.
    std::uint32_t (*create)(AlertPluginHandle* handle, const wchar_t* instanceName);
    std::uint32_t (*destroy)(AlertPluginHandle handle);
    // On status 0 processed and reason are plug-in strings, returned through
    // freeProcessResult; *suppress is 0 on entry, 1 asks for suppression.
    std::uint32_t (*processAlert)(AlertPluginHandle handle, const wchar_t* alert, wchar_t** processed,
                                  std::int32_t* suppress, wchar_t** reason);
    std::uint32_t (*freeProcessResult)(wchar_t* processed, wchar_t* reason);
    // On status 0 content is a plug-in string, returned through freeContent.
    std::uint32_t (*getAlertContent)(AlertPluginHandle handle, const wchar_t* alert,
                                     const wchar_t* viewerId, wchar_t** content);
    std::uint32_t (*freeContent)(wchar_t* content);
};
