// The interface the validation library "cvnqava.dll" hands out through its
// export "NotComDllGetInterface".
#pragma once

#include <windows.h>

namespace Tessil {

// The validation answer: both words zeroed before each call.
struct ValidationAnswer {
    DWORD words[2];
};

inline constexpr DWORD kValidationFlagsNewPlatform = 0x200;
inline constexpr DWORD kValidationFlagsOldPlatform = 0x4;
inline constexpr DWORD kValidationAnswerChecked = 2;       // word 0
inline constexpr DWORD kValidationVerdictNewPlatform = 8;  // word 1, platform above 1504
inline constexpr DWORD kValidationVerdictOldPlatform = 1;  // word 1, otherwise

class QavValidationControl {
public:
    virtual HRESULT QueryInterface(REFIID iid, void** out) = 0;
    virtual ULONG AddRef() = 0;
    virtual ULONG Release() = 0;
    virtual HRESULT Reserved3() = 0;
    virtual HRESULT Reserved4() = 0;
    // Slot 5: fills the answer for one file.
    virtual HRESULT ValidateFile(const wchar_t* path, DWORD flags, ValidationAnswer* answer) = 0;
};

// (8-bit interface name, interface out) -> 0 when the interface was handed out.
using NotComDllGetInterfaceFn = DWORD (*)(const char* name, void** out);

}  // namespace Tessil
