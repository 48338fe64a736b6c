// The plug-in neighbour's own promises, which the plug-in tests rely on.
#include "alerts/src/plugins/AlertPluginFunctions.h"
#include "neighbours/plugin/PluginScript.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <future>
#include <string>

namespace {

class Neighbour : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(module, nullptr);
        script<VtPluginScript_Reset_t>("VtPluginScript_Reset")();
        table = static_cast<const AlertPluginFunctions*>(createObject(kAlertPluginInterfaceVersion));
        ASSERT_NE(table, nullptr);
        ASSERT_EQ(table->create(&handle, L"AlertPlugin"), 0u);
    }
    void TearDown() override {
        if (handle != nullptr) {
            table->destroy(handle);
        }
    }

    template <typename Function>
    Function script(const char* name) const {
        return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
    }
    std::uint32_t counter(int which) const {
        return script<VtPluginScript_Counter_t>("VtPluginScript_Counter")(which);
    }

    HMODULE module = GetModuleHandleW(L"TestPlugin.dll") != nullptr ? GetModuleHandleW(L"TestPlugin.dll")
                                                                    : LoadLibraryW(L"TestPlugin.dll");
    using CreateObjectFn = const void* (*)(std::uint32_t);
    CreateObjectFn createObject = script<CreateObjectFn>("CreateObject");
    const AlertPluginFunctions* table = nullptr;
    AlertPluginHandle handle = nullptr;
};

}  // namespace

TEST_F(Neighbour, AnswersTheTableOnlyForItsInterfaceNumber) {
    for (std::uint32_t version : {0u, 2001000u, 1999999u, 2000001u}) {
        EXPECT_EQ(createObject(version), nullptr) << version;
    }
    script<VtPluginScript_SetCreateObjectNull_t>("VtPluginScript_SetCreateObjectNull")(1);
    EXPECT_EQ(createObject(kAlertPluginInterfaceVersion), nullptr);
    EXPECT_EQ(counter(kVtPluginCreateObject), 6u);
}

TEST_F(Neighbour, CountsStringsNotHandedBackAndForeignPointers) {
    wchar_t* processed = nullptr;
    wchar_t* reason = nullptr;
    std::int32_t suppress = 0;
    ASSERT_EQ(table->processAlert(handle, L"{}", &processed, &suppress, &reason), 0u);
    wchar_t* content = nullptr;
    ASSERT_EQ(table->getAlertContent(handle, L"{}", L"Toast", &content), 0u);
    EXPECT_EQ(counter(kVtCountOutstandingStrings), 3u);

    table->freeProcessResult(processed, reason);
    table->freeContent(content);
    table->freeContent(content);  // twice
    wchar_t foreign[] = L"x";
    table->freeContent(foreign);
    EXPECT_EQ(counter(kVtCountOutstandingStrings), 0u);
    EXPECT_EQ(counter(kVtCountUnknownFrees), 2u);

    int stranger = 0;
    EXPECT_NE(table->getAlertContent(&stranger, L"{}", L"Toast", &content), 0u);
    EXPECT_EQ(counter(kVtCountBadHandles), 1u);
}

TEST_F(Neighbour, FlagsAnEntryThatBeginsWhileAnotherRuns) {
    script<VtPluginScript_SetHold_t>("VtPluginScript_SetHold")(kVtPluginGetAlertContent, 60000);
    auto held = std::async(std::launch::async, [this] {
        wchar_t* content = nullptr;
        const std::uint32_t status = table->getAlertContent(handle, L"{}", L"Toast", &content);
        table->freeContent(content);
        return status;
    });
    // The held entry gives way as soon as this one begins; a second entry
    // that began first waits for nothing and is not an overlap.
    wchar_t* processed = nullptr;
    wchar_t* reason = nullptr;
    std::int32_t suppress = 0;
    const ULONGLONG deadline = GetTickCount64() + 30000;
    while (counter(kVtPluginGetAlertContent) == 0 && GetTickCount64() < deadline) {
        SwitchToThread();
    }
    ASSERT_EQ(table->processAlert(handle, L"{}", &processed, &suppress, &reason), 0u);
    table->freeProcessResult(processed, reason);
    ASSERT_EQ(held.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    EXPECT_EQ(held.get(), 0u);
    EXPECT_GE(counter(kVtCountOverlaps), 1u);
}

TEST_F(Neighbour, JournalEntriesAreCutToTheBufferAndAnswerTheirLength) {
    const std::uint32_t count = script<VtPluginScript_JournalCount_t>("VtPluginScript_JournalCount")();
    ASSERT_EQ(count, 2u);  // CreateObject and create
    auto entry = script<VtPluginScript_JournalEntry_t>("VtPluginScript_JournalEntry");
    wchar_t buffer[8] = {};
    EXPECT_EQ(entry(1, buffer, 8), 18u);
    EXPECT_EQ(std::wstring(buffer), L"create ");
    EXPECT_EQ(entry(2, buffer, 8), 0u);
}
