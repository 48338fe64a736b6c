// The bus neighbour's broker: joins the routers of several processes on one
// machine. Each process's "MessageBus.dll" connects to the pipe named by
// VT_BUS_BROKER and tells the broker its subscriptions; the broker hands a
// message to every other process with a matching subscription, a reply to
// every other process, and answers how many subscriptions of other processes
// match a request's name.
//
//   BusBroker.exe <pipe name> [process id]
//
// With a process id it exits when that process ends.

#include "framework/bus/RegexMatch.h"
#include "framework/message/MessageHeader.h"
#include "neighbours/MessageBus/BrokerPipe.h"

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
    HANDLE watched = nullptr;
    if (argc >= 3) {
        watched = OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(std::wcstoul(argv[2], nullptr, 10)));
        if (watched == nullptr) return 1;
    }
    HANDLE connected = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (connected == nullptr) return 1;
    for (;;) {
        HANDLE pipe = CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                       PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT,
                                       PIPE_UNLIMITED_INSTANCES, 1 << 16, 1 << 16, 0, nullptr);
        if (pipe == INVALID_HANDLE_VALUE) return 1;
        OVERLAPPED overlapped = {};
        overlapped.hEvent = connected;
        ResetEvent(connected);
        bool ready = false;
        if (ConnectNamedPipe(pipe, &overlapped)) {
            ready = true;
        } else if (GetLastError() == ERROR_PIPE_CONNECTED) {
            ready = true;
        } else if (GetLastError() == ERROR_IO_PENDING) {
            HANDLE waits[] = {connected, watched};
            const DWORD which = WaitForMultipleObjects(watched ? 2 : 1, waits, FALSE, INFINITE);
            if (which != WAIT_OBJECT_0) return 0;  // the watched process ended
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
