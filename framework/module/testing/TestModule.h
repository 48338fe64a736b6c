// Test support: a small module of the tests' own behind the entry layer, with
// a script for its operations and a journal of what happened.
#pragma once

#include "framework/module/BaseModule.h"

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace Tessil::testing {

struct TestModuleScript {
    bool plainModule = false;         // a Module that is not a BaseModule
    bool throwInConstructor = false;
    std::uint32_t baseInitializeStatus = 0;  // answered after the base's own work
    std::uint32_t status[4] = {0, 0, 0, 0};  // initialize, start, stop, uninitialize
    bool throws[4] = {false, false, false, false};
    bool subscribeInInitialize = true;
    // Run by the "Test.Direct" handler after it has noted the message, and by
    // the echo handler before it answers; either may throw.
    std::function<void()> onDirect;
    std::function<void()> onEcho;
};

// One ordered journal shared by the module and the test's fakes.
class Journal {
public:
    void add(const std::wstring& line);
    std::vector<std::wstring> lines() const;
    // Copies line index into line; false past the end.
    bool line(std::size_t index, std::wstring& line) const;
    void clear();
    // Index of the first line starting with prefix, or -1.
    int find(const std::wstring& prefix) const;

private:
    mutable std::mutex mutex_;
    std::vector<std::wstring> lines_;  // guarded by mutex_
};

TestModuleScript& testModuleScript();
Journal& testModuleJournal();

// The module the library builds: subscribes "Test.Direct" (by name) and
// "Test\.Echo\..+" (by expression, answering "Test.Echo.Response" but not
// that answer itself) in initialize and unsubscribes both in uninitialize.
class TestModule : public BaseModule {
public:
    TestModule();
    ~TestModule() override;
    std::uint32_t initialize() override;
    std::uint32_t start() override;
    std::uint32_t stop() override;
    std::uint32_t uninitialize() override;
    std::uint32_t baseInitialize(const std::wstring& name, const std::wstring& name2,
                                 const PropertyMap& properties,
                                 std::shared_ptr<internal::ModuleManagerShim> manager,
                                 std::shared_ptr<MessageBus> bus) override;

private:
    std::uint32_t run(int operation, const wchar_t* name);
    std::vector<std::wstring> handled_;  // a member the handlers touch
};

}  // namespace Tessil::testing

// Exports of the test module library for a test in another module.
extern "C" {
Tessil::testing::TestModuleScript* VtTestModule_Script();
// Copies journal line index into buffer; answers its length, 0 past the end.
std::uint32_t VtTestModule_JournalEntry(std::uint32_t index, wchar_t* buffer, std::uint32_t capacity);
void VtTestModule_Reset();
// Expands placeholders with the library's own path helper.
std::uint32_t VtTestModule_Expand(const wchar_t* text, wchar_t* buffer, std::uint32_t capacity);
}
