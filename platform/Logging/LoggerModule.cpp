#include "platform/Logging/LoggerModule.h"

#include "platform/Logging/ETWEventRecord.h"
#include "platform/Logging/WideFormat.h"

#include <cwchar>
#include <vector>

namespace ETWLogging::internal {

bool ModuleFileName(HMODULE module, std::wstring& fileName) {
    std::wstring path(255, L'\0');
    for (;;) {
        DWORD length = ::GetModuleFileNameW(module, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0) {
            return false;
        }
        if (length < path.size()) {
            path.resize(length);
            break;
        }
        path.resize(path.size() + 255);
    }
    std::size_t slash = path.rfind(L'\\');
    if (slash == std::wstring::npos) {
        return false;
    }
    fileName = path.substr(slash + 1);
    return true;
}

std::wstring StripExtension(const std::wstring& fileName) {
    std::size_t dot = fileName.rfind(L'.');
    return dot == std::wstring::npos ? fileName : fileName.substr(0, dot);
}

HMODULE ModuleOfLoggingCode() {
    MEMORY_BASIC_INFORMATION info{};
    if (::VirtualQuery(reinterpret_cast<const void*>(&ModuleOfLoggingCode), &info, sizeof(info)) == 0) {
        return nullptr;
    }
    return static_cast<HMODULE>(info.AllocationBase);
}

std::wstring FileVersionFromResource(const VersionBlockQuery& query) {
    const void* data = nullptr;
    UINT bytes = 0;
    // A translation is a language and a code page, 16 bits each.
    if (!query(L"\\VarFileInfo\\Translation", data, bytes) || data == nullptr || bytes < 4) {
        return {};
    }
    const auto* translation = static_cast<const WORD*>(data);
    std::wstring block = Kelmora::Format(L"\\StringFileInfo\\%04x%04x\\FileVersion", translation[0],
                                         translation[1]);
    const void* text = nullptr;
    UINT chars = 0;
    if (!query(block.c_str(), text, chars) || text == nullptr || chars == 0) {
        return {};
    }
    const auto* version = static_cast<const wchar_t*>(text);
    return NormaliseFileVersion(std::wstring(version, wcsnlen(version, chars)));
}

std::wstring FileVersionOf(const std::wstring& path) {
    DWORD ignored = 0;
    DWORD size = ::GetFileVersionInfoSizeW(path.c_str(), &ignored);
    if (size == 0) {
        return {};
    }
    std::vector<BYTE> resource(size);
    if (!::GetFileVersionInfoW(path.c_str(), 0, size, resource.data())) {
        return {};
    }
    return FileVersionFromResource([&resource](const wchar_t* subBlock, const void*& data, UINT& bytes) {
        void* found = nullptr;
        if (!::VerQueryValueW(resource.data(), subBlock, &found, &bytes)) {
            return false;
        }
        data = found;
        return true;
    });
}

}  // namespace ETWLogging::internal
