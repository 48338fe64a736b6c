// Loading, lookup and freeing of libraries, with status codes and log lines.
#pragma once

#include "platform/dll/DllAPI.h"

#include <memory>

namespace Tessil {

class DllLoader {
public:
    // An empty wrapper becomes a default one.
    explicit DllLoader(std::shared_ptr<DllAPI> dllApi = nullptr);
    virtual ~DllLoader() = default;

    // A library already loaded under path is handed out with one more
    // reference; else it is loaded through the checked loader.
    virtual bool loadDLL(const std::wstring& path, HMODULE* out);
    // Null when missing or on an exception.
    virtual FARPROC getProcAddress(HMODULE module, const char* name);
    virtual bool freeDLL(HMODULE module);
    // A hold on the file against changes until released
    // (Tessil::DllAPI::holdFile); INVALID_HANDLE_VALUE on failure or an
    // exception.
    virtual HANDLE holdFile(const std::wstring& path);
    virtual void releaseFile(HANDLE hold);

private:
    std::shared_ptr<DllAPI> dllApi_;
};

}  // namespace Tessil
