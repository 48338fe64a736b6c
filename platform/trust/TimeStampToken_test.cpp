#include "platform/trust/TimeStampToken.h"

#include <gtest/gtest.h>

#include <vector>

namespace Tessil {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Der(std::uint8_t tag, const Bytes& content) {
    Bytes out{tag};
    if (content.size() < 0x80) {
        out.push_back(static_cast<std::uint8_t>(content.size()));
    } else {
        out.push_back(0x82);
        out.push_back(static_cast<std::uint8_t>(content.size() >> 8));
        out.push_back(static_cast<std::uint8_t>(content.size()));
    }
    out.insert(out.end(), content.begin(), content.end());
    return out;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
}

const Bytes kSha256 = {0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x01};
const Bytes kPolicy = {0x2B, 0x06, 0x01, 0x04, 0x01};  // 1.3.6.1.4.1
const Bytes kDigest(32, 0xAB);

Bytes Imprint(const Bytes& algorithm, const Bytes& digest) {
    return Der(0x30, Cat({Der(0x30, Cat({Der(0x06, algorithm), Der(0x05, {})})), Der(0x04, digest)}));
}

Bytes TstInfo(const Bytes& imprint, const Bytes& tail = {}) {
    return Der(0x30, Cat({Der(0x02, {1}), Der(0x06, kPolicy), imprint, Der(0x02, {0x42}),
                          Der(0x18, Bytes(15, '0')), tail}));
}

TEST(TimeStampToken, ImprintIsReadFromAWellFormedTstInfo) {
    const Bytes info = TstInfo(Imprint(kSha256, kDigest));
    auto imprint = ParseTstInfoImprint(info.data(), info.size());
    ASSERT_TRUE(imprint);
    EXPECT_EQ(imprint->hashAlgorithm, "2.16.840.1.101.3.4.2.1");
    EXPECT_EQ(imprint->digest, kDigest);

    // Long-form lengths are read as such.
    const Bytes longDigest(300, 0x11);
    const Bytes longInfo = TstInfo(Imprint({0x2B, 0x0E, 0x03, 0x02, 0x1A}, longDigest));
    auto sha1 = ParseTstInfoImprint(longInfo.data(), longInfo.size());
    ASSERT_TRUE(sha1);
    EXPECT_EQ(sha1->hashAlgorithm, "1.3.14.3.2.26");
    EXPECT_EQ(sha1->digest, longDigest);
}

TEST(TimeStampToken, MalformedTstInfoHasNoImprint) {
    const Bytes good = TstInfo(Imprint(kSha256, kDigest));
    Bytes truncated(good.begin(), good.end() - 1);
    Bytes trailing = good;
    trailing.push_back(0);
    Bytes wrongTag = good;
    wrongTag[0] = 0x31;
    const Bytes cases[] = {
        {},
        truncated,
        trailing,
        wrongTag,
        TstInfo(Der(0x30, Der(0x30, Der(0x06, kSha256)))),                        // no digest
        TstInfo(Der(0x30, Cat({Der(0x30, Der(0x06, {})), Der(0x04, kDigest)}))),   // empty OID
        TstInfo(Der(0x30, Cat({Der(0x30, Der(0x06, {0x2B, 0x86})), Der(0x04, kDigest)}))),
        TstInfo(Der(0x30, Cat({Der(0x30, Der(0x06, kSha256)), Der(0x04, kDigest), Der(0x05, {})}))),
        Der(0x30, Cat({Der(0x02, {1}), Imprint(kSha256, kDigest)})),             // no policy
        {0x30, 0x84, 0x7F, 0xFF, 0xFF, 0xFF},                                      // length beyond data
    };
    for (std::size_t i = 0; i < std::size(cases); ++i)
        EXPECT_FALSE(ParseTstInfoImprint(cases[i].data(), cases[i].size())) << "case " << i;
    EXPECT_FALSE(ParseTstInfoImprint(nullptr, 0));
}

TEST(TimeStampToken, OctetStringMustFillTheData) {
    const Bytes good = Der(0x04, kDigest);
    auto content = ParseDerOctetString(good.data(), good.size());
    ASSERT_TRUE(content);
    EXPECT_EQ(*content, kDigest);
    Bytes trailing = good;
    trailing.push_back(0);
    const Bytes bad[] = {{}, Der(0x03, kDigest), trailing, Bytes(good.begin(), good.end() - 1)};
    for (const Bytes& b : bad) EXPECT_FALSE(ParseDerOctetString(b.data(), b.size()));
}

TEST(TimeStampToken, SignedAttributesAreTheContextFieldUnderASetTag) {
    const Bytes attributes = Cat({Der(0x30, Der(0x06, kPolicy)), Der(0x30, Der(0x06, kSha256))});
    const Bytes identifier = Der(0x30, Cat({Der(0x30, {}), Der(0x02, {0x55})}));
    const Bytes algorithm = Der(0x30, Der(0x06, kSha256));
    const Bytes signer = Der(0x30, Cat({Der(0x02, {1}), identifier, algorithm, Der(0xA0, attributes),
                                        algorithm, Der(0x04, kDigest)}));
    auto set = SignedAttributesOfSignerInfo(signer.data(), signer.size());
    ASSERT_TRUE(set);
    EXPECT_EQ(*set, Der(0x31, attributes));

    // A subject key identifier ([0]) in place of issuer and serial is taken too.
    const Bytes byKey = Der(0x30, Cat({Der(0x02, {3}), Der(0x80, {1, 2}), algorithm,
                                       Der(0xA0, attributes), algorithm, Der(0x04, kDigest)}));
    auto keyed = SignedAttributesOfSignerInfo(byKey.data(), byKey.size());
    ASSERT_TRUE(keyed);
    EXPECT_EQ(*keyed, Der(0x31, attributes));

    Bytes trailing = signer;
    trailing.push_back(0);
    const Bytes bad[] = {
        {},
        trailing,
        Der(0x30, Cat({Der(0x02, {1}), identifier, algorithm, algorithm, Der(0x04, kDigest)})),
        Der(0x30, Cat({identifier, algorithm, Der(0xA0, attributes)})),
    };
    for (const Bytes& b : bad) EXPECT_FALSE(SignedAttributesOfSignerInfo(b.data(), b.size()));
}

}  // namespace
}  // namespace Tessil
