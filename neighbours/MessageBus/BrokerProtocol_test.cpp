#include "neighbours/MessageBus/BrokerProtocol.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace Tessil::broker;

namespace {

std::optional<Frame> roundTrip(const Frame& f) {
    const auto bytes = encode(f);
    std::uint32_t length = 0;
    Reader(bytes.data(), 4).u32(length);
    EXPECT_EQ(length, bytes.size() - 4);
    return decode(bytes.data() + 4, bytes.size() - 4);
}

TEST(BrokerProtocol, EveryKindComesBackWhole) {
    Frame message;
    message.kind = Kind::Message;
    message.header.sequence = 0x1122334455667788ull;
    message.header.setFlag(Tessil::MESSAGE_FLAG_REPLY);
    message.name = L"Vantrel.Alert.\u00e9\xD83D\xDE00";
    message.source = L"";
    message.payload = std::wstring(70000, L'x');
    auto back = roundTrip(message);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->kind, Kind::Message);
    EXPECT_EQ(std::memcmp(&back->header, &message.header, sizeof(Tessil::MessageHeader)), 0);
    EXPECT_EQ(back->name, message.name);
    EXPECT_EQ(back->source, message.source);
    EXPECT_EQ(back->payload, message.payload);

    Frame subscribe;
    subscribe.kind = Kind::Subscribe;
    subscribe.id = 7;
    subscribe.filter = true;
    subscribe.name = LR"(SettingsManager\.Notify\..*)";
    back = roundTrip(subscribe);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->id, 7u);
    EXPECT_TRUE(back->filter);
    EXPECT_EQ(back->name, subscribe.name);

    Frame answer;
    answer.kind = Kind::QueryReply;
    answer.id = 3;
    answer.count = 2;
    back = roundTrip(answer);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->id, 3u);
    EXPECT_EQ(back->count, 2u);
}

TEST(BrokerProtocol, MalformedBodiesAreRefused) {
    Frame query;
    query.kind = Kind::Query;
    query.id = 1;
    query.name = L"abc";
    const auto good = encode(query);
    const std::vector<std::uint8_t> body(good.begin() + 4, good.end());
    ASSERT_TRUE(decode(body.data(), body.size()));

    for (std::size_t cut = 0; cut < body.size(); ++cut) {
        EXPECT_FALSE(decode(body.data(), cut)) << cut;
    }
    auto trailing = body;
    trailing.push_back(0);
    EXPECT_FALSE(decode(trailing.data(), trailing.size()));

    auto hugeCount = body;
    hugeCount[5] = 0xFF;
    hugeCount[6] = 0xFF;
    hugeCount[7] = 0xFF;
    hugeCount[8] = 0x7F;
    EXPECT_FALSE(decode(hugeCount.data(), hugeCount.size()));

    const std::uint8_t unknownKind[] = {99, 0, 0, 0, 0};
    EXPECT_FALSE(decode(unknownKind, sizeof unknownKind));

    Frame subscribe;
    subscribe.kind = Kind::Subscribe;
    auto badFlag = encode(subscribe);
    badFlag[4 + 1 + 4] = 2;
    EXPECT_FALSE(decode(badFlag.data() + 4, badFlag.size() - 4));
}

}  // namespace
