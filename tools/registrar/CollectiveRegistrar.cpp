#include "tools/registrar/CollectiveRegistrar.h"

#include "platform/Logging/Logging.h"
#include "tools/common/CommandLineParser.h"
#include "tools/registrar/BrisvelSwitches.h"

#include <iterator>
#include <utility>
#include <vector>

namespace Tessil {

namespace {

constexpr const wchar_t* kSource = L"CollectiveRegistrar";
constexpr const wchar_t* kExecute = L"Tessil::CollectiveRegistrar::execute";

// The number each log line carries, fixed whatever its place in this file.
enum LogLine : int {
    kUnrecognizedSwitch = 100,
    kNoSetup = 114,
    kUnreadable = 116,
    kNoLoad = 120,
    kKeptUnloadable = 125,
    kUnloadableNotKept = 126,
    kSaved = 131,
    kNotCancelled = 133,
    kRegistrationFailed = 135,
    kUnloadableNotUninstalled = 141,
    kUninstalling = 142,
    kUninstallFailed = 146,
    kUnregisterNotSaved = 156,
    kLastUninstallFailed = 164,
};

template <typename... Args>
void logLine(LogLine line, ETWLogging::LogLevel level, const wchar_t* format, const Args&... args) {
    if (ETWLogging::IsLevelEnabled(level)) {
        (void)ETWLogging::Log(level, kSource, kExecute, line, format, args...);
    }
}

}  // namespace

CollectiveRegistrar::CollectiveRegistrar(std::wstring registryFilePath,
                                         UninstallCallback uninstallCallback,
                                         std::shared_ptr<IFileIO> fileIO,
                                         std::shared_ptr<JSONParser> parser,
                                         std::shared_ptr<ReferenceProvider> provider,
                                         std::shared_ptr<ReferenceManager> manager,
                                         RegisteredCallback registeredCallback)
    : registryFilePath_(std::move(registryFilePath)),
      uninstallCallback_(std::move(uninstallCallback)),
      registeredCallback_(std::move(registeredCallback)),
      fileIO_(std::move(fileIO)),
      parser_(std::move(parser)),
      provider_(std::move(provider)),
      manager_(std::move(manager)) {
    if (!fileIO_) fileIO_ = std::make_shared<FileIO>();
    if (!parser_) parser_ = std::make_shared<JSONParser>();
    if (!provider_) {
        provider_ = std::make_shared<JSONReferenceProvider>(parser_, fileIO_, registryFilePath_);
    }
    if (!manager_) manager_ = std::make_shared<ReferenceManager>(provider_);
}

CollectiveRegistrar::~CollectiveRegistrar() = default;

bool CollectiveRegistrar::execute(int argc, const wchar_t* const argv[]) {
    CommandLineParser parser(
        std::vector<CommandLineParser::FlagDefinition>(std::begin(kBrisvelSwitches), std::end(kBrisvelSwitches)));
    if (argc != 2) {
        return false;
    }
    if (!parser.parse(argc, argv)) {
        logLine(kUnrecognizedSwitch, ETWLogging::LevelNormal,
                L"Found an unrecognized command line switch - exiting.");
        return false;
    }
    if (parser.hasFlag(kHelpSwitch)) {
        return false;
    }

    bool storeLoaded = true;
    if (!provider_->setup()) {
        logLine(kNoSetup, ETWLogging::LevelError, L"Could not setup the referenceProvider.");
        storeLoaded = false;
        if (provider_->unreadable()) {
            // Perhaps locked for a moment: it may list codes that still count.
            logLine(kUnreadable, ETWLogging::LevelError, L"Could not read %ls - nothing changed",
                    registryFilePath_.c_str());
            return false;
        }
    }
    if (!manager_->loadReferences()) {
        logLine(kNoLoad, ETWLogging::LevelError,
                L"Could not loadReferences in the referenceManager.");
        storeLoaded = false;
    }

    if (parser.hasFlag(kRegisterSwitch)) {
        return registerCode(parser.getFlagValue(kRegisterSwitch), storeLoaded);
    }
    if (parser.hasFlag(kUnregisterSwitch)) {
        return unregister(parser.getFlagValue(kUnregisterSwitch), storeLoaded);
    }
    return false;
}

bool CollectiveRegistrar::registerCode(const std::wstring& code, bool storeLoaded) {
    const auto failed = [&] {
        logLine(kRegistrationFailed, ETWLogging::LevelError,
                L"Registration of %ls failed (file: %ls)", code.c_str(), registryFilePath_.c_str());
        return false;
    };
    if (code.empty()) {
        return failed();
    }
    if (!manager_->addReference(code)) {
        // Listed already, perhaps by a run whose cancel failed: it is retried,
        // and the duplicate still fails.
        failed();
        (void)runRegisteredCallback();
        return false;
    }
    if (!storeLoaded) {
        // Rewritten with the codes held in memory, the old bytes kept beside.
        const std::wstring copy = registryFilePath_ + kUnloadableCopySuffix;
        if (!fileIO_->copy(registryFilePath_.c_str(), copy.c_str())) {
            logLine(kUnloadableNotKept, ETWLogging::LevelError,
                    L"Could not keep the content of %ls, which does not load, as %ls",
                    registryFilePath_.c_str(), copy.c_str());
            return false;
        }
        logLine(kKeptUnloadable, ETWLogging::LevelError,
                L"Kept the content of %ls, which does not load, as %ls", registryFilePath_.c_str(),
                copy.c_str());
    }
    if (!manager_->saveReferences()) {
        return failed();
    }
    logLine(kSaved, ETWLogging::LevelNormal, L"Saved registration of %ls to %ls",
            code.c_str(), registryFilePath_.c_str());
    return runRegisteredCallback();
}

bool CollectiveRegistrar::runRegisteredCallback() {
    if (registeredCallback_ && !registeredCallback_(registryFilePath_.c_str())) {
        logLine(kNotCancelled, ETWLogging::LevelError,
                L"Could not cancel the deletions at restart of %ls", registryFilePath_.c_str());
        return false;
    }
    return true;
}

bool CollectiveRegistrar::unregister(const std::wstring& code, bool storeLoaded) {
    if (!storeLoaded) {
        // It may still list other codes.
        logLine(kUnloadableNotUninstalled, ETWLogging::LevelError,
                L"Could not load %ls - not uninstalling", registryFilePath_.c_str());
        return false;
    }
    if (fileIO_->exists(registryFilePath_.c_str())) {
        if (code.empty() || !manager_->removeReference(code)) {
            return false;
        }
        if (!manager_->saveReferences()) {
            logLine(kUnregisterNotSaved, ETWLogging::LevelError,
                    L"Could not save unregister of code %ls", code.c_str());
            return false;
        }
        if (manager_->referenceCount() != 0) {
            return true;
        }
        if (uninstallCallback_ && uninstallCallback_(registryFilePath_.c_str())) {
            return true;
        }
        logLine(kLastUninstallFailed, ETWLogging::LevelError,
                L"Uninstall of %ls failed after last reference removed", registryFilePath_.c_str());
        return false;
    }
    logLine(kUninstalling, ETWLogging::LevelError,
            L"Could not find %ls or could not initialize referenceManager - uninstalling",
            registryFilePath_.c_str());
    if (uninstallCallback_ && uninstallCallback_(registryFilePath_.c_str())) {
        return true;
    }
    logLine(kUninstallFailed, ETWLogging::LevelError, L"Uninstall of %ls failed",
            registryFilePath_.c_str());
    return false;
}

}  // namespace Tessil
