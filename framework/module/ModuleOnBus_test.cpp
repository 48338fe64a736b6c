// The entry layer with the tests' own module on the real bus neighbour
// "MessageBus.dll", copied beside the test: the host's handle and table are
// the neighbour's, as a module host hands them over.
#include "framework/bus/MessageBusClient.h"
#include "framework/bus/MessageBusShimImpl.h"
#include "framework/bus/testing/FakeMessageBusShim.h"
#include "framework/message/ModuleStatus.h"
#include "framework/module/ModuleFunctions.h"
#include "framework/module/testing/TestModule.h"
#include "neighbours/MessageBus/MessageBusScript.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Tessil::testing::testModuleJournal;
using Tessil::testing::testModuleScript;

HMODULE busLibrary() {
    static HMODULE module = LoadLibraryW(L"MessageBus.dll");
    return module;
}

template <typename T>
T script(const char* name) {
    return reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(busLibrary(), name)));
}

const ModuleFunctions& entries() {
    return *CreateObject(2001000);
}

class ModuleOnBus : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(busLibrary(), nullptr) << "MessageBus.dll not found beside the test";
        script<VtBusScript_Reset_t>("VtBusScript_Reset")();
        VtTestModule_Reset();
        using CreateObjectFn = void* (*)(std::uint32_t);
        table = static_cast<const Tessil::MessageBusFunctions*>(
            script<CreateObjectFn>("CreateObject")(Tessil::MESSAGE_BUS_INTERFACE_VERSION));
        ASSERT_NE(table, nullptr);
        hostHandle = open();
        ASSERT_EQ(entries().NewModule(&module, nullptr), MODULE_STATUS_SUCCESS);
    }
    void TearDown() override {
        if (module != nullptr) {
            entries().UninitializeModule(module);
            entries().DestroyModule(module);
        }
        peers.clear();
        for (auto handle : handles) table->close(handle);
        VtTestModule_Reset();
        script<VtBusScript_Reset_t>("VtBusScript_Reset")();
    }
    Tessil::MessageBusHandle open() {
        Tessil::MessageBusHandle handle = nullptr;
        EXPECT_EQ(table->open(&handle), 0u);
        handles.push_back(handle);
        return handle;
    }
    std::uint32_t initialize() {
        return entries().InitializeModuleV2(module, L"TestModule", L"", 0, nullptr, nullptr, nullptr,
                                            nullptr, hostHandle, table);
    }
    // A client of the test's own on a handle of its own.
    std::shared_ptr<Tessil::MessageBusClient> peer() {
        auto client = std::make_shared<Tessil::MessageBusClient>(
            std::make_shared<Tessil::MessageBusShimImpl>(open(), table),
            std::make_shared<Tessil::testing::FakeProcessAPI>(0));
        peers.push_back(client);
        return client;
    }
    bool journalHas(const std::wstring& prefix) {
        const auto count = script<VtBusScript_JournalCount_t>("VtBusScript_JournalCount")();
        for (std::uint32_t i = 0; i < count; ++i) {
            wchar_t line[512] = {};
            script<VtBusScript_JournalEntry_t>("VtBusScript_JournalEntry")(i, line, 512);
            if (std::wstring(line).rfind(prefix, 0) == 0) return true;
        }
        return false;
    }
    Tessil::testing::TestModule* testModule() {
        return dynamic_cast<Tessil::testing::TestModule*>(module->get());
    }
    // A wait that never came back leaves the process stuck: end it as a failure.
    static void requireReturned(std::future<std::uint32_t>& result, const char* what) {
        if (result.wait_for(60s) != std::future_status::ready) {
            ADD_FAILURE() << what << " did not return";
            std::fflush(stdout);
            std::_Exit(1);
        }
    }

    const Tessil::MessageBusFunctions* table = nullptr;
    Tessil::MessageBusHandle hostHandle = nullptr;
    std::vector<Tessil::MessageBusHandle> handles;
    std::vector<std::shared_ptr<Tessil::MessageBusClient>> peers;
    ModuleHandle* module = nullptr;
};

// The echo handler of the first initialisation publishes through the module
// while the second initialisation replaces the bus it runs on.
TEST_F(ModuleOnBus, InitializingAgainWhileAHandlerPublishesReturns) {
    ASSERT_EQ(initialize(), MODULE_STATUS_SUCCESS);
    const std::wstring hostUnsubscribes =
        L"unsubscribe " +
        std::to_wstring(script<VtBusScript_HandleId_t>("VtBusScript_HandleId")(hostHandle)) + L" ";
    std::promise<void> entered;
    std::atomic<int> echoes{0};
    testModuleScript().onEcho = [&] {
        if (++echoes != 1) return;
        entered.set_value();
        // Answers once the second initialisation is taking the first bus down.
        for (int i = 0; i < 4000 && !journalHas(hostUnsubscribes); ++i) {
            std::this_thread::sleep_for(5ms);
        }
    };
    auto producer = peer();
    std::atomic<int> responses{0};
    ASSERT_EQ(producer->subscribe(L"Test.Echo.Response", [&](Tessil::MessagePtr) {
        ++responses;
        return 0u;
    }), 0u);
    ASSERT_EQ(producer->publish(Tessil::Message::create(L"Test.Echo.1", L"", L"p")), 0u);
    ASSERT_EQ(entered.get_future().wait_for(20s), std::future_status::ready);

    auto again = std::async(std::launch::async, [this] { return initialize(); });
    requireReturned(again, "the second initialisation");
    EXPECT_EQ(again.get(), MODULE_STATUS_SUCCESS);
    ASSERT_EQ(script<VtBusScript_WaitIdle_t>("VtBusScript_WaitIdle")(20000), 1);
    EXPECT_EQ(responses.load(), 1);
}

// A part of the module still holds the first client when a request of the
// second is outstanding; the first goes, and the reply still arrives.
TEST_F(ModuleOnBus, AfterInitializingAgainTheNewClientsRepliesArrive) {
    ASSERT_EQ(initialize(), MODULE_STATUS_SUCCESS);
    std::shared_ptr<Tessil::MessageBus> first = testModule()->bus();
    ASSERT_EQ(initialize(), MODULE_STATUS_SUCCESS);
    ASSERT_NE(testModule()->bus(), first);

    auto responder = peer();
    std::promise<Tessil::MessagePtr> held;
    ASSERT_EQ(responder->subscribe(L"Svc.Hold", [&](Tessil::MessagePtr m) {
        held.set_value(m);
        return 0u;
    }), 0u);
    std::shared_ptr<Tessil::Reply> reply;
    ASSERT_EQ(testModule()->request(Tessil::Message::create(L"Svc.Hold", L"", L"q"), reply, 600000),
              0u);
    auto request = held.get_future();
    ASSERT_EQ(request.wait_for(20s), std::future_status::ready);
    first.reset();
    ASSERT_EQ(responder->publish(request.get()->createReply(L"Svc.Hold.Response", L"", L"answer")),
              0u);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->waitFor(20000), Tessil::REPLY_STATUS_RECEIVED);
    ASSERT_TRUE(reply->getMessage());
    EXPECT_EQ(reply->getMessage()->getPayload(), L"answer");
}

}  // namespace
