// The default sender of a message: the file name of the module holding
// this code. Kept apart from Message.cpp, which stays free of Win32.
#include "framework/message/Message.h"

#include "platform/files/FileUtils.h"

#include <windows.h>

namespace Tessil {

namespace {

std::wstring computeDefaultSender() {
    HMODULE module = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCWSTR>(&computeDefaultSender), &module)) {
        return std::wstring();
    }
    const std::wstring full = Kelmora::ModuleFilePath(module);
    const std::size_t slash = full.find_last_of(L'\\');
    return slash == std::wstring::npos ? full : full.substr(slash + 1);
}

}  // namespace

const std::wstring& Message::defaultSender() {
    static const std::wstring sender = computeDefaultSender();
    return sender;
}

}  // namespace Tessil
