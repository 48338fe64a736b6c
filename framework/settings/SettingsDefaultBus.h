// The bus a settings client makes when it is given none. Apart from the
// client, so that the client's reading of replies builds without Win32.
#pragma once

#include "framework/bus/MessageBus.h"

#include <memory>

namespace Tessil {

// A bus client with a connection of its own through the bus library; throws
// ModuleException when that library cannot be used.
std::shared_ptr<MessageBus> settingsDefaultBus();

}  // namespace Tessil
