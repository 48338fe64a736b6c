#include "framework/settings/SettingsDefaultBus.h"

#include "framework/bus/MessageBusClient.h"
#include "framework/buslib/MessageBusLib.h"

namespace Tessil {

std::shared_ptr<MessageBus> settingsDefaultBus() {
    return std::make_shared<MessageBusClient>(std::make_shared<MessageBusLib>());
}

}  // namespace Tessil
