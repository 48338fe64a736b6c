#include "platform/trust/TrustedListFile.h"

#include <gtest/gtest.h>

namespace Tessil {
namespace {

constexpr char kRoot[] = "f1ad0a770104e772cca0cc75bb8bcb26588bd5b8";

struct ListCase {
    const char* name;
    std::string text;
    bool valid;
    std::uint32_t version;
    std::vector<std::wstring> names;
    std::size_t thumbprints;
    std::vector<std::wstring> serials;
};

class ParseList : public ::testing::TestWithParam<ListCase> {};

TEST_P(ParseList, GivesPartsOrRefuses) {
    const ListCase& c = GetParam();
    auto list = ParseTrustedList(c.text);
    ASSERT_EQ(list.has_value(), c.valid);
    if (!c.valid) return;
    EXPECT_EQ(list->version, c.version);
    EXPECT_EQ(list->names, c.names);
    EXPECT_EQ(list->thumbprints.size(), c.thumbprints);
    EXPECT_EQ(list->serials, c.serials);
}

const std::string kSha = std::string("[SHA]\n") + kRoot + "\n";

INSTANTIATE_TEST_SUITE_P(
    Texts, ParseList,
    ::testing::Values(
        ListCase{"Full", "[VER]\n7\n[ORG]\nVantrel Test Signer\nCorvane, Inc.\n[SER]\n0a1B\n" + kSha,
                 true, 7, {L"Vantrel Test Signer", L"Corvane, Inc."}, 1, {L"0a1B"}},
        ListCase{"CrLfTrimAndComments",
                 "/* header\r\n// note\r\n */\r\n  [ VER ]  \r\n\t 9 \t\r\n\r\n[ORG]\r\n  A B  \r\n",
                 true, 9, {L"A B"}, 0, {}},
        ListCase{"LinesBeforeFirstSectionIgnored", "stray\n[VER]\n6\n", true, 6, {}, 0, {}},
        ListCase{"RepeatedSectionAccumulates", "[ORG]\nA\n[VER]\n6\n[ORG]\nB\n", true, 6,
                 {L"A", L"B"}, 0, {}},
        ListCase{"SignatureEndsContent",
                 "[VER]\n6\n[ORG]\nA\n// SIG // Begin signature block\n[ORG]\nB\n[VER]\n8\n", true,
                 6, {L"A"}, 0, {}},
        ListCase{"SectionNamesAreCaseSensitive", "[VER]\n6\n[org]\nA\n", true, 6, {}, 0, {}},
        ListCase{"EightBitNameWidenedPerByte", "[VER]\n6\n[ORG]\nCaf\xe9\n", true, 6, {L"Caf\u00e9"},
                 0, {}},
        ListCase{"UpperCaseThumbprint", "[VER]\n6\n[SHA]\nF1AD0A770104E772CCA0CC75BB8BCB26588BD5B8\n",
                 true, 6, {}, 1, {}},
        ListCase{"MaxVersion", "[VER]\n4294967295\n", true, 4294967295u, {}, 0, {}},
        ListCase{"NoVersion", "[ORG]\nA\n", false, 0, {}, 0, {}},
        ListCase{"EmptyVersionSection", "[VER]\n[ORG]\nA\n", false, 0, {}, 0, {}},
        ListCase{"TwoVersions", "[VER]\n6\n7\n", false, 0, {}, 0, {}},
        ListCase{"TwoVersionSections", "[VER]\n6\n[VER]\n7\n", false, 0, {}, 0, {}},
        ListCase{"VersionOverflows", "[VER]\n4294967296\n", false, 0, {}, 0, {}},
        ListCase{"VersionNotDecimal", "[VER]\n7a\n", false, 0, {}, 0, {}},
        ListCase{"VersionSigned", "[VER]\n+7\n", false, 0, {}, 0, {}},
        ListCase{"EmptySectionName", "[VER]\n6\n[ \t]\n", false, 0, {}, 0, {}},
        ListCase{"ShortThumbprint", "[VER]\n6\n[SHA]\nf1ad0a77\n", false, 0, {}, 0, {}},
        ListCase{"LongThumbprint", std::string("[VER]\n6\n[SHA]\n") + kRoot + "00\n", false, 0, {}, 0, {}},
        ListCase{"ThumbprintNotHex",
                 "[VER]\n6\n[SHA]\nf1ad0a770104e772cca0cc75bb8bcb26588bd5bg\n", false, 0, {}, 0, {}}),
    [](const ::testing::TestParamInfo<ListCase>& info) { return std::string(info.param.name); });

TEST(ParseListSections, KeepsEntriesInFileOrder) {
    auto sections = ParseTrustedListSections("[X]\nb\na\n[Y]\n[X]\nc\n");
    ASSERT_TRUE(sections.has_value());
    EXPECT_EQ((*sections)["X"], (std::vector<std::string>{"b", "a", "c"}));
    EXPECT_TRUE((*sections)["Y"].empty());
}

TEST(SerialNumberToHex, WritesMostSignificantByteFirst) {
    // Stored least significant byte first, as the crypto API keeps it.
    const std::uint8_t serial[] = {0x71, 0x60, 0x5f, 0x4e, 0x3d, 0x2c, 0x1b, 0x0a};
    EXPECT_EQ(SerialNumberToHex(serial, sizeof(serial)), L"0a1b2c3d4e5f6071");
    EXPECT_EQ(SerialNumberToHex(serial, 0), L"");
}

TEST(EqualsIgnoringCase, ComparesWholeTexts) {
    EXPECT_TRUE(EqualsIgnoringCase(L"Corvane, Inc.", L"CORVANE, inc."));
    EXPECT_TRUE(EqualsIgnoringCase(L"0A1B", L"0a1b"));
    EXPECT_FALSE(EqualsIgnoringCase(L"Corvane", L"Corvane, Inc."));
    EXPECT_FALSE(EqualsIgnoringCase(L"abc", L"abd"));
}

struct TimeCase {
    const char* name;
    std::vector<std::uint8_t> bytes;
    bool valid;
    UtcDateTime expected;
};

std::vector<std::uint8_t> Utc(const char* digits, std::uint8_t tag = 0x17, std::uint8_t length = 13) {
    std::vector<std::uint8_t> out{tag, length};
    for (const char* p = digits; *p; ++p) out.push_back(static_cast<std::uint8_t>(*p));
    return out;
}

class EncodedUtcTime : public ::testing::TestWithParam<TimeCase> {};

TEST_P(EncodedUtcTime, ReadsOnlyTheExactForm) {
    const TimeCase& c = GetParam();
    auto t = ParseEncodedUtcTime(c.bytes.data(), c.bytes.size());
    ASSERT_EQ(t.has_value(), c.valid);
    if (!c.valid) return;
    EXPECT_EQ(t->year, c.expected.year);
    EXPECT_EQ(t->month, c.expected.month);
    EXPECT_EQ(t->day, c.expected.day);
    EXPECT_EQ(t->hour, c.expected.hour);
    EXPECT_EQ(t->minute, c.expected.minute);
    EXPECT_EQ(t->second, c.expected.second);
}

INSTANTIATE_TEST_SUITE_P(
    Forms, EncodedUtcTime,
    ::testing::Values(TimeCase{"Year2016", Utc("160601120304Z"), true, {2016, 6, 1, 12, 3, 4}},
                      TimeCase{"Year1999", Utc("991231235959Z"), true, {1999, 12, 31, 23, 59, 59}},
                      TimeCase{"Year2069", Utc("690101000000Z"), true, {2069, 1, 1, 0, 0, 0}},
                      TimeCase{"Year1970", Utc("700101000000Z"), true, {1970, 1, 1, 0, 0, 0}},
                      TimeCase{"NotDigits", Utc("16060112030aZ"), false, {}},
                      TimeCase{"NoZone", Utc("1606011203045"), false, {}},
                      TimeCase{"WrongTag", Utc("160601120304Z", 0x18), false, {}},
                      TimeCase{"WrongLength", Utc("160601120304Z", 0x17, 12), false, {}},
                      TimeCase{"MonthThirteen", Utc("161301120304Z"), false, {}},
                      TimeCase{"HourTwentyFour", Utc("160601240304Z"), false, {}},
                      TimeCase{"TooShort", Utc("1606011203Z"), false, {}}),
    [](const ::testing::TestParamInfo<TimeCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace Tessil
