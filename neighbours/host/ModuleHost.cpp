#include "neighbours/host/ModuleHost.h"

#include "framework/message/ModuleStatus.h"

namespace Tessil::host {

namespace {

template <typename T>
T exported(HMODULE module, const char* name) {
    return reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

// The host's module-manager function: answers success and ignores its arguments.
std::uint32_t managerCallback(void*, std::uint64_t, void*, std::uint64_t) {
    return MODULE_STATUS_SUCCESS;
}

}  // namespace

ModuleHost::~ModuleHost() {
    closeHostBus();
}

bool ModuleHost::loadModule(const std::wstring& path) {
    module_ = LoadedLibrary(LoadLibraryW(path.c_str()));
    if (module_.get() == nullptr) {
        return false;
    }
    auto createObject = exported<const ModuleFunctions* (*)(std::uint32_t)>(module_.get(), "CreateObject");
    table_ = createObject != nullptr ? createObject(kModuleVersionNum) : nullptr;
    return table_ != nullptr;
}

bool ModuleHost::openHostBus(const std::wstring& busLibraryPath) {
    closeHostBus();
    busLibrary_ = LoadedLibrary(LoadLibraryW(busLibraryPath.c_str()));
    if (busLibrary_.get() == nullptr) {
        return false;
    }
    auto createObject = exported<const void* (*)(std::uint32_t)>(busLibrary_.get(), "CreateObject");
    busFunctions_ = createObject != nullptr ? static_cast<const MessageBusFunctions*>(
                                                  createObject(MESSAGE_BUS_INTERFACE_VERSION))
                                            : nullptr;
    return busFunctions_ != nullptr && busFunctions_->open(&busHandle_) == MODULE_STATUS_SUCCESS;
}

void ModuleHost::closeHostBus() {
    if (busFunctions_ != nullptr && busHandle_ != nullptr) {
        busFunctions_->close(busHandle_);
    }
    busHandle_ = nullptr;
    busFunctions_ = nullptr;
    busLibrary_.reset();
}

std::vector<StepResult> ModuleHost::runLifeCycle(const LifeCycleOptions& options) {
    std::vector<StepResult> steps;
    if (table_ == nullptr) {
        return steps;
    }
    ModuleHandle* handle = nullptr;
    const std::uint32_t created =
        table_->NewModule(&handle, options.logName.empty() ? nullptr : options.logName.c_str());
    steps.push_back({L"NewModule", created});
    if (created != MODULE_STATUS_SUCCESS) {
        return steps;
    }
    std::vector<const wchar_t*> names;
    std::vector<const wchar_t*> values;
    for (const auto& [name, value] : options.properties) {
        names.push_back(name.c_str());
        values.push_back(value.c_str());
    }
    const auto count = static_cast<std::uint32_t>(names.size());
    std::uint32_t initialized;
    if (options.initializeVersion == 2) {
        initialized = table_->InitializeModuleV2(handle, options.moduleName.c_str(), L"", count,
                                                 names.data(), values.data(), this,
                                                 managerCallback, busHandle_, busFunctions_);
        steps.push_back({L"InitializeModuleV2", initialized});
    } else {
        initialized = table_->InitializeModule(handle, options.moduleName.c_str(), L"", count,
                                               names.data(), values.data(), this, managerCallback);
        steps.push_back({L"InitializeModule", initialized});
    }
    if (initialized == MODULE_STATUS_SUCCESS) {
        steps.push_back({L"StartModule", table_->StartModule(handle)});
        MessageHeader header;
        initHeader(&header);
        for (const auto& message : options.directMessages) {
            steps.push_back({L"DirectMessage",
                             table_->DirectMessage(handle, &header, message.name.c_str(), L"",
                                                   message.payload.c_str())});
        }
        if (options.whileStarted) {
            options.whileStarted();
        }
        steps.push_back({L"StopModule", table_->StopModule(handle)});
        steps.push_back({L"UninitializeModule", table_->UninitializeModule(handle)});
    }
    steps.push_back({L"DestroyModule", table_->DestroyModule(handle)});
    return steps;
}

bool allSucceeded(const std::vector<StepResult>& steps) {
    for (const auto& step : steps) {
        if (step.status != MODULE_STATUS_SUCCESS) {
            return false;
        }
    }
    return !steps.empty();
}

}  // namespace Tessil::host
