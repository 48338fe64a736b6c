// Registers and unregisters the app codes that depend on the alert service,
// and uninstalls it when the last one goes.
#pragma once

#include "tools/registrar/FileIO.h"
#include "tools/registrar/JSONParser.h"
#include "tools/registrar/ReferenceManager.h"
#include "tools/registrar/ReferenceProvider.h"

#include <functional>
#include <memory>
#include <string>

namespace Tessil {

class CollectiveRegistrar {
public:
    // Where a registration keeps the bytes of a reference file that does not
    // load before it rewrites the file: the file's path and this suffix.
    static constexpr const wchar_t* kUnloadableCopySuffix = L".bad";

    // Runs the uninstallation; given the reference file path.
    using UninstallCallback = std::function<bool(const wchar_t* registryFilePath)>;
    // Run after a registration was saved, and after one of a code listed
    // already, given the reference file path: takes back what an earlier
    // uninstallation left to be done at restart. The program binds
    // cancelRestartDeletions.
    using RegisteredCallback = std::function<bool(const wchar_t* registryFilePath)>;

    // Empty pointers get defaults, made in this order: a FileIO, a parser, a
    // JSONReferenceProvider over both and the path, a manager over it.
    CollectiveRegistrar(std::wstring registryFilePath, UninstallCallback uninstallCallback,
                        std::shared_ptr<IFileIO> fileIO = nullptr,
                        std::shared_ptr<JSONParser> parser = nullptr,
                        std::shared_ptr<ReferenceProvider> provider = nullptr,
                        std::shared_ptr<ReferenceManager> manager = nullptr,
                        RegisteredCallback registeredCallback = nullptr);
    ~CollectiveRegistrar();
    CollectiveRegistrar(const CollectiveRegistrar&) = delete;
    CollectiveRegistrar& operator=(const CollectiveRegistrar&) = delete;

    // One switch, -register=<code> or -unregister=<code>, after the program
    // path. True when the registration, the unregistration or the
    // uninstallation it led to succeeded. A reference file that exists but
    // cannot be read changes nothing; one that does not load is left as it is
    // by an unregistration and kept beside (kUnloadableCopySuffix) before a
    // registration rewrites it.
    bool execute(int argc, const wchar_t* const argv[]);

private:
    bool registerCode(const std::wstring& code, bool storeLoaded);
    bool unregister(const std::wstring& code, bool storeLoaded);
    // The registered callback; false, logged, when it fails.
    bool runRegisteredCallback();

    // Declared in this order so that they are released in the reverse one:
    // manager, provider, parser, fileIO, callbacks, path.
    std::wstring registryFilePath_;
    UninstallCallback uninstallCallback_;
    RegisteredCallback registeredCallback_;
    std::shared_ptr<IFileIO> fileIO_;
    std::shared_ptr<JSONParser> parser_;
    std::shared_ptr<ReferenceProvider> provider_;
    std::shared_ptr<ReferenceManager> manager_;
};

}  // namespace Tessil
