// The command-line switches of Brisvel: their names and the table handed to
// the parser, in this order.
#pragma once

#include "tools/common/CommandLineParser.h"

namespace Tessil {

inline constexpr const wchar_t* kHelpSwitch = L"?";
inline constexpr const wchar_t* kRegisterSwitch = L"register";
inline constexpr const wchar_t* kUnregisterSwitch = L"unregister";

inline constexpr CommandLineParser::FlagDefinition kBrisvelSwitches[] = {
    {kHelpSwitch, L"Displays help."},
    {kRegisterSwitch,
     L"Registers the provided app code as a dependency on this collective component."},
    {kUnregisterSwitch,
     L"Unregisters provided app code as a dependency on this collective component."},
};

}  // namespace Tessil
