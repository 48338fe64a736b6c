#include "platform/Logging/Logging.h"
#include "platform/Logging/WideFormat.h"
#include "platform/Logging/internal_logging.h"
#include "platform/Logging/testing/CapturingLogger.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using ETWLogging::testing::CapturingLogger;
using ETWLogging::testing::ScopedCapturingLogger;

namespace {

DWORD LogThroughHolder(ETWLogging::LogLevel level, const std::wstring& text) {
    return ETWLogging::Log(level, L"Logging_test", L"LogThroughHolder", 1, L"%s", text.c_str());
}

}  // namespace

// Declared first: runs before any test installs a logger.
TEST(LogFrontEnd, WithoutLoggerEveryCallAnswersNoLogger) {
    EXPECT_EQ(LogThroughHolder(ETWLogging::LevelError, L"x"), ETWLogging::kErrorNoLogger);
    EXPECT_FALSE(ETWLogging::IsLevelEnabled(ETWLogging::LevelCritical));
    ETWLogging::CLoggerHolder* holder = ETWLogging::GetLoggerHolder();
    ASSERT_NE(holder, nullptr);
    EXPECT_EQ(holder->LogText(L"f", L"g", 1, 4, L"t"), ETWLogging::kErrorNoLogger);
    EXPECT_EQ(ETWLogging::GetLoggerHolder(), holder);
}

TEST(LogFrontEnd, PlainLoggerKeepsUpTo4160CharactersAndCutsLongerTextTo2080) {
    struct Case {
        std::size_t length;
        std::size_t written;
    };
    const Case cases[] = {{0, 0}, {1, 1}, {4159, 4159}, {4160, 4160}, {4161, 2080}, {10000, 2080}};
    ScopedCapturingLogger logger;
    for (const Case& c : cases) {
        logger->Clear();
        EXPECT_EQ(LogThroughHolder(ETWLogging::LevelError, std::wstring(c.length, L'a')), 0u);
        auto records = logger->Records();
        ASSERT_EQ(records.size(), 1u) << c.length;
        EXPECT_EQ(records[0].text.size(), c.written) << c.length;
        EXPECT_EQ(records[0].level, ETWLogging::LevelError);
        EXPECT_EQ(records[0].file, L"Logging_test");
        EXPECT_EQ(records[0].function, L"LogThroughHolder");
    }
}

TEST(LogFrontEnd, LevelNamedOperationsCutAt4159Characters) {
    CapturingLogger logger;
    const std::wstring longText(5000, L'b');
    logger.LogNormal(L"f", L"g", 7, L"%s", longText.c_str());
    logger.LogError(L"f", L"g", 7, L"%s", L"short");
    logger.LogWarning(L"f", L"g", 7, L"%d-%s", 42, L"w");
    logger.LogCritical(L"f", L"g", 7, L"%s", std::wstring(4159, L'c').c_str());
    logger.LogInformation(L"f", L"g", 7, L"%s", std::wstring(4158, L'd').c_str());
    auto records = logger.Records();
    ASSERT_EQ(records.size(), 5u);
    EXPECT_EQ(records[0].text, std::wstring(4159, L'b'));
    EXPECT_EQ(records[0].level, 1u);
    EXPECT_EQ(records[1].text, L"short");
    EXPECT_EQ(records[1].level, 4u);
    EXPECT_EQ(records[2].text, L"42-w");
    EXPECT_EQ(records[2].level, 2u);
    EXPECT_EQ(records[3].text.size(), 4159u);
    EXPECT_EQ(records[3].level, 5u);
    EXPECT_EQ(records[4].text.size(), 4158u);
    EXPECT_EQ(records[4].level, 3u);
}

TEST(LogFrontEnd, FilteredLogSiteEvaluatesNoArguments) {
    ScopedCapturingLogger logger;
    logger->SetSeverity(ETWLogging::LevelInformation);
    int evaluated = 0;
    auto argument = [&evaluated] {
        ++evaluated;
        return 1;
    };
    VT_LOG(ETWLogging::LevelNormal, L"Logging_test", L"site", L"%d", argument());
    VT_LOG(ETWLogging::LevelWarning, L"Logging_test", L"site", L"%d", argument());
    EXPECT_EQ(evaluated, 0);
    VT_LOG(ETWLogging::LevelInformation, L"Logging_test", L"site", L"%d", argument());
    VT_LOG(ETWLogging::LevelError, L"Logging_test", L"site", L"%d", argument());
    EXPECT_EQ(evaluated, 2);
    EXPECT_EQ(logger->Records().size(), 2u);
}

TEST(LogFrontEnd, SeverityClampsToOneThroughSix) {
    const std::pair<ETWLogging::LogLevel, ETWLogging::LogLevel> cases[] = {
        {0, 1}, {1, 1}, {3, 3}, {6, 6}, {7, 6}, {0xFFFFFFFF, 6}};
    for (auto [in, out] : cases) {
        EXPECT_EQ(ETWLogging::ClampSeverity(in), out) << in;
    }
}

TEST(LogFrontEnd, FailedRegisterWritesNothingAndAnswersItsCode) {
    ScopedCapturingLogger logger;
    logger->registerResult = 31;
    EXPECT_EQ(LogThroughHolder(ETWLogging::LevelError, L"x"), 31u);
    EXPECT_EQ(ETWLogging::GetLoggerHolder()->LogText(L"f", L"g", 1, 4, L"t"), 31u);
    EXPECT_TRUE(logger->Records().empty());
}

namespace {

// An extended logger recording which entry the holder used.
class ExtendedLogger : public CapturingLogger, public ETWLogging::CLoggingIf_ex {
public:
    using CapturingLogger::Write;
    DWORD InitEx(const wchar_t*, const wchar_t*, HMODULE, const wchar_t*,
                 ETWLogging::CETWConfigurationListener*) override { return 0; }
    DWORD WriteText(ETWLogging::LogLevel level, const wchar_t*, const wchar_t*, int,
                    const wchar_t* text) override {
        calls.push_back(L"WriteText " + std::to_wstring(level) + L" " + text);
        return 77;
    }
    DWORD WriteV(ETWLogging::LogLevel level, const wchar_t*, const wchar_t*, int,
                 const wchar_t* format, va_list args) override {
        calls.push_back(L"WriteV " + std::to_wstring(level) + L" " + Kelmora::FormatV(format, args));
        return 99;
    }
    // The interface slots forward to the capturing base.
    DWORD Init(const wchar_t* a, HMODULE b, const wchar_t* c, void* d) override { return CapturingLogger::Init(a, b, c, d); }
    DWORD Register() override { return 0; }
    std::wstring& GetFullLogName(std::wstring& o) override { return o; }
    std::wstring& GetLogName(std::wstring& o) override { return o; }
    DWORD Uninit() override { return 0; }
    void SetEnabled(bool e) override { CapturingLogger::SetEnabled(e); }
    bool GetEnabled() override { return CapturingLogger::GetEnabled(); }
    void Log(ETWLogging::LogLevel, const wchar_t*, const wchar_t*, int, const wchar_t*, ...) override {}
    DWORD Write(const wchar_t* f, const wchar_t* g, int l, ETWLogging::LogLevel v, const wchar_t* t) override {
        return CapturingLogger::Write(f, g, l, v, t);
    }
    bool IsEnabled(ETWLogging::LogLevel level) override { return level >= 3; }
    void SetMaxEntries(DWORD) override {}
    DWORD GetMaxEntries() override { return 0; }
    void SetMaxSize(DWORD) override {}
    DWORD GetMaxSize() override { return 0; }
    void SetSeverity(ETWLogging::LogLevel) override {}
    ETWLogging::LogLevel GetSeverity() override { return 3; }
    ULONG AddRef() override { return 1; }
    ULONG Release() override { return 1; }
    DWORD LogNormal(const wchar_t*, const wchar_t*, int, const wchar_t*, ...) override { return 0; }
    DWORD LogError(const wchar_t*, const wchar_t*, int, const wchar_t*, ...) override { return 0; }
    DWORD LogWarning(const wchar_t*, const wchar_t*, int, const wchar_t*, ...) override { return 0; }
    DWORD LogCritical(const wchar_t*, const wchar_t*, int, const wchar_t*, ...) override { return 0; }
    DWORD LogInformation(const wchar_t*, const wchar_t*, int, const wchar_t*, ...) override { return 0; }

    std::vector<std::wstring> calls;
};

}  // namespace

TEST(LogFrontEnd, ExtendedLoggerGetsWriteVWhenEnabledAndWriteTextAlways) {
    auto* logger = new ExtendedLogger();
    ETWLogging::testing::InstallLogger(static_cast<ETWLogging::CLoggingIf_ex*>(logger));
    ETWLogging::CLoggerHolder* holder = ETWLogging::GetLoggerHolder();
    EXPECT_EQ(holder->Log(2, L"f", L"g", 1, L"%s", L"dropped"), 0u);
    EXPECT_EQ(holder->Log(4, L"f", L"g", 1, L"%s %d", L"kept", 5), 0u);
    EXPECT_EQ(holder->LogText(L"f", L"g", 1, 1, L"text"), 77u);
    std::vector<std::wstring> expected = {L"WriteV 4 kept 5", L"WriteText 1 text"};
    EXPECT_EQ(logger->calls, expected);
    EXPECT_TRUE(logger->Records().empty());
    ETWLogging::testing::InstallLogger(nullptr);
}

TEST(WideFormat, UsesWindowsConversionMeanings) {
    EXPECT_EQ(Kelmora::Format(L"%s|%ls|%hs", L"wide", L"also", "narrow"), L"wide|also|narrow");
    EXPECT_EQ(Kelmora::Format(L"%lu %ld 0x%08X %%", 4294967295ul, -5l, 0xABCu), L"4294967295 -5 0x00000ABC %");
    EXPECT_EQ(Kelmora::Format(L""), L"");
    wchar_t buffer[4];
    auto into = [&](const wchar_t* format, ...) {
        va_list args;
        va_start(args, format);
        int written = Kelmora::FormatIntoV(buffer, 4, format, args);
        va_end(args);
        return written;
    };
    EXPECT_EQ(into(L"%s", L"abc"), 3);
    EXPECT_STREQ(buffer, L"abc");
    EXPECT_EQ(into(L"%s", L"abcdef"), -1);
    EXPECT_STREQ(buffer, L"abc");
    EXPECT_EQ(into(L"%s", L""), 0);
    EXPECT_STREQ(buffer, L"");
}

namespace {

class RecordingHandler : public Kelmora::ILoggingHandler {
public:
    void Log(int type, const wchar_t*, const wchar_t* function, int, const wchar_t* message) override {
        messages.push_back(std::to_wstring(type) + L" " + function + L" " + message);
    }
    std::vector<std::wstring> messages;
};

// Leaves the library logger with no handler registered.
class LibraryLogger : public ::testing::Test {
protected:
    void SetUp() override { Clear(); }
    void TearDown() override { Clear(); }
    static void Clear() {
        if (auto* handler = Kelmora::CLogger::RegisteredHandler()) {
            Kelmora::CLogger::UnregisterHandler(handler);
        }
    }
};

}  // namespace

TEST_F(LibraryLogger, RegisterAnswersAndKeepsTheFirstHandler) {
    RecordingHandler first, second;
    EXPECT_EQ(Kelmora::CLogger::RegisterHandler(&first), 0u);
    EXPECT_EQ(Kelmora::CLogger::RegisterHandler(&first), 0u);
    EXPECT_EQ(Kelmora::CLogger::RegisterHandler(&second), 5023u);
    EXPECT_EQ(Kelmora::CLogger::RegisteredHandler(), &first);
    ASSERT_EQ(first.messages.size(), 1u);
    EXPECT_NE(first.messages[0].find(L"2 Kelmora::CLogger::RegisterHandler "), std::wstring::npos);
    EXPECT_NE(first.messages[0].find(L"cannot be replaced with 0x"), std::wstring::npos);
    EXPECT_TRUE(second.messages.empty());
    EXPECT_EQ(Kelmora::CLogger::RegisterHandler(nullptr), 87u);
    EXPECT_NE(first.messages.back().find(L": Cannot Register (NULL) handler"), std::wstring::npos);
}

TEST_F(LibraryLogger, DefaultHandlerGivesWayToARealOne) {
    RecordingHandler handler;
    EXPECT_EQ(Kelmora::CLogger::RegisterHandler(&Kelmora::CDefaultLoggingHandler::Instance()), 0u);
    EXPECT_EQ(Kelmora::CLogger::RegisterHandler(&handler), 0u);
    EXPECT_EQ(Kelmora::CLogger::RegisteredHandler(), &handler);
}

TEST_F(LibraryLogger, UnregisterOfAnotherHandlerTellsBothAndKeepsTheRegisteredOne) {
    RecordingHandler registered, requested;
    ASSERT_EQ(Kelmora::CLogger::RegisterHandler(&registered), 0u);
    EXPECT_EQ(Kelmora::CLogger::UnregisterHandler(&requested), 5023u);
    EXPECT_EQ(Kelmora::CLogger::RegisteredHandler(), &registered);
    ASSERT_EQ(registered.messages.size(), 1u);
    ASSERT_EQ(requested.messages.size(), 1u);
    EXPECT_EQ(registered.messages[0], requested.messages[0]);
    EXPECT_NE(registered.messages[0].find(L"Failed to Unregister Logging handler (requested handler 0x"),
              std::wstring::npos);
    EXPECT_EQ(Kelmora::CLogger::UnregisterHandler(&registered), 0u);
    EXPECT_EQ(Kelmora::CLogger::RegisteredHandler(), nullptr);
}

TEST_F(LibraryLogger, UnregisterWithNoneRegisteredTellsTheRequestedHandlerOnly) {
    RecordingHandler requested;
    EXPECT_EQ(Kelmora::CLogger::UnregisterHandler(&requested), 5023u);
    ASSERT_EQ(requested.messages.size(), 1u);
    EXPECT_NE(requested.messages[0].find(L"but none are registered"), std::wstring::npos);
    EXPECT_EQ(Kelmora::CLogger::RegisteredHandler(), nullptr);
}

TEST_F(LibraryLogger, MessagesAreFormattedForTheHandler) {
    RecordingHandler handler;
    ASSERT_EQ(Kelmora::CLogger::RegisterHandler(&handler), 0u);
    Kelmora::CLogger::Log(1, L"file", L"fn", 3, L"%s=%d", L"n", 12);
    std::vector<std::wstring> expected = {L"1 fn n=12"};
    EXPECT_EQ(handler.messages, expected);
}

TEST_F(LibraryLogger, ForwardedMessagesBecomeRecordsOfTheActiveLogger) {
    ScopedCapturingLogger logger;
    ASSERT_EQ(Kelmora::CLogger::RegisterHandler(&ETWLogging::CKelmoraLogHandler::Instance()), 0u);
    const std::pair<int, ETWLogging::LogLevel> cases[] = {{0, 1}, {1, 1}, {2, 4}, {3, 2}, {-1, 2}};
    for (auto [type, level] : cases) {
        logger->Clear();
        Kelmora::CLogger::Log(type, L"Registry\\RegKey", L"Kelmora::X::Y", 5, L"message %d", type);
        auto records = logger->Records();
        ASSERT_EQ(records.size(), 1u) << type;
        EXPECT_EQ(records[0].level, level) << type;
        EXPECT_EQ(records[0].text, L"message " + std::to_wstring(type));
        EXPECT_EQ(records[0].file, L"Registry\\RegKey");
    }
}

TEST(LogLevels, NamesFollowTheLevelTable) {
    const std::pair<ETWLogging::LogLevel, const wchar_t*> cases[] = {
        {1, L"Normal"}, {2, L"Warning"}, {3, L"Information"}, {4, L"Error"},
        {5, L"Critical"}, {6, L"Information"}};
    for (auto [level, name] : cases) {
        EXPECT_STREQ(ETWLogging::LogLevelName(level), name);
    }
}
