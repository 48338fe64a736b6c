#include "framework/module/IOCContainer.h"

namespace Kelmora {

const std::wstring kDefaultRegistrationName = L"Unnamed registration";

}  // namespace Kelmora
