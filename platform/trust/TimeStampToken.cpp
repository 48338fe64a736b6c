#include "platform/trust/TimeStampToken.h"

namespace Tessil {
namespace {

constexpr std::uint8_t kSequenceTag = 0x30;
constexpr std::uint8_t kIntegerTag = 0x02;
constexpr std::uint8_t kObjectIdTag = 0x06;
constexpr std::uint8_t kOctetStringTag = 0x04;

// A bounded reader of DER elements with definite lengths.
class DerReader {
public:
    DerReader(const std::uint8_t* data, std::size_t size) : at_(data), end_(data ? data + size : data) {}

    bool AtEnd() const { return at_ == end_; }

    // Takes the next element when its tag is the one given.
    std::optional<DerReader> Take(std::uint8_t tag) {
        if (end_ - at_ < 2 || at_[0] != tag) return std::nullopt;
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
        at_ = p + length;
        return content;
    }

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

std::optional<std::vector<std::uint8_t>> ParseDerOctetString(const std::uint8_t* data,
                                                             std::size_t size) {
    DerReader whole(data, size);
    auto content = whole.Take(kOctetStringTag);
    if (!content || !whole.AtEnd()) return std::nullopt;
    return content->Bytes();
}

}  // namespace Tessil
