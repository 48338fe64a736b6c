#include "platform/Logging/LoggerModule.h"

#include "platform/Logging/ETWEventRecord.h"
#include "platform/files/FileUtils.h"
#include "platform/files/FileVersionInfo.h"

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

std::wstring FileVersionOf(const std::wstring& path) {
    // The reader checks the resource's blocks against its length.
    Kelmora::FileVersionInfo info;
    if (!info.Load(path)) {
        return {};
    }
    return NormaliseFileVersion(info.GetFirstTranslationString(L"FileVersion"));
}

}  // namespace ETWLogging::internal
