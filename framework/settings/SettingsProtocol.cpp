#include "framework/settings/SettingsProtocol.h"

#include <sstream>

namespace Tessil::SettingsProtocol {

std::wstring persistentDoubleText(double value) {
    std::wostringstream stream;
    stream.precision(16);
    stream << value;
    return stream.str();
}

std::wstring volatileDoubleText(double value) { return std::to_wstring(value); }

}  // namespace Tessil::SettingsProtocol
