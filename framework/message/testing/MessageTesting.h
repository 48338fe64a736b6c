// Test support: makes the next message creations fail as if memory ran out.
// Link framework_message_testing, whose seam replaces the library's own.
#pragma once

namespace Tessil::testing {

// The next count calls of Message::create answer an empty pointer.
void failNextMessageCreations(int count);

}  // namespace Tessil::testing
