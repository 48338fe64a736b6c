#include "framework/json/JSONFormatter.h"

#include <gtest/gtest.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cstdint>
#include <limits>
#include <string>
#include <thread>
#include <vector>

using Tessil::JSONFormatter;

namespace {

JSONFormatter parsed(const std::wstring& text) {
    JSONFormatter f;
    EXPECT_TRUE(f.parse(text)) << std::string(text.begin(), text.end());
    return f;
}

std::wstring nested(std::size_t depth) {
    return std::wstring(depth, L'[') + std::wstring(depth, L']');
}

std::wstring nestedObjects(std::size_t depth) {
    std::wstring text;
    for (std::size_t i = 0; i < depth; ++i) text += L"{\"a\":";
    text += L"1";
    text += std::wstring(depth, L'}');
    return text;
}

}  // namespace

TEST(JSONFormatter, NewFormatterIsEmptyObject) {
    EXPECT_EQ(JSONFormatter().toString(), L"{}");
}

// Which typed getters accept the member n, written as text.
struct NumberCase {
    const wchar_t* text;
    bool isInt, isUInt, isInt64, isUInt64, isDouble;
};

class TypedGetters : public ::testing::TestWithParam<NumberCase> {};

TEST_P(TypedGetters, AcceptExactlyTheTypesWhoseRangeHoldsTheValue) {
    const NumberCase& c = GetParam();
    JSONFormatter f = parsed(std::wstring(L"{\"n\":") + c.text + L"}");
    int i = 7;
    unsigned u = 7;
    std::int64_t i64 = 7;
    std::uint64_t u64 = 7;
    double d = 7;
    EXPECT_EQ(f.getInt(L"n", i), c.isInt);
    EXPECT_EQ(f.getUInt(L"n", u), c.isUInt);
    EXPECT_EQ(f.getInt64(L"n", i64), c.isInt64);
    EXPECT_EQ(f.getUInt64(L"n", u64), c.isUInt64);
    EXPECT_EQ(f.getDouble(L"n", d), c.isDouble);
    bool b = false;
    EXPECT_EQ(f.getBool(L"n", b), std::wstring(c.text) == L"true");
    std::wstring s = L"unchanged";
    EXPECT_EQ(f.getString(L"n", s), c.text[0] == L'"');
    if (c.text[0] != L'"') {
        EXPECT_EQ(s, L"unchanged");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Numbers, TypedGetters,
    ::testing::Values(
        NumberCase{L"5", true, true, true, true, false},
        NumberCase{L"5.0", false, false, false, false, true},
        NumberCase{L"5e0", false, false, false, false, true},
        NumberCase{L"-1", true, false, true, false, false},
        NumberCase{L"4294967295", false, true, true, true, false},
        NumberCase{L"4294967296", false, false, true, true, false},
        NumberCase{L"-2147483648", true, false, true, false, false},
        NumberCase{L"-2147483649", false, false, true, false, false},
        NumberCase{L"9223372036854775807", false, false, true, true, false},
        NumberCase{L"18446744073709551615", false, false, false, true, false},
        // Beyond every integer range RapidJSON holds the number as a double.
        NumberCase{L"18446744073709551616", false, false, false, false, true},
        NumberCase{L"-9223372036854775809", false, false, false, false, true},
        NumberCase{L"\"5\"", false, false, false, false, false},
        NumberCase{L"true", false, false, false, false, false},
        NumberCase{L"null", false, false, false, false, false}));

TEST(JSONFormatter, GettersReturnTheValues) {
    JSONFormatter f = parsed(
        L"{\"i\":-1,\"u\":4294967295,\"l\":-9223372036854775808,\"ul\":18446744073709551615,"
        L"\"d\":5.5,\"s\":\"text\",\"t\":true,\"f\":false}");
    int i = 0;
    unsigned u = 0;
    std::int64_t l = 0;
    std::uint64_t ul = 0;
    double d = 0;
    std::wstring s;
    bool t = false, fl = true;
    ASSERT_TRUE(f.getInt(L"i", i));
    ASSERT_TRUE(f.getUInt(L"u", u));
    ASSERT_TRUE(f.getInt64(L"l", l));
    ASSERT_TRUE(f.getUInt64(L"ul", ul));
    ASSERT_TRUE(f.getDouble(L"d", d));
    ASSERT_TRUE(f.getString(L"s", s));
    ASSERT_TRUE(f.getBool(L"t", t));
    ASSERT_TRUE(f.getBool(L"f", fl));
    EXPECT_EQ(i, -1);
    EXPECT_EQ(u, 4294967295u);
    EXPECT_EQ(l, std::numeric_limits<std::int64_t>::min());
    EXPECT_EQ(ul, std::numeric_limits<std::uint64_t>::max());
    EXPECT_EQ(d, 5.5);
    EXPECT_EQ(s, L"text");
    EXPECT_TRUE(t);
    EXPECT_FALSE(fl);
}

TEST(JSONFormatter, SetterUsedDoesNotMatterForIntegerGetters) {
    JSONFormatter f;
    f.setInt64(L"n", 5);
    int i = 0;
    unsigned u = 0;
    std::uint64_t u64 = 0;
    double d = 0;
    EXPECT_TRUE(f.getInt(L"n", i));
    EXPECT_TRUE(f.getUInt(L"n", u));
    EXPECT_TRUE(f.getUInt64(L"n", u64));
    EXPECT_FALSE(f.getDouble(L"n", d));
    EXPECT_EQ(i + u + u64, 15u);
    f.setDouble(L"n", 5);
    EXPECT_FALSE(f.getInt(L"n", i));
    EXPECT_TRUE(f.getDouble(L"n", d));
    EXPECT_EQ(f.toString(), L"{\"n\":5.0}");
}

TEST(JSONFormatter, BoolIsNotAString) {
    JSONFormatter f;
    f.setBool(L"b", true);
    bool b = false;
    std::wstring s = L"before";
    EXPECT_TRUE(f.getBool(L"b", b));
    EXPECT_TRUE(b);
    EXPECT_FALSE(f.getString(L"b", s));
    EXPECT_EQ(s, L"before");
}

TEST(JSONFormatter, MissingMemberAnswersFalseAndKeepsOut) {
    JSONFormatter f;
    int i = 3;
    std::wstring s = L"x";
    JSONFormatter out;
    out.setInt(L"kept", 1);
    EXPECT_FALSE(f.getInt(L"missing", i));
    EXPECT_FALSE(f.getString(L"missing", s));
    EXPECT_FALSE(f.getObject(L"missing", out));
    EXPECT_EQ(i, 3);
    EXPECT_EQ(s, L"x");
    EXPECT_EQ(out.toString(), L"{\"kept\":1}");
}

// Member replacement: the replaced member goes last, the last takes its place.
struct OrderCase {
    const wchar_t* set;
    const wchar_t* expected;
};

class MemberOrder : public ::testing::TestWithParam<OrderCase> {};

TEST_P(MemberOrder, ReplacedMemberEndsUpLast) {
    JSONFormatter f = parsed(L"{\"a\":1,\"b\":2,\"c\":3}");
    f.setInt(GetParam().set, 9);
    EXPECT_EQ(f.toString(), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Order, MemberOrder,
                         ::testing::Values(OrderCase{L"a", L"{\"c\":3,\"b\":2,\"a\":9}"},
                                           OrderCase{L"b", L"{\"a\":1,\"c\":3,\"b\":9}"},
                                           OrderCase{L"c", L"{\"a\":1,\"b\":2,\"c\":9}"},
                                           OrderCase{L"d", L"{\"a\":1,\"b\":2,\"c\":3,\"d\":9}"}));

TEST(JSONFormatter, EverySetterReplacesTheSameWay) {
    using Setter = void (*)(JSONFormatter&);
    const std::vector<std::pair<Setter, std::wstring>> cases = {
        {[](JSONFormatter& f) { f.setString(L"a", L"y"); }, L"\"y\""},
        {[](JSONFormatter& f) { f.setBool(L"a", false); }, L"false"},
        {[](JSONFormatter& f) { f.setUInt(L"a", 4294967295u); }, L"4294967295"},
        {[](JSONFormatter& f) { f.setInt64(L"a", INT64_MIN); }, L"-9223372036854775808"},
        {[](JSONFormatter& f) { f.setUInt64(L"a", UINT64_MAX); }, L"18446744073709551615"},
        {[](JSONFormatter& f) { f.setDouble(L"a", 0.1); }, L"0.1"},
        {[](JSONFormatter& f) { f.setStringArray(L"a", {L"p", L"q"}); }, L"[\"p\",\"q\"]"},
        {[](JSONFormatter& f) { f.setStringArray(L"a", {}); }, L"[]"},
        {[](JSONFormatter& f) { f.setObject(L"a", JSONFormatter()); }, L"{}"},
        {[](JSONFormatter& f) { f.setObjectArray(L"a", {JSONFormatter(), JSONFormatter()}); }, L"[{},{}]"},
    };
    for (const auto& [set, value] : cases) {
        JSONFormatter f;
        f.setString(L"a", L"x");
        f.setInt(L"b", 1);
        EXPECT_EQ(f.toString(), L"{\"a\":\"x\",\"b\":1}");
        set(f);
        EXPECT_EQ(f.toString(), L"{\"b\":1,\"a\":" + value + L"}");
    }
}

TEST(JSONFormatter, DuplicateNamesReadAndReplaceTheFirst) {
    JSONFormatter f = parsed(L"{\"a\":1,\"b\":2,\"a\":3}");
    int a = 0;
    EXPECT_TRUE(f.getInt(L"a", a));
    EXPECT_EQ(a, 1);
    f.setInt(L"a", 4);
    EXPECT_EQ(f.toString(), L"{\"a\":3,\"b\":2,\"a\":4}");
}

TEST(JSONFormatter, KeysAreExactAndEndAtFirstNul) {
    JSONFormatter f = parsed(L"{\"ab\":1,\"Ab\":2}");
    int v = 0;
    EXPECT_FALSE(f.getInt(L"a", v));
    EXPECT_FALSE(f.getInt(L"AB", v));
    EXPECT_TRUE(f.getInt(L"Ab", v));
    EXPECT_EQ(v, 2);
    EXPECT_TRUE(f.getInt(std::wstring(L"ab\0zz", 5), v));
    EXPECT_EQ(v, 1);
    f.setInt(std::wstring(L"c\0d", 3), 3);
    EXPECT_EQ(f.toString(), L"{\"ab\":1,\"Ab\":2,\"c\":3}");
}

TEST(JSONFormatter, StringValuesKeepEveryCodeUnit) {
    JSONFormatter f;
    const std::wstring value(L"a\0b", 3);
    f.setString(L"s", value);
    std::wstring out;
    ASSERT_TRUE(f.getString(L"s", out));
    EXPECT_EQ(out, value);
    EXPECT_EQ(f.toString(), L"{\"s\":\"a\\u0000b\"}");
}

// parse: the answer, and what toString writes afterwards.
struct ParseCase {
    std::wstring text;
    bool isObject;
    std::wstring written;
};

class Parse : public ::testing::TestWithParam<ParseCase> {};

TEST_P(Parse, AnswersTrueOnlyForObjects) {
    const ParseCase& c = GetParam();
    JSONFormatter f;
    f.setInt(L"old", 1);
    EXPECT_EQ(f.parse(c.text), c.isObject);
    EXPECT_EQ(f.toString(), c.written);
    int v = 0;
    EXPECT_FALSE(f.getInt(L"old", v));
}

INSTANTIATE_TEST_SUITE_P(
    Texts, Parse,
    ::testing::Values(
        ParseCase{L"{}", true, L"{}"},
        ParseCase{L" \t\r\n{ \"a\" : [ 1 , 2 ] }\n ", true, L"{\"a\":[1,2]}"},
        ParseCase{L"[1,2]", false, L"[1,2]"},
        ParseCase{L"\"text\"", false, L"\"text\""},
        ParseCase{L"5", false, L"5"},
        ParseCase{L"true", false, L"true"},
        ParseCase{L"null", false, L"null"},
        ParseCase{L"{", false, L"null"},
        ParseCase{L"", false, L"null"},
        ParseCase{L"   ", false, L"null"},
        ParseCase{L"{}x", false, L"null"},
        ParseCase{L"{}{}", false, L"null"},
        ParseCase{std::wstring(L"{}\0x", 4), true, L"{}"},  // text ends at the first NUL
        ParseCase{L"{'a':1}", false, L"null"},
        ParseCase{L"{\"a\":1,}", false, L"null"},
        ParseCase{L"{\"a\":01}", false, L"null"},
        ParseCase{L"{\"a\":NaN}", false, L"null"},
        ParseCase{L"{\"a\":1e400}", false, L"null"},  // number too big
        ParseCase{L"{\"a\":\"\x0001\"}", false, L"null"},  // raw control character
        ParseCase{L"{\"a\":\"\\x\"}", false, L"null"},     // unknown escape
        ParseCase{L"{\"a\":\"\\u12\"}", false, L"null"},   // short escape
        ParseCase{L"{\"a\":\"\\ud800\"}", false, L"null"},  // lone high surrogate
        ParseCase{L"{\"a\":\"\\ud800\\u0041\"}", false, L"null"},
        ParseCase{L"{\"a\":\"\\udc00\"}", false, L"null"},  // lone low surrogate
        ParseCase{L"{\"a\":\"\\u0041\\u00e9\\/\"}", true, L"{\"a\":\"A\u00e9/\"}"},
        ParseCase{L"{\"a\":\"\\ud83d\\ude00\"}", true, L"{\"a\":\"\xD83D\xDE00\"}"}));

TEST(JSONFormatter, RawSurrogatesPassThroughUnchanged) {
    // Without encoding validation (RapidJSON's default) code units are kept.
    std::wstring text = L"{\"a\":\"x\"}";
    text[6] = static_cast<wchar_t>(0xDC00);
    JSONFormatter f = parsed(text);
    std::wstring out;
    ASSERT_TRUE(f.getString(L"a", out));
    EXPECT_EQ(out, std::wstring(1, static_cast<wchar_t>(0xDC00)));
    EXPECT_EQ(f.toString(), text);
}

TEST(JSONFormatter, ToStringEscapesAsRapidJsonDoes) {
    JSONFormatter f;
    f.setString(L"s", L"\"\\\t\x0001/\u00e4\u4e2d\b\f\n\r\x001f\x007f");
    EXPECT_EQ(f.toString(), L"{\"s\":\"\\\"\\\\\\t\\u0001/\u00e4\u4e2d\\b\\f\\n\\r\\u001F\x007f\"}");
    JSONFormatter back;
    ASSERT_TRUE(back.parse(f.toString()));
    EXPECT_EQ(back.toString(), f.toString());
}

// toString writes what RapidJSON's own writer writes: every UTF-16 code
// unit in a string and in a member name, and parsed numbers and nesting.
TEST(JSONFormatter, WritesWhatRapidJsonsWriterWrites) {
    using Encoding = JSONFormatter::Encoding;
    auto rapidJsonText = [](const JSONFormatter::Value& value) {
        rapidjson::GenericStringBuffer<Encoding> buffer;
        rapidjson::Writer<rapidjson::GenericStringBuffer<Encoding>, Encoding, Encoding> writer(buffer);
        value.Accept(writer);
        return std::wstring(buffer.GetString(), buffer.GetSize() / sizeof(wchar_t));
    };
    std::wstring everyUnit;
    for (unsigned c = 0; c <= 0xFFFF; ++c) everyUnit += static_cast<wchar_t>(c);
    const std::wstring name = everyUnit.substr(1);  // a name ends at its first NUL
    JSONFormatter f;
    f.setString(name, everyUnit);
    f.setString(L"short", L"a\"b");
    JSONFormatter::Document expected;
    expected.SetObject();
    expected.AddMember(JSONFormatter::Value(name.c_str(), expected.GetAllocator()),
                       JSONFormatter::Value(everyUnit.data(), static_cast<rapidjson::SizeType>(everyUnit.size()),
                                            expected.GetAllocator()),
                       expected.GetAllocator());
    expected.AddMember(L"short", L"a\"b", expected.GetAllocator());
    EXPECT_TRUE(f.toString() == rapidJsonText(expected));

    // Each escaped unit at every place of short strings, alone and doubled.
    for (const wchar_t c : {L'\x01', L'\x1f', L'\n', L'"', L'\\', L' ', L'\x7f', L'\xdc00', L'\xffff'}) {
        for (std::size_t length = 1; length <= 20; ++length) {
            for (std::size_t at = 0; at < length; ++at) {
                std::wstring text(length, L'a');
                text[at] = c;
                if (at + 1 < length) text[at + 1] = c;
                JSONFormatter one;
                one.setString(L"s", text);
                JSONFormatter::Document doc;
                doc.SetObject();
                doc.AddMember(L"s", JSONFormatter::Value(text.c_str(), doc.GetAllocator()), doc.GetAllocator());
                ASSERT_EQ(one.toString(), rapidJsonText(doc)) << static_cast<unsigned>(c) << " " << length << " " << at;
            }
        }
    }

    const std::wstring text =
        L"{\"n\":[0,-0,1E2,1e-7,0.1,-2.5e-300,1.7976931348623157e308,5e-324,4294967296,"
        L"18446744073709551615,-9223372036854775808,123456789.125,1e21,1.0],\"\\u00e9\\ud83d\\ude00\":"
        L"{\"x\":[{\"y\":[[],{}]},null,true,false,\"\\u0000\\\"\"]},\"e\":{}}";
    JSONFormatter::Document doc;
    doc.Parse(text.c_str());
    ASSERT_FALSE(doc.HasParseError());
    EXPECT_EQ(parsed(text).toString(), rapidJsonText(doc));
}

TEST(JSONFormatter, NonFiniteDoubleIsWrittenAsNull) {
    JSONFormatter f;
    f.setDouble(L"inf", std::numeric_limits<double>::infinity());
    f.setDouble(L"nan", std::numeric_limits<double>::quiet_NaN());
    f.setInt(L"after", 1);
    EXPECT_EQ(f.toString(), L"{\"inf\":null,\"nan\":null,\"after\":1}");
}

TEST(JSONFormatter, DoublesReadBackToTheSameValue) {
    for (double d : {0.1, -2.5e-300, 1.0 / 3, 1e21, 123456789.125}) {
        JSONFormatter f;
        f.setDouble(L"d", d);
        JSONFormatter back;
        ASSERT_TRUE(back.parse(f.toString()));
        double out = 0;
        ASSERT_TRUE(back.getDouble(L"d", out));
        EXPECT_EQ(out, d);
    }
}

TEST(JSONFormatter, GetStringArray) {
    JSONFormatter f = parsed(L"{\"ok\":[\"x\",\"y\"],\"mixed\":[\"a\",1,\"b\"],\"str\":\"a\",\"empty\":[]}");
    std::vector<std::wstring> out{L"kept"};
    EXPECT_TRUE(f.getStringArray(L"missing", out));
    EXPECT_EQ(out, (std::vector<std::wstring>{L"kept"}));
    EXPECT_TRUE(f.getStringArray(L"ok", out));
    EXPECT_EQ(out, (std::vector<std::wstring>{L"kept", L"x", L"y"}));
    out.clear();
    EXPECT_FALSE(f.getStringArray(L"mixed", out));
    EXPECT_EQ(out, (std::vector<std::wstring>{L"a"}));
    out.clear();
    EXPECT_FALSE(f.getStringArray(L"str", out));
    EXPECT_TRUE(out.empty());
    EXPECT_TRUE(f.getStringArray(L"empty", out));
    EXPECT_TRUE(out.empty());
}

TEST(JSONFormatter, GetObjectArray) {
    JSONFormatter f = parsed(L"{\"list\":[{\"a\":1},{\"b\":[2]}],\"mixed\":[{\"a\":1},2],\"obj\":{}}");
    std::vector<JSONFormatter> out;
    EXPECT_TRUE(f.getObjectArray(L"missing", out));
    EXPECT_TRUE(out.empty());
    EXPECT_TRUE(f.getObjectArray(L"list", out));
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].toString(), L"{\"a\":1}");
    EXPECT_EQ(out[1].toString(), L"{\"b\":[2]}");
    out.clear();
    EXPECT_FALSE(f.getObjectArray(L"mixed", out));
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].toString(), L"{\"a\":1}");
    out.clear();
    EXPECT_FALSE(f.getObjectArray(L"obj", out));
    EXPECT_TRUE(out.empty());
}

TEST(JSONFormatter, GetObjectReplacesOutWithACopy) {
    JSONFormatter f = parsed(L"{\"o\":{\"x\":1},\"n\":2}");
    JSONFormatter out = parsed(L"{\"old\":true}");
    EXPECT_FALSE(f.getObject(L"n", out));
    EXPECT_EQ(out.toString(), L"{\"old\":true}");
    ASSERT_TRUE(f.getObject(L"o", out));
    EXPECT_EQ(out.toString(), L"{\"x\":1}");
    out.setInt(L"y", 2);
    EXPECT_EQ(f.toString(), L"{\"o\":{\"x\":1},\"n\":2}");
    // Into itself: the member's copy replaces the whole content.
    ASSERT_TRUE(f.getObject(L"o", f));
    EXPECT_EQ(f.toString(), L"{\"x\":1}");
}

// getObjectText writes the member straight from the parsed content: the
// same text as a copy taken with getObject and written with toString.
TEST(JSONFormatter, ObjectTextIsTheTextOfTheObjectsCopy) {
    std::wstring rawLowSurrogate = L"{\"r\":\"x\"}";
    rawLowSurrogate[6] = static_cast<wchar_t>(0xDC00);
    const std::wstring members[] = {
        L"{}",
        L"{ \"t\" : \"T\" ,\n\t\"b\" : [ 1 , 2.50 ] , \"a\" : { } }",
        L"{\"e\":\"\\\"\\\\\\/\\b\\f\\n\\r\\t\\u0001\\u001f\\u007f\\u00e9\\u4e2d\"}",
        L"{\"s\":\"\\ud83d\\ude00 \xD83D\xDE00\",\"z\":\"a\\u0000b\"}",
        rawLowSurrogate,
        L"{\"n\":[0,-0,1E2,1e-7,0.1,-2.5e-300,1.7976931348623157e308,5e-324,4294967296,"
        L"18446744073709551615,-9223372036854775808,123456789.125,1e21,1.0]}",
        L"{\"d\":1,\"d\":2,\"o\":{\"x\":[{\"y\":[[],{}]},null,true,false]}}",
        L"{\"" + std::wstring(300, L'k') + L"\":\"" + std::wstring(70000, L'v') + L"\"}",
    };
    for (const std::wstring& member : members) {
        const JSONFormatter f = parsed(L"{\"before\":1,\"m\":" + member + L",\"after\":[]}");
        JSONFormatter copy;
        ASSERT_TRUE(f.getObject(L"m", copy)) << member.size();
        std::wstring text = L"old";
        ASSERT_TRUE(f.getObjectText(L"m", text));
        EXPECT_EQ(text, copy.toString()) << member.size();
    }

    const JSONFormatter f = parsed(L"{\"a\":[],\"s\":\"{}\",\"z\":null,\"o\":{}}");
    for (const wchar_t* key : {L"missing", L"a", L"s", L"z", L"O"}) {
        std::wstring text = L"old";
        EXPECT_FALSE(f.getObjectText(key, text));
        EXPECT_EQ(text, L"old");
    }
    JSONFormatter notAnObject;
    EXPECT_FALSE(notAnObject.parse(L"[{}]"));
    std::wstring text = L"old";
    EXPECT_FALSE(notAnObject.getObjectText(L"0", text));
    EXPECT_EQ(text, L"old");
}

TEST(JSONFormatter, AppendCreatesArrayThenAppends) {
    JSONFormatter f;
    f.setInt(L"a", 1);
    f.appendString(L"list", L"x");
    EXPECT_EQ(f.toString(), L"{\"a\":1,\"list\":[\"x\"]}");
    f.setInt(L"b", 2);
    f.appendString(L"list", L"y");  // no reordering when appending
    EXPECT_EQ(f.toString(), L"{\"a\":1,\"list\":[\"x\",\"y\"],\"b\":2}");
    JSONFormatter o;
    o.setInt(L"z", 3);
    f.appendObject(L"objs", o);
    f.appendObject(L"objs", JSONFormatter());
    EXPECT_EQ(f.toString(), L"{\"a\":1,\"list\":[\"x\",\"y\"],\"b\":2,\"objs\":[{\"z\":3},{}]}");
    // A member that is not an array is left alone.
    f.appendString(L"a", L"x");
    f.appendObject(L"b", o);
    EXPECT_EQ(f.toString(), L"{\"a\":1,\"list\":[\"x\",\"y\"],\"b\":2,\"objs\":[{\"z\":3},{}]}");
}

TEST(JSONFormatter, NestingCopiesContentWhateverItsType) {
    JSONFormatter failed;
    EXPECT_FALSE(failed.parse(L"{"));
    JSONFormatter array;
    EXPECT_FALSE(array.parse(L"[1,2]"));
    JSONFormatter f;
    f.setObject(L"failed", failed);
    f.setObject(L"array", array);
    f.appendObject(L"list", array);
    f.setObjectArray(L"objs", {failed, array});
    EXPECT_EQ(f.toString(), L"{\"failed\":null,\"array\":[1,2],\"list\":[[1,2]],\"objs\":[null,[1,2]]}");
    f.setObject(L"self", f);
    EXPECT_EQ(f.toString(),
              L"{\"failed\":null,\"array\":[1,2],\"list\":[[1,2]],\"objs\":[null,[1,2]],\"self\":"
              L"{\"failed\":null,\"array\":[1,2],\"list\":[[1,2]],\"objs\":[null,[1,2]]}}");
}

TEST(JSONFormatter, CopiesAreIndependent) {
    JSONFormatter a = parsed(L"{\"o\":{\"x\":[1]}}");
    JSONFormatter b(a);
    a.setInt(L"o", 1);
    EXPECT_EQ(b.toString(), L"{\"o\":{\"x\":[1]}}");
    b.setString(L"s", L"t");
    EXPECT_EQ(a.toString(), L"{\"o\":1}");
    JSONFormatter c;
    c = b;
    b.setInt(L"s", 0);
    EXPECT_EQ(c.toString(), L"{\"o\":{\"x\":[1]},\"s\":\"t\"}");
    std::vector<JSONFormatter> many(40, c);  // vector growth copies too
    many.push_back(a);
    c.setInt(L"o", 2);
    EXPECT_EQ(many[0].toString(), L"{\"o\":{\"x\":[1]},\"s\":\"t\"}");
    JSONFormatter moved(std::move(c));
    EXPECT_EQ(moved.toString(), L"{\"s\":\"t\",\"o\":2}");
    EXPECT_EQ(c.toString(), L"{}");  // moved-from: an empty object
    c = std::move(moved);
    EXPECT_EQ(c.toString(), L"{\"s\":\"t\",\"o\":2}");
    EXPECT_EQ(moved.toString(), L"{}");
}

TEST(JSONFormatter, SettersOnNonObjectContentDoNothing) {
    for (const wchar_t* text : {L"{", L"[1]", L"\"s\"", L"null"}) {
        JSONFormatter f;
        EXPECT_FALSE(f.parse(text));
        const std::wstring before = f.toString();
        f.setString(L"a", L"x");
        f.setBool(L"a", true);
        f.setInt(L"a", 1);
        f.setUInt(L"a", 1);
        f.setInt64(L"a", 1);
        f.setUInt64(L"a", 1);
        f.setDouble(L"a", 1);
        f.setStringArray(L"a", {L"x"});
        f.appendString(L"a", L"x");
        f.setObject(L"a", JSONFormatter());
        f.setObjectArray(L"a", {JSONFormatter()});
        f.appendObject(L"a", JSONFormatter());
        JSONFormatter::Value name(L"a");
        JSONFormatter::Value value(1);
        f.setMember(name, value);
        EXPECT_EQ(f.toString(), before);
        int v = 0;
        std::vector<std::wstring> strings;
        std::vector<JSONFormatter> objects;
        EXPECT_FALSE(f.getInt(L"a", v));
        EXPECT_TRUE(f.getStringArray(L"a", strings));  // no member: an empty array
        EXPECT_TRUE(f.getObjectArray(L"a", objects));
    }
}

TEST(JSONFormatter, SetMemberTakesOverValues) {
    JSONFormatter f;
    f.setInt(L"a", 1);
    f.setInt(L"b", 2);
    JSONFormatter::Value name(L"a");  // a constant string; names must be strings
    JSONFormatter::Value value(L"v");
    f.setMember(name, value);
    EXPECT_EQ(f.toString(), L"{\"b\":2,\"a\":\"v\"}");
    EXPECT_TRUE(name.IsNull());
    JSONFormatter::Value notAName(5);
    JSONFormatter::Value other(6);
    f.setMember(notAName, other);
    EXPECT_EQ(f.toString(), L"{\"b\":2,\"a\":\"v\"}");
}

// Depth: JSONFormatter::kMaxDepth levels are accepted, one more is refused.
TEST(JSONFormatter, ParseRefusesDeepNesting) {
    const std::size_t limit = JSONFormatter::kMaxDepth;
    JSONFormatter f;
    EXPECT_TRUE(f.parse(nestedObjects(limit)));
    EXPECT_EQ(f.toString(), nestedObjects(limit));
    EXPECT_FALSE(f.parse(nestedObjects(limit + 1)));
    EXPECT_EQ(f.toString(), L"null");
    EXPECT_FALSE(f.parse(nested(limit)));
    EXPECT_EQ(f.toString(), nested(limit));
    EXPECT_FALSE(f.parse(nested(limit + 1)));
    EXPECT_EQ(f.toString(), L"null");
    // Far deeper than any recursion would survive, closed and unclosed.
    EXPECT_FALSE(f.parse(nested(200000)));
    EXPECT_FALSE(f.parse(std::wstring(200000, L'[')));
    EXPECT_FALSE(f.parse(std::wstring(200000, L'{')));
    std::wstring deepObjects;
    for (int i = 0; i < 100000; ++i) deepObjects += L"{\"a\":";
    EXPECT_FALSE(f.parse(deepObjects));
    EXPECT_EQ(f.toString(), L"null");
}

TEST(JSONFormatter, NestingSettersRefuseToGoDeeper) {
    const std::size_t limit = JSONFormatter::kMaxDepth;
    JSONFormatter full = parsed(nestedObjects(limit));
    JSONFormatter almost = parsed(nestedObjects(limit - 1));
    JSONFormatter twoShort = parsed(nestedObjects(limit - 2));

    JSONFormatter f;
    f.setObject(L"full", full);
    f.appendObject(L"almost", almost);
    f.setObjectArray(L"almost2", {JSONFormatter(), almost});
    EXPECT_EQ(f.toString(), L"{}");

    f.setObject(L"almost", almost);
    f.appendObject(L"twoShort", twoShort);
    f.setObjectArray(L"list", {twoShort});
    EXPECT_EQ(f.toString(), L"{\"almost\":" + nestedObjects(limit - 1) + L",\"twoShort\":[" +
                                nestedObjects(limit - 2) + L"],\"list\":[" + nestedObjects(limit - 2) +
                                L"]}");

    // A chain of formatters, each nesting the last, stops at the limit.
    JSONFormatter chain;  // depth 1
    std::size_t depth = 1;
    for (std::size_t i = 0; i < limit + 50; ++i) {
        JSONFormatter outer;
        outer.setObject(L"a", chain);
        if (outer.toString() == L"{}") continue;
        chain = outer;
        ++depth;
    }
    EXPECT_EQ(depth, limit);
    JSONFormatter copy(chain);
    EXPECT_EQ(copy.toString(), chain.toString());
}

TEST(JSONFormatter, DeepestContentIsSafeOnAThread) {
    // Copying and writing recurse once per level: at the limit they must fit
    // a thread's default stack.
    const std::wstring text = nestedObjects(JSONFormatter::kMaxDepth);
    bool parsedOk = false;
    std::wstring copied;
    std::wstring nestedCopy;
    std::thread worker([&] {
        JSONFormatter f;
        parsedOk = f.parse(text);
        JSONFormatter copy(f);
        copied = copy.toString();
        JSONFormatter inner;
        f.getObject(L"a", inner);
        JSONFormatter outer;
        outer.setObject(L"a", inner);
        nestedCopy = outer.toString();
    });
    worker.join();
    EXPECT_TRUE(parsedOk);
    EXPECT_EQ(copied, text);
    EXPECT_EQ(nestedCopy, text);
}
