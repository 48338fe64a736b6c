// The process's verifier, made at the first check through the test
// programs' definition of its making.
#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

#include "platform/trust/TrustVerifier.h"
#include "platform/trust/testing/SwitchableProcessVerifier.h"
#include "platform/trust/testing/TestTrust.h"

namespace Tessil {
namespace {

std::wstring TestFile(const char* name) {
    return testing::WindowsPathOf(std::string(VT_TRUST_TESTDATA_DIR) + "/" + name);
}

TEST(ProcessVerifier, AConstructionThatThrowsIsTriedAgainByTheNextCheck) {
    ASSERT_TRUE(testing::InstallTestRootCertificate());
    auto attempts = std::make_shared<std::atomic<int>>(0);
    testing::SetProcessVerifierFactory([attempts]() -> std::unique_ptr<TrustVerifier> {
        if ((*attempts)++ == 0) throw std::runtime_error("the first construction fails");
        return std::make_unique<TrustVerifier>(
            std::make_shared<testing::TestTrustPolicy>(testing::TestRootList({L"Vantrel Test Signer"})),
            L"Z:\\nonexistent\\vt-trust\\trusted.js", HKEY_CURRENT_USER, kValidationLibraryName,
            L"vt-process-verifier-" + std::to_wstring(GetCurrentProcessId()));
    });
    const std::wstring file = TestFile("valid.dll");
    EXPECT_EQ(VerifyFile(file.c_str()), 5u);  // nothing is trusted without a verifier

    // The next check makes the verifier again rather than wait for ever; run
    // on a thread of its own so that a hang fails here.
    auto answer = std::make_shared<std::promise<DWORD>>();
    std::future<DWORD> second = answer->get_future();
    std::thread([answer, file] { answer->set_value(VerifyFile(file.c_str())); }).detach();
    ASSERT_EQ(second.wait_for(std::chrono::seconds(120)), std::future_status::ready)
        << "the check after a failed construction does not return";
    EXPECT_EQ(second.get(), 0u);
    EXPECT_EQ(*attempts, 2);
    EXPECT_EQ(VerifyFile(file.c_str()), 0u);
    EXPECT_EQ(*attempts, 2);  // made once it succeeded
    testing::SetProcessVerifierFactory(nullptr);
}

}  // namespace
}  // namespace Tessil
