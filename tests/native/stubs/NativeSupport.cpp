// Native definitions of what the settings client's code reaches outside
// itself: the default sender of a message (none natively) and the default
// bus, which a fuzz target never asks for.
#include "framework/message/Message.h"
#include "framework/settings/SettingsDefaultBus.h"

#include <stdexcept>

namespace Tessil {

const std::wstring& Message::defaultSender() {
    static const std::wstring sender;
    return sender;
}

std::shared_ptr<MessageBus> settingsDefaultBus() {
    throw std::runtime_error("no default bus natively");
}

}  // namespace Tessil
