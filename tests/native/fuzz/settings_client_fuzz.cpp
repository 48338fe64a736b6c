// The settings client reading what another process sends: replies to each of
// its requests (any reply status, any payload, any name in it) and the
// notifications it subscribes to. Nothing may crash, and what the client
// answers must follow from the reply: a result only for a name it asked for,
// a value only beside a true result, typed values only from their text.
// Built natively with the logging stand-in of tests/native/stubs.
#include "framework/settings/SettingsManagerClient.h"
#include "tests/native/fuzz/FuzzInput.h"

#include <cwchar>
#include <functional>
#include <memory>
#include <string>
#include <vector>

using namespace Tessil;

namespace {

// A reply whose outcome is known at once.
class FixedReply : public Reply {
public:
    FixedReply(ReplyStatus status, std::shared_ptr<Message> message)
        : status_(status), message_(std::move(message)) {}
    ReplyStatus getStatus() override { return status_; }
    std::shared_ptr<Message> getMessage() override {
        return status_ == REPLY_STATUS_RECEIVED ? message_ : nullptr;
    }
    ReplyStatus wait() override { return status_; }
    ReplyStatus waitFor(const std::int64_t&) override { return status_; }

private:
    ReplyStatus status_;
    std::shared_ptr<Message> message_;
};

// Answers every request with the scripted reply and keeps the handlers it is
// given, so that notifications can be run through them.
class ScriptedBus : public MessageBus {
public:
    std::uint32_t requestStatus = 0;
    ReplyStatus replyStatus = REPLY_STATUS_RECEIVED;
    std::wstring replyPayload;
    std::vector<MessageHandler> handlers;

    std::uint32_t publish(const std::shared_ptr<Message>&) override { return 0; }
    std::uint32_t publishEx(const std::shared_ptr<Message>&) override { return 0; }
    std::uint32_t request(const std::shared_ptr<Message>&, ReplyHandler, const std::uint64_t&) override {
        return requestStatus;
    }
    std::uint32_t request(const std::shared_ptr<Message>& message, std::shared_ptr<Reply>& reply,
                          const std::uint64_t&) override {
        FUZZ_CHECK(message != nullptr);
        if (requestStatus != 0) return requestStatus;
        reply = std::make_shared<FixedReply>(
            replyStatus, Message::create(message->getName() + L".Response", L"fuzz", replyPayload));
        return 0;
    }
    std::uint32_t requestEx(const std::shared_ptr<Message>& m, ReplyHandler h, const std::uint64_t& t) override {
        return request(m, std::move(h), t);
    }
    std::uint32_t requestEx(const std::shared_ptr<Message>& m, std::shared_ptr<Reply>& r,
                            const std::uint64_t& t) override {
        return request(m, r, t);
    }
    std::uint32_t subscribe(const std::wstring&, const std::wstring&, MessageHandler h) override {
        handlers.push_back(std::move(h));
        return 0;
    }
    std::uint32_t subscribe(const std::wstring& n, MessageHandler h) override { return subscribe(n, n, std::move(h)); }
    std::uint32_t subscribeSession(const std::wstring& n, const std::wstring& a, MessageHandler h) override {
        return subscribe(n, a, std::move(h));
    }
    std::uint32_t subscribeSession(const std::wstring& n, MessageHandler h) override {
        return subscribe(n, n, std::move(h));
    }
    std::uint32_t subscribeFilter(const std::wstring& e, const std::wstring& a, MessageHandler h) override {
        return subscribe(e, a, std::move(h));
    }
    std::uint32_t subscribeFilter(const std::wstring& e, MessageHandler h) override {
        return subscribe(e, e, std::move(h));
    }
    std::uint32_t subscribeFilterSession(const std::wstring& e, const std::wstring& a, MessageHandler h) override {
        return subscribe(e, a, std::move(h));
    }
    std::uint32_t subscribeFilterSession(const std::wstring& e, MessageHandler h) override {
        return subscribe(e, e, std::move(h));
    }
    std::uint32_t unsubscribe(const std::wstring&) override { return 0; }
};

const std::wstring kName = L"Vantrel.Setting";
const std::vector<std::wstring> kNames = {L"a", L"b", kName};

// A typed value read back must have come from a text that says so.
void CheckTyped(SettingsManagerClient& client, ScriptedBus& bus) {
    std::wstring text;
    const bool hasText = client.getProperty(kName, text, 10);
    int asInt = 0;
    bool asBool = false;
    unsigned int asUnsigned = 0;
    unsigned long asUnsignedLong = 0;
    unsigned long long asU64 = 0;
    long long asI64 = 0;
    double asDouble = 0;
    const bool results[] = {
        client.getProperty(kName, asInt, 10),      client.getProperty(kName, asBool, 10),
        client.getProperty(kName, asUnsigned, 10), client.getProperty(kName, asUnsignedLong, 10),
        client.getProperty(kName, asU64, 10),      client.getProperty(kName, asI64, 10),
        client.getProperty(kName, asDouble, 10),
    };
    for (const bool ok : results) {
        FUZZ_CHECK(!ok || hasText);
    }
    if (results[0]) {
        wchar_t* end = nullptr;
        FUZZ_CHECK(std::wcstoll(text.c_str(), &end, 10) == asInt);
    }
    if (results[4]) {
        wchar_t* end = nullptr;
        FUZZ_CHECK(std::wcstoull(text.c_str(), &end, 10) == asU64);
    }
    (void)bus;
}

void CheckLists(SettingsManagerClient& client) {
    PropertyValues values;
    const PropertyResults got = client.getProperties(kNames, values, 10);
    FUZZ_CHECK(got.size() == kNames.size());
    for (const auto& [name, value] : values) {
        auto it = got.find(name);
        FUZZ_CHECK(it != got.end() && it->second);
    }
    for (const PropertyResults& results :
         {client.setProperties({{L"a", L"1"}, {L"b", L"2"}}, 10),
          client.setVolatileProperties({{L"a", L"1"}}, 10), client.removeProperties(kNames, 10)}) {
        for (const auto& [name, ok] : results) {
            FUZZ_CHECK(name == L"a" || name == L"b" || name == kName);
            (void)ok;
        }
    }
    PropertyValues byPrefix;
    client.getPropertiesByPrefix(L"Vantrel.", byPrefix, 10);
    client.removePropertiesByPrefix(std::vector<std::wstring>{L"Vantrel."}, 10);
    client.removePropertiesByPrefix(L"Vantrel.", 10);
}

void CheckSingles(SettingsManagerClient& client) {
    client.setProperty(kName, std::wstring(L"v"), 10);
    client.setProperty(kName, 1.5, 10);
    client.setVolatileProperty(kName, 7, 10);
    client.removeProperty(kName, 10);
}

void CheckNotifications(SettingsManagerClient& client, ScriptedBus& bus, const std::wstring& payload) {
    bus.handlers.clear();
    std::vector<std::wstring> names;
    client.subscribePropertySet([&](const std::wstring& n) { names.push_back(n); }, kName);
    client.subscribePropertySet([&](const std::wstring& n) { names.push_back(n); });
    client.subscribePropertyRemoved([&](const std::wstring& n) { names.push_back(n); });
    client.subscribeSetByPrefix([&](const std::wstring& n, const std::wstring&) { names.push_back(n); },
                                L"Vantrel.");
    client.subscribeDeleteByPrefix([&](const std::wstring& n) { names.push_back(n); }, L"Vantrel.");
    auto message = Message::create(L"SettingsManager.Notify.Set.Vantrel.X", L"fuzz", payload);
    for (const auto& handler : bus.handlers) {
        FUZZ_CHECK(handler != nullptr);
        handler(message);
        handler(nullptr);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    auto bus = std::make_shared<ScriptedBus>();
    // The first byte picks the bus's answer, the rest is the payload.
    const std::uint8_t mode = data[0];
    bus->requestStatus = (mode & 0x80) != 0 ? 0x80000002u : 0;
    bus->replyStatus = mode & 0x03;
    bus->replyPayload = fuzz::WideFromBytes(data + 1, size - 1);
    SettingsManagerClient client(bus);
    CheckTyped(client, *bus);
    CheckLists(client);
    CheckSingles(client);
    CheckNotifications(client, *bus, bus->replyPayload);
    return 0;
}
