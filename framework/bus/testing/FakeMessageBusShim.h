// Test support: an in-process shim that records every call and lets a test
// deliver messages and replies through the real plain callbacks.
#pragma once

#include "framework/bus/MessageBusShim.h"
#include "framework/bus/MessageBusShimImpl.h"
#include "framework/bus/ProcessAPI.h"

#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace Tessil::testing {

class FakeMessageBusShim : public MessageBusShim {
public:
    struct Published {
        MessageHeader header;
        std::wstring name;
        std::wstring source;
        std::wstring payload;
        bool ex;
    };
    struct Request {
        std::shared_ptr<Message> message;
        std::uint64_t index;
        void* context;
        std::uint64_t timeoutMs;
        bool ex;
    };
    struct Subscription {
        std::uint32_t id;
        std::wstring text;
        void* context;
        bool filter;
    };

    std::uint32_t publish(const std::shared_ptr<Message>& message, bool ex) override {
        std::lock_guard<std::mutex> lock(mutex);
        published.push_back(Published{*message->getHeader(), message->getName(),
                                      message->getSource(), message->getPayload(), ex});
        return next(publishResults);
    }
    std::uint32_t request(const std::shared_ptr<Message>& message, std::uint64_t index,
                          void* context, std::uint64_t timeoutMs, bool ex) override {
        Request r{message, index, context, timeoutMs, ex};
        std::function<void(const Request&)> hook;
        std::uint32_t result;
        {
            std::lock_guard<std::mutex> lock(mutex);
            requests.push_back(r);
            result = next(requestResults);
            hook = onRequest;
        }
        if (hook && result == 0) {
            hook(r);
        }
        return result;
    }
    std::uint32_t unregisterReplyCallback() override {
        std::lock_guard<std::mutex> lock(mutex);
        ++unregisterCount;
        return 0;
    }
    std::uint32_t subscribe(const std::wstring& name, void* context) override {
        return add(name, context, false);
    }
    std::uint32_t subscribeFilter(const std::wstring& expression, void* context) override {
        return add(expression, context, true);
    }
    std::uint32_t unsubscribe(std::uint32_t id) override {
        std::function<void(std::uint32_t)> hook;
        {
            std::lock_guard<std::mutex> lock(mutex);
            unsubscribed.push_back(id);
            for (auto it = subscriptions.begin(); it != subscriptions.end(); ++it) {
                if (it->id == id) {
                    subscriptions.erase(it);
                    break;
                }
            }
            hook = onUnsubscribe;
        }
        if (hook) {
            hook(id);  // as a bus waiting for the subscription's running handler
        }
        return 0;
    }

    // Delivers through SubscriptionCallback to every subscription whose text
    // equals subscriptionText; answers the last status (or 0xFFFFFFFF when none).
    std::uint32_t deliver(const std::wstring& subscriptionText, const MessageHeader* header,
                          const std::wstring& name, const std::wstring& source = L"src",
                          const std::wstring& payload = L"") {
        std::vector<Subscription> matching;
        {
            std::lock_guard<std::mutex> lock(mutex);
            for (const auto& s : subscriptions) {
                if (s.text == subscriptionText) matching.push_back(s);
            }
        }
        std::uint32_t status = 0xFFFFFFFFu;
        for (const auto& s : matching) {
            status = SubscriptionCallback(s.context, header, name.c_str(), source.c_str(),
                                          payload.c_str());
        }
        return status;
    }

    static std::uint32_t reply(const Request& r, std::uint32_t status,
                               const std::wstring& name = L"Reply") {
        MessageHeader h;
        initHeader(&h);
        h.sequence = 77;
        return ReplyCallback(r.context, r.index, &h, name.c_str(), L"replier", L"{}", status);
    }

    std::mutex mutex;
    std::vector<Published> published;
    std::deque<std::uint32_t> publishResults;
    std::vector<Request> requests;
    std::deque<std::uint32_t> requestResults;
    std::function<void(const Request&)> onRequest;
    std::function<void(std::uint32_t)> onUnsubscribe;
    std::vector<Subscription> subscriptions;
    std::vector<std::uint32_t> unsubscribed;
    std::uint32_t nextId = 1;
    bool refuse = false;
    int unregisterCount = 0;

private:
    static std::uint32_t next(std::deque<std::uint32_t>& q) {
        if (q.empty()) return 0;
        std::uint32_t v = q.front();
        q.pop_front();
        return v;
    }
    std::uint32_t add(const std::wstring& text, void* context, bool filter) {
        std::lock_guard<std::mutex> lock(mutex);
        if (refuse) return 0;
        std::uint32_t id = nextId++;
        subscriptions.push_back(Subscription{id, text, context, filter});
        return id;
    }
};

// A process access with a chosen session id (or a failing look-up).
class FakeProcessAPI : public ProcessAPI {
public:
    explicit FakeProcessAPI(DWORD session, bool succeed = true) : session_(session), ok_(succeed) {}
    DWORD getCurrentProcessId() override { return 4242; }
    BOOL processIdToSessionId(DWORD, DWORD* session) override {
        if (!ok_) return FALSE;
        *session = session_;
        return TRUE;
    }

private:
    DWORD session_;
    bool ok_;
};

}  // namespace Tessil::testing
