// Kelmora::WinOSVersionAPI: VerifyVersionInfoW behind one virtual operation,
// so that OS detection can be tested with a table of versions.
#pragma once

#include <windows.h>

namespace Kelmora {

// Held by value inside OSInfoProxy; never deleted through a base pointer.
class WinOSVersionAPI {
public:
    virtual BOOL VerifyVersionInfoW(OSVERSIONINFOEXW* info, DWORD typeMask,
                                    DWORDLONG conditionMask);  // 0
};

}  // namespace Kelmora
