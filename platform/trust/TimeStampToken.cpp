#include "platform/trust/TimeStampToken.h"

namespace Tessil {
namespace {

constexpr std::uint8_t kSequenceTag = 0x30;
constexpr std::uint8_t kIntegerTag = 0x02;
constexpr std::uint8_t kObjectIdTag = 0x06;
constexpr std::uint8_t kOctetStringTag = 0x04;
constexpr std::uint8_t kSetTag = 0x31;
constexpr std::uint8_t kContextZeroTag = 0xA0;
constexpr std::uint8_t kAnyTag = 0;

// A bounded reader of DER elements with definite lengths.
class DerReader {
public:
    DerReader(const std::uint8_t* data, std::size_t size) : at_(data), end_(data ? data + size : data) {}

    bool AtEnd() const { return at_ == end_; }

    // Takes the next element when its tag is the one given (any tag: 0).
    std::optional<DerReader> Take(std::uint8_t tag) {
        if (end_ - at_ < 2 || (tag != kAnyTag && at_[0] != tag)) return std::nullopt;
        const std::uint8_t* p = at_ + 1;
        std::size_t length = *p++;
        if (length & 0x80) {
            std::size_t count = length & 0x7F;
            if (count == 0 || count > 4 || static_cast<std::size_t>(end_ - p) < count)
                return std::nullopt;
            length = 0;
            for (std::size_t i = 0; i < count; ++i) length = (length << 8) | *p++;
        }
        if (static_cast<std::size_t>(end_ - p) < length) return std::nullopt;
        DerReader content(p, length);
        content.element_ = at_;
        at_ = p + length;
        return content;
    }

    // The whole element this content was taken from, tag and length included.
    std::vector<std::uint8_t> Element() const { return {element_ ? element_ : at_, end_}; }

    std::vector<std::uint8_t> Bytes() const { return {at_, end_}; }

    // Dotted text of an object identifier's content.
    std::optional<std::string> ObjectId() const {
        if (AtEnd()) return std::nullopt;
        std::string text;
        unsigned long long value = 0;
        bool first = true;
        for (const std::uint8_t* p = at_; p < end_; ++p) {
            if (value > (~0ull >> 7)) return std::nullopt;
            value = (value << 7) | (*p & 0x7F);
            if (*p & 0x80) {
                if (p + 1 == end_) return std::nullopt;
                continue;
            }
            if (first) {
                unsigned long long arc = value < 80 ? value / 40 : 2;
                text = std::to_string(arc) + "." + std::to_string(value - arc * 40);
                first = false;
            } else {
                text += "." + std::to_string(value);
            }
            value = 0;
        }
        return text;
    }

private:
    const std::uint8_t* at_;
    const std::uint8_t* end_;
    const std::uint8_t* element_ = nullptr;
};

}  // namespace

std::optional<TimeStampImprint> ParseTstInfoImprint(const std::uint8_t* data, std::size_t size) {
    DerReader whole(data, size);
    auto info = whole.Take(kSequenceTag);
    if (!info || !whole.AtEnd()) return std::nullopt;
    // version, policy, messageImprint { AlgorithmIdentifier, hashedMessage }
    if (!info->Take(kIntegerTag) || !info->Take(kObjectIdTag)) return std::nullopt;
    auto imprint = info->Take(kSequenceTag);
    if (!imprint) return std::nullopt;
    auto algorithm = imprint->Take(kSequenceTag);
    if (!algorithm) return std::nullopt;
    auto oid = algorithm->Take(kObjectIdTag);
    auto digest = imprint->Take(kOctetStringTag);
    if (!oid || !digest || !imprint->AtEnd()) return std::nullopt;
    auto name = oid->ObjectId();
    if (!name) return std::nullopt;
    return TimeStampImprint{*name, digest->Bytes()};
}

std::optional<std::vector<std::uint8_t>> SignedAttributesOfSignerInfo(const std::uint8_t* data,
                                                                      std::size_t size) {
    DerReader whole(data, size);
    auto signer = whole.Take(kSequenceTag);
    // version, signer identifier, digest algorithm, [0] authenticated attributes
    if (!signer || !whole.AtEnd() || !signer->Take(kIntegerTag) || !signer->Take(kAnyTag) ||
        !signer->Take(kSequenceTag))
        return std::nullopt;
    auto attributes = signer->Take(kContextZeroTag);
    if (!attributes) return std::nullopt;
    std::vector<std::uint8_t> set = attributes->Element();
    set[0] = kSetTag;
    return set;
}

std::optional<std::vector<std::uint8_t>> ParseDerOctetString(const std::uint8_t* data,
                                                             std::size_t size) {
    DerReader whole(data, size);
    auto content = whole.Take(kOctetStringTag);
    if (!content || !whole.AtEnd()) return std::nullopt;
    return content->Bytes();
}

}  // namespace Tessil
