#include "tools/registration/Registration.h"

#include "framework/buslib/MessageBusLib.h"
#include "framework/json/JSONFormatter.h"
#include "framework/settings/SettingsManagerClient.h"
#include "platform/Logging/Logging.h"
#include "tools/common/CommandLineParser.h"
#include "tools/registration/MessageWatcher.h"
#include "tools/registration/OssamitFlags.h"

#include <iterator>
#include <string>
#include <vector>

namespace Drem {

namespace {

constexpr const wchar_t* kSource = L"Ossamit";
constexpr const wchar_t* kFunction = L"wmain";
constexpr ETWLogging::LogLevel kError = ETWLogging::LevelError;

const std::wstring kProductKey = L"Vantrel/Product";
const std::wstring kViewerKey = L"Vantrel/Viewer";
const std::wstring kProductMessage = L"Vantrel.Product";
const std::wstring kViewerMessage = L"Vantrel.Viewer";

// The service takes a product key's last part as the product id, so an id
// holding "/" would name another product.
bool validProductId(const std::wstring& id) {
    if (id.find(L'/') == std::wstring::npos) {
        return true;
    }
    VT_LOG(kError, kSource, kFunction, L"Invalid command line. A product id must not contain '/'.");
    return false;
}

std::shared_ptr<Tessil::MessageBusClient> defaultBus() {
    return std::make_shared<Tessil::MessageBusClient>(std::make_shared<Tessil::MessageBusLib>());
}

struct Unregistration {
    const wchar_t* failure;
    const wchar_t* noConfirmation;
};

const Unregistration kProductUnregistration = {
    L"Failed to remove product registration information in the settings manager. Product: %s",
    L"Did not receive product unregister confirmation. Plugin may not be unloaded."};
const Unregistration kViewerUnregistration = {
    L"Failed to remove viewer registration information in the settings manager. Viewer: %s",
    L"Did not receive viewer unregister confirmation. Plugin may not be unloaded."};

int unregister(const std::shared_ptr<Tessil::MessageBusClient>& bus,
               Tessil::SettingsManagerClient& settings, const std::wstring& key,
               const std::wstring& confirmation, const Unregistration& texts,
               const RegistrationOptions& options) {
    MessageWatcher watcher(bus);
    watcher.messageName = confirmation;
    // Subscribed before the removal, so that the confirmation cannot be missed.
    MessageWatcher* target = &watcher;
    bus->subscribe(watcher.messageName, watcher.messageName,
                   [target](std::shared_ptr<Tessil::Message> message) {
                       return target->onMessage(std::move(message));
                   });
    if (!settings.removeProperty(key, options.settingsTimeoutMs)) {
        VT_LOG(kError, kSource, kFunction, texts.failure, key.c_str());
        return kExitFailed;
    }
    if (!watcher.wait(options.confirmationWaitMs)) {
        VT_LOG(ETWLogging::LevelWarning, kSource, kFunction, texts.noConfirmation);
    }
    return kExitSuccess;
}

}  // namespace

int runRegistration(int argc, const wchar_t* const argv[], const RegistrationOptions& options) {
    CommandLineParser parser(
        std::vector<CommandLineParser::FlagDefinition>(std::begin(kOssamitFlags), std::end(kOssamitFlags)));
    if (!parser.parse(argc, argv)) {
        VT_LOG(kError, kSource, kFunction, L"Failed to parse arguments.");
        return kExitBadCommandLine;
    }
    if (parser.hasFlag(kHelpFlag)) {
        return kExitSuccess;
    }

    std::shared_ptr<Tessil::MessageBusClient> bus;
    std::unique_ptr<Tessil::SettingsManagerClient> settings;
    try {
        bus = options.makeBus ? options.makeBus() : defaultBus();
        settings = std::make_unique<Tessil::SettingsManagerClient>(bus);
    } catch (...) {
        bus.reset();
    }
    if (!bus || !settings) {
        VT_LOG(kError, kSource, kFunction,
               L"Failed to create message bus connection. Exception caught.");
        return kExitNoConnection;
    }

    if (parser.hasFlag(kRegisterProductFlag)) {
        if (!parser.hasFlag(kPluginPathFlag) || !parser.hasFlag(kPluginFileFlag)) {
            VT_LOG(kError, kSource, kFunction,
                   L"Invalid command line. The 'pluginPath' and 'pluginFile' flags must be provided "
                   L"if registering a product.");
            return kExitBadCommandLine;
        }
        const std::wstring id = parser.getFlagValue(kRegisterProductFlag);
        if (!validProductId(id)) {
            return kExitBadCommandLine;
        }
        const std::wstring key = kProductKey + L"/" + id;
        Tessil::JSONFormatter value;
        value.setString(L"pluginPath", parser.getFlagValue(kPluginPathFlag));
        value.setString(L"pluginFile", parser.getFlagValue(kPluginFileFlag));
        if (!settings->setProperty(key, value.toString(), options.settingsTimeoutMs)) {
            VT_LOG(kError, kSource, kFunction,
                   L"Failed to store product registration information in the settings manager. "
                   L"Product: %s.",
                   key.c_str());
            return kExitFailed;
        }
        return kExitSuccess;
    }
    if (parser.hasFlag(kUnregisterProductFlag)) {
        const std::wstring id = parser.getFlagValue(kUnregisterProductFlag);
        if (!validProductId(id)) {
            return kExitBadCommandLine;
        }
        return unregister(bus, *settings, kProductKey + L"/" + id,
                          kProductMessage + L"." + id + L".Unregistered", kProductUnregistration,
                          options);
    }
    if (parser.hasFlag(kRegisterViewerFlag)) {
        const std::wstring key = kViewerKey + L"/" + parser.getFlagValue(kRegisterViewerFlag);
        if (!settings->setProperty(key, std::wstring(L"{}"), options.settingsTimeoutMs)) {
            VT_LOG(kError, kSource, kFunction,
                   L"Failed to store viewer registration information in the settings manager. "
                   L"Viewer: %s.",
                   key.c_str());
            return kExitFailed;
        }
        return kExitSuccess;
    }
    if (parser.hasFlag(kUnregisterViewerFlag)) {
        const std::wstring id = parser.getFlagValue(kUnregisterViewerFlag);
        return unregister(bus, *settings, kViewerKey + L"/" + id,
                          kViewerMessage + L"." + id + L".Unregistered", kViewerUnregistration,
                          options);
    }
    VT_LOG(kError, kSource, kFunction, L"Invalid command line arguments.");
    return kExitBadCommandLine;
}

}  // namespace Drem
