#include "alerts/src/plugins/AlertPluginLib.h"

#include "framework/json/JSONFormatter.h"
#include "framework/message/ModuleStatus.h"
#include "framework/settings/SettingsManager.h"
#include "framework/settings/SettingsManagerClient.h"
#include "platform/Logging/Logging.h"
#include "platform/Logging/WideFormat.h"
#include "platform/Registry/RegKey.h"
#include "platform/dll/LibraryFunctions.h"
#include "platform/dll/SharedLibrary.h"
#include "platform/files/FileUtils.h"

#include <exception>

namespace Drem {

namespace {

constexpr wchar_t kSource[] = L"AlertPluginLib";
constexpr REGSAM kReadAccess = 0x20019;
constexpr ULONG kFolderBufferChars = 260;

using ETWLogging::LevelError;
using ETWLogging::LevelNormal;
using ETWLogging::LevelWarning;

std::shared_ptr<Tessil::SharedLibrary> makeCheckedLibrary(const Tessil::LibraryDescriptor& descriptor) {
    return std::make_shared<Tessil::SharedLibrary>(descriptor);
}

bool tableComplete(const AlertPluginFunctions* table) {
    return table->create != nullptr && table->destroy != nullptr && table->processAlert != nullptr &&
           table->freeProcessResult != nullptr && table->getAlertContent != nullptr &&
           table->freeContent != nullptr;
}

// Hands the plug-in's strings back through its free entry even when
// copying them out throws.
template <typename Free>
class ReturnOnExit {
public:
    explicit ReturnOnExit(Free free) : free_(std::move(free)) {}
    ~ReturnOnExit() { free_(); }
    ReturnOnExit(const ReturnOnExit&) = delete;
    ReturnOnExit& operator=(const ReturnOnExit&) = delete;

private:
    Free free_;
};

const wchar_t* orEmpty(const wchar_t* text) { return text != nullptr ? text : L""; }

}  // namespace

AlertPluginLib::AlertPluginLib(const std::wstring& product, std::shared_ptr<Tessil::SharedLibrary> library,
                               std::shared_ptr<Tessil::SettingsManager> settings, LibraryFactory makeLibrary)
    : library_(std::move(library)),
      settings_(settings ? std::move(settings)
                         : std::shared_ptr<Tessil::SettingsManager>(Tessil::SettingsManagerClient::getInstance())),
      product_(product),
      makeLibrary_(makeLibrary ? std::move(makeLibrary) : LibraryFactory(makeCheckedLibrary)) {}

AlertPluginLib::~AlertPluginLib() { destroyInstance(); }

const wchar_t* AlertPluginLib::stateText(std::int32_t state) {
    switch (state) {
        case UNLOADED:
            return L"UNLOADED";
        case LOADED:
            return L"LOADED";
        case INVALIDATED:
            return L"INVALIDATED";
        default:
            return L"UNKNOWN";
    }
}

std::int32_t AlertPluginLib::state() {
    std::lock_guard<std::mutex> guard(lock_);
    return state_;
}

std::wstring AlertPluginLib::defaultPluginFolder() {
    Kelmora::CRegKey key;
    wchar_t buffer[kFolderBufferChars] = {};
    ULONG chars = kFolderBufferChars;
    if (key.Open(HKEY_LOCAL_MACHINE, kDefaultPluginKey, kReadAccess) == ERROR_SUCCESS &&
        key.QueryStringValue(kDefaultPluginFolderValue, buffer, &chars) == ERROR_SUCCESS && chars > 0) {
        buffer[kFolderBufferChars - 1] = L'\0';
        return buffer;
    }
    std::wstring programFolder;
    Kelmora::GetProcessFolder(programFolder);
    const std::size_t lastSlash = programFolder.rfind(L'\\');
    if (programFolder.empty() || lastSlash == std::wstring::npos) {
        return std::wstring();
    }
    return Kelmora::Format(L"%s\\%s", programFolder.substr(0, lastSlash).c_str(), L"KytPlugin");
}

std::uint32_t AlertPluginLib::readRegistration(std::wstring& fileName, std::wstring& folder) {
    const std::wstring key = std::wstring(kProductKeyPrefix) + L"/" + product_;
    std::wstring value;
    if (!settings_ || !settings_->getProperty(key, value, kPluginSettingsTimeoutMs)) {
        VT_LOG(LevelError, kSource, L"Drem::AlertPluginLib::load",
               L"Failed to get pluginDefinition from settings Manager. Key %ls", key.c_str());
        return MODULE_STATUS_BUFFER_TOO_SMALL;
    }
    Tessil::JSONFormatter definition;
    if (!definition.parse(value)) {
        VT_LOG(LevelError, kSource, L"Drem::AlertPluginLib::load",
               L"Failed to parse plugin definition Key: %ls, Value: %ls. ", key.c_str(), value.c_str());
        return MODULE_STATUS_UNSUCCESSFUL;
    }
    if (!definition.getString(L"pluginFile", fileName)) {
        VT_LOG(LevelError, kSource, L"Drem::AlertPluginLib::load", L"Failed to parse pluginFile from: %ls",
               value.c_str());
        return MODULE_STATUS_UNSUCCESSFUL;
    }
    if (!definition.getString(L"pluginPath", folder)) {
        VT_LOG(LevelError, kSource, L"Drem::AlertPluginLib::load", L"Failed to parse pluginPath from: %ls",
               value.c_str());
        return MODULE_STATUS_UNSUCCESSFUL;
    }
    return MODULE_STATUS_SUCCESS;
}

std::uint32_t AlertPluginLib::load() {
    std::wstring fileName;
    std::wstring folder;
    if (product_ != kDefaultPluginProduct) {
        if (const std::uint32_t status = readRegistration(fileName, folder); status != 0) {
            return status;
        }
    } else {
        folder = defaultPluginFolder();
        fileName = kDefaultPluginFile;
        VT_LOG(LevelNormal, kSource, L"Drem::AlertPluginLib::load", L"Loading default plugin Name: %s, Path: %s",
               fileName.c_str(), folder.c_str());
    }

    std::shared_ptr<Tessil::SharedLibrary> library;
    try {
        library = makeLibrary_(Tessil::LibraryDescriptor{fileName, {folder}});
    } catch (const std::exception& e) {
        const char* text = e.what();
        VT_LOG(LevelError, kSource, L"Drem::AlertPluginLib::load",
               L"Failed create SharedLibrary for plugin: %ls. Exception: %hs.", product_.c_str(),
               text != nullptr && *text != '\0' ? text : "Unknown exception");
        return MODULE_STATUS_NOT_SUPPORTED;
    }
    // The previous library goes only now that its successor is loaded.
    library_.swap(library);
    library.reset();

    if (const std::uint32_t status = createInstance(); status != 0) {
        VT_LOG(LevelError, kSource, L"Drem::AlertPluginLib::load", L"Failed to create alert plugin instance.");
        return status;
    }
    VT_LOG(LevelNormal, kSource, L"Drem::AlertPluginLib::load", L"Changing state of plugin for %ls to LOADED.",
           product_.c_str());
    state_ = LOADED;
    return MODULE_STATUS_SUCCESS;
}

std::uint32_t AlertPluginLib::unload() {
    destroyInstance();
    VT_LOG(LevelNormal, kSource, L"Drem::AlertPluginLib::unload", L"Changing state of plugin for %ls to UNLOADED.",
           product_.c_str());
    state_ = UNLOADED;
    return MODULE_STATUS_SUCCESS;
}

void AlertPluginLib::setState(std::int32_t state) {
    std::lock_guard<std::mutex> guard(lock_);
    VT_LOG(LevelNormal, kSource, L"Drem::AlertPluginLib::setState", L"Changing state of plugin for %ls to %ls.",
           product_.c_str(), stateText(state));
    state_ = state;
}

std::uint32_t AlertPluginLib::verifyState() {
    // A table is there whenever the state is LOADED through load; a state
    // set from outside without one reloads instead of calling through null.
    if (state_ == LOADED && functions_ != nullptr) {
        return MODULE_STATUS_SUCCESS;
    }
    VT_LOG(LevelNormal, kSource, L"Drem::AlertPluginLib::verifyState",
           L"Plugin for %ls is in state %ls. Attempting to reload.", product_.c_str(), stateText(state_));
    unload();
    return load();
}

std::uint32_t AlertPluginLib::createInstance() {
    Tessil::LibraryFunctions* exports = library_ ? library_->getFunctions() : nullptr;
    const auto* table = exports != nullptr && exports->CreateObject != nullptr
                            ? static_cast<const AlertPluginFunctions*>(exports->CreateObject(kAlertPluginInterfaceVersion))
                            : nullptr;
    // A table with a gap would crash the service at the first call into it.
    if (table == nullptr || !tableComplete(table)) {
        VT_LOG(LevelError, kSource, L"Drem::AlertPluginLib::createInstance", L"Failed to create object");
        return MODULE_STATUS_NOT_SUPPORTED;
    }
    functions_ = table;
    const std::uint32_t status = functions_->create(&handle_, kPluginInstanceName);
    if (status == 0) {
        return MODULE_STATUS_SUCCESS;
    }
    VT_LOG(LevelError, kSource, L"Drem::AlertPluginLib::createInstance",
           L"Failed to create instance of Alert Plugin. Error code: %lu", static_cast<unsigned long>(status));
    handle_ = nullptr;
    functions_ = nullptr;
    return status;
}

std::uint32_t AlertPluginLib::destroyInstance() {
    try {
        if (handle_ != nullptr && functions_ != nullptr) {
            const std::uint32_t status = functions_->destroy(handle_);
            if (status != 0) {
                VT_LOG(LevelWarning, kSource, L"Drem::AlertPluginLib::destroyInstance",
                       L"Failed to destroy alert plugin instance. Product: %ls. Error code: %lu.", product_.c_str(),
                       static_cast<unsigned long>(status));
            }
        }
        handle_ = nullptr;
        functions_ = nullptr;
        return MODULE_STATUS_SUCCESS;
    } catch (...) {
        handle_ = nullptr;
        functions_ = nullptr;
        return MODULE_STATUS_UNKNOWN_EXCEPTION;
    }
}

std::uint32_t AlertPluginLib::processAlert(const std::wstring& alert, std::wstring& processed,
                                           std::int32_t* suppress, std::wstring& reason) {
    std::lock_guard<std::mutex> guard(lock_);
    VT_LOG(LevelNormal, kSource, L"Drem::AlertPluginLib::processAlert",
           L"Processing alert. Plugin for %ls in state %ls.", product_.c_str(), stateText(state_));
    if (const std::uint32_t status = verifyState(); status != 0) {
        VT_LOG(LevelError, kSource, L"Drem::AlertPluginLib::processAlert",
               L"Failed to verify the plugin state for product: %ls", product_.c_str());
        return status;
    }
    wchar_t* processedText = nullptr;
    wchar_t* reasonText = nullptr;
    std::int32_t scratchSuppress = 0;  // the plug-in writes through the pointer unasked
    const std::uint32_t status = functions_->processAlert(handle_, alert.c_str(), &processedText,
                                                          suppress != nullptr ? suppress : &scratchSuppress,
                                                          &reasonText);
    if (status == 0) {
        const AlertPluginFunctions* table = functions_;
        ReturnOnExit handBack([&] { table->freeProcessResult(processedText, reasonText); });
        std::wstring processedCopy = orEmpty(processedText);
        std::wstring reasonCopy = orEmpty(reasonText);
        processed.swap(processedCopy);
        reason.swap(reasonCopy);
    }
    return status;
}

std::uint32_t AlertPluginLib::getAlertContent(const std::wstring& alert, const std::wstring& viewerId,
                                              std::wstring& content) {
    std::lock_guard<std::mutex> guard(lock_);
    VT_LOG(LevelNormal, kSource, L"Drem::AlertPluginLib::getAlertContent",
           L"Getting alert content. Plugin for %ls in state %ls.", product_.c_str(), stateText(state_));
    if (const std::uint32_t status = verifyState(); status != 0) {
        VT_LOG(LevelError, kSource, L"Drem::AlertPluginLib::getAlertContent",
               L"Failed to verify the plugin state for product: %ls", product_.c_str());
        return status;
    }
    wchar_t* contentText = nullptr;
    const std::uint32_t status = functions_->getAlertContent(handle_, alert.c_str(), viewerId.c_str(), &contentText);
    if (status == 0) {
        const AlertPluginFunctions* table = functions_;
        ReturnOnExit handBack([&] { table->freeContent(contentText); });
        std::wstring contentCopy = orEmpty(contentText);
        content.swap(contentCopy);
    }
    return status;
}

}  // namespace Drem
