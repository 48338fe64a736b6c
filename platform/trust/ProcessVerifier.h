// How the process's verifier is made at its first check. A link-time seam:
// the shipped library defines it in ProcessVerifier.cpp (the real
// collaborators); test programs link a definition of their own
// (testing/SwitchableProcessVerifier.cpp), which keeps the shipped one out.
#pragma once

namespace Tessil {
class TrustVerifier;
}

namespace Tessil::trust_detail {

// A new verifier for the whole process; may throw.
TrustVerifier* NewProcessVerifier();

}  // namespace Tessil::trust_detail
