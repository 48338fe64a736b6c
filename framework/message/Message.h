// A bus message: name, source and payload (wide strings) and its own
// 108-byte binary header. Always made by create and held by shared pointer.
#pragma once

#include "framework/message/MessageHeader.h"

#include <memory>
#include <string>

namespace Tessil {

class Message {
public:
    virtual ~Message();
    Message(const Message&) = delete;
    Message& operator=(const Message&) = delete;

    // A new message with the template header and totalSize counted from the
    // strings; an empty source becomes the module's file name. Never throws:
    // any failure gives an empty pointer.
    static std::shared_ptr<Message> create(const std::wstring& name, const std::wstring& source,
                                           const std::wstring& payload);

    // A new message addressed as the reply to this one when this one carries
    // MESSAGE_FLAG_REQUEST; a plain message otherwise. Empty on failure.
    std::shared_ptr<Message> createReply(const std::wstring& name, const std::wstring& source,
                                         const std::wstring& payload) const;

    const std::wstring& getName() const { return name_; }
    const std::wstring& getSource() const { return source_; }
    const std::wstring& getPayload() const { return payload_; }
    MessageHeader* getHeader() const { return header_.get(); }

    // The file name of the module holding this code, computed once ("" when unknown).
    static const std::wstring& defaultSender();

private:
    Message(const std::wstring& name, const std::wstring& source, const std::wstring& payload);

    std::wstring name_;
    std::wstring source_;
    std::wstring payload_;
    std::unique_ptr<MessageHeader> header_;
};

using MessagePtr = std::shared_ptr<Message>;

}  // namespace Tessil
