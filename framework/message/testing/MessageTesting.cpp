#include "framework/message/testing/MessageTesting.h"

#include "framework/message/MessageCreationSeam.h"

#include <atomic>

namespace Tessil {

namespace {
std::atomic<int> g_failCreations{0};
}  // namespace

namespace testing {
void failNextMessageCreations(int count) { g_failCreations.store(count); }
}  // namespace testing

namespace internal {
bool messageCreationFails() {
    int pending = g_failCreations.load();
    while (pending > 0) {
        if (g_failCreations.compare_exchange_weak(pending, pending - 1)) {
            return true;
        }
    }
    return false;
}
}  // namespace internal

}  // namespace Tessil
