#include "platform/Logging/DefaultLogBuilder.h"

#include "platform/Logging/ETWLogger.h"
#include "platform/Logging/FileLogger.h"
#include "platform/Logging/testing/FakeTraceAPI.h"
#include "platform/Registry/ObfuscatedRegKey.h"
#include "platform/Registry/RegKey.h"
#include "platform/Registry/testing/TestRegistry.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

using ETWLogging::CDefaultLogBuilder;
using ETWLogging::CETWLogging;
using ETWLogging::CLogging;
using ETWLogging::CLoggingIf;

namespace {

constexpr wchar_t kLoggingKey[] = L"SOFTWARE\\Corvane\\Logging";

enum class Stored { None, KeyOnly, PlainDword, ScrambledDword, ScrambledString };

void StoreMechanism(Stored stored, DWORD value) {
    if (stored == Stored::None) return;
    Kelmora::CObfuscatedRegKey scrambled;
    Kelmora::CRegKey plain;
    Kelmora::CRegKey& key = (stored == Stored::PlainDword || stored == Stored::KeyOnly)
                                ? plain
                                : static_cast<Kelmora::CRegKey&>(scrambled);
    ASSERT_EQ(key.Create(HKEY_LOCAL_MACHINE, kLoggingKey), ERROR_SUCCESS);
    switch (stored) {
        case Stored::PlainDword:
        case Stored::ScrambledDword:
            ASSERT_EQ(key.SetDWORDValue(L"Logging Mechanism", value), ERROR_SUCCESS);
            break;
        case Stored::ScrambledString:
            ASSERT_EQ(key.SetStringValue(L"Logging Mechanism", std::to_wstring(value).c_str()), ERROR_SUCCESS);
            break;
        default:
            break;
    }
}

enum class Kind { None, Etw, File };

Kind KindOf(CLoggingIf* logger) {
    if (logger == nullptr) return Kind::None;
    if (dynamic_cast<CETWLogging*>(logger) != nullptr) return Kind::Etw;
    if (dynamic_cast<CLogging*>(logger) != nullptr) return Kind::File;
    return Kind::None;
}

// An ETW logger whose initialisations answer scripted codes.
struct ScriptedEtwLogger : CETWLogging {
    ScriptedEtwLogger(DWORD initEx, DWORD init, std::vector<std::string>& journal)
        : CETWLogging(std::make_shared<ETWLogging::testing::FakeTraceAPI>()),
          initExResult(initEx), initResult(init), calls(journal) {}
    ~ScriptedEtwLogger() override { calls.push_back("deleted"); }
    DWORD InitEx(const wchar_t* app, const wchar_t*, HMODULE, const wchar_t*,
                 ETWLogging::CETWConfigurationListener*) override {
        calls.push_back(std::string("InitEx ") + (app ? "app" : "null"));
        return initExResult;
    }
    DWORD Init(const wchar_t*, HMODULE, const wchar_t*, void*) override {
        calls.push_back("Init");
        return initResult;
    }
    ULONG AddRef() override {
        calls.push_back("AddRef");
        return 1;
    }
    DWORD initExResult, initResult;
    std::vector<std::string>& calls;
};

class LogBuilderTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(hklm_.ok()); }
    Kelmora::testing::PrivateHklm hklm_;
};

TEST_F(LogBuilderTest, MechanismAndScrambledRegistryValueChooseTheLogger) {
    struct Case {
        const char* what;
        DWORD mechanism;
        Stored stored;
        DWORD value;
        Kind expected;
    };
    const Case cases[] = {
        {"no key", 0, Stored::None, 0, Kind::Etw},
        {"key without value", 0, Stored::KeyOnly, 0, Kind::Etw},
        {"plain DWORD 1 is not read", 0, Stored::PlainDword, 1, Kind::Etw},
        {"scrambled DWORD 1", 0, Stored::ScrambledDword, 1, Kind::File},
        {"scrambled DWORD 0", 0, Stored::ScrambledDword, 0, Kind::Etw},
        {"scrambled DWORD 2", 0, Stored::ScrambledDword, 2, Kind::Etw},
        {"scrambled text is no DWORD", 0, Stored::ScrambledString, 1, Kind::Etw},
        {"mechanism 1 without registry", 1, Stored::None, 0, Kind::File},
        {"mechanism 1 over a scrambled 0", 1, Stored::ScrambledDword, 0, Kind::File},
        {"mechanism 2 lets the registry decide", 2, Stored::ScrambledDword, 1, Kind::File},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Kelmora::CRegKey software;
        ASSERT_EQ(software.Create(HKEY_LOCAL_MACHINE, L"SOFTWARE"), ERROR_SUCCESS);
        software.RecurseDeleteKey(L"Corvane");
        StoreMechanism(c.stored, c.value);
        CDefaultLogBuilder builder;
        CLoggingIf* logger = nullptr;
        EXPECT_TRUE(builder.Build(nullptr, L"G", nullptr, L"s", c.mechanism, logger, nullptr));
        EXPECT_EQ(KindOf(logger), c.expected);
        if (auto* file = dynamic_cast<CLogging*>(logger)) {
            EXPECT_EQ(file->AddRef(), 2u);  // the builder took the first reference
        }
        delete logger;
    }
}

TEST_F(LogBuilderTest, GivenConfigKeyReplacesTheRegistryRead) {
    Kelmora::CRegKey plain;
    ASSERT_EQ(plain.Create(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Elsewhere"), ERROR_SUCCESS);
    ASSERT_EQ(plain.SetDWORDValue(L"Logging Mechanism", 1), ERROR_SUCCESS);
    StoreMechanism(Stored::ScrambledDword, 0);
    CDefaultLogBuilder builder;
    CLoggingIf* logger = nullptr;
    ASSERT_TRUE(builder.Build(L"G", nullptr, nullptr, 0, logger, &plain));
    EXPECT_EQ(KindOf(logger), Kind::File);
    delete logger;
}

TEST_F(LogBuilderTest, InitExFailureFallsBackToInitAndBothFailingDeletesTheLogger) {
    struct Case {
        DWORD initEx, init;
        const wchar_t* app;
        bool built;
        std::vector<std::string> calls;
    };
    const Case cases[] = {
        {0, 0, L"A", true, {"InitEx app", "AddRef"}},
        {87, 0, L"A", true, {"InitEx app", "Init", "AddRef"}},
        {87, 87, nullptr, false, {"InitEx null", "Init", "deleted"}},
    };
    for (const Case& c : cases) {
        std::vector<std::string> calls;
        CDefaultLogBuilder builder([&] { return new ScriptedEtwLogger(c.initEx, c.init, calls); }, nullptr);
        CLoggingIf* logger = nullptr;
        EXPECT_EQ(builder.Build(c.app, L"G", nullptr, nullptr, 0, logger, nullptr), c.built);
        EXPECT_EQ(logger != nullptr, c.built);
        delete logger;
        if (c.built) calls.pop_back();  // the deletion above
        EXPECT_EQ(calls, c.calls);
    }
}

TEST_F(LogBuilderTest, FailuresLeaveTheOutputAsItWas) {
    int made = 0;
    auto counting = [&made]() -> CLoggingIf* {
        ++made;
        return nullptr;  // as when memory runs out
    };
    CDefaultLogBuilder builder(counting, counting);
    CLoggingIf* logger = nullptr;
    EXPECT_FALSE(builder.Build(L"G", nullptr, nullptr, 0, logger, nullptr));
    EXPECT_FALSE(builder.Build(L"G", nullptr, nullptr, 1, logger, nullptr));
    EXPECT_EQ(made, 2);
    EXPECT_EQ(logger, nullptr);

    CDefaultLogBuilder real;
    struct Case {
        const wchar_t* logName;
        const wchar_t* suffix;
        DWORD mechanism;
    };
    const Case cases[] = {{L"", nullptr, 0}, {L"", nullptr, 1}, {L"G", L"", 0}, {L"G", L"", 1}};
    for (const Case& c : cases) {
        EXPECT_FALSE(real.Build(c.logName, nullptr, c.suffix, c.mechanism, logger, nullptr));
        EXPECT_EQ(logger, nullptr);
    }
    CLogging existing;
    logger = &existing;
    EXPECT_FALSE(real.Build(L"G", nullptr, nullptr, 1, logger, nullptr));
    EXPECT_EQ(logger, &existing);
}

TEST_F(LogBuilderTest, EtwLoggerWorksOnTheSystemTracingFunctions) {
    CDefaultLogBuilder builder;
    CLoggingIf* logger = nullptr;
    ASSERT_TRUE(builder.Build(nullptr, L"G", GetModuleHandleW(nullptr), L"s", 0, logger, nullptr));
    ASSERT_EQ(KindOf(logger), Kind::Etw);
    auto* etw = dynamic_cast<CETWLogging*>(logger);
    std::wstring name;
    EXPECT_EQ(etw->GetFullLogName(name).substr(0, 2), L"G\\");
    EXPECT_EQ(logger->Register(), 0u);
    EXPECT_EQ(etw->WriteText(4, L"f", L"g", 1, L"goes nowhere without a session"), 0u);
    EXPECT_EQ(logger->Uninit(), 0u);
    delete logger;
}

}  // namespace
