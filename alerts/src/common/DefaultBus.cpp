#include "alerts/src/common/DefaultBus.h"

#include "framework/bus/MessageBusClient.h"
#include "framework/buslib/MessageBusLib.h"

namespace Drem {

std::shared_ptr<Tessil::MessageBus> newDefaultMessageBus() {
    return std::make_shared<Tessil::MessageBusClient>(std::make_shared<Tessil::MessageBusLib>());
}

}  // namespace Drem
