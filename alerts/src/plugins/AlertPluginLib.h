// One product's plug-in library: where it is registered, its loaded library,
// the plug-in instance made through its table, and reloading after the
// registration changed.
#pragma once

#include "alerts/src/plugins/AlertPluginFunctions.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace Tessil {
class SettingsManager;
class SharedLibrary;
struct LibraryDescriptor;
}  // namespace Tessil

namespace Drem {

// Settings key of a product's registration: kProductKeyPrefix + "/" + product.
inline constexpr wchar_t kProductKeyPrefix[] = L"Vantrel/Product";
// The product served when a product has no working plug-in of its own.
inline constexpr wchar_t kDefaultPluginProduct[] = L"DEFAULT";
inline constexpr wchar_t kDefaultPluginFile[] = L"kytplugin.dll";
inline constexpr wchar_t kDefaultPluginKey[] = L"Software\\Corvane\\KytPlugin";
inline constexpr wchar_t kDefaultPluginFolderValue[] = L"Install Dir";
inline constexpr wchar_t kPluginInstanceName[] = L"AlertPlugin";
inline constexpr std::uint64_t kPluginSettingsTimeoutMs = 5000;

class AlertPluginLib {
public:
    enum State : std::int32_t { UNLOADED = 0, LOADED = 1, INVALIDATED = 2 };

    // Makes the library for a descriptor; throws what the library's constructor throws.
    using LibraryFactory =
        std::function<std::shared_ptr<Tessil::SharedLibrary>(const Tessil::LibraryDescriptor&)>;

    // Empty settings become a client on a bus connection of its own (still
    // empty when that cannot be made); an empty factory builds the library
    // through the checked loader.
    AlertPluginLib(const std::wstring& product, std::shared_ptr<Tessil::SharedLibrary> library,
                   std::shared_ptr<Tessil::SettingsManager> settings, LibraryFactory makeLibrary = {});
    // Destroys the instance before the library is released.
    virtual ~AlertPluginLib();
    AlertPluginLib(const AlertPluginLib&) = delete;
    AlertPluginLib& operator=(const AlertPluginLib&) = delete;

    // Entry 2 after reloading when needed. The out strings are written only
    // on status 0; *suppress is what the plug-in left in it.
    virtual std::uint32_t processAlert(const std::wstring& alert, std::wstring& processed,
                                       std::int32_t* suppress, std::wstring& reason);
    // Entry 4 after reloading when needed; content is written only on status 0.
    virtual std::uint32_t getAlertContent(const std::wstring& alert, const std::wstring& viewerId,
                                          std::wstring& content);
    // Reads the registration, loads the library and creates the instance.
    // The caller holds the plug-in's lock or owns the object alone.
    virtual std::uint32_t load();
    // Destroys the instance; the library stays held until the next load.
    virtual std::uint32_t unload();
    // Takes the plug-in's lock.
    virtual void setState(std::int32_t state);

    // 0 when loaded, else unload and load again. Caller holds the lock.
    std::uint32_t verifyState();
    std::uint32_t createInstance();
    // Answers 0, or MODULE_STATUS_UNKNOWN_EXCEPTION when an exception escaped.
    std::uint32_t destroyInstance();

    // Takes the plug-in's lock.
    std::int32_t state();
    const std::wstring& product() const { return product_; }

    // "UNLOADED", "LOADED", "INVALIDATED", else "UNKNOWN".
    static const wchar_t* stateText(std::int32_t state);

private:
    // Where the default plug-in lies: the registered install folder, else
    // "KytPlugin" beside the program's folder.
    static std::wstring defaultPluginFolder();
    std::uint32_t readRegistration(std::wstring& fileName, std::wstring& folder);

    // Members below are guarded by lock_ once the object is shared.
    std::shared_ptr<Tessil::SharedLibrary> library_;
    AlertPluginHandle handle_ = nullptr;
    const AlertPluginFunctions* functions_ = nullptr;
    std::shared_ptr<Tessil::SettingsManager> settings_;
    std::int32_t state_ = UNLOADED;
    std::wstring product_;
    // Taken inside the registrar's lock, never the other way round.
    std::mutex lock_;
    LibraryFactory makeLibrary_;
};

}  // namespace Drem
