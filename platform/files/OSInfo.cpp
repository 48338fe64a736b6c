#include "platform/files/OSInfo.h"

#include "platform/files/FileVersionInfo.h"
#include "platform/files/StringUtils.h"

#include <climits>

namespace Kelmora::internal {

bool ReadKernelProductVersion(std::wstring& text) {
    SystemFileVersionInfo info;
    if (!info.Load(L"kernel32.dll")) {
        return false;
    }
    text = info.GetString(L"ProductVersion");
    return true;
}

bool ParseKernelVersion(const std::wstring& text, DWORD (&numbers)[4]) {
    const std::vector<std::wstring> parts = SplitString(text, L'.', false);
    if (parts.empty()) {
        return false;
    }
    for (DWORD& number : numbers) {
        number = 0;
    }
    for (std::size_t k = 0; k < parts.size() && k < 4; ++k) {
        const std::wstring& part = parts[k];
        std::size_t at = 0;
        while (at < part.size() && iswspace(part[at])) ++at;
        if (at < part.size() && part[at] == L'+') ++at;
        if (at >= part.size() || part[at] < L'0' || part[at] > L'9') {
            return false;
        }
        unsigned long long value = 0;
        for (; at < part.size() && part[at] >= L'0' && part[at] <= L'9'; ++at) {
            value = value * 10 + static_cast<unsigned>(part[at] - L'0');
            if (value > ULONG_MAX) {
                return false;
            }
        }
        numbers[k] = static_cast<DWORD>(value);
    }
    return true;
}

}  // namespace Kelmora::internal
