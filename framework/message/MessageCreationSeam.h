// Link-time seam of Message::create: whether this creation fails as if
// memory ran out. The library's own definition never fails; the test library
// framework_message_testing brings one that tests can script.
#pragma once

namespace Tessil::internal {

bool messageCreationFails();

}  // namespace Tessil::internal
