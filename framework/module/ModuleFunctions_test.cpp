// The entry layer driven in-process, with the tests' own module and a host
// bus table of the tests' own.
#include "framework/module/ModuleFunctions.h"

#include "framework/bus/MessageBusClient.h"
#include "framework/message/ModuleStatus.h"
#include "framework/module/BaseModule.h"
#include "framework/module/testing/TestModule.h"
#include "platform/Logging/testing/CapturingLogger.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <future>
#include <map>
#include <thread>

using ETWLogging::testing::ScopedCapturingLogger;
using Tessil::testing::testModuleJournal;
using Tessil::testing::testModuleScript;

namespace {

// The host's bus: subscriptions kept here, deliveries run on the caller's thread.
struct HostBus {
    struct Subscription {
        void* context;
        Tessil::SubscriptionCallbackFn callback;
        std::wstring text;
    };
    static inline std::mutex mutex;
    static inline std::map<std::uint32_t, Subscription> subscriptions;
    static inline std::uint32_t nextId = 1;
    static inline std::vector<std::wstring> published;

    static std::uint32_t open(Tessil::MessageBusHandle*) { return 0; }
    static std::uint32_t close(Tessil::MessageBusHandle) { return 0; }
    static std::uint32_t publish(Tessil::MessageBusHandle, const Tessil::MessageHeader*,
                                 const wchar_t* name, const wchar_t*, const wchar_t*) {
        std::lock_guard<std::mutex> lock(mutex);
        published.emplace_back(name);
        return 0;
    }
    static std::uint32_t request(Tessil::MessageBusHandle, std::uint64_t, void*,
                                 Tessil::ReplyCallbackFn, const Tessil::MessageHeader*,
                                 const wchar_t*, const wchar_t*, const wchar_t*, std::uint64_t) {
        return MODULE_STATUS_NO_SUBSCRIBERS;
    }
    static std::uint32_t add(void* context, Tessil::SubscriptionCallbackFn callback,
                             const wchar_t* text) {
        std::lock_guard<std::mutex> lock(mutex);
        const std::uint32_t id = nextId++;
        subscriptions[id] = {context, callback, text};
        testModuleJournal().add(L"bus subscribe " + std::wstring(text));
        return id;
    }
    static std::uint32_t subscribe(Tessil::MessageBusHandle, void* context,
                                   Tessil::SubscriptionCallbackFn callback, const wchar_t* name) {
        return add(context, callback, name);
    }
    static std::uint32_t unsubscribe(Tessil::MessageBusHandle, std::uint32_t id) {
        std::lock_guard<std::mutex> lock(mutex);
        testModuleJournal().add(L"bus unsubscribe " + subscriptions[id].text);
        subscriptions.erase(id);
        return 0;
    }
    static std::uint32_t unregisterReplyCallback(Tessil::MessageBusHandle, Tessil::ReplyCallbackFn) {
        return 0;
    }
    static const Tessil::MessageBusFunctions* table() {
        static const Tessil::MessageBusFunctions functions = {
            open, close, publish, request, subscribe, subscribe, unsubscribe,
            unregisterReplyCallback, publish, request};
        return &functions;
    }
    // Runs the subscription registered under text, as the bus would.
    static std::uint32_t deliver(const std::wstring& text, const std::wstring& name) {
        Subscription found{};
        {
            std::lock_guard<std::mutex> lock(mutex);
            for (auto& [id, s] : subscriptions) {
                if (s.text == text) found = s;
            }
        }
        if (found.callback == nullptr) return MODULE_STATUS_NOT_FOUND;
        Tessil::MessageHeader header;
        Tessil::initHeader(&header);
        return found.callback(found.context, &header, name.c_str(), L"host", L"payload");
    }
    static std::size_t live() {
        std::lock_guard<std::mutex> lock(mutex);
        return subscriptions.size();
    }
    static void reset() {
        std::lock_guard<std::mutex> lock(mutex);
        subscriptions.clear();
        published.clear();
    }
};

void* const kBusHandle = reinterpret_cast<void*>(0x5150);

const ModuleFunctions& table() {
    return *CreateObject(2001000);
}

std::uint32_t initV2(ModuleHandle* handle, std::uint32_t count = 0,
                     const wchar_t* const* names = nullptr, const wchar_t* const* values = nullptr,
                     void* busHandle = kBusHandle,
                     const Tessil::MessageBusFunctions* functions = HostBus::table()) {
    return table().InitializeModuleV2(handle, L"TestModule", L"second", count, names, values,
                                      nullptr, nullptr, busHandle, functions);
}

class EntryLayer : public ::testing::Test {
protected:
    void SetUp() override {
        VtTestModule_Reset();
        HostBus::reset();
    }
    void TearDown() override {
        if (handle_ != nullptr) {
            table().DestroyModule(handle_);
        }
        VtTestModule_Reset();
    }
    ModuleHandle* make() {
        EXPECT_EQ(table().NewModule(&handle_, nullptr), MODULE_STATUS_SUCCESS);
        return handle_;
    }
    Tessil::testing::TestModule* module() {
        return dynamic_cast<Tessil::testing::TestModule*>(handle_->get());
    }
    ModuleHandle* handle_ = nullptr;
};

}  // namespace

TEST(ModuleExports, SameTableForEveryArgumentAndTheVersion) {
    const ModuleFunctions* first = CreateObject(0);
    for (std::uint32_t version : {2001000u, 2000000u, 0xFFFFFFFFu}) {
        EXPECT_EQ(CreateObject(version), first);
    }
    EXPECT_EQ(GetVersionNum(), 2001000u);
    EXPECT_STREQ(GetVersionStr(), "2.1.0");
    ReleaseObject(nullptr);
    ReleaseObject(const_cast<ModuleFunctions*>(first));
    EXPECT_EQ(CreateObject(1), first);
}

TEST_F(EntryLayer, EveryEntryRefusesANullOrEmptyHandle) {
    ModuleHandle empty(nullptr, [](Tessil::Module*) {});
    Tessil::MessageHeader header;
    Tessil::initHeader(&header);
    using Call = std::function<std::uint32_t(ModuleHandle*)>;
    const std::pair<const char*, Call> entries[] = {
        {"InitializeModule",
         [](ModuleHandle* h) {
             return table().InitializeModule(h, L"a", L"b", 0, nullptr, nullptr, nullptr, nullptr);
         }},
        {"StartModule", [](ModuleHandle* h) { return table().StartModule(h); }},
        {"StopModule", [](ModuleHandle* h) { return table().StopModule(h); }},
        {"UninitializeModule", [](ModuleHandle* h) { return table().UninitializeModule(h); }},
        {"DirectMessage",
         [&](ModuleHandle* h) { return table().DirectMessage(h, &header, L"n", L"s", L"p"); }},
        {"InitializeModuleV2", [](ModuleHandle* h) { return initV2(h); }},
    };
    for (const auto& [name, call] : entries) {
        for (ModuleHandle* handle : {static_cast<ModuleHandle*>(nullptr), &empty}) {
            ScopedCapturingLogger logger;
            EXPECT_EQ(call(handle), MODULE_STATUS_INVALID_PARAMETER) << name;
            EXPECT_TRUE(logger->Contains(ETWLogging::LevelError, L"Invalid handle.")) << name;
        }
    }
    ScopedCapturingLogger logger;
    EXPECT_EQ(table().DestroyModule(nullptr), MODULE_STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(logger->Contains(ETWLogging::LevelError, L"Invalid handle."));
    EXPECT_EQ(table().NewModule(nullptr, L"log"), MODULE_STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(logger->Contains(ETWLogging::LevelError, L"Invalid handle address."));
    // An empty handle is freed by DestroyModule.
    EXPECT_EQ(table().DestroyModule(new ModuleHandle(nullptr, [](Tessil::Module*) {})),
              MODULE_STATUS_SUCCESS);
    EXPECT_TRUE(testModuleJournal().lines().empty());
}

TEST_F(EntryLayer, AModuleThatCannotBeBuiltLeavesTheOutputUntouched) {
    testModuleScript().throwInConstructor = true;
    ModuleHandle* out = reinterpret_cast<ModuleHandle*>(0x1234);
    EXPECT_EQ(table().NewModule(&out, L""), MODULE_STATUS_UNKNOWN_EXCEPTION);
    EXPECT_EQ(out, reinterpret_cast<ModuleHandle*>(0x1234));
}

TEST_F(EntryLayer, TheWholeLifeCycleOnTheHostsBus) {
    ScopedCapturingLogger logger;
    make();
    EXPECT_TRUE(logger->Contains(ETWLogging::LevelInformation, L"Created Vantrel module."));
    ASSERT_EQ(initV2(handle_), MODULE_STATUS_SUCCESS);
    EXPECT_EQ(HostBus::live(), 2u);
    EXPECT_EQ(table().StartModule(handle_), MODULE_STATUS_SUCCESS);

    // Deliveries from the host's bus reach the handler; the echo answers on the host's bus.
    EXPECT_EQ(HostBus::deliver(L"Test\\.Echo\\..+", L"Test.Echo.1"), MODULE_STATUS_SUCCESS);
    ASSERT_EQ(HostBus::published.size(), 1u);
    EXPECT_EQ(HostBus::published[0], L"Test.Echo.Response");

    EXPECT_EQ(table().StopModule(handle_), MODULE_STATUS_SUCCESS);
    EXPECT_EQ(table().UninitializeModule(handle_), MODULE_STATUS_SUCCESS);
    EXPECT_EQ(HostBus::live(), 0u);
    EXPECT_EQ(table().DestroyModule(handle_), MODULE_STATUS_SUCCESS);
    handle_ = nullptr;
    EXPECT_TRUE(logger->Contains(ETWLogging::LevelInformation, L"Destroying Vantrel module."));

    std::vector<std::wstring> steps;
    for (const auto& line : testModuleJournal().lines()) {
        if (line.rfind(L"bus ", 0) != 0) steps.push_back(line.substr(0, line.find(L' ')));
    }
    const std::vector<std::wstring> expected = {L"construct", L"baseInitialize", L"initialize",
                                                L"start",     L"echo",           L"stop",
                                                L"uninitialize", L"~TestModule"};
    EXPECT_EQ(steps, expected);
}

TEST_F(EntryLayer, InitializationFailures) {
    struct Case {
        const char* what;
        std::function<void()> arrange;
        std::function<std::uint32_t(ModuleHandle*)> init;
        std::uint32_t status;
        const wchar_t* log;
    };
    const Case cases[] = {
        {"version 2 with a null bus handle", [] {},
         [](ModuleHandle* h) { return initV2(h, 0, nullptr, nullptr, nullptr); },
         MODULE_STATUS_UNKNOWN_EXCEPTION, nullptr},
        {"version 2 with a null table", [] {},
         [](ModuleHandle* h) { return initV2(h, 0, nullptr, nullptr, kBusHandle, nullptr); },
         MODULE_STATUS_UNKNOWN_EXCEPTION, nullptr},
        {"version 1 without a bus library", [] {},
         [](ModuleHandle* h) {
             return table().InitializeModule(h, L"a", L"b", 0, nullptr, nullptr, nullptr, nullptr);
         },
         MODULE_STATUS_UNKNOWN_EXCEPTION, nullptr},
        {"base initialisation fails",
         [] { testModuleScript().baseInitializeStatus = MODULE_STATUS_INVALID_PARAMETER; },
         [](ModuleHandle* h) { return initV2(h); }, MODULE_STATUS_INVALID_PARAMETER,
         L"Failed to initialize base module. Error code 2147483656."},
    };
    for (const Case& c : cases) {
        SetUp();
        c.arrange();
        ScopedCapturingLogger logger;
        make();
        EXPECT_EQ(c.init(handle_), c.status) << c.what;
        EXPECT_EQ(testModuleJournal().find(L"initialize"), -1) << c.what;
        if (c.log != nullptr) {
            EXPECT_TRUE(logger->Contains(ETWLogging::LevelError, c.log)) << c.what;
        }
        // Destroying after a failed initialisation is sound.
        EXPECT_EQ(table().DestroyModule(handle_), MODULE_STATUS_SUCCESS) << c.what;
        handle_ = nullptr;
        EXPECT_NE(testModuleJournal().find(L"~TestModule"), -1) << c.what;
    }
}

TEST_F(EntryLayer, ModuleOperationsAnswerTheirStatusAndExceptionsBecomeAStatus) {
    using Call = std::uint32_t (*)(ModuleHandle*);
    struct Case {
        int operation;
        Call call;
    };
    const Case cases[] = {
        {0, [](ModuleHandle* h) { return initV2(h); }},
        {1, [](ModuleHandle* h) { return table().StartModule(h); }},
        {2, [](ModuleHandle* h) { return table().StopModule(h); }},
        {3, [](ModuleHandle* h) { return table().UninitializeModule(h); }},
    };
    for (const Case& c : cases) {
        SetUp();
        make();
        if (c.operation != 0) {
            ASSERT_EQ(initV2(handle_), MODULE_STATUS_SUCCESS);
        }
        testModuleScript().status[c.operation] = MODULE_STATUS_NOT_SUPPORTED;
        EXPECT_EQ(c.call(handle_), MODULE_STATUS_NOT_SUPPORTED) << c.operation;
        testModuleScript().throws[c.operation] = true;
        EXPECT_EQ(c.call(handle_), MODULE_STATUS_UNKNOWN_EXCEPTION) << c.operation;
        table().DestroyModule(handle_);
        handle_ = nullptr;
    }
}

TEST_F(EntryLayer, PropertiesNamesAndManagerAreStored) {
    struct Case {
        const char* what;
        std::uint32_t count;
        std::vector<const wchar_t*> names;
        std::vector<const wchar_t*> values;
        Tessil::PropertyMap expected;
    };
    const Case cases[] = {
        {"none", 0, {}, {}, {}},
        {"a name twice keeps its first value", 3, {L"a", L"b", L"a"}, {L"1", L"2", L"3"},
         {{L"a", L"1"}, {L"b", L"2"}}},
        {"count 0 ignores the arrays", 0, {L"a"}, {L"1"}, {}},
        {"null elements are empty", 2, {nullptr, L"b"}, {L"1", nullptr}, {{L"", L"1"}, {L"b", L""}}},
    };
    for (const Case& c : cases) {
        SetUp();
        make();
        ASSERT_EQ(initV2(handle_, c.count, c.names.empty() ? nullptr : c.names.data(),
                         c.values.empty() ? nullptr : c.values.data()),
                  MODULE_STATUS_SUCCESS)
            << c.what;
        EXPECT_EQ(module()->properties(), c.expected) << c.what;
        EXPECT_EQ(module()->moduleName(), L"TestModule");
        EXPECT_EQ(module()->moduleName2(), L"second");
        EXPECT_NE(module()->moduleManager(), nullptr);
        table().DestroyModule(handle_);
        handle_ = nullptr;
    }
    // Null arrays with a count, and null names, count as empty.
    SetUp();
    make();
    ASSERT_EQ(table().InitializeModuleV2(handle_, nullptr, nullptr, 5, nullptr, nullptr, nullptr,
                                         nullptr, kBusHandle, HostBus::table()),
              MODULE_STATUS_SUCCESS);
    EXPECT_TRUE(module()->properties().empty());
    EXPECT_EQ(module()->moduleName(), L"");
    // The bus is registered in the module's container.
    EXPECT_EQ(module()->container()->resolve<Tessil::MessageBus>(L"Unnamed registration"),
              module()->bus());
    // Initialising again stores the new values and runs initialize again.
    const wchar_t* names[] = {L"x"};
    const wchar_t* values[] = {L"y"};
    EXPECT_EQ(initV2(handle_, 1, names, values), MODULE_STATUS_SUCCESS);
    EXPECT_EQ(module()->properties(), (Tessil::PropertyMap{{L"x", L"y"}}));
    int initializations = 0;
    for (const auto& line : testModuleJournal().lines()) initializations += line == L"initialize";
    EXPECT_EQ(initializations, 2);
}

TEST_F(EntryLayer, DirectMessages) {
    ScopedCapturingLogger logger;
    make();
    Tessil::MessageHeader header;
    Tessil::initHeader(&header);
    header.sequence = 77;
    EXPECT_EQ(table().DirectMessage(handle_, &header, L"Test.Direct", L"", L"p"),
              MODULE_STATUS_INVALID_STATE);
    EXPECT_TRUE(logger->Contains(ETWLogging::LevelError,
                                 L"Failed to process direct message. Invalid message bus client."));
    ASSERT_EQ(initV2(handle_), MODULE_STATUS_SUCCESS);

    EXPECT_EQ(table().DirectMessage(handle_, &header, L"Test.Direct", L"", L"p1"), MODULE_STATUS_SUCCESS);
    EXPECT_EQ(table().DirectMessage(handle_, &header, L"Test.Unknown", L"", L"p2"), MODULE_STATUS_SUCCESS);
    EXPECT_EQ(table().DirectMessage(handle_, nullptr, nullptr, nullptr, nullptr), MODULE_STATUS_SUCCESS);
    const std::wstring expected = L"handled Test.Direct p1 thread=" +
                                  std::to_wstring(GetCurrentThreadId()) + L" sequence=77";
    EXPECT_NE(testModuleJournal().find(expected), -1);
    int handled = 0;
    for (const auto& line : testModuleJournal().lines()) handled += line.rfind(L"handled", 0) == 0;
    EXPECT_EQ(handled, 1);
}

TEST_F(EntryLayer, AThrowingDirectHandlerIsAFailure) {
    make();
    ASSERT_EQ(initV2(handle_), MODULE_STATUS_SUCCESS);
    testModuleScript().onDirect = [] { throw std::runtime_error("handler"); };
    EXPECT_EQ(table().DirectMessage(handle_, nullptr, L"Test.Direct", L"", L"p"),
              MODULE_STATUS_UNKNOWN_EXCEPTION);
    testModuleScript().onDirect = nullptr;
    EXPECT_EQ(table().DirectMessage(handle_, nullptr, L"Test.Direct", L"", L"p"), MODULE_STATUS_SUCCESS);
}

// The host delivers on one thread and destroys the module on another.
TEST_F(EntryLayer, DestroyModuleWaitsForARunningDirectHandler) {
    using namespace std::chrono_literals;
    make();
    ASSERT_EQ(initV2(handle_), MODULE_STATUS_SUCCESS);
    std::promise<void> entered;
    std::atomic<bool> destroyedWhileRunning{false};
    auto waitFor = [](const wchar_t* line, int rounds) {
        for (int i = 0; i < rounds && testModuleJournal().find(line) == -1; ++i) {
            std::this_thread::sleep_for(5ms);
        }
    };
    testModuleScript().onDirect = [&] {
        entered.set_value();
        waitFor(L"bus unsubscribe Test.Direct", 4000);
        // Time for a destruction that does not wait to get through.
        waitFor(L"~TestModule", 100);
        destroyedWhileRunning = testModuleJournal().find(L"~TestModule") != -1;
    };
    ModuleHandle* handle = handle_;
    std::thread host([handle] { table().DirectMessage(handle, nullptr, L"Test.Direct", L"", L"p"); });
    ASSERT_EQ(entered.get_future().wait_for(20s), std::future_status::ready);
    std::thread destroyer([handle] { table().DestroyModule(handle); });
    handle_ = nullptr;
    host.join();
    destroyer.join();
    EXPECT_FALSE(destroyedWhileRunning.load());
    EXPECT_NE(testModuleJournal().find(L"~TestModule"), -1);
}

TEST_F(EntryLayer, AModuleThatIsNoBaseModuleIsOnlyCalled) {
    testModuleScript().plainModule = true;
    make();
    EXPECT_EQ(table().InitializeModule(handle_, L"a", L"b", 0, nullptr, nullptr, nullptr, nullptr),
              MODULE_STATUS_SUCCESS);
    EXPECT_EQ(table().DirectMessage(handle_, nullptr, L"Test.Direct", L"", L""), MODULE_STATUS_SUCCESS);
    const std::vector<std::wstring> expected = {L"construct plain", L"initialize"};
    EXPECT_EQ(testModuleJournal().lines(), expected);
}

TEST_F(EntryLayer, DestroyingWithoutUninitializeEndsSubscriptionsBeforeTheModuleGoes) {
    make();
    ASSERT_EQ(initV2(handle_), MODULE_STATUS_SUCCESS);
    ASSERT_EQ(HostBus::live(), 2u);
    EXPECT_EQ(table().DestroyModule(handle_), MODULE_STATUS_SUCCESS);
    handle_ = nullptr;
    EXPECT_EQ(HostBus::live(), 0u);
    const int destructor = testModuleJournal().find(L"~TestModule");
    ASSERT_NE(destructor, -1);
    EXPECT_LT(testModuleJournal().find(L"bus unsubscribe Test.Direct"), destructor);
    EXPECT_LT(testModuleJournal().find(L"bus unsubscribe Test\\.Echo\\..+"), destructor);
    EXPECT_NE(testModuleJournal().find(L"bus unsubscribe Test.Direct"), -1);
}

TEST_F(EntryLayer, DirectMessagesWhileAnotherThreadInitializes) {
    for (int round = 0; round < 20; ++round) {
        SetUp();
        make();
        std::promise<void> sending;
        std::atomic<bool> sawSuccess{false};
        std::atomic<bool> initialized{false};
        std::thread host([&] {
            sending.set_value();
            Tessil::MessageHeader header;
            Tessil::initHeader(&header);
            // Sends until one succeeds, or until a send made after the
            // initialisation returned has been answered.
            for (;;) {
                const bool after = initialized;
                const std::uint32_t status =
                    table().DirectMessage(handle_, &header, L"Test.Other", L"", L"");
                ASSERT_TRUE(status == MODULE_STATUS_INVALID_STATE || status == MODULE_STATUS_SUCCESS)
                    << status;
                sawSuccess = status == MODULE_STATUS_SUCCESS;
                if (sawSuccess || after) break;
            }
        });
        sending.get_future().wait();
        EXPECT_EQ(initV2(handle_), MODULE_STATUS_SUCCESS);
        initialized = true;
        host.join();
        EXPECT_TRUE(sawSuccess);
        table().UninitializeModule(handle_);
        table().DestroyModule(handle_);
        handle_ = nullptr;
    }
}

namespace {

// Records which slot was reached and with which arguments.
class RecordingBus : public Tessil::MessageBus {
public:
    std::vector<std::wstring> calls;
    std::uint32_t note(const std::wstring& call) {
        calls.push_back(call);
        return static_cast<std::uint32_t>(calls.size());
    }
    std::uint32_t publish(const std::shared_ptr<Tessil::Message>& m) override {
        return note(L"publish " + m->getName());
    }
    std::uint32_t publishEx(const std::shared_ptr<Tessil::Message>& m) override {
        return note(L"publishEx " + m->getName());
    }
    std::uint32_t request(const std::shared_ptr<Tessil::Message>& m, Tessil::ReplyHandler h,
                          const std::uint64_t& t) override {
        return note(L"request handler " + m->getName() + L" " + std::to_wstring(t) + (h ? L" set" : L""));
    }
    std::uint32_t request(const std::shared_ptr<Tessil::Message>& m, std::shared_ptr<Tessil::Reply>&,
                          const std::uint64_t& t) override {
        return note(L"request reply " + m->getName() + L" " + std::to_wstring(t));
    }
    std::uint32_t requestEx(const std::shared_ptr<Tessil::Message>& m, Tessil::ReplyHandler h,
                            const std::uint64_t& t) override {
        return note(L"requestEx handler " + m->getName() + L" " + std::to_wstring(t) + (h ? L" set" : L""));
    }
    std::uint32_t requestEx(const std::shared_ptr<Tessil::Message>& m, std::shared_ptr<Tessil::Reply>&,
                            const std::uint64_t& t) override {
        return note(L"requestEx reply " + m->getName() + L" " + std::to_wstring(t));
    }
    std::uint32_t subscribe(const std::wstring& n, const std::wstring& a, Tessil::MessageHandler h) override {
        return note(L"subscribe " + n + L" " + a + (h ? L" set" : L""));
    }
    std::uint32_t subscribe(const std::wstring& n, Tessil::MessageHandler h) override {
        return note(L"subscribe " + n + (h ? L" set" : L""));
    }
    std::uint32_t subscribeSession(const std::wstring& n, const std::wstring& a,
                                   Tessil::MessageHandler h) override {
        return note(L"subscribeSession " + n + L" " + a + (h ? L" set" : L""));
    }
    std::uint32_t subscribeSession(const std::wstring& n, Tessil::MessageHandler h) override {
        return note(L"subscribeSession " + n + (h ? L" set" : L""));
    }
    std::uint32_t subscribeFilter(const std::wstring& e, const std::wstring& a,
                                  Tessil::MessageHandler h) override {
        return note(L"subscribeFilter " + e + L" " + a + (h ? L" set" : L""));
    }
    std::uint32_t subscribeFilter(const std::wstring& e, Tessil::MessageHandler h) override {
        return note(L"subscribeFilter " + e + (h ? L" set" : L""));
    }
    std::uint32_t subscribeFilterSession(const std::wstring& e, const std::wstring& a,
                                         Tessil::MessageHandler h) override {
        return note(L"subscribeFilterSession " + e + L" " + a + (h ? L" set" : L""));
    }
    std::uint32_t subscribeFilterSession(const std::wstring& e, Tessil::MessageHandler h) override {
        return note(L"subscribeFilterSession " + e + (h ? L" set" : L""));
    }
    std::uint32_t unsubscribe(const std::wstring& a) override { return note(L"unsubscribe " + a); }
};

}  // namespace

TEST(BaseModule, EveryBusOperationReachesTheStoredBusWithItsArguments) {
    Tessil::BaseModule module;
    auto message = Tessil::Message::create(L"M", L"s", L"p");
    std::shared_ptr<Tessil::Reply> reply;
    const std::uint64_t timeout = 42;
    auto handler = [](std::shared_ptr<Tessil::Message>) { return 0u; };
    auto replyHandler = [](std::shared_ptr<Tessil::Reply>) {};
    const std::vector<std::function<std::uint32_t()>> calls = {
        [&] { return module.publish(message); },
        [&] { return module.publishEx(message); },
        [&] { return module.request(message, replyHandler, timeout); },
        [&] { return module.request(message, reply, timeout); },
        [&] { return module.requestEx(message, replyHandler, timeout); },
        [&] { return module.requestEx(message, reply, timeout); },
        [&] { return module.subscribe(L"N", L"A", handler); },
        [&] { return module.subscribe(L"N", handler); },
        [&] { return module.subscribeSession(L"N", L"A", handler); },
        [&] { return module.subscribeSession(L"N", handler); },
        [&] { return module.subscribeFilter(L"E", L"A", handler); },
        [&] { return module.subscribeFilter(L"E", handler); },
        [&] { return module.subscribeFilterSession(L"E", L"A", handler); },
        [&] { return module.subscribeFilterSession(L"E", handler); },
        [&] { return module.unsubscribe(L"A"); },
    };
    // Nothing to forward to before initialisation.
    for (const auto& call : calls) {
        EXPECT_EQ(call(), MODULE_STATUS_INVALID_STATE);
    }
    auto bus = std::make_shared<RecordingBus>();
    ASSERT_EQ(module.baseInitialize(L"n", L"n2", {}, std::make_shared<Tessil::internal::ModuleManagerShim>(nullptr, nullptr), bus),
              MODULE_STATUS_SUCCESS);
    for (std::size_t i = 0; i < calls.size(); ++i) {
        EXPECT_EQ(calls[i](), i + 1);
    }
    const std::vector<std::wstring> expected = {
        L"publish M", L"publishEx M", L"request handler M 42 set", L"request reply M 42",
        L"requestEx handler M 42 set", L"requestEx reply M 42", L"subscribe N A set",
        L"subscribe N set", L"subscribeSession N A set", L"subscribeSession N set",
        L"subscribeFilter E A set", L"subscribeFilter E set", L"subscribeFilterSession E A set",
        L"subscribeFilterSession E set", L"unsubscribe A"};
    EXPECT_EQ(bus->calls, expected);
    // A bus that is no bus client takes no direct messages.
    EXPECT_EQ(module.directMessage(message), MODULE_STATUS_INVALID_STATE);
}

TEST(BaseModule, BaseInitializeKeepsWhatItGotUntilTheFirstMissingPiece) {
    struct Case {
        const char* what;
        bool manager;
        bool bus;
        std::uint32_t status;
        const wchar_t* log;
    };
    const Case cases[] = {
        {"no manager", false, true, MODULE_STATUS_INVALID_PARAMETER,
         L"Invalid module manager object passed to base initialize."},
        {"no bus", true, false, MODULE_STATUS_INVALID_PARAMETER,
         L"Invalid message bus object passed to base initialize."},
        {"both", true, true, MODULE_STATUS_SUCCESS, nullptr},
    };
    for (const Case& c : cases) {
        ScopedCapturingLogger logger;
        Tessil::BaseModule module;
        auto manager = c.manager ? std::make_shared<Tessil::internal::ModuleManagerShim>(nullptr, nullptr) : nullptr;
        auto bus = c.bus ? std::make_shared<RecordingBus>() : nullptr;
        EXPECT_EQ(module.baseInitialize(L"n", L"n2", {{L"k", L"v"}}, manager, bus), c.status) << c.what;
        EXPECT_EQ(module.moduleName(), L"n") << c.what;
        EXPECT_EQ(module.properties().size(), 1u) << c.what;
        EXPECT_EQ(module.moduleManager(), manager) << c.what;
        EXPECT_EQ(module.bus() != nullptr, c.status == MODULE_STATUS_SUCCESS) << c.what;
        EXPECT_EQ(module.container()->isRegistered<Tessil::MessageBus>(L"Unnamed registration"),
                  c.status == MODULE_STATUS_SUCCESS)
            << c.what;
        if (c.log != nullptr) {
            EXPECT_TRUE(logger->Contains(ETWLogging::LevelError, c.log)) << c.what;
        }
    }
}

TEST(IOCContainer, RegistrationsByTypeAndName) {
    Kelmora::IOCContainer container;
    auto first = std::make_shared<int>(1);
    auto second = std::make_shared<int>(2);
    auto text = std::make_shared<std::wstring>(L"t");
    container.registerFactory<int>(first);
    container.registerFactory<int>(L"other", second);
    container.registerFactory<std::wstring>(text);
    EXPECT_EQ(container.resolve<int>(), first);
    EXPECT_EQ(container.resolve<int>(L"other"), second);
    EXPECT_EQ(container.resolve<std::wstring>(), text);
    EXPECT_FALSE(container.isRegistered<double>());
    EXPECT_FALSE(container.isRegistered<int>(L"OTHER"));  // names are exact

    auto factory = container.findFactory<int>(L"other");
    ASSERT_NE(factory, nullptr);
    EXPECT_EQ(factory->getName(), L"other");
    EXPECT_EQ(factory->getType(), typeid(int));

    container.registerFactory<int>(second);  // replaces
    EXPECT_EQ(container.resolve<int>(), second);
    container.unregisterFactory<int>();
    EXPECT_FALSE(container.isRegistered<int>());
    EXPECT_TRUE(container.isRegistered<int>(L"other"));
    EXPECT_EQ(container.findFactory<int>(), nullptr);
    EXPECT_EQ(Kelmora::kDefaultRegistrationName, L"Unnamed registration");
}

TEST(ModuleManagerShim, InvokePassesContextAndValuesWithANullPointer) {
    struct Seen {
        void* context;
        std::uint64_t a;
        void* pointer;
        std::uint64_t b;
    };
    static Seen seen;
    int context = 0;
    Tessil::internal::ModuleManagerShim shim(
        &context, [](void* c, std::uint64_t a, void* p, std::uint64_t b) -> std::uint32_t {
            seen = {c, a, p, b};
            return 9;
        });
    EXPECT_EQ(shim.invoke(5, &context, 6), 9u);
    EXPECT_EQ(seen.context, &context);
    EXPECT_EQ(seen.a, 5u);
    EXPECT_EQ(seen.pointer, nullptr);
    EXPECT_EQ(seen.b, 6u);
    Tessil::internal::ModuleManagerShim empty(nullptr, nullptr);
    EXPECT_EQ(empty.invoke(1, nullptr, 2), MODULE_STATUS_INVALID_STATE);
}
