#include "platform/Logging/DefaultLogBuilder.h"

#include "platform/Logging/FileLogger.h"
#include "platform/Logging/internal_logging.h"
#include "platform/Registry/testing/TestRegistry.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

// The holder is built once per process: this program checks the build with
// mechanism 1 configured; nothing is written.
TEST(LogBuilderHolder, ConfiguredMechanismOneGivesTheFileLogger) {
    Kelmora::testing::PrivateHklm hklm;
    ASSERT_TRUE(hklm.ok());
    {
        // The log name is copied: the caller's text is gone before the build.
        std::vector<wchar_t> name = {L'H', L'o', L'l', L'd', L'e', L'r', L'G', L'r', L'o', L'u',
                                     L'p', L'\0'};
        ETWLogging::ConfigureLogging(nullptr, name.data(), nullptr, nullptr, 1);
        std::fill(name.begin(), name.end() - 1, L'X');
    }
    ETWLogging::CLoggerHolder* holder = ETWLogging::GetLoggerHolder();
    ASSERT_NE(holder, nullptr);
    auto* logger = dynamic_cast<ETWLogging::CLogging*>(holder->Logger());
    ASSERT_NE(logger, nullptr);
    const std::wstring folder = logger->LogFolder();
    const std::wstring tail = L"\\Corvane\\CVLOGS\\HolderGroup\\log_builder_holder_test";
    ASSERT_GE(folder.size(), tail.size());
    EXPECT_EQ(folder.substr(folder.size() - tail.size()), tail);
    EXPECT_TRUE(ETWLogging::IsLevelEnabled(ETWLogging::LevelInformation));
    EXPECT_FALSE(ETWLogging::IsLevelEnabled(ETWLogging::LevelWarning));
    // Library messages now go to the holder's logger.
    EXPECT_EQ(Kelmora::CLogger::RegisteredHandler(), &ETWLogging::CKelmoraLogHandler::Instance());
    // Later configuration changes nothing.
    ETWLogging::ConfigureLogging(nullptr, L"Other", nullptr, nullptr, 0);
    EXPECT_EQ(ETWLogging::GetLoggerHolder()->Logger(), logger);
}
