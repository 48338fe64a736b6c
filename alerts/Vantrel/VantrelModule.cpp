// The module Vantrel builds: the alert module with its default collaborators.
#include "alerts/src/module/VantrelImpl.h"
#include "framework/module/ModuleFunctions.h"

namespace Tessil::internal {

Module* makeModule() { return new Drem::VantrelImpl(nullptr, nullptr, nullptr); }

}  // namespace Tessil::internal
