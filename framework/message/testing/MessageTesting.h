// Test support: makes the next message creations fail as if memory ran out.
#pragma once

namespace Tessil::testing {

// The next count calls of Message::create answer an empty pointer.
void failNextMessageCreations(int count);

}  // namespace Tessil::testing
