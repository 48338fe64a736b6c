// "BusPeer.exe": a bus endpoint of its own process for the cross-process bus
// tests, on "MessageBus.dll" found beside it (which joins the broker named by
// VT_BUS_BROKER). Its behaviour comes from the command line:
//
//   --tag T             names its announcements "Vt.Peer.T.<what>"
//   --watch PID         exits when that process ends
//   --name N            subscribes to the name N
//   --expression E      subscribes to the expression E
//   --on-request R      what a request on those subscriptions gets: reply
//                       (a reply with "re:" before the payload), silent, exit
//                       (the process exits at once) or close (the bus handle
//                       is closed; the process stays)
//   --unsubscribe-on N  on a message of N, unsubscribes the subscription
//                       named by its payload
//   --publish N P       publishes N with payload P once ready
//   --request N P       then requests N with payload P (60 s time-out)
//
// Announcements: ".Ready" once subscribed, ".Got" with "name|payload" for each
// delivery on --name and --expression subscriptions, ".Unsubscribed" with the
// subscription's text after --unsubscribe-on, ".Answered" with
// "status|payload" when a --request ends (the status a Reply gives).
#include "framework/bus/MessageBusClient.h"
#include "framework/bus/MessageBusShimImpl.h"
#include "neighbours/MessageBus/BusLibraryBesideProgram.h"

#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace {

enum class OnRequest { Reply, Silent, Exit, Close };

struct Options {
    std::wstring tag = L"peer";
    DWORD watch = 0;
    std::vector<std::wstring> names, expressions;
    OnRequest onRequest = OnRequest::Reply;
    std::wstring unsubscribeOn;
    std::vector<std::pair<std::wstring, std::wstring>> publish, request;
};

bool Parse(int argc, wchar_t** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        const std::wstring option = argv[i];
        const bool hasValue = i + 1 < argc;
        if (option == L"--tag" && hasValue) {
            options.tag = argv[++i];
        } else if (option == L"--watch" && hasValue) {
            options.watch = static_cast<DWORD>(std::wcstoul(argv[++i], nullptr, 10));
        } else if (option == L"--name" && hasValue) {
            options.names.push_back(argv[++i]);
        } else if (option == L"--expression" && hasValue) {
            options.expressions.push_back(argv[++i]);
        } else if (option == L"--unsubscribe-on" && hasValue) {
            options.unsubscribeOn = argv[++i];
        } else if (option == L"--publish" && i + 2 < argc) {
            options.publish.emplace_back(argv[i + 1], argv[i + 2]);
            i += 2;
        } else if (option == L"--request" && i + 2 < argc) {
            options.request.emplace_back(argv[i + 1], argv[i + 2]);
            i += 2;
        } else if (option == L"--on-request" && hasValue) {
            const std::wstring mode = argv[++i];
            if (mode == L"reply") {
                options.onRequest = OnRequest::Reply;
            } else if (mode == L"silent") {
                options.onRequest = OnRequest::Silent;
            } else if (mode == L"exit") {
                options.onRequest = OnRequest::Exit;
            } else if (mode == L"close") {
                options.onRequest = OnRequest::Close;
            } else {
                return false;
            }
        } else {
            return false;
        }
    }
    return true;
}


}  // namespace

int wmain(int argc, wchar_t** argv) {
    Options options;
    if (!Parse(argc, argv, options)) {
        std::fprintf(stderr,
                     "usage: BusPeer.exe [--tag T] [--watch PID] [--name N]... [--expression E]...\n"
                     "  [--on-request reply|silent|exit|close] [--unsubscribe-on N]\n"
                     "  [--publish N P]... [--request N P]...\n");
        return 2;
    }
    HANDLE watched = nullptr;
    if (options.watch != 0) {
        watched = OpenProcess(SYNCHRONIZE, FALSE, options.watch);
        if (watched == nullptr) return 2;
    }
    const Neighbours::BusLibrary library = Neighbours::LoadBusLibraryBesideProgram();
    if (library.module == nullptr) {
        std::fprintf(stderr, "MessageBus.dll not found\n");
        return 3;
    }
    const Tessil::MessageBusFunctions* functions = library.functions;
    Tessil::MessageBusHandle handle = nullptr;
    if (functions == nullptr || functions->open(&handle) != 0 || handle == nullptr) {
        std::fprintf(stderr, "bus handle not opened\n");
        return 3;
    }
    // Set by a request in close mode; the main thread then closes the handle.
    HANDLE closeDue = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (closeDue == nullptr) return 3;

    auto bus = std::make_shared<Tessil::MessageBusClient>(
        std::make_shared<Tessil::MessageBusShimImpl>(handle, functions));
    Tessil::MessageBusClient* client = bus.get();
    const std::wstring prefix = L"Vt.Peer." + options.tag + L".";
    auto announce = [client, prefix](const wchar_t* what, const std::wstring& payload) {
        client->publish(Tessil::Message::create(prefix + what, L"BusPeer", payload));
    };
    // Runs on the handle's delivery thread; announces first, so the test
    // knows the message arrived before the peer acts on it.
    auto handler = [&options, client, announce, prefix, closeDue](std::shared_ptr<Tessil::Message> m)
        -> std::uint32_t {
        announce(L"Got", m->getName() + L"|" + m->getPayload());
        if (!m->getHeader()->testFlag(Tessil::MESSAGE_FLAG_REQUEST)) return 0;
        switch (options.onRequest) {
        case OnRequest::Reply:
            return client->publish(m->createReply(prefix + L"Reply", L"BusPeer", L"re:" + m->getPayload()));
        case OnRequest::Silent:
            return 0;
        case OnRequest::Exit:
            ExitProcess(0);
        case OnRequest::Close:
            SetEvent(closeDue);
            return 0;
        }
        return 0;
    };
    for (const std::wstring& name : options.names) {
        if (bus->subscribe(name, handler) != 0) return 4;
    }
    for (const std::wstring& expression : options.expressions) {
        if (bus->subscribeFilter(expression, handler) != 0) return 4;
    }
    if (!options.unsubscribeOn.empty()) {
        const std::uint32_t status =
            bus->subscribe(options.unsubscribeOn, [client, announce](std::shared_ptr<Tessil::Message> m) {
                client->unsubscribe(m->getPayload());
                announce(L"Unsubscribed", m->getPayload());
                return 0u;
            });
        if (status != 0) return 4;
    }
    announce(L"Ready", L"");
    for (const auto& [name, payload] : options.publish) {
        bus->publish(Tessil::Message::create(name, L"BusPeer", payload));
    }
    for (const auto& [name, payload] : options.request) {
        std::shared_ptr<Tessil::Reply> reply;
        const std::uint32_t status =
            bus->request(Tessil::Message::create(name, L"BusPeer", payload), reply, 60000);
        if (status != 0) {
            announce(L"Answered", L"bus " + std::to_wstring(status) + L"|");
            continue;
        }
        const Tessil::ReplyStatus outcome = reply->wait();
        const auto message = reply->getMessage();
        announce(L"Answered", std::to_wstring(outcome) + L"|" + (message ? message->getPayload() : L""));
    }

    HANDLE waits[] = {closeDue, watched};
    if (WaitForMultipleObjects(watched != nullptr ? 2 : 1, waits, FALSE, INFINITE) == WAIT_OBJECT_0) {
        bus.reset();
        functions->close(handle);
        // Stays without a handle until ended, or until the watched process ends.
        if (watched != nullptr) WaitForSingleObject(watched, INFINITE);
        else Sleep(INFINITE);
    }
    return 0;
}
