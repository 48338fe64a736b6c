#include "framework/module/testing/TestModule.h"

#include "framework/message/Message.h"
#include "framework/message/ModuleStatus.h"
#include "framework/module/ModuleFunctions.h"
#include "platform/paths/PathHelpers.h"

#include <windows.h>

#include <algorithm>
#include <cwchar>
#include <stdexcept>

namespace Tessil::testing {

void Journal::add(const std::wstring& line) {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.push_back(line);
}

std::vector<std::wstring> Journal::lines() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
}

bool Journal::line(std::size_t index, std::wstring& line) const {
    std::lock_guard<std::mutex> lock(mutex_);
    if (index >= lines_.size()) {
        return false;
    }
    line = lines_[index];
    return true;
}

void Journal::clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.clear();
}

int Journal::find(const std::wstring& prefix) const {
    std::lock_guard<std::mutex> lock(mutex_);
    for (std::size_t i = 0; i < lines_.size(); ++i) {
        if (lines_[i].rfind(prefix, 0) == 0) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

TestModuleScript& testModuleScript() {
    static TestModuleScript script;
    return script;
}

Journal& testModuleJournal() {
    static Journal journal;
    return journal;
}

namespace {

// A module that is not a BaseModule.
class PlainTestModule : public Module {
public:
    PlainTestModule() { testModuleJournal().add(L"construct plain"); }
    ~PlainTestModule() override { testModuleJournal().add(L"~PlainTestModule"); }
    std::uint32_t initialize() override { return step(0, L"initialize"); }
    std::uint32_t start() override { return step(1, L"start"); }
    std::uint32_t stop() override { return step(2, L"stop"); }
    std::uint32_t uninitialize() override { return step(3, L"uninitialize"); }

private:
    std::uint32_t step(int operation, const wchar_t* name) {
        testModuleJournal().add(name);
        return testModuleScript().status[operation];
    }
};

const wchar_t kEchoAnswer[] = L"Test.Echo.Response";

std::wstring threadText() {
    return std::to_wstring(GetCurrentThreadId());
}

}  // namespace

TestModule::TestModule() {
    if (testModuleScript().throwInConstructor) {
        testModuleJournal().add(L"constructor throws");
        throw std::runtime_error("test module cannot be built");
    }
    testModuleJournal().add(L"construct");
}

TestModule::~TestModule() {
    testModuleJournal().add(L"~TestModule");
}

std::uint32_t TestModule::baseInitialize(const std::wstring& name, const std::wstring& name2,
                                         const PropertyMap& properties,
                                         std::shared_ptr<internal::ModuleManagerShim> manager,
                                         std::shared_ptr<MessageBus> bus) {
    const std::uint32_t status = BaseModule::baseInitialize(name, name2, properties, manager, bus);
    testModuleJournal().add(L"baseInitialize " + name);
    return status != 0 ? status : testModuleScript().baseInitializeStatus;
}

std::uint32_t TestModule::run(int operation, const wchar_t* name) {
    testModuleJournal().add(name);
    if (testModuleScript().throws[operation]) {
        throw std::runtime_error("test module operation");
    }
    return testModuleScript().status[operation];
}

std::uint32_t TestModule::initialize() {
    if (testModuleScript().subscribeInInitialize) {
        subscribe(L"Test.Direct", [this](std::shared_ptr<Message> message) -> std::uint32_t {
            handled_.push_back(message->getName());
            const MessageHeader* header = message->getHeader();
            testModuleJournal().add(L"handled " + message->getName() + L" " +
                                    message->getPayload() + L" thread=" + threadText() +
                                    L" sequence=" + std::to_wstring(header->sequence));
            if (testModuleScript().onDirect) {
                testModuleScript().onDirect();
            }
            return 0;
        });
        subscribeFilter(L"Test\\.Echo\\..+", [this](std::shared_ptr<Message> message) {
            // The expression also matches the answer: answering it again
            // would echo the module's own answers until it unsubscribes.
            if (message->getName() == kEchoAnswer) {
                return MODULE_STATUS_SUCCESS;
            }
            handled_.push_back(message->getName());
            testModuleJournal().add(L"echo " + message->getName());
            if (testModuleScript().onEcho) {
                testModuleScript().onEcho();
            }
            auto reply = Message::create(kEchoAnswer, L"", message->getPayload());
            return reply ? publish(reply) : MODULE_STATUS_NO_MEMORY;
        });
    }
    return run(0, L"initialize");
}

std::uint32_t TestModule::start() {
    return run(1, L"start");
}

std::uint32_t TestModule::stop() {
    return run(2, L"stop");
}

std::uint32_t TestModule::uninitialize() {
    unsubscribe(L"Test.Direct");
    unsubscribe(L"Test\\.Echo\\..+");
    return run(3, L"uninitialize");
}

}  // namespace Tessil::testing

namespace Tessil::internal {

Module* makeModule() {
    if (testing::testModuleScript().plainModule) {
        return new testing::PlainTestModule();
    }
    return new testing::TestModule();
}

}  // namespace Tessil::internal

extern "C" {

Tessil::testing::TestModuleScript* VtTestModule_Script() {
    return &Tessil::testing::testModuleScript();
}

std::uint32_t VtTestModule_JournalEntry(std::uint32_t index, wchar_t* buffer, std::uint32_t capacity) {
    // One line, not the whole journal: a caller reads every line this way.
    std::wstring line;
    if (buffer == nullptr || capacity == 0 ||
        !Tessil::testing::testModuleJournal().line(index, line)) {
        return 0;
    }
    const std::size_t count = std::min<std::size_t>(line.size(), capacity - 1);
    std::wmemcpy(buffer, line.c_str(), count);
    buffer[count] = L'\0';
    return static_cast<std::uint32_t>(count);
}

std::uint32_t VtTestModule_Expand(const wchar_t* text, wchar_t* buffer, std::uint32_t capacity) {
    std::wstring expanded = text != nullptr ? text : L"";
    Tessil::PathHelpers().expand(expanded);
    if (buffer == nullptr || capacity == 0) {
        return 0;
    }
    const std::size_t count = std::min<std::size_t>(expanded.size(), capacity - 1);
    std::wmemcpy(buffer, expanded.c_str(), count);
    buffer[count] = L'\0';
    return static_cast<std::uint32_t>(count);
}

void VtTestModule_Reset() {
    Tessil::testing::testModuleScript() = Tessil::testing::TestModuleScript();
    Tessil::testing::testModuleJournal().clear();
}

}  // extern "C"
