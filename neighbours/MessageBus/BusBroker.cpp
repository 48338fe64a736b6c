// The bus neighbour's broker: joins the routers of several processes on one
// machine. Each process's "MessageBus.dll" connects to the pipe named by
// VT_BUS_BROKER and tells the broker its subscriptions; the broker hands a
// message to every other process with a matching subscription, a reply to
// every other process, and answers how many subscriptions of other processes
// match a request's name.
//
//   BusBroker.exe <pipe name> [process id] [--ready-event R] [--stop-event S]
//
// With a process id it exits when that process ends; with S when S is set.
// R is set once the pipe takes connections.

#include "framework/bus/RegexMatch.h"
#include "framework/message/MessageHeader.h"
#include "neighbours/MessageBus/BrokerPipe.h"
#include "neighbours/programs/NeighbourProgram.h"

#include <windows.h>

#include <cwchar>
#include <map>
#include <memory>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

using namespace Tessil;

namespace {

struct Entry {
    bool filter = false;
    std::wstring text;
    std::wregex expression;
};

struct Client {
    explicit Client(HANDLE h) : pipe(h) {}
    broker::Pipe pipe;
    std::map<std::uint32_t, Entry> subscriptions;  // guarded by gMutex
};

std::mutex gMutex;
std::vector<std::shared_ptr<Client>> gClients;  // guarded by gMutex

bool entryMatches(const Entry& entry, const std::wstring& name) {
    return !entry.filter ? entry.text == name
                         : regexFullMatchBounded(entry.expression, name) == RegexMatchResult::Match;
}

// Caller holds gMutex.
std::uint32_t countMatches(const Client& client, const std::wstring& name) {
    std::uint32_t count = 0;
    for (const auto& [id, entry] : client.subscriptions) count += entryMatches(entry, name) ? 1 : 0;
    return count;
}

void serve(std::shared_ptr<Client> client) {
    while (auto frame = client->pipe.receive()) {
        switch (frame->kind) {
        case broker::Kind::Subscribe: {
            Entry entry;
            entry.filter = frame->filter;
            entry.text = frame->name;
            if (entry.filter) {
                try {
                    entry.expression.assign(entry.text, kBusRegexFlags);
                } catch (...) {
                    break;  // the sender refused it already
                }
            }
            std::lock_guard<std::mutex> lock(gMutex);
            client->subscriptions[frame->id] = std::move(entry);
            break;
        }
        case broker::Kind::Unsubscribe: {
            std::lock_guard<std::mutex> lock(gMutex);
            client->subscriptions.erase(frame->id);
            break;
        }
        case broker::Kind::Query: {
            broker::Frame answer;
            answer.kind = broker::Kind::QueryReply;
            answer.id = frame->id;
            {
                std::lock_guard<std::mutex> lock(gMutex);
                for (const auto& other : gClients) {
                    if (other != client) answer.count += countMatches(*other, frame->name);
                }
            }
            client->pipe.send(answer);
            break;
        }
        case broker::Kind::Message: {
            const bool reply = frame->header.testFlag(MESSAGE_FLAG_REPLY);
            std::vector<std::shared_ptr<Client>> targets;
            {
                std::lock_guard<std::mutex> lock(gMutex);
                for (const auto& other : gClients) {
                    if (other != client && (reply || countMatches(*other, frame->name) > 0)) targets.push_back(other);
                }
            }
            for (const auto& target : targets) target->pipe.send(*frame);
            break;
        }
        case broker::Kind::QueryReply:
            break;
        }
    }
    std::lock_guard<std::mutex> lock(gMutex);
    std::erase(gClients, client);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) return 2;
    const std::wstring name = argv[1];
    // Set when the broker must end: the watched process ended, or the stop event.
    std::vector<HANDLE> ends;
    std::wstring readyEvent;
    for (int i = 2; i < argc; ++i) {
        const std::wstring option = argv[i];
        if ((option == L"--ready-event" || option == L"--stop-event") && i + 1 < argc) {
            const std::wstring name = argv[++i];
            if (option == L"--ready-event") {
                readyEvent = name;
                continue;
            }
            HANDLE stop = OpenEventW(SYNCHRONIZE, FALSE, name.c_str());
            if (stop == nullptr) return 1;
            ends.push_back(stop);
        } else {
            HANDLE watched = OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(std::wcstoul(argv[i], nullptr, 10)));
            if (watched == nullptr) return 1;
            ends.push_back(watched);
        }
    }
    HANDLE connected = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (connected == nullptr) return 1;
    for (bool first = true;; first = false) {
        HANDLE pipe = CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                       PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT,
                                       PIPE_UNLIMITED_INSTANCES, 1 << 16, 1 << 16, 0, nullptr);
        if (pipe == INVALID_HANDLE_VALUE) return 1;
        if (first) Neighbours::SignalNamedEvent(readyEvent);
        OVERLAPPED overlapped = {};
        overlapped.hEvent = connected;
        ResetEvent(connected);
        bool ready = false;
        if (ConnectNamedPipe(pipe, &overlapped)) {
            ready = true;
        } else if (GetLastError() == ERROR_PIPE_CONNECTED) {
            ready = true;
        } else if (GetLastError() == ERROR_IO_PENDING) {
            std::vector<HANDLE> waits = {connected};
            waits.insert(waits.end(), ends.begin(), ends.end());
            const DWORD which =
                WaitForMultipleObjects(static_cast<DWORD>(waits.size()), waits.data(), FALSE, INFINITE);
            if (which != WAIT_OBJECT_0) return 0;  // the watched process ended, or told to stop
            DWORD ignored = 0;
            ready = GetOverlappedResult(pipe, &overlapped, &ignored, FALSE) != FALSE;
        }
        if (!ready) {
            CloseHandle(pipe);
            continue;
        }
        auto client = std::make_shared<Client>(pipe);
        {
            std::lock_guard<std::mutex> lock(gMutex);
            gClients.push_back(client);
        }
        std::thread(serve, client).detach();
    }
}
