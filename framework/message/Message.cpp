#include "framework/message/Message.h"

#include "framework/message/testing/MessageTesting.h"
#include "platform/files/FileUtils.h"

#include <windows.h>

#include <atomic>
#include <cstring>
#include <new>

namespace Tessil {

namespace {

std::atomic<int> g_failCreations{0};

std::wstring computeDefaultSender() {
    HMODULE module = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCWSTR>(&computeDefaultSender), &module)) {
        return std::wstring();
    }
    const std::wstring full = Kelmora::ModuleFilePath(module);
    const std::size_t slash = full.find_last_of(L'\\');
    return slash == std::wstring::npos ? full : full.substr(slash + 1);
}

}  // namespace

namespace testing {
void failNextMessageCreations(int count) { g_failCreations.store(count); }
}  // namespace testing

const std::wstring& Message::defaultSender() {
    static const std::wstring sender = computeDefaultSender();
    return sender;
}

Message::Message(const std::wstring& name, const std::wstring& source, const std::wstring& payload)
    : name_(name), source_(source), payload_(payload), header_(new MessageHeader) {
    initHeader(header_.get());
    header_->totalSize = static_cast<std::uint32_t>(
        114 + 2 * (name_.size() + source_.size() + payload_.size()));
}

Message::~Message() = default;

std::shared_ptr<Message> Message::create(const std::wstring& name, const std::wstring& source,
                                         const std::wstring& payload) {
    try {
        int pending = g_failCreations.load();
        while (pending > 0) {
            if (g_failCreations.compare_exchange_weak(pending, pending - 1)) {
                throw std::bad_alloc();
            }
        }
        const std::wstring& sender = source.empty() ? defaultSender() : source;
        return std::shared_ptr<Message>(new Message(name, sender, payload));
    } catch (...) {
        return std::shared_ptr<Message>();
    }
}

std::shared_ptr<Message> Message::createReply(const std::wstring& name, const std::wstring& source,
                                              const std::wstring& payload) const {
    std::shared_ptr<Message> reply = create(name, source, payload);
    if (!reply) {
        return reply;
    }
    const MessageHeader* request = header_.get();
    if (request->testFlag(MESSAGE_FLAG_REQUEST)) {
        MessageHeader* h = reply->getHeader();
        h->setFlag(MESSAGE_FLAG_REPLY);
        std::memcpy(h->recipientRoute, request->senderRoute, sizeof(h->recipientRoute));
        std::memcpy(h->recipientAddress, request->senderAddress, sizeof(h->recipientAddress));
        h->replyToSequence = request->sequence;
    }
    return reply;
}

}  // namespace Tessil
