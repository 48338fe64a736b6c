#include "platform/trust/testing/SwitchableProcessVerifier.h"

#include <mutex>
#include <stdexcept>

#include "platform/trust/ProcessVerifier.h"

namespace Tessil {
namespace {

std::mutex g_factoryMutex;
testing::ProcessVerifierFactory g_factory;  // guarded by g_factoryMutex

}  // namespace

namespace testing {

void SetProcessVerifierFactory(ProcessVerifierFactory factory) {
    std::lock_guard lock(g_factoryMutex);
    g_factory = std::move(factory);
}

}  // namespace testing

namespace trust_detail {

TrustVerifier* NewProcessVerifier() {
    testing::ProcessVerifierFactory factory;
    {
        std::lock_guard lock(g_factoryMutex);
        factory = g_factory;
    }
    if (!factory) return new TrustVerifier();
    std::unique_ptr<TrustVerifier> made = factory();
    if (!made) throw std::runtime_error("no process verifier");
    return made.release();
}

}  // namespace trust_detail
}  // namespace Tessil
