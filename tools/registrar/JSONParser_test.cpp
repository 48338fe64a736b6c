#include "tools/registrar/JSONParser.h"
#include "tools/registrar/testing/FileTestHelpers.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

using Tessil::JSONParser;
using Tessil::testing::ReadBytes;
using Tessil::testing::ScopedTempFolder;
using Tessil::testing::Utf16Le;
using Tessil::testing::WriteBytes;

namespace {

std::string Narrow(const std::wstring& text) {
    std::string out;
    for (wchar_t c : text) out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    return out;
}

std::wstring Nested(std::size_t depth, wchar_t open, wchar_t close, const std::wstring& inner = L"") {
    return std::wstring(depth, open) + inner + std::wstring(depth, close);
}

std::wstring NestedObjects(std::size_t depth) {
    std::wstring text;
    for (std::size_t i = 0; i < depth; ++i) text += L"{\"a\":";
    text += L"1";
    text += std::wstring(depth, L'}');
    return text;
}

TEST(JSONParser, NewParserIsNullAndEmpty) {
    JSONParser parser;
    EXPECT_TRUE(parser.isEmpty());
    EXPECT_EQ(parser.toString(), L"null");
    std::vector<std::wstring> list;
    EXPECT_FALSE(parser.getStringArray(L"registry", list, L"appcode"));
    bool b = false;
    EXPECT_FALSE(parser.getBool(L"a", b));
}

TEST(JSONParser, ParseAcceptsAnyRootAndRefusesInvalidText) {
    struct Case {
        std::wstring text;
        bool parsed;
        bool empty;
        const wchar_t* written;
    };
    const Case cases[] = {
        {L"[1]", true, true, L"[1]"},
        {L"{}", true, true, L"{}"},
        {L" \t\r\n{\"a\" : 1 }\n", true, false, L"{\"a\":1}"},
        {L"\"text\"", true, true, L"\"text\""},
        {L"5", true, true, L"5"},
        {L"null", true, true, L"null"},
        // Numbers beyond the range of a double are refused, however written.
        {L"[1e309]", false, true, L"null"},
        {L"[-1e309]", false, true, L"null"},
        {L"[99999980e301]", false, true, L"null"},
        {L"{\"n\":-99999980e301}", false, true, L"null"},
        {L"[1.7976931348623157e308]", true, true, L"[1.7976931348623157e308]"},
        {L"", false, true, L"null"},
        {L"   ", false, true, L"null"},
        {L"{", false, true, L"null"},
        {L"{}x", false, true, L"null"},
        {L"{} {}", false, true, L"null"},
        {L"{'a':1}", false, true, L"null"},
        {L"{\"a\":1,}", false, true, L"null"},
        {L"[1,]", false, true, L"null"},
        {L"{\"a\":01}", false, true, L"null"},
        {std::wstring(L"{}\0garbage", 10), true, true, L"{}"},  // up to the first NUL
        {std::wstring(L"\0{}", 3), false, true, L"null"},
        {L"{\"s\":\"\\uD83D\\uDE00\"}", true, false, L"{\"s\":\"\U0001F600\"}"},
        {L"{\"s\":\"\\uD800\"}", false, true, L"null"},         // lone high surrogate escape
        {L"{\"s\":\"\\uDC00\"}", false, true, L"null"},         // lone low surrogate escape
        {L"{\"s\":\"\\uD800\\u0041\"}", false, true, L"null"},  // high surrogate, then no low one
        {std::wstring(L"{\"s\":\"") + wchar_t(0xD800) + L"\"}", false, true, L"null"},  // raw lone surrogate
        {std::wstring(L"{\"s\":\"") + wchar_t(0xDC00) + L"\"}", false, true, L"null"},
        {std::wstring(L"{\"s\":\"") + wchar_t(0xD83D) + wchar_t(0xDE00) + L"\"}", true, false,
         L"{\"s\":\"\U0001F600\"}"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Narrow(c.text));
        JSONParser parser;
        parser.setString(L"old", L"content");  // replaced by every parse
        EXPECT_EQ(parser.parse(c.text), c.parsed);
        EXPECT_EQ(parser.isEmpty(), c.empty);
        EXPECT_EQ(parser.toString(), c.written);
    }
}

TEST(JSONParser, DeepNestingIsRefusedWithoutCrashing) {
    struct Case {
        const char* title;
        std::wstring text;
        bool parsed;
    };
    const std::size_t limit = JSONParser::kMaxDepth;
    const Case cases[] = {
        {"arrays at the limit", Nested(limit, L'[', L']'), true},
        {"arrays one past the limit", Nested(limit + 1, L'[', L']'), false},
        {"objects at the limit", NestedObjects(limit), true},
        {"objects one past the limit", NestedObjects(limit + 1), false},
        {"100000 arrays", Nested(100000, L'[', L']'), false},
        {"100000 objects", NestedObjects(100000), false},
        {"100000 unclosed arrays", std::wstring(100000, L'['), false},
        {"long flat array", L"[" + [] {
             std::wstring items;
             for (int i = 0; i < 20000; ++i) items += (i ? L",1" : L"1");
             return items;
         }() + L"]", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.title);
        JSONParser parser;
        EXPECT_EQ(parser.parse(c.text), c.parsed);
        if (!c.parsed) {
            EXPECT_EQ(parser.toString(), L"null");
        } else {
            EXPECT_EQ(parser.toString(), c.text);
        }
    }
}

TEST(JSONParser, TypedGettersFollowTheFormattersRules) {
    JSONParser parser;
    ASSERT_TRUE(parser.parse(
        L"{\"five\":5,\"fiveDouble\":5.0,\"exp\":1e2,\"minusOne\":-1,\"uintMax\":4294967295,"
        L"\"int64Min\":-9223372036854775808,\"uint64Max\":18446744073709551615,"
        L"\"t\":true,\"f\":false,\"s\":\"text\",\"n\":null,\"o\":{},\"a\":[],\"num\":\"5\"}"));
    struct Case {
        const wchar_t* key;
        bool isInt, isUInt, isInt64, isUInt64, isDouble, isBool, isString;
    };
    const Case cases[] = {
        {L"five", true, true, true, true, false, false, false},
        {L"fiveDouble", false, false, false, false, true, false, false},
        {L"exp", false, false, false, false, true, false, false},
        {L"minusOne", true, false, true, false, false, false, false},
        {L"uintMax", false, true, true, true, false, false, false},
        {L"int64Min", false, false, true, false, false, false, false},
        {L"uint64Max", false, false, false, true, false, false, false},
        {L"t", false, false, false, false, false, true, false},
        {L"f", false, false, false, false, false, true, false},
        {L"s", false, false, false, false, false, false, true},
        {L"num", false, false, false, false, false, false, true},
        {L"n", false, false, false, false, false, false, false},
        {L"o", false, false, false, false, false, false, false},
        {L"a", false, false, false, false, false, false, false},
        {L"missing", false, false, false, false, false, false, false},
        {L"Five", false, false, false, false, false, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Narrow(c.key));
        int i = 7;
        unsigned u = 7;
        std::int64_t i64 = 7;
        std::uint64_t u64 = 7;
        double d = 7;
        bool b = false;
        std::wstring s = L"unchanged";
        EXPECT_EQ(parser.getInt(c.key, i), c.isInt);
        EXPECT_EQ(parser.getUInt(c.key, u), c.isUInt);
        EXPECT_EQ(parser.getInt64(c.key, i64), c.isInt64);
        EXPECT_EQ(parser.getUInt64(c.key, u64), c.isUInt64);
        EXPECT_EQ(parser.getDouble(c.key, d), c.isDouble);
        EXPECT_EQ(parser.getBool(c.key, b), c.isBool);
        EXPECT_EQ(parser.getString(c.key, s), c.isString);
        if (!c.isInt) {
            EXPECT_EQ(i, 7);
        }
        if (!c.isUInt) {
            EXPECT_EQ(u, 7u);
        }
        if (!c.isString) {
            EXPECT_EQ(s, L"unchanged");
        }
    }
    int i = 0;
    ASSERT_TRUE(parser.getInt(L"minusOne", i));
    EXPECT_EQ(i, -1);
    std::uint64_t u64 = 0;
    ASSERT_TRUE(parser.getUInt64(L"uint64Max", u64));
    EXPECT_EQ(u64, UINT64_MAX);
    double d = 0;
    ASSERT_TRUE(parser.getDouble(L"exp", d));
    EXPECT_EQ(d, 100.0);
    bool b = true;
    ASSERT_TRUE(parser.getBool(L"f", b));
    EXPECT_FALSE(b);
}

TEST(JSONParser, KeysAndStringsAreTakenUpToTheirFirstNul) {
    JSONParser parser;
    ASSERT_TRUE(parser.parse(L"{\"a\":\"x\\u0000y\",\"b\":1}"));
    std::wstring s;
    ASSERT_TRUE(parser.getString(std::wstring(L"a\0ignored", 9), s));
    EXPECT_EQ(s, L"x");
    parser.setString(std::wstring(L"c\0d", 3), std::wstring(L"v\0w", 3));
    EXPECT_EQ(parser.toString(), L"{\"a\":\"x\\u0000y\",\"b\":1,\"c\":\"v\"}");
}

TEST(JSONParser, GettersFindNothingInADocumentThatIsNoObject) {
    JSONParser parser;
    ASSERT_TRUE(parser.parse(L"[{\"a\":1}]"));
    int i = 0;
    EXPECT_FALSE(parser.getInt(L"a", i));
    std::vector<std::wstring> list;
    EXPECT_FALSE(parser.getStringArray(L"a", list, L""));
}

TEST(JSONParser, SettersReplaceByMovingTheLastMemberIntoPlace) {
    struct Case {
        const char* title;
        const wchar_t* start;
        const wchar_t* key;
        const wchar_t* result;
    };
    const Case cases[] = {
        {"replace the first of three", L"{\"a\":1,\"b\":2,\"c\":3}", L"a", L"{\"c\":3,\"b\":2,\"a\":\"v\"}"},
        {"replace the middle of three", L"{\"a\":1,\"b\":2,\"c\":3}", L"b", L"{\"a\":1,\"c\":3,\"b\":\"v\"}"},
        {"replace the last", L"{\"a\":1,\"b\":2,\"c\":3}", L"c", L"{\"a\":1,\"b\":2,\"c\":\"v\"}"},
        {"add a new one", L"{\"a\":1,\"b\":2,\"c\":3}", L"d", L"{\"a\":1,\"b\":2,\"c\":3,\"d\":\"v\"}"},
        {"replace the only one", L"{\"a\":1}", L"a", L"{\"a\":\"v\"}"},
        {"the first of duplicates", L"{\"a\":1,\"a\":2,\"b\":3}", L"a", L"{\"b\":3,\"a\":2,\"a\":\"v\"}"},
        {"a null document becomes an object", L"null", L"a", L"{\"a\":\"v\"}"},
        {"an array document becomes an object", L"[1,2]", L"a", L"{\"a\":\"v\"}"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.title);
        JSONParser parser;
        ASSERT_TRUE(parser.parse(c.start));
        parser.setString(c.key, L"v");
        EXPECT_EQ(parser.toString(), c.result);
    }
}

TEST(JSONParser, EverySetterStoresItsType) {
    JSONParser parser;
    parser.setBool(L"b", true);
    parser.setString(L"s", L"x");
    parser.setInt(L"i", -5);
    parser.setInt64(L"i64", INT64_MIN);
    parser.setUInt(L"u", 4294967295u);
    parser.setUInt64(L"u64", UINT64_MAX);
    parser.setDouble(L"d", 0.5);
    EXPECT_EQ(parser.toString(),
              L"{\"b\":true,\"s\":\"x\",\"i\":-5,\"i64\":-9223372036854775808,\"u\":4294967295,"
              L"\"u64\":18446744073709551615,\"d\":0.5}");
    int i = 0;
    EXPECT_TRUE(parser.getInt(L"i", i));
    EXPECT_EQ(i, -5);
    parser.setInt64(L"five", 5);
    unsigned u = 0;
    EXPECT_TRUE(parser.getUInt(L"five", u));
    EXPECT_EQ(u, 5u);
    double d = 0;
    EXPECT_FALSE(parser.getDouble(L"five", d));
    parser.setDouble(L"five", 5.0);
    EXPECT_TRUE(parser.getDouble(L"five", d));
    EXPECT_FALSE(parser.getInt(L"five", i));
}

TEST(JSONParser, GetStringArray) {
    struct Case {
        const char* title;
        const wchar_t* text;
        const wchar_t* memberName;
        bool answer;
        std::vector<std::wstring> appended;
    };
    const Case cases[] = {
        {"missing key", L"{\"x\":[]}", L"appcode", false, {}},
        {"not an array", L"{\"registry\":{}}", L"appcode", false, {}},
        {"string member", L"{\"registry\":\"A\"}", L"", false, {}},
        {"empty array", L"{\"registry\":[]}", L"appcode", true, {}},
        {"strings", L"{\"registry\":[\"a\",\"b\"]}", L"", true, {L"a", L"b"}},
        {"a number among strings", L"{\"registry\":[\"a\",1,\"b\"]}", L"", false, {L"a"}},
        {"objects", L"{\"registry\":[{\"appcode\":\"A\"},{\"x\":1,\"appcode\":\"B\"}]}", L"appcode", true,
         {L"A", L"B"}},
        {"first of duplicate names", L"{\"registry\":[{\"appcode\":\"A\",\"appcode\":\"B\"}]}", L"appcode",
         true, {L"A"}},
        {"an element without the member", L"{\"registry\":[{\"appcode\":\"A\"},{\"other\":\"B\"}]}",
         L"appcode", false, {L"A"}},
        {"a number code", L"{\"registry\":[{\"appcode\":5}]}", L"appcode", false, {}},
        {"a bare string element", L"{\"registry\":[\"A\"]}", L"appcode", false, {}},
        {"member names are case-sensitive", L"{\"registry\":[{\"AppCode\":\"A\"}]}", L"appcode", false, {}},
        {"texts up to the first NUL", L"{\"registry\":[{\"appcode\":\"A\\u0000B\"}]}", L"appcode", true, {L"A"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.title);
        JSONParser parser;
        ASSERT_TRUE(parser.parse(c.text));
        std::vector<std::wstring> out = {L"kept"};
        EXPECT_EQ(parser.getStringArray(L"registry", out, c.memberName), c.answer);
        std::vector<std::wstring> expected = {L"kept"};
        expected.insert(expected.end(), c.appended.begin(), c.appended.end());
        EXPECT_EQ(out, expected);
    }
}

TEST(JSONParser, AppendToArray) {
    struct Case {
        const char* title;
        const wchar_t* start;
        const wchar_t* memberName;
        const wchar_t* result;
    };
    const Case cases[] = {
        {"creates the array in a null document", L"null", L"appcode",
         L"{\"registry\":[{\"appcode\":\"A\"},{\"appcode\":\"B\"}]}"},
        {"strings without a member name", L"{}", L"", L"{\"registry\":[\"A\",\"B\"]}"},
        {"appends to an existing array without reordering", L"{\"registry\":[\"z\"],\"x\":1}", L"",
         L"{\"registry\":[\"z\",\"A\",\"B\"],\"x\":1}"},
        {"a new array goes at the end", L"{\"x\":1,\"y\":2}", L"",
         L"{\"x\":1,\"y\":2,\"registry\":[\"A\",\"B\"]}"},
        {"replaces a document that is no object", L"[1]", L"", L"{\"registry\":[\"A\",\"B\"]}"},
        {"a member that is no array becomes one", L"{\"registry\":5,\"x\":1}", L"",
         L"{\"x\":1,\"registry\":[\"A\",\"B\"]}"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.title);
        JSONParser parser;
        ASSERT_TRUE(parser.parse(c.start));
        parser.appendToArray(L"registry", L"A", c.memberName);
        parser.appendToArray(L"registry", L"B", c.memberName);
        EXPECT_EQ(parser.toString(), c.result);
    }
}

TEST(JSONParser, StringsAreEscapedAsRapidJsonsWriterDoes) {
    JSONParser parser;
    parser.setString(L"s", std::wstring(L"q\"b\\t\tu") + wchar_t(1) + L"/\u00e9\u4e2d\b\f\n\r" +
                               wchar_t(0x1f));
    EXPECT_EQ(parser.toString(), L"{\"s\":\"q\\\"b\\\\t\\tu\\u0001/\u00e9\u4e2d\\b\\f\\n\\r\\u001F\"}");
}

TEST(JSONParser, WriteToGivesTheFileBytesInPiecesOf256) {
    JSONParser parser;
    for (int i = 0; i < 40; ++i) parser.appendToArray(L"registry", L"CODE" + std::to_wstring(i), L"appcode");
    std::string bytes;
    std::vector<std::size_t> pieces;
    ASSERT_TRUE(parser.writeTo([&](const char* data, std::size_t size) {
        bytes.append(data, size);
        pieces.push_back(size);
        return true;
    }));
    EXPECT_EQ(bytes, Utf16Le(parser.toString()));
    ASSERT_GT(pieces.size(), 3u);
    for (std::size_t i = 0; i + 1 < pieces.size(); ++i) EXPECT_EQ(pieces[i], 256u);
    EXPECT_LE(pieces.back(), 256u);

    int calls = 0;
    EXPECT_FALSE(parser.writeTo([&](const char*, std::size_t) { return ++calls < 2; }));
    EXPECT_EQ(calls, 2);  // stops at the refused piece
}

TEST(JSONParser, LoneSurrogatesAreNeverWrittenToAFile) {
    const std::wstring codes[] = {
        std::wstring(1, wchar_t(0xD800)),
        std::wstring(1, wchar_t(0xDFFF)),
        std::wstring(L"A") + wchar_t(0xD83D),                 // high surrogate at the end
        std::wstring(L"A") + wchar_t(0xDE00) + wchar_t(0xD83D),  // reversed pair
    };
    for (const std::wstring& code : codes) {
        JSONParser parser;
        parser.appendToArray(L"registry", L"A", L"appcode");
        parser.appendToArray(L"registry", code, L"appcode");
        int calls = 0;
        EXPECT_FALSE(parser.writeTo([&](const char*, std::size_t) { return ++calls > 0; }));
        EXPECT_EQ(calls, 0);  // nothing handed over, not even the byte-order mark
    }
    JSONParser pair;
    pair.setString(L"s", std::wstring(L"") + wchar_t(0xD83D) + wchar_t(0xDE00));
    EXPECT_TRUE(pair.writeTo([](const char*, std::size_t) { return true; }));
}

TEST(JSONParser, WrittenBytesParseFromTheFileAgain) {
    ScopedTempFolder folder;
    const std::wstring path = folder.file(L"doc.dat");
    JSONParser parser;
    parser.setString(L"s", L"\u00e9\U0001F600");
    parser.setInt(L"i", 3);
    std::string bytes;
    EXPECT_TRUE(parser.writeTo([&](const char* data, std::size_t size) {
        bytes.append(data, size);
        return true;
    }));
    EXPECT_EQ(bytes, Utf16Le(L"{\"s\":\"\u00e9\U0001F600\",\"i\":3}"));
    WriteBytes(path, bytes);
    JSONParser reader;
    FILE* file = _wfopen(path.c_str(), L"rb");
    ASSERT_NE(file, nullptr);
    EXPECT_TRUE(reader.parseFile(file));
    fclose(file);
    EXPECT_EQ(reader.toString(), parser.toString());
}

TEST(JSONParser, ParseFile) {
    struct Case {
        const char* title;
        std::string bytes;
        bool parsed;
        const wchar_t* written;
    };
    const std::string big = Utf16Le(L"{\"s\":\"" + std::wstring(JSONParser::kMaxFileBytes / 2, L'x') + L"\"}");
    const std::string justFits =
        Utf16Le(L"{\"s\":\"" + std::wstring(JSONParser::kMaxFileBytes / 2 - 9, L'x') + L"\"}");
    ASSERT_EQ(justFits.size(), JSONParser::kMaxFileBytes);
    const Case cases[] = {
        {"with byte-order mark", Utf16Le(L"{\"a\":1}"), true, L"{\"a\":1}"},
        {"without byte-order mark", Utf16Le(L"{\"a\":1}", false), true, L"{\"a\":1}"},
        {"byte-order mark alone", "\xFF\xFE", false, L"null"},
        {"empty file", "", false, L"null"},
        {"UTF-8", "{\"a\":1}", false, L"null"},
        {"UTF-8 with its byte-order mark", "\xEF\xBB\xBF{}", false, L"null"},
        {"UTF-16BE", "\xFE\xFF\0{\0}", false, L"null"},
        {"an odd last byte", Utf16Le(L"{}") + " ", true, L"{}"},
        {"an odd last byte alone", " ", false, L"null"},
        {"a NUL unit after the text", Utf16Le(L"{}") + std::string(2, '\0'), true, L"{}"},
        {"anything after a NUL unit", Utf16Le(L"{}") + std::string(2, '\0') + Utf16Le(L"x]", false) + "y",
         true, L"{}"},
        {"a NUL unit inside", Utf16Le(L"{\"a\":1") + std::string(2, '\0') + Utf16Le(L"}", false), false,
         L"null"},
        {"a NUL unit first", std::string(2, '\0') + Utf16Le(L"{}", false), false, L"null"},
        {"lone surrogate", Utf16Le(std::wstring(L"[\"") + wchar_t(0xD800) + L"\"]"), false, L"null"},
        {"deep nesting", Utf16Le(Nested(100000, L'[', L']')), false, L"null"},
        {"over the size limit", big, false, L"null"},
        {"a number cut by nothing", Utf16Le(L"12345"), true, L"12345"},
    };
    ScopedTempFolder folder;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.title);
        const std::wstring path = folder.file(L"in.dat");
        WriteBytes(path, c.bytes);
        FILE* file = _wfopen(path.c_str(), L"rb");
        ASSERT_NE(file, nullptr);
        JSONParser parser;
        parser.setInt(L"old", 1);
        EXPECT_EQ(parser.parseFile(file), c.parsed);
        fclose(file);
        EXPECT_EQ(parser.toString(), c.written);
    }
    const std::wstring path = folder.file(L"fits.dat");
    WriteBytes(path, justFits);
    FILE* file = _wfopen(path.c_str(), L"rb");
    ASSERT_NE(file, nullptr);
    JSONParser parser;
    EXPECT_TRUE(parser.parseFile(file));
    fclose(file);
    JSONParser none;
    EXPECT_FALSE(none.parseFile(nullptr));
}

}  // namespace
