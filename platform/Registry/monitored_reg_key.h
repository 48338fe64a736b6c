// Kelmora::monitored_reg_key: a registry key with a watcher thread that runs
// a callback after every change, until stopped.
#pragma once

#include "platform/Registry/RegKey.h"

#include <windows.h>

#include <atomic>
#include <functional>
#include <memory>
#include <thread>

namespace Kelmora {

class monitored_reg_key {
public:
    monitored_reg_key();
    // Stops the watch, closes the events and deletes the key (which closes it).
    virtual ~monitored_reg_key();                                            // 0
    monitored_reg_key(const monitored_reg_key&) = delete;
    monitored_reg_key& operator=(const monitored_reg_key&) = delete;

    // StopAndClose, then the key's Create or Open.
    virtual LONG Create(HKEY parent, const wchar_t* subKey, wchar_t* keyClass = REG_NONE,
                        DWORD options = REG_OPTION_NON_VOLATILE,
                        REGSAM access = KEY_READ | KEY_WRITE,
                        SECURITY_ATTRIBUTES* attributes = nullptr,
                        DWORD* disposition = nullptr);                       // 1
    virtual LONG Open(HKEY parent, const wchar_t* subKey,
                      REGSAM access = KEY_READ | KEY_WRITE);                 // 2
    // Stop, then the key's Close.
    virtual LONG Close();                                                    // 3
    // Stops any earlier watch, then watches the key; false without an open
    // key or a callback. Returns once the watcher has asked for its first
    // notification, so a change made after Start is reported. The callback
    // runs on the watcher thread.
    virtual bool Start(std::function<void()> callback, bool watchSubtree,
                       DWORD notifyFilter);                                  // 4
    // Ends the watch and joins the watcher; always true. Never from the callback.
    virtual bool Stop();                                                     // 5
    // The watcher thread's body.
    virtual DWORD registry_callback_thread(bool watchSubtree, DWORD notifyFilter);  // 6
    virtual LONG StopAndClose();                                             // 7

    // The watched key; the owner leaves it alone while a watch runs.
    CRegKey& Key() { return *key_; }

private:
    std::unique_ptr<CRegKey> key_;
    std::function<void()> callback_;     // written only while no watcher runs
    std::thread watcher_;                // owner's thread only
    HANDLE stopEvent_ = nullptr;         // owner's thread only
    std::atomic<HANDLE> changeEvent_{nullptr};  // taken by Stop while the watcher reads it
    HANDLE armedEvent_ = nullptr;        // owner's thread; closed by Stop after the join
};

}  // namespace Kelmora
