// "MessageBus.dll" neighbour: one in-process router shared by every handle,
// one FIFO delivery thread per handle, a deadline thread for request
// time-outs, and scripting exports for tests (MessageBusScript.h).
//
// When VT_BUS_BROKER names a broker's pipe, the router joins the routers of
// other processes through it (BusBroker.cpp): its subscriptions are told to
// the broker, messages go out to it and come in from its reader thread.
//
// Lock order: Router::mutex before Endpoint::mutex; Journal, Idle and Query
// locks are leaves. No lock is held while calling back or writing the pipe.

#include "framework/bus/MessageBusFunctions.h"
#include "framework/bus/RegexMatch.h"
#include "framework/message/MessageHeader.h"
#include "framework/message/ModuleStatus.h"
#include "neighbours/MessageBus/BrokerPipe.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

using namespace Tessil;

namespace {

constexpr std::uint64_t kSliceMs = 50;

std::uint64_t nowMs() {
    ULONGLONG t = 0;
    QueryUnbiasedInterruptTime(&t);
    return static_cast<std::uint64_t>(t) / 10000;
}

std::uint64_t saturatingAdd(std::uint64_t a, std::uint64_t b) {
    return std::numeric_limits<std::uint64_t>::max() - a < b ? std::numeric_limits<std::uint64_t>::max()
                                                              : a + b;
}

void templateHeader(MessageHeader* h) {
    std::memset(static_cast<void*>(h), 0, sizeof(MessageHeader));
    h->headerMark = 1;
    h->version = MESSAGE_HEADER_VERSION_2;
    h->extension.extensionType = MESSAGE_HEADER_EXTENSION_TYPE;
    h->extension.extensionLength = MESSAGE_HEADER_EXTENSION_LENGTH;
}

// Copies a caller's header by its version into a full version-2 block.
void copyByVersion(MessageHeader* dst, const MessageHeader* src) {
    templateHeader(dst);
    if (src->version == MESSAGE_HEADER_VERSION_2) {
        std::memcpy(static_cast<void*>(dst), src, MESSAGE_HEADER_V2_SIZE);
    } else {
        std::memcpy(static_cast<void*>(dst), src, MESSAGE_HEADER_V1_SIZE);
        dst->extension.extensionType = MESSAGE_HEADER_EXTENSION_TYPE;
        dst->extension.extensionLength = MESSAGE_HEADER_EXTENSION_LENGTH;
        dst->extension.senderSessionId = 0;
    }
}

struct Delivered {
    MessageHeader header;
    std::wstring name;
    std::wstring source;
    std::wstring payload;
};

// A caller's message as the bus keeps it.
std::shared_ptr<Delivered> copyOf(const MessageHeader* header, const wchar_t* name,
                                  const wchar_t* source, const wchar_t* payload) {
    auto d = std::make_shared<Delivered>();
    copyByVersion(&d->header, header);
    d->name = name;
    d->source = source;
    d->payload = payload;
    return d;
}

struct Endpoint;

struct Subscription {
    std::uint32_t id = 0;
    std::shared_ptr<Endpoint> endpoint;
    void* context = nullptr;
    SubscriptionCallbackFn callback = nullptr;
    std::wstring text;
    bool filter = false;
    std::wregex expression;
    bool active = true;  // guarded by endpoint->mutex
};

struct PendingRequest {
    std::uint64_t sequence = 0;
    std::shared_ptr<Endpoint> requester;
    std::uint64_t replyIndex = 0;
    void* context = nullptr;
    ReplyCallbackFn callback = nullptr;
    std::uint64_t deadline = 0;
    bool cancelled = false;    // guarded by requester->mutex
    std::atomic<bool> done{false};  // the reply callback has run
};

struct Task {
    std::shared_ptr<Subscription> subscription;  // delivery when set
    std::shared_ptr<PendingRequest> request;     // reply completion when set
    std::shared_ptr<const Delivered> message;    // null for a time-out
    std::uint32_t status = 0;
};

struct Endpoint {
    std::uint32_t id = 0;
    MessageBusHandle handle = nullptr;
    std::uint8_t address[24] = {};
    std::uint8_t route[12] = {};
    std::thread thread;
    std::atomic<DWORD> threadId{0};

    std::mutex mutex;
    std::condition_variable cv;
    std::deque<Task> queue;  // guarded by mutex
    bool running = false;    // guarded by mutex
    bool closing = false;    // guarded by mutex
};

struct Scripts {
    bool createObjectNull = false;
    std::uint32_t openFailure = 0;
    bool subscribeRefuse = false;
    std::uint32_t publishCountdown = 0, publishFailure = 0;
    std::uint32_t requestCountdown = 0, requestFailure = 0;
    bool timeoutAtOnce = false;
    bool replyBeforeReturn = false;
    std::int64_t sessionOverride = -1;
};

class Router {
public:
    std::mutex mutex;
    std::map<MessageBusHandle, std::shared_ptr<Endpoint>> endpoints;  // guarded by mutex
    std::vector<std::shared_ptr<Subscription>> subscriptions;        // guarded by mutex
    std::map<std::uint64_t, std::shared_ptr<PendingRequest>> pending; // by request sequence; guarded by mutex
    std::uint64_t sequence = 0;                                      // guarded by mutex
    std::uint32_t nextSubscriptionId = 1;                            // guarded by mutex
    std::uint32_t nextEndpointId = 1;                                // guarded by mutex
    Scripts scripts;                                                 // guarded by mutex
    bool deadlineThreadStarted = false;                              // guarded by mutex
    std::condition_variable deadlineCv;
    // When the deadline thread wakes next; a request due sooner wakes it.
    std::uint64_t deadlineWakeAt = 0;                                // guarded by mutex

    std::mutex journalMutex;
    std::vector<std::wstring> journal;  // guarded by journalMutex

    std::mutex idleMutex;
    std::condition_variable idleCv;
    std::uint64_t outstanding = 0;  // queued or running tasks; guarded by idleMutex

    std::uint32_t processSession = 0;
    bool pinned = false;
    bool linkTried = false;                 // guarded by mutex
    std::shared_ptr<broker::Pipe> link;     // set once, at the first open
    std::atomic<bool> linked{false};        // link is set

    std::mutex queryMutex;
    std::condition_variable queryCv;
    std::map<std::uint32_t, std::uint32_t> answers;  // guarded by queryMutex
    std::uint32_t nextToken = 1;                     // guarded by queryMutex
    bool linkBroken = false;                         // guarded by queryMutex

    static constexpr DWORD kBrokerConnectMs = 10000;
    static constexpr std::uint64_t kQueryMs = 5000;

    // The journal keeps the first kJournalLimit lines; a long run stays bounded.
    static constexpr std::size_t kJournalLimit = 100000;
    std::atomic<std::size_t> journalSize{0};
    void log(std::wstring line) {
        std::lock_guard<std::mutex> lock(journalMutex);
        if (journal.size() < kJournalLimit) journal.push_back(std::move(line));
        journalSize = journal.size();
    }
    // False once the journal keeps no more lines: they need not be built.
    bool journalOpen() const { return journalSize.load(std::memory_order_relaxed) < kJournalLimit; }

    void addOutstanding(std::uint64_t n) {
        std::lock_guard<std::mutex> lock(idleMutex);
        outstanding += n;
    }
    void finishOutstanding(std::uint64_t n) {
        {
            std::lock_guard<std::mutex> lock(idleMutex);
            outstanding -= std::min(outstanding, n);
        }
        idleCv.notify_all();
    }

    std::shared_ptr<Endpoint> find(MessageBusHandle h) {
        auto it = endpoints.find(h);
        return it == endpoints.end() ? nullptr : it->second;
    }

    // Caller holds mutex.
    void enqueue(const std::shared_ptr<Endpoint>& ep, Task task) {
        addOutstanding(1);
        {
            std::lock_guard<std::mutex> lock(ep->mutex);
            if (ep->closing) {
                finishOutstanding(1);
                return;
            }
            ep->queue.push_back(std::move(task));
        }
        ep->cv.notify_all();
    }

    // Caller holds mutex. Stamps sequence, sender address and route, version 2, session.
    void stamp(Delivered& d, const Endpoint& ep, bool keepSession = false, std::uint32_t session = 0) {
        d.header.sequence = ++sequence;
        std::memcpy(d.header.senderAddress, ep.address, sizeof(ep.address));
        std::memcpy(d.header.senderRoute, ep.route, sizeof(ep.route));
        d.header.version = MESSAGE_HEADER_VERSION_2;
        d.header.extension.extensionType = MESSAGE_HEADER_EXTENSION_TYPE;
        d.header.extension.extensionLength = MESSAGE_HEADER_EXTENSION_LENGTH;
        d.header.extension.senderSessionId =
            keepSession ? session
                        : (scripts.sessionOverride >= 0 ? static_cast<std::uint32_t>(scripts.sessionOverride)
                                                        : processSession);
    }

    // Caller holds mutex.
    std::vector<std::shared_ptr<Subscription>> matching(const std::wstring& name) {
        std::vector<std::shared_ptr<Subscription>> out;
        for (const auto& s : subscriptions) {
            if (!s->filter) {
                if (s->text == name) out.push_back(s);
            } else if (regexFullMatchBounded(s->expression, name) == RegexMatchResult::Match) {
                out.push_back(s);
            }
        }
        return out;
    }

    // Caller holds mutex.
    std::size_t deliver(const std::shared_ptr<const Delivered>& d) {
        return deliverTo(d, matching(d->name));
    }
    // Caller holds mutex.
    std::size_t deliverTo(const std::shared_ptr<const Delivered>& d,
                          const std::vector<std::shared_ptr<Subscription>>& subs) {
        for (const auto& s : subs) {
            Task t;
            t.subscription = s;
            t.message = d;
            enqueue(s->endpoint, std::move(t));
        }
        return subs.size();
    }

    // Caller holds mutex. Completes the request a reply answers; false when none is pending.
    bool completeRequest(const std::shared_ptr<const Delivered>& reply) {
        auto it = pending.find(reply->header.replyToSequence);
        if (it == pending.end()) return false;
        std::shared_ptr<PendingRequest> req = it->second;
        if (std::memcmp(reply->header.recipientAddress, req->requester->address, 24) != 0) return false;
        pending.erase(it);
        Task t;
        t.request = req;
        t.message = reply;
        t.status = MODULE_STATUS_SUCCESS;
        enqueue(req->requester, std::move(t));
        return true;
    }

    static void waitNotRunning(const std::shared_ptr<Endpoint>& ep) {
        if (GetCurrentThreadId() == ep->threadId.load()) return;
        std::unique_lock<std::mutex> lock(ep->mutex);
        ep->cv.wait(lock, [&] { return !ep->running; });
    }

    void deliveryLoop(std::shared_ptr<Endpoint> ep) {
        ep->threadId = GetCurrentThreadId();
        for (;;) {
            Task task;
            {
                std::unique_lock<std::mutex> lock(ep->mutex);
                ep->cv.wait(lock, [&] { return ep->closing || !ep->queue.empty(); });
                if (ep->closing) break;
                task = std::move(ep->queue.front());
                ep->queue.pop_front();
                const bool valid = task.subscription ? task.subscription->active : !task.request->cancelled;
                if (!valid) {
                    lock.unlock();
                    finishOutstanding(1);
                    continue;
                }
                ep->running = true;
            }
            try {
                if (task.subscription) {
                    const Delivered& d = *task.message;
                    task.subscription->callback(task.subscription->context, &d.header, d.name.c_str(),
                                                d.source.c_str(), d.payload.c_str());
                } else {
                    const PendingRequest& r = *task.request;
                    if (task.message) {
                        const Delivered& d = *task.message;
                        r.callback(r.context, r.replyIndex, &d.header, d.name.c_str(), d.source.c_str(),
                                   d.payload.c_str(), task.status);
                    } else {
                        MessageHeader h;
                        templateHeader(&h);
                        r.callback(r.context, r.replyIndex, &h, L"", L"", L"", task.status);
                    }
                    task.request->done = true;
                }
            } catch (...) {
            }
            {
                std::lock_guard<std::mutex> lock(ep->mutex);
                ep->running = false;
            }
            ep->cv.notify_all();
            finishOutstanding(1);
        }
    }

    // Caller holds mutex. Connects to the broker named by VT_BUS_BROKER, once;
    // false when one is named and cannot be reached.
    bool joinBroker() {
        if (linkTried) return link != nullptr || !brokerNamed();
        linkTried = true;
        const std::wstring name = brokerName();
        if (name.empty()) return true;
        HANDLE h = broker::Pipe::connect(name, kBrokerConnectMs);
        if (h == nullptr) {
            log(L"broker unreachable " + name);
            return false;
        }
        link = std::make_shared<broker::Pipe>(h);
        linked = true;
        std::thread([this, pipe = link] { readLoop(pipe); }).detach();
        log(L"broker " + name);
        return true;
    }
    static std::wstring brokerName() {
        wchar_t buffer[512];
        const DWORD n = GetEnvironmentVariableW(L"VT_BUS_BROKER", buffer, 512);
        return n == 0 || n >= 512 ? std::wstring() : std::wstring(buffer, n);
    }
    static bool brokerNamed() { return !brokerName().empty(); }

    void send(const broker::Frame& frame) {
        if (link) link->send(frame);
    }

    static broker::Frame messageFrame(const Delivered& d) {
        broker::Frame f;
        f.kind = broker::Kind::Message;
        f.header = d.header;
        f.name = d.name;
        f.source = d.source;
        f.payload = d.payload;
        return f;
    }

    // How many subscriptions of other processes match; zero without a broker
    // or when it does not answer in time.
    std::uint32_t remoteMatches(const std::wstring& name) {
        if (!link) return 0;
        broker::Frame query;
        query.kind = broker::Kind::Query;
        query.name = name;
        {
            std::lock_guard<std::mutex> lock(queryMutex);
            query.id = nextToken++;
        }
        if (!link->send(query)) return 0;
        std::unique_lock<std::mutex> lock(queryMutex);
        queryCv.wait_for(lock, std::chrono::milliseconds(kQueryMs),
                         [&] { return linkBroken || answers.count(query.id) != 0; });
        auto it = answers.find(query.id);
        if (it == answers.end()) return 0;
        const std::uint32_t count = it->second;
        answers.erase(it);
        return count;
    }

    // Messages of other processes enter this router as if published here.
    void readLoop(std::shared_ptr<broker::Pipe> pipe) {
        while (auto frame = pipe->receive()) {
            if (frame->kind == broker::Kind::QueryReply) {
                {
                    std::lock_guard<std::mutex> lock(queryMutex);
                    answers[frame->id] = frame->count;
                }
                queryCv.notify_all();
                continue;
            }
            if (frame->kind != broker::Kind::Message) continue;
            auto d = std::make_shared<Delivered>();
            d->header = frame->header;
            d->name = std::move(frame->name);
            d->source = std::move(frame->source);
            d->payload = std::move(frame->payload);
            std::lock_guard<std::mutex> lock(mutex);
            if (d->header.testFlag(MESSAGE_FLAG_REPLY)) {
                completeRequest(d);
            } else {
                deliver(d);
            }
        }
        {
            std::lock_guard<std::mutex> lock(queryMutex);
            linkBroken = true;
        }
        queryCv.notify_all();
        log(L"broker lost");
    }

    void deadlineLoop() {
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            const std::uint64_t now = nowMs();
            std::uint64_t next = std::numeric_limits<std::uint64_t>::max();
            for (auto it = pending.begin(); it != pending.end();) {
                if (it->second->deadline <= now) {
                    Task t;
                    t.request = it->second;
                    t.status = MODULE_STATUS_TIMEOUT;
                    enqueue(it->second->requester, std::move(t));
                    it = pending.erase(it);
                } else {
                    next = std::min(next, it->second->deadline);
                    ++it;
                }
            }
            const std::uint64_t wait = std::max<std::uint64_t>(
                1, next == std::numeric_limits<std::uint64_t>::max() ? kSliceMs
                                                                      : std::min(next - now, kSliceMs));
            deadlineWakeAt = now + wait;
            deadlineCv.wait_for(lock, std::chrono::milliseconds(wait));
        }
    }
};

Router& router() {
    // Never destroyed: threads may still run at process exit.
    static Router* instance = new Router;
    return *instance;
}

std::wstring num(std::uint64_t v) { return std::to_wstring(v); }

constexpr std::uintptr_t kHandleBase = 0x5B000000u;
MessageBusHandle handleOf(std::uint32_t id) {
    return reinterpret_cast<MessageBusHandle>(kHandleBase + static_cast<std::uintptr_t>(id) * 16u);
}
// The number a handle of ours shows in the journal, read from its value, so
// that a line can be built before the router's lock is taken.
std::uint32_t numberOf(MessageBusHandle handle) {
    return static_cast<std::uint32_t>((reinterpret_cast<std::uintptr_t>(handle) - kHandleBase) / 16u);
}

broker::Frame unsubscribeFrame(std::uint32_t id) {
    broker::Frame f;
    f.kind = broker::Kind::Unsubscribe;
    f.id = id;
    return f;
}

bool stringsValid(const wchar_t* a, const wchar_t* b, const wchar_t* c) {
    return a != nullptr && b != nullptr && c != nullptr;
}

// ---- the ten entries ----

std::uint32_t busOpen(MessageBusHandle* out) {
    Router& r = router();
    std::shared_ptr<Endpoint> ep;
    {
        std::lock_guard<std::mutex> lock(r.mutex);
        if (out == nullptr) {
            r.log(L"open null");
            return MODULE_STATUS_INVALID_PARAMETER;
        }
        if (r.scripts.openFailure != 0) {
            r.log(L"open failed " + num(r.scripts.openFailure));
            return r.scripts.openFailure;
        }
        if (!r.pinned) {
            HMODULE self = nullptr;
            GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                               reinterpret_cast<LPCWSTR>(&busOpen), &self);
            DWORD session = 0;
            if (ProcessIdToSessionId(GetCurrentProcessId(), &session)) r.processSession = session;
            r.pinned = true;
        }
        if (!r.joinBroker()) return MODULE_STATUS_UNSUCCESSFUL;
        ep = std::make_shared<Endpoint>();
        ep->id = r.nextEndpointId++;
        ep->handle = handleOf(ep->id);
        const DWORD pid = GetCurrentProcessId();
        std::memcpy(ep->address, "VTBUS", 5);
        std::memcpy(ep->address + 8, &pid, sizeof(pid));
        std::memcpy(ep->address + 12, &ep->id, sizeof(ep->id));
        std::memcpy(ep->route, &pid, sizeof(pid));
        std::memcpy(ep->route + 4, &ep->id, sizeof(ep->id));
        r.endpoints[ep->handle] = ep;
        if (!r.deadlineThreadStarted) {
            r.deadlineThreadStarted = true;
            std::thread([&r] { r.deadlineLoop(); }).detach();
        }
        ep->thread = std::thread([&r, ep] { r.deliveryLoop(ep); });
        *out = ep->handle;
        r.log(L"open " + num(ep->id));
    }
    return MODULE_STATUS_SUCCESS;
}

std::uint32_t busClose(MessageBusHandle handle) {
    Router& r = router();
    std::shared_ptr<Endpoint> ep;
    std::uint64_t dropped = 0;
    std::vector<std::uint32_t> gone;
    {
        std::lock_guard<std::mutex> lock(r.mutex);
        ep = r.find(handle);
        if (!ep) {
            r.log(L"close unknown");
            return MODULE_STATUS_INVALID_HANDLE;
        }
        r.log(L"close " + num(ep->id));
        r.endpoints.erase(handle);
        std::vector<std::shared_ptr<Subscription>> mine;
        r.subscriptions.erase(std::remove_if(r.subscriptions.begin(), r.subscriptions.end(),
                                             [&](const std::shared_ptr<Subscription>& s) {
                                                 if (s->endpoint == ep) {
                                                     mine.push_back(s);
                                                     return true;
                                                 }
                                                 return false;
                                             }),
                              r.subscriptions.end());
        for (auto it = r.pending.begin(); it != r.pending.end();) {
            it = it->second->requester == ep ? r.pending.erase(it) : std::next(it);
        }
        std::lock_guard<std::mutex> epLock(ep->mutex);
        for (auto& s : mine) {
            s->active = false;
            gone.push_back(s->id);
        }
        dropped = ep->queue.size();
        ep->queue.clear();
        ep->closing = true;
    }
    for (std::uint32_t id : gone) r.send(unsubscribeFrame(id));
    ep->cv.notify_all();
    r.finishOutstanding(dropped);
    if (GetCurrentThreadId() == ep->threadId.load()) {
        ep->thread.detach();
    } else if (ep->thread.joinable()) {
        ep->thread.join();
    }
    return MODULE_STATUS_SUCCESS;
}

std::uint32_t busPublishImpl(MessageBusHandle handle, const MessageHeader* header, const wchar_t* name,
                             const wchar_t* source, const wchar_t* payload, bool ex) {
    Router& r = router();
    const wchar_t* entry = ex ? L"publishEx " : L"publish ";
    const bool valid = header != nullptr && stringsValid(name, source, payload);
    // The copy and the journal line are made before the lock is taken.
    std::shared_ptr<Delivered> d;
    std::wstring line;
    const bool isReply = valid && header->testFlag(MESSAGE_FLAG_REPLY);
    if (valid) {
        d = copyOf(header, name, source, payload);
        if (r.journalOpen()) {
            line = std::wstring(entry) + num(numberOf(handle)) + L" " + name + (isReply ? L" reply" : L"");
        }
    }
    std::optional<broker::Frame> out;
    const std::uint32_t status = [&]() -> std::uint32_t {
        std::lock_guard<std::mutex> lock(r.mutex);
        auto ep = r.find(handle);
        if (!ep) {
            r.log(std::wstring(entry) + L"unknown");
            return MODULE_STATUS_INVALID_HANDLE;
        }
        if (!valid) {
            r.log(std::wstring(entry) + num(ep->id) + L" invalid");
            return MODULE_STATUS_INVALID_PARAMETER;
        }
        if (!line.empty()) r.log(std::move(line));
        if (r.scripts.publishCountdown != 0 && --r.scripts.publishCountdown == 0) {
            return r.scripts.publishFailure;
        }
        r.stamp(*d, *ep);
        if (isReply) {
            // A reply to a request of another process goes out through the broker.
            if (!r.completeRequest(d) && r.link) out = Router::messageFrame(*d);
            return MODULE_STATUS_SUCCESS;
        }
        d->header.clearFlag(MESSAGE_FLAG_REQUEST);
        r.deliver(d);
        if (r.link) out = Router::messageFrame(*d);
        return MODULE_STATUS_SUCCESS;
    }();
    if (out) r.send(*out);
    return status;
}

std::uint32_t busPublish(MessageBusHandle h, const MessageHeader* hd, const wchar_t* n, const wchar_t* s,
                         const wchar_t* p) {
    return busPublishImpl(h, hd, n, s, p, false);
}
std::uint32_t busPublishEx(MessageBusHandle h, const MessageHeader* hd, const wchar_t* n,
                           const wchar_t* s, const wchar_t* p) {
    return busPublishImpl(h, hd, n, s, p, true);
}

std::uint32_t busRequestImpl(MessageBusHandle handle, std::uint64_t replyIndex, void* context,
                             ReplyCallbackFn callback, const MessageHeader* header, const wchar_t* name,
                             const wchar_t* source, const wchar_t* payload, std::uint64_t timeoutMs,
                             bool ex) {
    Router& r = router();
    std::shared_ptr<PendingRequest> req;
    bool waitForReply = false;
    std::optional<broker::Frame> out;
    // Subscribers of other processes count when none is here; asked before
    // the lock is taken, as the answer comes in on the reader thread.
    bool remote = false;
    if (name != nullptr && r.linked) {
        bool askBroker = false;
        {
            std::lock_guard<std::mutex> lock(r.mutex);
            askBroker = r.link != nullptr && r.matching(name).empty();
        }
        remote = askBroker && r.remoteMatches(name) > 0;
    }
    const wchar_t* entry = ex ? L"requestEx " : L"request ";
    const bool valid = header != nullptr && callback != nullptr && stringsValid(name, source, payload);
    // The copy and the journal line are made before the lock is taken.
    std::shared_ptr<Delivered> d;
    std::wstring line;
    if (valid) {
        d = copyOf(header, name, source, payload);
        d->header.clearFlag(MESSAGE_FLAG_REPLY);
        d->header.setFlag(MESSAGE_FLAG_REQUEST);
        if (r.journalOpen()) {
            line = std::wstring(entry) + num(numberOf(handle)) + L" " + name + L" index=" +
                   num(replyIndex) + L" timeout=" + num(timeoutMs);
        }
    }
    bool wakeDeadlines = false;
    {
        std::lock_guard<std::mutex> lock(r.mutex);
        auto ep = r.find(handle);
        if (!ep) {
            r.log(std::wstring(entry) + L"unknown");
            return MODULE_STATUS_INVALID_HANDLE;
        }
        if (!valid) {
            r.log(std::wstring(entry) + num(ep->id) + L" invalid");
            return MODULE_STATUS_INVALID_PARAMETER;
        }
        if (!line.empty()) r.log(std::move(line));
        if (r.scripts.requestCountdown != 0 && --r.scripts.requestCountdown == 0) {
            return r.scripts.requestFailure;
        }
        const auto subscribers = r.matching(d->name);
        if (subscribers.empty() && !remote) {
            return MODULE_STATUS_NO_SUBSCRIBERS;
        }
        r.stamp(*d, *ep);
        req = std::make_shared<PendingRequest>();
        req->sequence = d->header.sequence;
        req->requester = ep;
        req->replyIndex = replyIndex;
        req->context = context;
        req->callback = callback;
        req->deadline = saturatingAdd(nowMs(), timeoutMs);
        if (r.scripts.timeoutAtOnce) {
            Task t;
            t.request = req;
            t.status = MODULE_STATUS_TIMEOUT;
            r.enqueue(ep, std::move(t));
            return MODULE_STATUS_SUCCESS;
        }
        r.pending[req->sequence] = req;
        wakeDeadlines = req->deadline < r.deadlineWakeAt;
        r.deliverTo(d, subscribers);
        if (r.link) out = Router::messageFrame(*d);
        waitForReply = r.scripts.replyBeforeReturn;
    }
    if (out) r.send(*out);
    if (wakeDeadlines) r.deadlineCv.notify_all();
    if (waitForReply) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (!req->done.load() && std::chrono::steady_clock::now() < until) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    return MODULE_STATUS_SUCCESS;
}

std::uint32_t busRequest(MessageBusHandle h, std::uint64_t i, void* c, ReplyCallbackFn cb,
                         const MessageHeader* hd, const wchar_t* n, const wchar_t* s, const wchar_t* p,
                         std::uint64_t t) {
    return busRequestImpl(h, i, c, cb, hd, n, s, p, t, false);
}
std::uint32_t busRequestEx(MessageBusHandle h, std::uint64_t i, void* c, ReplyCallbackFn cb,
                           const MessageHeader* hd, const wchar_t* n, const wchar_t* s, const wchar_t* p,
                           std::uint64_t t) {
    return busRequestImpl(h, i, c, cb, hd, n, s, p, t, true);
}

std::uint32_t busSubscribeImpl(MessageBusHandle handle, void* context, SubscriptionCallbackFn callback,
                               const wchar_t* text, bool filter) {
    Router& r = router();
    std::optional<broker::Frame> out;
    const std::uint32_t id = [&]() -> std::uint32_t {
        std::lock_guard<std::mutex> lock(r.mutex);
        auto ep = r.find(handle);
        const wchar_t* entry = filter ? L"subscribeFilter " : L"subscribe ";
        if (!ep) {
            r.log(std::wstring(entry) + L"unknown");
            return 0;
        }
        if (callback == nullptr || text == nullptr) {
            r.log(std::wstring(entry) + num(ep->id) + L" invalid");
            return 0;
        }
        if (r.scripts.subscribeRefuse) {
            r.log(std::wstring(entry) + num(ep->id) + L" " + text + L" refused");
            return 0;
        }
        auto s = std::make_shared<Subscription>();
        s->endpoint = ep;
        s->context = context;
        s->callback = callback;
        s->text = text;
        s->filter = filter;
        if (filter) {
            if (s->text.size() > kMaxRegexMatchLength) {
                r.log(std::wstring(entry) + num(ep->id) + L" too long");
                return 0;
            }
            try {
                s->expression.assign(s->text, kBusRegexFlags);
            } catch (...) {
                r.log(std::wstring(entry) + num(ep->id) + L" " + text + L" invalid expression");
                return 0;
            }
        }
        s->id = r.nextSubscriptionId++;
        r.subscriptions.push_back(s);
        r.log(std::wstring(entry) + num(ep->id) + L" " + text + L" id=" + num(s->id));
        if (r.link) {
            out.emplace();
            out->kind = broker::Kind::Subscribe;
            out->id = s->id;
            out->filter = filter;
            out->name = s->text;
        }
        return s->id;
    }();
    if (out) r.send(*out);
    return id;
}

std::uint32_t busSubscribe(MessageBusHandle h, void* c, SubscriptionCallbackFn cb, const wchar_t* n) {
    return busSubscribeImpl(h, c, cb, n, false);
}
std::uint32_t busSubscribeFilter(MessageBusHandle h, void* c, SubscriptionCallbackFn cb,
                                 const wchar_t* e) {
    return busSubscribeImpl(h, c, cb, e, true);
}

std::uint32_t busUnsubscribe(MessageBusHandle handle, std::uint32_t id) {
    Router& r = router();
    std::shared_ptr<Endpoint> ep;
    {
        std::lock_guard<std::mutex> lock(r.mutex);
        ep = r.find(handle);
        if (!ep) {
            r.log(L"unsubscribe unknown");
            return MODULE_STATUS_INVALID_HANDLE;
        }
        r.log(L"unsubscribe " + num(ep->id) + L" id=" + num(id));
        auto it = std::find_if(r.subscriptions.begin(), r.subscriptions.end(),
                               [&](const std::shared_ptr<Subscription>& s) {
                                   return s->id == id && s->endpoint == ep;
                               });
        if (it == r.subscriptions.end()) return MODULE_STATUS_NOT_FOUND;
        std::shared_ptr<Subscription> s = *it;
        r.subscriptions.erase(it);
        std::lock_guard<std::mutex> epLock(ep->mutex);
        s->active = false;
    }
    r.send(unsubscribeFrame(id));
    Router::waitNotRunning(ep);
    return MODULE_STATUS_SUCCESS;
}

std::uint32_t busUnregisterReplyCallback(MessageBusHandle handle, ReplyCallbackFn callback) {
    Router& r = router();
    std::shared_ptr<Endpoint> ep;
    {
        std::lock_guard<std::mutex> lock(r.mutex);
        ep = r.find(handle);
        if (!ep) {
            r.log(L"unregisterReplyCallback unknown");
            return MODULE_STATUS_INVALID_HANDLE;
        }
        r.log(L"unregisterReplyCallback " + num(ep->id));
        std::vector<std::shared_ptr<PendingRequest>> mine;
        for (auto it = r.pending.begin(); it != r.pending.end();) {
            if (it->second->requester == ep && it->second->callback == callback) {
                mine.push_back(it->second);
                it = r.pending.erase(it);
            } else {
                ++it;
            }
        }
        std::lock_guard<std::mutex> epLock(ep->mutex);
        for (auto& p : mine) p->cancelled = true;
        for (auto& t : ep->queue) {
            if (t.request && t.request->callback == callback) t.request->cancelled = true;
        }
    }
    Router::waitNotRunning(ep);
    return MODULE_STATUS_SUCCESS;
}

const MessageBusFunctions kTable = {
    &busOpen,        &busClose,           &busPublish,    &busRequest,
    &busSubscribe,   &busSubscribeFilter, &busUnsubscribe, &busUnregisterReplyCallback,
    &busPublishEx,   &busRequestEx,
};

std::uint32_t inject(const MessageHeader& header, const wchar_t* name, const wchar_t* source,
                     const wchar_t* payload) {
    if (!stringsValid(name, source, payload)) return MODULE_STATUS_INVALID_PARAMETER;
    Router& r = router();
    std::lock_guard<std::mutex> lock(r.mutex);
    auto d = std::make_shared<Delivered>();
    d->header = header;
    d->name = name;
    d->source = source;
    d->payload = payload;
    r.log(std::wstring(L"inject ") + name);
    r.deliver(d);
    return MODULE_STATUS_SUCCESS;
}

}  // namespace

extern "C" {

__declspec(dllexport) void* CreateObject(std::uint32_t version) {
    Router& r = router();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.log(L"CreateObject " + num(version));
    if (r.scripts.createObjectNull || version != MESSAGE_BUS_INTERFACE_VERSION) return nullptr;
    return const_cast<MessageBusFunctions*>(&kTable);
}

__declspec(dllexport) void ReleaseObject(void*) {}

__declspec(dllexport) std::uint32_t GetVersionNum() { return 2001000; }

__declspec(dllexport) const char* GetVersionStr() { return "2.1.0"; }

__declspec(dllexport) void VtBusScript_Reset() {
    Router& r = router();
    {
        std::lock_guard<std::mutex> lock(r.mutex);
        r.scripts = Scripts();
    }
    std::lock_guard<std::mutex> lock(r.journalMutex);
    r.journal.clear();
}

__declspec(dllexport) void VtBusScript_SetCreateObjectNull(int on) {
    std::lock_guard<std::mutex> lock(router().mutex);
    router().scripts.createObjectNull = on != 0;
}

__declspec(dllexport) void VtBusScript_SetOpenFailure(std::uint32_t status) {
    std::lock_guard<std::mutex> lock(router().mutex);
    router().scripts.openFailure = status;
}

__declspec(dllexport) void VtBusScript_SetSubscribeRefuse(int on) {
    std::lock_guard<std::mutex> lock(router().mutex);
    router().scripts.subscribeRefuse = on != 0;
}

__declspec(dllexport) void VtBusScript_FailNthPublish(std::uint32_t n, std::uint32_t status) {
    std::lock_guard<std::mutex> lock(router().mutex);
    router().scripts.publishCountdown = n;
    router().scripts.publishFailure = status;
}

__declspec(dllexport) void VtBusScript_FailNthRequest(std::uint32_t n, std::uint32_t status) {
    std::lock_guard<std::mutex> lock(router().mutex);
    router().scripts.requestCountdown = n;
    router().scripts.requestFailure = status;
}

__declspec(dllexport) void VtBusScript_SetRequestTimeoutAtOnce(int on) {
    std::lock_guard<std::mutex> lock(router().mutex);
    router().scripts.timeoutAtOnce = on != 0;
}

__declspec(dllexport) void VtBusScript_SetReplyBeforeRequestReturns(int on) {
    std::lock_guard<std::mutex> lock(router().mutex);
    router().scripts.replyBeforeReturn = on != 0;
}

__declspec(dllexport) void VtBusScript_SetSenderSessionId(std::int64_t session) {
    std::lock_guard<std::mutex> lock(router().mutex);
    router().scripts.sessionOverride = session;
}

__declspec(dllexport) std::uint32_t VtBusScript_InjectWithSession(const wchar_t* name,
                                                                  const wchar_t* source,
                                                                  const wchar_t* payload,
                                                                  std::uint32_t senderSessionId) {
    MessageHeader h;
    templateHeader(&h);
    {
        std::lock_guard<std::mutex> lock(router().mutex);
        h.sequence = ++router().sequence;
    }
    h.extension.senderSessionId = senderSessionId;
    return inject(h, name, source, payload);
}

__declspec(dllexport) std::uint32_t VtBusScript_InjectRawHeader(const void* header,
                                                                std::uint32_t headerBytes,
                                                                const wchar_t* name,
                                                                const wchar_t* source,
                                                                const wchar_t* payload) {
    if (header == nullptr || headerBytes < MESSAGE_HEADER_V1_SIZE) return MODULE_STATUS_INVALID_PARAMETER;
    // The delivered block is always 108 bytes; a 100-byte header keeps zero
    // beyond its end, as the receiver reads only 100 bytes of a version-1 header.
    MessageHeader h;
    std::memset(static_cast<void*>(&h), 0, sizeof(h));
    std::memcpy(static_cast<void*>(&h), header,
                std::min<std::size_t>(headerBytes, MESSAGE_HEADER_V2_SIZE));
    return inject(h, name, source, payload);
}

__declspec(dllexport) int VtBusScript_WaitIdle(std::uint32_t timeoutMs) {
    Router& r = router();
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::unique_lock<std::mutex> lock(r.idleMutex);
    while (r.outstanding != 0) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= until) return 0;
        const auto slice = std::min<std::chrono::steady_clock::duration>(until - now,
                                                                         std::chrono::milliseconds(kSliceMs));
        r.idleCv.wait_for(lock, slice);
    }
    return 1;
}

__declspec(dllexport) std::uint32_t VtBusScript_JournalCount() {
    std::lock_guard<std::mutex> lock(router().journalMutex);
    return static_cast<std::uint32_t>(router().journal.size());
}

__declspec(dllexport) std::uint32_t VtBusScript_JournalEntry(std::uint32_t index, wchar_t* buffer,
                                                             std::uint32_t capacity) {
    std::lock_guard<std::mutex> lock(router().journalMutex);
    if (index >= router().journal.size()) return 0;
    const std::wstring& line = router().journal[index];
    if (buffer != nullptr && capacity > 0) {
        const std::size_t n = std::min<std::size_t>(line.size(), capacity - 1);
        std::memcpy(buffer, line.data(), n * sizeof(wchar_t));
        buffer[n] = L'\0';
    }
    return static_cast<std::uint32_t>(line.size());
}

__declspec(dllexport) std::uint32_t VtBusScript_HandleId(void* handle) {
    std::lock_guard<std::mutex> lock(router().mutex);
    auto ep = router().find(handle);
    return ep ? ep->id : 0;
}

__declspec(dllexport) std::uint32_t VtBusScript_OpenHandleCount() {
    std::lock_guard<std::mutex> lock(router().mutex);
    return static_cast<std::uint32_t>(router().endpoints.size());
}

}  // extern "C"
