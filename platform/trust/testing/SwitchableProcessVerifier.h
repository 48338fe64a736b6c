// Test programs only: how the process's verifier is made at its first check.
// Linked from testing/SwitchableProcessVerifier.cpp in place of the shipped
// definition.
#pragma once

#include <functional>
#include <memory>

#include "platform/trust/TrustVerifier.h"

namespace Tessil::testing {

using ProcessVerifierFactory = std::function<std::unique_ptr<TrustVerifier>()>;

// The process's verifier is made by the factory (empty: the real one) when it
// is made; call before the first check. A factory that throws leaves the
// verifier unmade until the next check.
void SetProcessVerifierFactory(ProcessVerifierFactory factory);

}  // namespace Tessil::testing
