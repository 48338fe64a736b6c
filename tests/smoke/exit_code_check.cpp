// Passes its one test, then exits with code 3 after main returns, as a crash
// while shutting down would: ctest must count this program as failed.
#include <gtest/gtest.h>

#include <cstdlib>
#include <windows.h>

namespace {

void ExitWithCode3() { ExitProcess(3); }

TEST(ExitCode, PassesThenExitsNonZero) {
    ASSERT_EQ(0, std::atexit(ExitWithCode3));
}

}  // namespace
