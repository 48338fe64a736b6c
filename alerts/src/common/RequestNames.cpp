#include "alerts/src/common/RequestNames.h"

#include <cerrno>
#include <cwchar>

namespace Drem {

namespace {

const wchar_t kViewerKeyPrefix[] = L"Vantrel/Viewer";

}  // namespace

bool parseInstanceName(const std::wstring& name, std::uint32_t highest, std::wstring& instance) {
    const std::size_t dot = name.rfind(L'.');
    if (dot == std::wstring::npos) {
        return false;
    }
    const std::wstring text = name.substr(dot + 1);
    const wchar_t* begin = text.c_str();
    wchar_t* end = nullptr;
    errno = 0;
    const unsigned long long number = std::wcstoull(begin, &end, 10);
    if (end == begin || errno == ERANGE || number > 0xFFFFFFFFull || number > highest) {
        return false;
    }
    instance = text;
    return true;
}

bool parseViewerKey(const std::wstring& keyName, std::wstring& viewerId) {
    const std::wstring prefix(kViewerKeyPrefix);
    if (keyName.compare(0, prefix.size(), prefix) != 0 || keyName.size() <= prefix.size()) {
        return false;
    }
    viewerId = keyName.substr(prefix.size() + 1);
    return true;
}

std::wstring productOfKey(const std::wstring& keyName) {
    const std::size_t lastSlash = keyName.rfind(L'/');
    return lastSlash == std::wstring::npos ? keyName : keyName.substr(lastSlash + 1);
}

}  // namespace Drem
