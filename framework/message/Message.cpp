#include "framework/message/Message.h"

#include "framework/message/MessageCreationSeam.h"

#include <cstring>
#include <new>

namespace Tessil {

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
        if (internal::messageCreationFails()) {
            throw std::bad_alloc();
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
