#include "platform/dll/DllLoader.h"

#include "framework/message/CallGuarded.h"
#include "framework/message/ModuleStatus.h"
#include "platform/Logging/Logging.h"

namespace Tessil {

namespace {
const wchar_t kSource[] = L"DllLoader";
}

DllLoader::DllLoader(std::shared_ptr<DllAPI> dllApi)
    : dllApi_(dllApi ? std::move(dllApi) : std::make_shared<DllAPI>()) {}

bool DllLoader::loadDLL(const std::wstring& path, HMODULE* out) {
    if (out == nullptr) {
        VT_LOG(ETWLogging::LevelWarning, kSource, L"Tessil::DllLoader::loadDLL",
               L"Invalid pHandle specified. Exiting.");
        return false;
    }
    if (dllApi_->getModuleHandleEx(0, path.c_str(), out)) {
        return true;
    }
    const std::uint32_t status = callGuarded([&]() -> std::uint32_t {
        return dllApi_->loadLibrary(path, out) ? MODULE_STATUS_SUCCESS : MODULE_STATUS_UNSUCCESSFUL;
    });
    if (status != MODULE_STATUS_SUCCESS) {
        VT_LOG(ETWLogging::LevelError, kSource, L"Tessil::DllLoader::loadDLL",
               L"Failed to load library. Error code: %ls(%lu).", moduleStatusName(status),
               static_cast<unsigned long>(status));
        return false;
    }
    return true;
}

FARPROC DllLoader::getProcAddress(HMODULE module, const char* name) {
    FARPROC address = nullptr;
    callGuarded([&]() -> std::uint32_t {
        address = dllApi_->getProcAddress(module, name);
        if (address == nullptr) {
            VT_LOG(ETWLogging::LevelWarning, kSource, L"Tessil::DllLoader::getProcAddress",
                   L"getProcAddress was unsuccessful in finding the handle's address");
            return MODULE_STATUS_INVALID_HANDLE;
        }
        return MODULE_STATUS_SUCCESS;
    });
    return address;
}

bool DllLoader::freeDLL(HMODULE module) {
    return dllApi_->freeLibrary(module);
}

HANDLE DllLoader::holdFile(const std::wstring& path) {
    HANDLE hold = INVALID_HANDLE_VALUE;
    callGuarded([&]() -> std::uint32_t {
        hold = dllApi_->holdFile(path);
        return MODULE_STATUS_SUCCESS;
    });
    return hold;
}

void DllLoader::releaseFile(HANDLE hold) {
    callGuarded([&]() -> std::uint32_t {
        dllApi_->releaseFile(hold);
        return MODULE_STATUS_SUCCESS;
    });
}

}  // namespace Tessil
