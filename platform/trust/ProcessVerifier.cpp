// Alone in its object file, so that a test program's own definition keeps
// this one out of its link.
#include "platform/trust/ProcessVerifier.h"

#include "platform/trust/TrustVerifier.h"

namespace Tessil::trust_detail {

TrustVerifier* NewProcessVerifier() { return new TrustVerifier(); }

}  // namespace Tessil::trust_detail
