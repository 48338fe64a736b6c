// Kelmora::CObfuscatedRegKey: a registry key whose every typed value is
// stored scrambled as a "CVRG" REG_BINARY blob.
#pragma once

#include "platform/Registry/RegKey.h"

namespace Kelmora {

// Overrides the two raw value operations; all else is the plain key's.
class CObfuscatedRegKeyImpl : public internal::CRegKeyImpl {
public:
    // Reads and checks the blob (twice: a size pass and a data pass) and
    // answers the value in its own type: REG_SZ and REG_MULTI_SZ as UTF-16.
    // 87 when type and size are both null, 13 for a malformed blob, 234 when
    // the buffer is too small (size tells the need), 6001 unscrambling.
    LONG QueryValue(const wchar_t* name, DWORD* type, BYTE* data, DWORD* size) override;
    // Stores the value scrambled as REG_BINARY: 87, 8, 6000 or the registry's code.
    LONG SetValue(const wchar_t* name, DWORD type, const BYTE* data, DWORD size) override;
};

class CObfuscatedRegKey : public CRegKey {
public:
    CObfuscatedRegKey();
};

}  // namespace Kelmora
