// Tessil::RegistryAPI: reads of HKEY_LOCAL_MACHINE values through a plain
// Kelmora::CRegKey (the host's install folder).
#pragma once

#include <windows.h>

#include <string>

namespace Tessil {

class RegistryAPI {
public:
    static constexpr long kFailure = static_cast<long>(0x80000002);

    virtual ~RegistryAPI() = default;                                         // 0
    // 0 with out = the text (up to 259 characters), or kFailure with out unchanged.
    virtual long readString(const wchar_t* subKey, const wchar_t* valueName,
                            std::wstring& out);                               // 1
    // 0 with out = the value, or kFailure with out unchanged.
    virtual long readDword(const wchar_t* subKey, const wchar_t* valueName, DWORD& out);  // 2
};

}  // namespace Tessil
