// Kept alone in its object file, so that a test library's definition takes
// its place at link time.
#include "framework/message/MessageCreationSeam.h"

namespace Tessil::internal {

bool messageCreationFails() { return false; }

}  // namespace Tessil::internal
