#include "framework/buslib/MessageBusLib.h"

#include "framework/bus/MessageBusClient.h"
#include "framework/bus/MessageBusShimImpl.h"
#include "framework/message/ModuleException.h"
#include "framework/message/ModuleStatus.h"
#include "neighbours/MessageBus/MessageBusScript.h"
#include "platform/Logging/testing/CapturingLogger.h"
#include "platform/Registry/RegKey.h"
#include "platform/Registry/testing/TestRegistry.h"
#include "platform/dll/SharedLibrary.h"
#include "platform/dll/testing/FakeDllAPI.h"
#include "platform/paths/PathHelpers.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <string>
#include <vector>

using ETWLogging::testing::ScopedCapturingLogger;

namespace {

// Loads without the signature check; the checked road has tests of its own.
// Counts the libraries freed.
class UncheckedDllAPI : public Tessil::DllAPI {
public:
    bool loadLibrary(const std::wstring& path, HMODULE* out) override {
        *out = LoadLibraryW(path.c_str());
        return *out != nullptr;
    }
    bool freeLibrary(HMODULE module) override {
        ++frees;
        return Tessil::DllAPI::freeLibrary(module);
    }
    std::size_t freeCount() const { return frees; }
    std::atomic<std::size_t> frees{0};
};

std::wstring neighbourFolder() {
    std::wstring folder = VT_BUS_NEIGHBOUR_DIR;
    for (auto& c : folder) {
        if (c == L'/') c = L'\\';
    }
    return L"Z:" + folder;
}

std::shared_ptr<Tessil::SharedLibrary> busNeighbour(
    std::shared_ptr<UncheckedDllAPI> dll = std::make_shared<UncheckedDllAPI>()) {
    return std::make_shared<Tessil::SharedLibrary>(
        Tessil::LibraryDescriptor{L"MessageBus.dll", {neighbourFolder()}},
        std::make_shared<Tessil::DllLoader>(std::move(dll)));
}

template <typename T>
T script(const char* name) {
    HMODULE module = GetModuleHandleW(L"MessageBus.dll");
    return reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

std::vector<std::wstring> journal() {
    std::vector<std::wstring> lines;
    const auto count = script<VtBusScript_JournalCount_t>("VtBusScript_JournalCount")();
    for (std::uint32_t i = 0; i < count; ++i) {
        wchar_t buffer[512] = {};
        script<VtBusScript_JournalEntry_t>("VtBusScript_JournalEntry")(i, buffer, 512);
        lines.emplace_back(buffer);
    }
    return lines;
}

std::size_t timerLines(ETWLogging::testing::CapturingLogger& logger) {
    return logger.Count(ETWLogging::LevelNormal, L"M12NPerfTimer|MessageBusLib::MessageBusLib|");
}

std::string constructionError(const std::function<void()>& construct) {
    try {
        construct();
    } catch (const Tessil::ModuleException& e) {
        return e.what();
    }
    return "";
}

class MessageBusLibOnNeighbour : public ::testing::Test {
protected:
    void SetUp() override {
        library = busNeighbour();
        script<VtBusScript_Reset_t>("VtBusScript_Reset")();
    }
    void TearDown() override { script<VtBusScript_Reset_t>("VtBusScript_Reset")(); }
    std::shared_ptr<Tessil::SharedLibrary> library;
};

}  // namespace

TEST_F(MessageBusLibOnNeighbour, OpensOnConstructionAndClosesAfterUnregisteringOnDestruction) {
    ScopedCapturingLogger logger;
    auto busLib = std::make_shared<Tessil::MessageBusLib>(library);
    EXPECT_EQ(timerLines(*logger), 1u);
    {
        Tessil::MessageBusClient client(busLib);
        busLib.reset();
        EXPECT_EQ(client.subscribe(L"Lib.Test", [](std::shared_ptr<Tessil::Message>) { return 0u; }),
                  0u);
    }
    const auto lines = journal();
    std::vector<std::wstring> kinds;
    for (const auto& line : lines) {
        kinds.push_back(line.substr(0, line.find(L' ')));
    }
    const std::vector<std::wstring> expected = {
        L"CreateObject", L"open", L"subscribe", L"unsubscribe", L"unregisterReplyCallback",
        L"unregisterReplyCallback", L"close"};
    EXPECT_EQ(kinds, expected);
    EXPECT_EQ(script<VtBusScript_OpenHandleCount_t>("VtBusScript_OpenHandleCount")(), 0u);
}

TEST_F(MessageBusLibOnNeighbour, FailuresThrowAfterTheirLogLineAndStillTime) {
    struct Case {
        const char* what;
        bool createObjectNull;
        std::uint32_t openFailure;
        std::string error;
        const wchar_t* log;
    };
    const Case cases[] = {
        {"CreateObject answers null", true, 0, "Failed to get message bus functions object",
         L"Failed to get message bus functions object. Throwing ModuleException."},
        {"open fails", false, MODULE_STATUS_NOT_FOUND, "Failed to get message bus handle",
         L"Failed to get message bus handle. Error code: MODULE_STATUS_NOT_FOUND(2147483658). "
         L"Throwing ModuleException."},
    };
    for (const Case& c : cases) {
        script<VtBusScript_Reset_t>("VtBusScript_Reset")();
        script<VtBusScript_SetCreateObjectNull_t>("VtBusScript_SetCreateObjectNull")(
            c.createObjectNull ? 1 : 0);
        script<VtBusScript_SetOpenFailure_t>("VtBusScript_SetOpenFailure")(c.openFailure);
        ScopedCapturingLogger logger;
        EXPECT_EQ(constructionError([&] { Tessil::MessageBusLib busLib(library); }), c.error)
            << c.what;
        EXPECT_TRUE(logger->Contains(ETWLogging::LevelError, c.log)) << c.what;
        EXPECT_EQ(timerLines(*logger), 1u) << c.what;
        for (const auto& line : journal()) {
            EXPECT_NE(line.rfind(L"close", 0), 0u) << c.what;
        }
    }
}

// The requester's last owner goes inside its own reply handler, on the bus
// library's delivery thread: the library is freed on another thread.
TEST_F(MessageBusLibOnNeighbour, AClientReleasedInItsReplyHandlerKeepsTheLibraryLoaded) {
    ScopedCapturingLogger log;
    Tessil::MessageBusClient responder(std::make_shared<Tessil::MessageBusLib>(library));
    ASSERT_EQ(responder.subscribe(L"Lib.Get", [&](std::shared_ptr<Tessil::Message> m) {
        return responder.publish(m->createReply(L"Lib.Get.Response", L"", L""));
    }), 0u);
    auto dll = std::make_shared<UncheckedDllAPI>();
    auto requester = std::make_shared<Tessil::MessageBusClient>(
        std::make_shared<Tessil::MessageBusLib>(busNeighbour(dll)));
    std::promise<HANDLE> handlerThread;
    ASSERT_EQ(requester->request(Tessil::Message::create(L"Lib.Get", L"", L""),
                                 [&](std::shared_ptr<Tessil::Reply>) {
                                     HANDLE self = nullptr;
                                     DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(),
                                                     &self, SYNCHRONIZE, FALSE, 0);
                                     requester.reset();
                                     handlerThread.set_value(self);
                                 },
                                 5000),
              0u);
    auto thread = handlerThread.get_future();
    ASSERT_EQ(thread.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    // The delivery thread of the closed handle ends once the callback is over.
    const HANDLE delivery = thread.get();
    ASSERT_NE(delivery, nullptr);
    EXPECT_EQ(WaitForSingleObject(delivery, 20000), WAIT_OBJECT_0);
    CloseHandle(delivery);
    // Neither freed on the library's own thread nor handed to a thread that
    // could outlive the module: the library stays loaded.
    EXPECT_EQ(dll->freeCount(), 0u);
    EXPECT_TRUE(log->Contains(ETWLogging::LevelWarning,
                              L"Message bus released inside one of its callbacks. The library stays loaded."));
    EXPECT_NE(GetModuleHandleW(L"MessageBus.dll"), nullptr);
}

namespace {

// A table whose open succeeds with a null handle and whose close can fail.
struct FakeBus {
    static inline std::vector<std::string> calls;
    static inline std::uint32_t closeStatus = 0;
    static std::uint32_t open(Tessil::MessageBusHandle* handle) {
        calls.push_back("open");
        *handle = nullptr;
        return 0;
    }
    static std::uint32_t close(Tessil::MessageBusHandle) {
        calls.push_back("close");
        return closeStatus;
    }
    static std::uint32_t unregister(Tessil::MessageBusHandle, Tessil::ReplyCallbackFn) {
        calls.push_back("unregisterReplyCallback");
        return 0;
    }
    static inline bool noOpen = false;
    static inline bool noClose = false;
    static const void* createObject(std::uint32_t version) {
        static Tessil::MessageBusFunctions table = {};
        table.open = noOpen ? nullptr : &open;
        table.close = noClose ? nullptr : &close;
        table.unregisterReplyCallback = &unregister;
        calls.push_back("CreateObject " + std::to_string(version));
        return &table;
    }
    static void releaseObject(void*) {}
    static const char* getVersionStr() { return "2.1.0"; }
    static std::uint32_t getVersionNum() { return 2001000; }
};

std::shared_ptr<Tessil::SharedLibrary> fakeLibrary() {
    auto dll = std::make_shared<Tessil::testing::FakeDllAPI>();
    auto files = std::make_shared<Tessil::testing::FakePathAPI>();
    const HMODULE module = reinterpret_cast<HMODULE>(0x30000);
    dll->libraries[L"C:\\bus\\MessageBus.dll"] = {
        module,
        {{"CreateObject", Tessil::testing::AsProc(&FakeBus::createObject)},
         {"ReleaseObject", Tessil::testing::AsProc(&FakeBus::releaseObject)},
         {"GetVersionStr", Tessil::testing::AsProc(&FakeBus::getVersionStr)},
         {"GetVersionNum", Tessil::testing::AsProc(&FakeBus::getVersionNum)}}};
    files->files.insert(L"C:\\bus\\MessageBus.dll");
    return std::make_shared<Tessil::SharedLibrary>(
        Tessil::LibraryDescriptor{L"MessageBus.dll", {L"C:\\bus"}},
        std::make_shared<Tessil::DllLoader>(dll), nullptr,
        std::make_shared<Tessil::PathSearch>(files));
}

}  // namespace

TEST(MessageBusLib, AShimThatCannotBeBuiltAfterOpenClosesTheHandle) {
    FakeBus::calls.clear();
    ScopedCapturingLogger logger;
    EXPECT_EQ(constructionError([&] { Tessil::MessageBusLib busLib(fakeLibrary()); }),
              "Invalid message bus handle");
    const std::vector<std::string> expected = {"CreateObject 2001000", "open", "close"};
    EXPECT_EQ(FakeBus::calls, expected);
    EXPECT_EQ(timerLines(*logger), 1u);
}

TEST(MessageBusLib, ATableWithoutOpenOrCloseIsRefusedNotCalled) {
    for (const bool lacksOpen : {true, false}) {
        FakeBus::calls.clear();
        FakeBus::noOpen = lacksOpen;
        FakeBus::noClose = !lacksOpen;
        ScopedCapturingLogger logger;
        EXPECT_EQ(constructionError([&] { Tessil::MessageBusLib busLib(fakeLibrary()); }),
                  "Failed to get message bus functions object")
            << lacksOpen;
        EXPECT_TRUE(logger->Contains(
            ETWLogging::LevelError,
            L"Failed to get message bus functions object. Throwing ModuleException."));
        const std::vector<std::string> expected = {"CreateObject 2001000"};
        EXPECT_EQ(FakeBus::calls, expected) << lacksOpen;
    }
    FakeBus::noOpen = false;
    FakeBus::noClose = false;
}

TEST(MessageBusLib, AFailedCloseIsOnlyAWarning) {
    FakeBus::calls.clear();
    FakeBus::closeStatus = MODULE_STATUS_UNSUCCESSFUL;
    ScopedCapturingLogger logger;
    {
        // An inner shim of the caller's: nothing is built over the null handle.
        Tessil::MessageBusLib busLib(fakeLibrary(), std::make_shared<Tessil::MessageBusShimImpl>(
                                                        reinterpret_cast<void*>(1),
                                                        static_cast<const Tessil::MessageBusFunctions*>(
                                                            FakeBus::createObject(0))));
    }
    FakeBus::closeStatus = 0;
    EXPECT_TRUE(logger->Contains(
        ETWLogging::LevelWarning,
        L"Failed to release message bus. Error code MODULE_STATUS_UNSUCCESSFUL(2147483650)."));
    ASSERT_FALSE(FakeBus::calls.empty());
    EXPECT_EQ(FakeBus::calls.back(), "close");
}

TEST(MessageBusLib, SearchesTheProgramFolderThenTheHostsInstallFolder) {
    Kelmora::testing::PrivateHklm hklm;
    ASSERT_TRUE(hklm.ok());
    Kelmora::CRegKey key;
    ASSERT_EQ(key.Create(HKEY_LOCAL_MACHINE, L"SOFTWARE\\CORVANE\\HALVEX"), ERROR_SUCCESS);
    ASSERT_EQ(key.SetStringValue(L"Install Dir", L"C:\\Halvex\\Install"), ERROR_SUCCESS);
    key.Close();

    const auto& descriptor = Tessil::messageBusLibraryDescriptor();
    EXPECT_EQ(descriptor.fileName, L"MessageBus.dll");
    auto search = std::make_shared<Tessil::PathSearch>(std::make_shared<Tessil::testing::FakePathAPI>());
    EXPECT_THROW(Tessil::SharedLibrary(descriptor, nullptr, nullptr, search), Tessil::ModuleException);

    wchar_t program[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, program, MAX_PATH);
    std::wstring programFolder = program;
    programFolder.erase(programFolder.rfind(L'\\') + 1);
    const std::vector<std::wstring> expected = {programFolder, L"C:\\Halvex\\Install"};
    EXPECT_EQ(search->getSearchPaths(), expected);
}
