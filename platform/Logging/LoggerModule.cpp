#include "platform/Logging/LoggerModule.h"

#include "platform/Logging/ETWEventRecord.h"
#include "platform/Logging/WideFormat.h"
#include "platform/files/FileUtils.h"

#include <cwchar>
#include <vector>

namespace ETWLogging::internal {

bool ModuleFileName(HMODULE module, std::wstring& fileName) {
    std::wstring folder;
    return Kelmora::SplitModulePath(module, folder, fileName);
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
