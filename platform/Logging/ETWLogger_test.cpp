#include "platform/Logging/ETWLogger.h"

#include "platform/Logging/ETWEventRecord.h"
#include "platform/Logging/LoggerModule.h"
#include "platform/Logging/testing/CapturingLogger.h"
#include "platform/Logging/testing/ETWRecordDecoder.h"
#include "platform/Logging/testing/FakeTraceAPI.h"
#include "platform/Registry/ObfuscatedRegKey.h"
#include "platform/Registry/RegKey.h"
#include "platform/Registry/testing/TestRegistry.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <vector>

using ETWLogging::CETWLogging;
using ETWLogging::testing::DecodeContextRecord;
using ETWLogging::testing::FakeTraceAPI;

namespace {

constexpr wchar_t kProviderKey[] = L"SOFTWARE\\Corvane\\Logging\\Provider";
constexpr wchar_t kAppRoot[] = L"SOFTWARE\\Corvane.logging";

std::wstring ThisProgramBaseName() {
    std::wstring name;
    EXPECT_TRUE(ETWLogging::internal::ModuleFileName(nullptr, name));
    return name;
}

void SetDword(const std::wstring& path, const wchar_t* name, DWORD value) {
    Kelmora::CRegKey key;
    ASSERT_EQ(key.Create(HKEY_LOCAL_MACHINE, path.c_str()), ERROR_SUCCESS) << path;
    ASSERT_EQ(key.SetDWORDValue(name, value), ERROR_SUCCESS);
}

void SetScrambledString(const std::wstring& path, const wchar_t* name, const wchar_t* value) {
    Kelmora::CObfuscatedRegKey key;
    ASSERT_EQ(key.Create(HKEY_LOCAL_MACHINE, path.c_str()), ERROR_SUCCESS) << path;
    ASSERT_EQ(key.SetStringValue(name, value), ERROR_SUCCESS);
}

void SetScrambledGuid(const std::wstring& path, const wchar_t* name, const GUID& value) {
    Kelmora::CObfuscatedRegKey key;
    ASSERT_EQ(key.Create(HKEY_LOCAL_MACHINE, path.c_str()), ERROR_SUCCESS) << path;
    ASSERT_EQ(key.SetGUIDValue(name, value), ERROR_SUCCESS);
}

// Writes every required value of an application's keys, scrambled.
void WriteAppKeys(const std::wstring& app, const GUID& provider, bool withSessionName = true) {
    const std::wstring root = std::wstring(kAppRoot) + L"\\" + app;
    SetScrambledString(root, L"Log Path", L"\\Elsewhere\\Logs");
    SetScrambledString(root + L"\\Controller", L"Controller Path", L"C:\\ctl");
    SetScrambledString(root + L"\\Controller", L"Owner Mutex Name", L"Global\\owner");
    SetScrambledGuid(root + L"\\Session", L"Session ID Guid", ETWLogging::kDefaultSessionIdGuid);
    if (withSessionName) {
        SetScrambledString(root + L"\\Session", L"Session Name", L"app session");
    }
    SetScrambledGuid(root + L"\\Provider", L"Provider Guid", provider);
}

DWORD Emit(CETWLogging& logger, ETWLogging::LogLevel level, const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    DWORD result = logger.WriteV(level, L"Logging\\Emitter", L"Tests::Emit", 42, format, args);
    va_end(args);
    return result;
}

// Levels 0..7 whose records reach the tracing system.
std::set<ETWLogging::LogLevel> PassingLevels(CETWLogging& logger, FakeTraceAPI& api) {
    api.ClearEvents();
    for (ETWLogging::LogLevel level = 0; level <= 7; ++level) {
        Emit(logger, level, L"level %u", level);
    }
    std::set<ETWLogging::LogLevel> levels;
    for (const auto& event : api.Events()) {
        levels.insert(static_cast<ETWLogging::LogLevel>(std::stoul(event.text.substr(6))));
    }
    return levels;
}

class EtwLoggerTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(hklm_.ok()); }

    std::unique_ptr<CETWLogging> MakeLogger(const wchar_t* app = nullptr,
                                            const wchar_t* logName = L"Group",
                                            DWORD expected = ERROR_SUCCESS) {
        auto logger = std::make_unique<CETWLogging>(api_);
        EXPECT_EQ(logger->InitEx(app, logName, nullptr, L"host", nullptr), expected);
        return logger;
    }

    Kelmora::testing::PrivateHklm hklm_;
    std::shared_ptr<FakeTraceAPI> api_ = std::make_shared<FakeTraceAPI>();
};

TEST_F(EtwLoggerTest, WithoutRegistryRegistersBuiltInProviderOnceAndPassesLevelThreeAndUp) {
    auto logger = MakeLogger();
    EXPECT_TRUE(logger->GetEnabled());
    EXPECT_EQ(logger->GetSeverity(), 3u);
    EXPECT_EQ(logger->Register(), 0u);
    EXPECT_EQ(logger->Register(), 0u);
    auto registrations = api_->Registrations();
    ASSERT_EQ(registrations.size(), 1u);
    EXPECT_TRUE(IsEqualGUID(registrations[0].controlGuid, ETWLogging::kDefaultProviderGuid));
    ASSERT_EQ(registrations[0].traceGuids.size(), 1u);
    EXPECT_TRUE(IsEqualGUID(registrations[0].traceGuids[0], ETWLogging::kEventClassGuid));
    EXPECT_TRUE(registrations[0].mofPathsNull);
    EXPECT_EQ(registrations[0].context, logger.get());
    EXPECT_EQ(PassingLevels(*logger, *api_), (std::set<ETWLogging::LogLevel>{3, 4, 5, 6, 7}));

    std::wstring name;
    EXPECT_EQ(logger->GetLogName(name), L"Group");
    EXPECT_EQ(logger->GetFullLogName(name), L"Group\\" + ETWLogging::internal::StripExtension(ThisProgramBaseName()));
    logger.reset();
    EXPECT_EQ(api_->Unregistrations(), std::vector<TRACEHANDLE>{registrations[0].handle});
}

TEST_F(EtwLoggerTest, SessionLevelThenRegistryOverridesDecideTheFilter) {
    const std::wstring full = L"Group\\" + ETWLogging::internal::StripExtension(ThisProgramBaseName());
    struct Value {
        std::wstring subKey;  // below the provider key
        const wchar_t* name;
        DWORD value;
    };
    struct Case {
        const char* what;
        UCHAR sessionLevel;  // 0: no session
        std::vector<Value> values;
        std::set<ETWLogging::LogLevel> passing;
    };
    const std::set<ETWLogging::LogLevel> none;
    const Case cases[] = {
        {"session level 5", 5, {}, {3, 5, 6, 7}},
        {"session level 1", 1, {}, {1, 2, 3, 4, 5, 6, 7}},
        {"registry severity 1 after session 5", 5, {{L"", L"Severity", 1}}, {1, 2, 3, 4, 5, 6, 7}},
        {"log name key wins over provider key", 5,
         {{L"", L"Severity", 1}, {L"\\Group", L"Severity", 4}}, {3, 4, 5, 6, 7}},
        {"full log name key wins over both", 5,
         {{L"", L"Severity", 1}, {L"\\Group", L"Severity", 4}, {L"\\" + full, L"Severity", 2}},
         {2, 3, 4, 5, 6, 7}},
        {"enable 0 under log name silences an active session", 1, {{L"\\Group", L"Enable", 0}}, none},
        {"enable 1 under full name overrides 0 under log name", 1,
         {{L"\\Group", L"Enable", 0}, {L"\\" + full, L"Enable", 1}}, {1, 2, 3, 4, 5, 6, 7}},
        {"registry severity 0 clamps to 1 at init", 0, {{L"", L"Severity", 0}}, {0, 1, 2, 3, 4, 5, 6, 7}},
        {"registry severity 9 clamps to 6 at init", 0, {{L"", L"Severity", 9}}, {3, 6, 7}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Kelmora::CRegKey root;
        ASSERT_EQ(root.Create(HKEY_LOCAL_MACHINE, L"SOFTWARE"), ERROR_SUCCESS);
        root.RecurseDeleteKey(L"Corvane");
        for (const Value& v : c.values) {
            SetDword(std::wstring(kProviderKey) + v.subKey, v.name, v.value);
        }
        auto logger = MakeLogger();
        ASSERT_EQ(logger->Register(), 0u);
        if (c.sessionLevel != 0) {
            ASSERT_EQ(api_->Enable(0x77, c.sessionLevel), 0u);
        }
        std::set<ETWLogging::LogLevel> passing = PassingLevels(*logger, *api_);
        // Level 0 is below every severity but lets nothing else through either.
        passing.erase(0);
        std::set<ETWLogging::LogLevel> expected = c.passing;
        expected.erase(0);
        EXPECT_EQ(passing, expected);
    }
}

TEST_F(EtwLoggerTest, EventRecordCarriesEveryField) {
    auto logger = MakeLogger();
    ASSERT_EQ(logger->Register(), 0u);
    ASSERT_EQ(api_->Enable(0x1234, 3), 0u);
    struct Case {
        ETWLogging::LogLevel level;
        UCHAR eventLevel;
        std::wstring message;
        std::string utf8;
    };
    const Case cases[] = {
        {3, 3, L"plain text", "plain text"},
        {4, 4, L"caf\u00e9 \u20ac \U0001F600", "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80"},
        {5, 5, L"", ""},
        {6, 3, L"six", "six"},
        {7, 3, L"seven", "seven"},
    };
    for (const Case& c : cases) {
        api_->ClearEvents();
        EXPECT_EQ(Emit(*logger, c.level, L"%s", c.message.c_str()), 0u);
        auto events = api_->Events();
        ASSERT_EQ(events.size(), 1u) << c.level;
        const auto& event = events[0];
        EXPECT_EQ(event.session, 0x1234u);
        EXPECT_EQ(event.header.Size, 80);
        EXPECT_EQ(event.header.HeaderType, 0);
        EXPECT_EQ(event.header.MarkerFlags, 0);
        EXPECT_EQ(event.header.Class.Type, 1);
        EXPECT_EQ(event.header.Class.Level, c.eventLevel);
        EXPECT_EQ(event.header.Class.Version, 2);
        EXPECT_EQ(event.header.ThreadId, 0u);
        EXPECT_EQ(event.header.ProcessId, 0u);
        EXPECT_EQ(event.header.TimeStamp.QuadPart, 0);
        EXPECT_EQ(event.header.ClientContext, 0u);
        EXPECT_EQ(event.header.Flags, 0x00120000u);
        EXPECT_TRUE(IsEqualGUID(event.header.Guid, ETWLogging::kEventClassGuid));
        EXPECT_EQ(event.fields[0].DataType, 0u);
        EXPECT_EQ(event.fields[1].DataType, 0u);
        EXPECT_EQ(event.text, c.utf8);

        auto context = DecodeContextRecord(event.context);
        ASSERT_TRUE(context.has_value());
        EXPECT_EQ(context->processId, GetCurrentProcessId());
        EXPECT_EQ(context->threadId, GetCurrentThreadId());
        EXPECT_EQ(context->imageName, ThisProgramBaseName());
        EXPECT_EQ(context->sourceFile, L"Logging\\Emitter");
        EXPECT_EQ(context->function, L"Tests::Emit");
        EXPECT_EQ(context->line, 42u);
        EXPECT_EQ(context->moduleFileName, ThisProgramBaseName());
        EXPECT_EQ(context->moduleVersion, L"5.6.7.8");
        EXPECT_EQ(context->logName, L"Group");
        EXPECT_EQ(context->textBytes, c.utf8.size());
    }
}

TEST_F(EtwLoggerTest, LongMessagesKeep2079CharactersAndTheirTerminator) {
    auto logger = MakeLogger();
    struct Case {
        std::size_t length;
        std::string expected;
    };
    const Case cases[] = {
        {2078, std::string(2078, 'm')},
        {2079, std::string(2079, 'm')},
        {2080, std::string(2079, 'm') + '\0'},
        {3000, std::string(2079, 'm') + '\0'},
    };
    for (const Case& c : cases) {
        api_->ClearEvents();
        logger->WriteText(4, L"f", L"g", 1, std::wstring(c.length, L'm').c_str());
        auto events = api_->Events();
        ASSERT_EQ(events.size(), 1u);
        EXPECT_EQ(events[0].text, c.expected) << c.length;
        EXPECT_EQ(DecodeContextRecord(events[0].context)->textBytes, c.expected.size());
    }
    // Non-ASCII text of full length does not fit beside the message.
    api_->ClearEvents();
    logger->WriteText(4, L"f", L"g", 1, std::wstring(3000, L'\u00e9').c_str());
    ASSERT_EQ(api_->Events().size(), 1u);
    EXPECT_EQ(api_->Events()[0].text.size(), 2079u * 2 + 1);
}

TEST_F(EtwLoggerTest, NullFormatAndDisabledLoggerWriteNothing) {
    auto logger = MakeLogger();
    va_list none{};
    EXPECT_EQ(logger->WriteV(4, L"f", L"g", 1, nullptr, none), 87u);
    logger->SetEnabled(false);
    EXPECT_EQ(Emit(*logger, 4, L"x"), 0u);
    logger->Log(4, L"f", L"g", 1, L"x");
    logger->SetEnabled(true);
    logger->Log(4, L"f", L"g", 1, L"");
    logger->Log(1, L"f", L"g", 1, L"filtered");
    EXPECT_TRUE(api_->Events().empty());
    logger->Log(4, L"f", L"g", 1, L"%d-%s", 7, L"w");
    ASSERT_EQ(api_->Events().size(), 1u);
    EXPECT_EQ(api_->Events()[0].text, "7-w");
}

TEST_F(EtwLoggerTest, OnlyTheHeldSessionControlsTheLogger) {
    auto logger = MakeLogger();
    ASSERT_EQ(logger->Register(), 0u);
    ASSERT_EQ(api_->Enable(0x10, 5), 0u);
    EXPECT_EQ(logger->SessionHandle(), 0x10u);
    EXPECT_EQ(logger->GetSeverity(), 5u);

    // A second session is ignored, for enabling and for disabling.
    EXPECT_EQ(api_->Enable(0x20, 1), 0u);
    EXPECT_EQ(logger->SessionHandle(), 0x10u);
    EXPECT_EQ(logger->GetSeverity(), 5u);
    EXPECT_EQ(api_->Disable(0x20), 0u);
    EXPECT_TRUE(logger->GetEnabled());
    EXPECT_EQ(logger->SessionHandle(), 0x10u);

    // The held session may change its level.
    EXPECT_EQ(api_->Enable(0x10, 2), 0u);
    EXPECT_EQ(logger->GetSeverity(), 2u);

    EXPECT_EQ(api_->Disable(0x10), 0u);
    EXPECT_FALSE(logger->GetEnabled());
    EXPECT_EQ(logger->SessionHandle(), 0u);
    EXPECT_TRUE(PassingLevels(*logger, *api_).empty());

    // Now another session may take over.
    EXPECT_EQ(api_->Enable(0x20, 4), 0u);
    EXPECT_EQ(logger->SessionHandle(), 0x20u);
    EXPECT_TRUE(logger->GetEnabled());

    EXPECT_EQ(api_->Control(WMI_GET_ALL_DATA, 0x20), 87u);
    EXPECT_EQ(CETWLogging::ControlCallback(WMI_ENABLE_EVENTS, nullptr, nullptr, nullptr), 87u);
    // A buffer naming no session answers the tracing system's error.
    EXPECT_EQ(api_->Enable(0, 4), static_cast<ULONG>(ERROR_INVALID_HANDLE));
}

TEST_F(EtwLoggerTest, DisableReadsTheRegistryAgain) {
    SetDword(kProviderKey, L"Enable", 1);
    auto logger = MakeLogger();
    ASSERT_EQ(logger->Register(), 0u);
    ASSERT_EQ(api_->Enable(0x10, 4), 0u);
    ASSERT_EQ(api_->Disable(0x10), 0u);
    EXPECT_TRUE(logger->GetEnabled());
}

TEST_F(EtwLoggerTest, FailedRegistrationIsTriedOnceAndItsHandleIsNotKept) {
    api_->registerResult = ERROR_ACCESS_DENIED;
    auto logger = MakeLogger();
    EXPECT_EQ(logger->Register(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(logger->Register(), 0u);
    EXPECT_EQ(api_->Registrations().size(), 1u);
    EXPECT_EQ(logger->Uninit(), 0u);
    logger.reset();
    EXPECT_TRUE(api_->Unregistrations().empty());
}

TEST_F(EtwLoggerTest, UninitUnregistersAndAllowsAnotherRegistration) {
    auto logger = MakeLogger();
    EXPECT_EQ(logger->Uninit(), 0u);
    ASSERT_EQ(logger->Register(), 0u);
    EXPECT_EQ(logger->InitEx(nullptr, L"Group", nullptr, nullptr, nullptr), 20001u);
    EXPECT_EQ(logger->Uninit(), 0u);
    EXPECT_FALSE(logger->GetEnabled());
    ASSERT_EQ(logger->Register(), 0u);
    auto registrations = api_->Registrations();
    ASSERT_EQ(registrations.size(), 2u);
    EXPECT_EQ(api_->Unregistrations(), std::vector<TRACEHANDLE>{registrations[0].handle});
}

TEST_F(EtwLoggerTest, InitExArgumentsAndApplicationNames) {
    struct Case {
        const wchar_t* app;
        const wchar_t* logName;
        const wchar_t* suffix;
        DWORD expected;
    };
    const Case cases[] = {
        {nullptr, nullptr, nullptr, 0},
        {L"", L"G", L"s", 0},
        {L"kyt", L"G", L"s", 0},
        {nullptr, L"", L"s", 87},
        {nullptr, L"G", L"", 87},
        {L"Unknown", L"G", L"s", 87},
    };
    for (const Case& c : cases) {
        CETWLogging logger(api_);
        EXPECT_EQ(logger.InitEx(c.app, c.logName, nullptr, c.suffix, nullptr), c.expected)
            << (c.app ? c.app : L"(null)");
    }
    // The name taken by a failed InitEx makes Init fail too.
    CETWLogging logger(api_);
    EXPECT_EQ(logger.InitEx(L"Unknown", L"G", nullptr, nullptr, nullptr), 87u);
    EXPECT_EQ(logger.Init(L"G", nullptr, nullptr, nullptr), 87u);
}

TEST_F(EtwLoggerTest, ApplicationKeysGiveProviderAndKeyPaths) {
    const GUID provider = {0x11111111, 0x2222, 0x3333, {1, 2, 3, 4, 5, 6, 7, 8}};
    WriteAppKeys(L"MyApp", provider);
    const std::wstring providerKey = std::wstring(kAppRoot) + L"\\MyApp\\Provider";
    SetDword(providerKey, L"Severity", 5);
    auto logger = MakeLogger(L"MyApp");
    const auto& properties = logger->Properties();
    EXPECT_EQ(properties.appName, L"MyApp");
    EXPECT_EQ(properties.sessionName, L"app session");
    EXPECT_EQ(properties.ownerMutexName, L"Global\\owner");
    EXPECT_EQ(properties.controllerPath, L"C:\\ctl");
    EXPECT_EQ(properties.logPath, properties.programDataFolder + L"\\Elsewhere\\Logs");
    EXPECT_EQ(properties.etlFile, properties.programDataFolder + L"\\Corvane\\CVLOGS\\ETW\\cvlogs.etl");
    EXPECT_EQ(properties.providerKeyPath, providerKey);
    EXPECT_EQ(logger->GetSeverity(), 5u);
    ASSERT_EQ(logger->Register(), 0u);
    EXPECT_TRUE(IsEqualGUID(api_->Registrations()[0].controlGuid, provider));
}

TEST_F(EtwLoggerTest, ApplicationKeyWithoutARequiredValueFailsEveryInit) {
    WriteAppKeys(L"KYT", ETWLogging::kDefaultProviderGuid, false);
    MakeLogger(nullptr, L"G", 87);
    // A plain value is not read either: all values must be scrambled.
    SetDword(std::wstring(kAppRoot) + L"\\KYT\\Session", L"Session Name", 1);
    MakeLogger(L"KYT", L"G", 87);
    SetScrambledString(std::wstring(kAppRoot) + L"\\KYT\\Session", L"Session Name", L"s");
    MakeLogger(L"KYT", L"G", 0);
}

TEST_F(EtwLoggerTest, LevelNamedOperationsIgnoreTheFilter) {
    auto logger = MakeLogger();
    logger->LogNormal(L"f", L"g", 1, L"%s", std::wstring(5000, L'n').c_str());
    logger->LogWarning(L"f", L"g", 1, L"w");
    // They write through the event writer, which filters.
    auto events = api_->Events();
    EXPECT_TRUE(events.empty());
    logger->SetSeverity(1);
    logger->LogNormal(L"f", L"g", 1, L"%s", std::wstring(5000, L'n').c_str());
    events = api_->Events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].text, std::string(2079, 'n') + '\0');
}

TEST_F(EtwLoggerTest, HolderWritesThroughTheExtendedPath) {
    auto logger = MakeLogger();
    CETWLogging* raw = logger.get();
    ETWLogging::testing::InstallLogger(logger.release());
    VT_LOG(ETWLogging::LevelError, L"Logging\\Site", L"Tests::Site", L"value %d of %s", 5, L"six");
    VT_LOG(ETWLogging::LevelNormal, L"Logging\\Site", L"Tests::Site", L"filtered");
    ASSERT_EQ(api_->Registrations().size(), 1u);
    EXPECT_EQ(api_->Registrations()[0].context, raw);
    ETWLogging::CLoggerHolder* holder = ETWLogging::GetLoggerHolder();
    ASSERT_NE(holder, nullptr);
    // Finished texts are filtered by the event writer.
    EXPECT_EQ(holder->LogText(L"f", L"g", 1, ETWLogging::LevelWarning, L"warning text"), 0u);
    EXPECT_EQ(holder->LogText(L"f", L"g", 1, ETWLogging::LevelCritical, L"critical text"), 0u);
    auto events = api_->Events();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].text, "value 5 of six");
    EXPECT_EQ(events[0].header.Class.Level, 4);
    auto context = DecodeContextRecord(events[0].context);
    ASSERT_TRUE(context.has_value());
    EXPECT_EQ(context->sourceFile, L"Logging\\Site");
    EXPECT_EQ(context->function, L"Tests::Site");
    EXPECT_EQ(events[1].text, "critical text");
    ETWLogging::testing::InstallLogger(nullptr);
}

// --- records and helpers without a logger -------------------------------------

TEST(EtwContextRecord, BufferMovesToTheHeapAndGrowsByHalf) {
    struct Case {
        std::vector<std::size_t> appends;
        std::size_t capacity;
        bool onHeap;
    };
    const Case cases[] = {
        {{256}, 256, false},
        {{200, 56}, 256, false},
        {{257}, 384, true},
        {{256, 1}, 384, true},
        {{100, 1000}, 1100, true},
        {{300, 300}, 600, true},
    };
    for (const Case& c : cases) {
        ETWLogging::internal::ContextRecordBuffer buffer;
        std::vector<std::uint8_t> expected;
        std::uint8_t next = 0;
        for (std::size_t n : c.appends) {
            std::vector<std::uint8_t> chunk(n);
            for (auto& b : chunk) b = next++;
            ASSERT_TRUE(buffer.Append(chunk.data(), chunk.size()));
            expected.insert(expected.end(), chunk.begin(), chunk.end());
        }
        EXPECT_EQ(buffer.Capacity(), c.capacity);
        EXPECT_EQ(buffer.OnHeap(), c.onHeap);
        ASSERT_EQ(buffer.Size(), expected.size());
        EXPECT_EQ(std::memcmp(buffer.Data(), expected.data(), expected.size()), 0);
    }
}

TEST(EtwContextRecord, EncodesPackedFieldsAndCutsStringsAt65535Units) {
    struct Case {
        std::wstring function;
        std::wstring expectedFunction;
        bool onHeap;
    };
    const Case cases[] = {
        {L"F", L"F", false},
        {std::wstring(300, L'x'), std::wstring(300, L'x'), true},
        {std::wstring(0xFFFF, L'y'), std::wstring(0xFFFF, L'y'), true},
        {std::wstring(0x10005, L'z'), std::wstring(0xFFFF, L'z'), true},
    };
    for (const Case& c : cases) {
        ETWLogging::internal::ContextFields fields;
        fields.processId = 0x01020304;
        fields.threadId = 0xA0B0C0D0;
        fields.imageName = L"img.exe";
        fields.sourceFile = L"src";
        fields.function = c.function;
        fields.line = 77;
        fields.moduleFileName = L"mod.dll";
        fields.moduleVersion = L"1.2.3.4";
        fields.logName = L"log";
        fields.textBytes = 0x1122334455667788ull;
        ETWLogging::internal::ContextRecordBuffer buffer;
        ASSERT_TRUE(ETWLogging::internal::EncodeContextRecord(fields, buffer));
        EXPECT_EQ(buffer.OnHeap(), c.onHeap);
        std::vector<std::uint8_t> bytes(buffer.Data(), buffer.Data() + buffer.Size());
        EXPECT_EQ(bytes[0], 0x04);
        EXPECT_EQ(bytes[3], 0x01);
        auto decoded = DecodeContextRecord(bytes);
        ASSERT_TRUE(decoded.has_value());
        EXPECT_EQ(decoded->processId, 0x01020304u);
        EXPECT_EQ(decoded->threadId, 0xA0B0C0D0u);
        EXPECT_EQ(decoded->imageName, L"img.exe");
        EXPECT_EQ(decoded->sourceFile, L"src");
        EXPECT_EQ(decoded->function, c.expectedFunction);
        EXPECT_EQ(decoded->line, 77u);
        EXPECT_EQ(decoded->moduleFileName, L"mod.dll");
        EXPECT_EQ(decoded->moduleVersion, L"1.2.3.4");
        EXPECT_EQ(decoded->logName, L"log");
        EXPECT_EQ(decoded->textBytes, 0x1122334455667788ull);
    }
}

TEST(EtwLevels, EventLevelAndFilter) {
    struct Case {
        ETWLogging::LogLevel level;
        std::uint8_t eventLevel;
    };
    const Case cases[] = {{0, 3}, {1, 1}, {2, 2}, {3, 3}, {4, 4}, {5, 5}, {6, 3}, {7, 3}, {1000, 3}};
    for (const Case& c : cases) {
        EXPECT_EQ(ETWLogging::internal::EventLevelFor(c.level), c.eventLevel) << c.level;
    }
    CETWLogging logger(std::make_shared<FakeTraceAPI>());
    EXPECT_EQ(logger.MapLevel(6), 3u);
    EXPECT_EQ(logger.MapLevel(4), 4u);
    for (ETWLogging::LogLevel severity : {0u, 1u, 6u, 7u, 100u}) {
        logger.SetSeverity(severity);
        EXPECT_EQ(logger.GetSeverity(), ETWLogging::ClampSeverity(severity));
        EXPECT_TRUE(logger.IsEnabled(6));
        EXPECT_TRUE(logger.IsEnabled(3));
    }
    EXPECT_FALSE(logger.IsEnabled(5));
    EXPECT_EQ(logger.AddRef(), 0u);
    EXPECT_EQ(logger.GetMaxEntries(), 0u);
    EXPECT_EQ(logger.GetMaxSize(), 0u);
}

TEST(EtwFileVersion, FourScannedNumbersAreDottedAnythingElseIsKept) {
    struct Case {
        const wchar_t* in;
        const wchar_t* out;
    };
    const Case cases[] = {
        {L"1,2,3,4", L"1.2.3.4"},
        {L"10, 0, 300, 4000", L"10.0.300.4000"},
        {L"1.2.3.4", L"1.2.3.4"},
        {L"1,2,3", L"1,2,3"},
        {L"1,2,3,4,5", L"1.2.3.4"},
        {L"2,1,0,0 (beta)", L"2.1.0.0"},
        {L" 7,8,9,10", L"7.8.9.10"},
        {L"2 ,1,0,0", L"2 ,1,0,0"},
        {L"1, 2 ,3,4", L"1, 2 ,3,4"},
        {L"1,2,x,4", L"1,2,x,4"},
        {L"", L""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ETWLogging::internal::NormaliseFileVersion(c.in), c.out) << c.in;
    }
}

TEST(EtwFileVersion, ReadFromTheFilesOwnResourceOrEmpty) {
    std::wstring path(MAX_PATH, L'\0');
    path.resize(GetModuleFileNameW(nullptr, path.data(), MAX_PATH));
    EXPECT_EQ(ETWLogging::internal::FileVersionOf(path), L"5.6.7.8");
    EXPECT_EQ(ETWLogging::internal::FileVersionOf(path + L".missing"), L"");
}

}  // namespace
