// The ini readers on real files under Wine, with the fixed header
// and data texts of testing/derive_vectors.py.
#include "platform/Registry/IniReader.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cwchar>
#include <fstream>
#include <sstream>
#include <string>

namespace {

const char kTextHeader[] =
    "4356524701000000030000000100000001000000552DB8D77C7259AC54622ABB77EF5A8C23";
const char kTextData[] = "4E2A0981";  // "ETW"
const char kFiveHeader[] =
    "4356524701000000040000000400000001000000EB3A05DB82354155E79B1913165137CBA5";
const char kFiveData[] = "0E36C6A5AF";  // 5
const char kMinusTwoHeader[] =
    "43565247010000000400000004000000010000002F7C41F75247F374A9AA68976F8FBC5D88";
const char kMinusTwoData[] = "C93AC1A96D";  // -2

class IniReaderTest : public ::testing::Test {
protected:
    void SetUp() override {
        wchar_t temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        dir_ = std::wstring(temp) + L"vt-ini-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
               std::to_wstring(counter_++);
        CreateDirectoryW(dir_.c_str(), nullptr);
        path_ = dir_ + L"\\log.ini";
    }
    void TearDown() override {
        DeleteFileW(path_.c_str());
        RemoveDirectoryW(dir_.c_str());
    }
    void Write(const std::string& text) {
        FILE* f = _wfopen(path_.c_str(), L"wb");
        ASSERT_NE(nullptr, f);
        std::fwrite(text.data(), 1, text.size(), f);
        std::fclose(f);
    }
    std::string Read() {
        FILE* f = _wfopen(path_.c_str(), L"rb");
        if (f == nullptr) return "<missing>";
        std::string text;
        char buffer[512];
        std::size_t n;
        while ((n = std::fread(buffer, 1, sizeof(buffer), f)) > 0) text.append(buffer, n);
        std::fclose(f);
        return text;
    }

    static int counter_;
    std::wstring dir_;
    std::wstring path_;
};
int IniReaderTest::counter_ = 0;

TEST_F(IniReaderTest, SettersWriteTheFixedTexts) {
    Kelmora::CObfuscatedIniReader reader;
    EXPECT_FALSE(reader.Load(path_));  // missing: the name is kept
    EXPECT_EQ(path_, reader.FileName());
    ASSERT_TRUE(reader.SetString(L"Config", L"Mechanism", L"ETW"));
    ASSERT_TRUE(reader.SetInt(L"Config", L"Enable", 5));
    ASSERT_TRUE(reader.SetInt(L"Other", L"Level", -2));
    const std::string expected = std::string("[Config]\r\n_Mechanism=") + kTextHeader +
                                 "\r\nMechanism=" + kTextData + "\r\n_Enable=" + kFiveHeader +
                                 "\r\nEnable=" + kFiveData + "\r\n[Other]\r\n_Level=" +
                                 kMinusTwoHeader + "\r\nLevel=" + kMinusTwoData + "\r\n";
    EXPECT_EQ(expected, Read());
    std::wstring text;
    int number = 0;
    EXPECT_TRUE(reader.GetString(L"Config", L"Mechanism", text));
    EXPECT_EQ(L"ETW", text);
    EXPECT_TRUE(reader.GetInt(L"Config.Enable", number));
    EXPECT_EQ(5, number);
}

TEST_F(IniReaderTest, LoadsTheFixedTextsAndIgnoresPlainValues) {
    Write(std::string("; comment\r\n") + "top=1\r\n" + "[Config]\r\n" + "  _Mechanism = " +
          kTextHeader + "  \r\nMechanism=" + kTextData + "\r\n_Enable=" + kFiveHeader +
          "\r\nEnable=" + kFiveData + "\r\nPlain=1\r\n" + "[]\r\n" + "_Level=" + kMinusTwoHeader +
          "\r\nLevel=" + kMinusTwoData + "\r\nno equals sign\r\n");
    Kelmora::CObfuscatedIniReader reader;
    ASSERT_TRUE(reader.Load(path_));
    std::wstring text;
    int number = 0;
    EXPECT_TRUE(reader.GetString(L"Config.Mechanism", text));
    EXPECT_EQ(L"ETW", text);
    EXPECT_TRUE(reader.GetInt(L"Config", L"Enable", number));
    EXPECT_EQ(5, number);
    EXPECT_TRUE(reader.GetInt(L"Config.Level", number));  // "[]" kept the section
    EXPECT_EQ(-2, number);
    EXPECT_FALSE(reader.GetInt(L"Config.Plain", number));
    EXPECT_FALSE(reader.GetInt(L".top", number));
    EXPECT_FALSE(reader.GetString(L"config.Mechanism", text));  // case matters
    EXPECT_FALSE(reader.GetString(L"Config.Missing", text));
    EXPECT_FALSE(reader.GetString(L"NoDot", text));
    Kelmora::IniSectionMap section;
    EXPECT_TRUE(reader.GetSection(L"Config", section));
    EXPECT_EQ(L"1", section[L"Plain"]);
    EXPECT_EQ(L"ETW", section[L"Mechanism"]);
    EXPECT_EQ(0u, section.count(L"_Mechanism"));
    Kelmora::IniSectionMap top;
    EXPECT_TRUE(reader.GetSection(L"", top));
    EXPECT_EQ(L"1", top[L"top"]);
    EXPECT_FALSE(reader.GetSection(L"Nope", top));
}

TEST_F(IniReaderTest, FirstPlainLineWinsLastHeaderWins) {
    std::string badHeader = kFiveHeader;
    badHeader[40] = badHeader[40] == '0' ? '1' : '0';  // digest no longer matches
    Write(std::string("[Config]\r\nSeverity=") + kFiveData + "\r\nSeverity=" + kMinusTwoData +
          "\r\n_Severity=" + badHeader + "\r\n_Severity=" + kFiveHeader + "\r\n");
    Kelmora::CObfuscatedIniReader reader;
    ASSERT_TRUE(reader.Load(path_));
    int number = 0;
    EXPECT_TRUE(reader.GetInt(L"Config.Severity", number));
    EXPECT_EQ(5, number);
}

// Stored texts from outside: each bad pair is simply absent, and nothing
// else in the file is lost.
TEST_F(IniReaderTest, CraftedPairsAreAbsent) {
    struct Case {
        const char* name;
        std::string header;
        std::string data;
    };
    std::string otherMagic = kTextHeader;
    otherMagic[7] = '8';
    std::string spaced = kTextHeader;
    spaced[50] = ' ';
    std::string signed_ = kTextHeader;
    signed_[42] = '-';
    const Case cases[] = {
        {"other magic is an ordinary value", otherMagic, kTextData},
        {"space inside header", spaced, kTextData},
        {"sign inside header", signed_, kTextData},
        {"data shorter than header says", kTextHeader, "4E2A"},
        {"empty data", kTextHeader, ""},
        {"hex with spaces", kTextHeader, "4E 2A0981"},
        {"hex with sign", kTextHeader, "+E2A0981"},
        {"data of another value", kTextHeader, kFiveData},
        {"header 73 characters", std::string(kTextHeader).substr(0, 73), kTextData},
    };
    for (const Case& c : cases) {
        Write("[S]\r\n_K=" + c.header + "\r\nK=" + c.data + "\r\n_E=" + kFiveHeader + "\r\nE=" +
              kFiveData + "\r\n");
        Kelmora::CObfuscatedIniReader reader;
        ASSERT_TRUE(reader.Load(path_)) << c.name;
        std::wstring text;
        EXPECT_FALSE(reader.GetString(L"S.K", text)) << c.name;
        int number = 0;
        EXPECT_TRUE(reader.GetInt(L"S.E", number)) << c.name;
        EXPECT_EQ(5, number) << c.name;
    }
}

TEST_F(IniReaderTest, LowerCaseHexDigitsDecode) {
    std::string lower = kTextHeader;
    for (char& c : lower) c = static_cast<char>(tolower(c));
    Write("[S]\r\n_K=" + lower + "\r\nK=4e2a0981\r\n");
    Kelmora::CObfuscatedIniReader reader;
    ASSERT_TRUE(reader.Load(path_));
    std::wstring text;
    EXPECT_TRUE(reader.GetString(L"S.K", text));
    EXPECT_EQ(L"ETW", text);
}

TEST_F(IniReaderTest, LongLinesEmptyFilesAndUnreadableFiles) {
    Write(std::string(5000, 'x') + "\r\n[S]\r\n_E=" + kFiveHeader + "\r\nE=" + kFiveData + "\r\n");
    Kelmora::CObfuscatedIniReader reader;
    ASSERT_TRUE(reader.Load(path_));
    int number = 0;
    EXPECT_TRUE(reader.GetInt(L"S.E", number));
    Write("");
    EXPECT_TRUE(reader.Load(path_));
    EXPECT_FALSE(reader.GetInt(L"S.E", number));  // a later Load starts from empty maps
    EXPECT_FALSE(reader.Load(L""));
    EXPECT_FALSE(reader.Load(dir_));  // a folder: cannot be read, the name is cleared
    EXPECT_EQ(L"", reader.FileName());
    EXPECT_FALSE(reader.SetInt(L"S", L"E", 1));  // no file name: nothing is written
    EXPECT_FALSE(reader.SetString(L"S", L"T", L"x"));
}

TEST_F(IniReaderTest, EmptyTextIsRefusedAndNothingWritten) {
    Kelmora::CObfuscatedIniReader reader;
    reader.Load(path_);
    EXPECT_FALSE(reader.SetString(L"Config", L"Name", L""));
    EXPECT_EQ("<missing>", Read());
}

// Puts the thread locale back however the test ends.
class ThreadLocaleGuard {
public:
    ThreadLocaleGuard() : before_(GetThreadLocale()) {}
    ~ThreadLocaleGuard() { SetThreadLocale(before_); }
    ThreadLocaleGuard(const ThreadLocaleGuard&) = delete;
    ThreadLocaleGuard& operator=(const ThreadLocaleGuard&) = delete;

private:
    LCID before_;
};

// True when the thread's ANSI code page takes the text as 5 bytes and back.
bool ThreadAnsiIsDoubleByte(const wchar_t* text) {
    char bytes[16] = {};
    wchar_t back[8] = {};
    return WideCharToMultiByte(CP_THREAD_ACP, 0, text, 3, bytes, sizeof(bytes), nullptr,
                               nullptr) == 5 &&
           MultiByteToWideChar(CP_THREAD_ACP, 0, bytes, 5, back, 8) == 3 &&
           std::wmemcmp(text, back, 3) == 0;
}

TEST_F(IniReaderTest, AnsiLengthIsCountedInBytes) {
    const wchar_t kText[] = L"\u65e5\u672cx";
    ThreadLocaleGuard guard;
    SetThreadLocale(MAKELCID(MAKELANGID(LANG_JAPANESE, SUBLANG_JAPANESE_JAPAN), SORT_DEFAULT));
    if (!ThreadAnsiIsDoubleByte(kText)) {
        GTEST_SKIP() << "no double-byte ANSI code page for the thread";
    }
    {
        Kelmora::CObfuscatedIniReader writer;
        writer.Load(path_);
        ASSERT_TRUE(writer.SetString(L"S", L"Name", kText));
    }
    const std::string file = Read();
    const std::size_t at = file.find("\r\nName=");
    ASSERT_NE(std::string::npos, at);
    const std::size_t end = file.find("\r\n", at + 2);
    // Two double-byte characters and one single byte: 5 bytes, 10 digits + checksum.
    EXPECT_EQ(12u, end - (at + 7)) << file;
    Kelmora::CObfuscatedIniReader reader;
    ASSERT_TRUE(reader.Load(path_));
    std::wstring text;
    EXPECT_TRUE(reader.GetString(L"S.Name", text));
    EXPECT_EQ(kText, text);
}

TEST_F(IniReaderTest, GetIntReadsLikeWtol) {
    Kelmora::CObfuscatedIniReader reader;
    reader.Load(path_);
    struct Case {
        const wchar_t* text;
        int value;
    };
    const Case cases[] = {{L"12", 12}, {L"  -7x", -7}, {L"+3", 3}, {L"abc", 0},
                          {L"99999999999", 2147483647}, {L"-99999999999", -2147483647 - 1}};
    for (const Case& c : cases) {
        ASSERT_TRUE(reader.SetString(L"S", L"N", c.text));
        int number = 1;
        EXPECT_TRUE(reader.GetInt(L"S.N", number));
        EXPECT_EQ(c.value, number) << c.text;
    }
}

}  // namespace

namespace {

// The reader finds exact names only; the profile functions that write the
// pair find them without regard to case and past a byte-order mark.
TEST_F(IniReaderTest, ProfileReadFindsThePairAsTheProfileFunctionsDo) {
    const std::string pair = std::string("_Value=") + kFiveHeader + "\r\nValue=" + kFiveData + "\r\n";
    struct Case {
        const char* what;
        std::string file;
        std::wstring section, key;
        bool found;
        int value;
    };
    const Case cases[] = {
        {"exact names", "[Config]\r\n" + pair, L"Config", L"Value", true, 5},
        {"section in another case", "[config]\r\n" + pair, L"Config", L"Value", true, 5},
        {"key in another case", "[Config]\r\n" + pair, L"Config", L"VALUE", true, 5},
        {"UTF-8 byte-order mark", "\xEF\xBB\xBF[Config]\r\n" + pair, L"Config", L"Value", true, 5},
        {"first of two wins",
         "[Config]\r\n" + pair + "_value=" + kMinusTwoHeader + "\r\nvalue=" + kMinusTwoData + "\r\n", L"Config",
         L"Value", true, 5},
        {"text value is no integer",
         std::string("[Config]\r\n_Value=") + kTextHeader + "\r\nValue=" + kTextData + "\r\n", L"Config", L"Value",
         false, 0},
        {"plain value", "[Config]\r\nValue=5\r\n", L"Config", L"Value", false, 0},
        {"header without data", std::string("[Config]\r\n_Value=") + kFiveHeader + "\r\n", L"Config", L"Value",
         false, 0},
        {"other section", "[Other]\r\n" + pair, L"Config", L"Value", false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Write(c.file);
        int value = 0;
        EXPECT_EQ(Kelmora::ReadProfileScrambledInt(path_, c.section, c.key, value), c.found);
        if (c.found) {
            EXPECT_EQ(value, c.value);
        }
    }
    int value = 0;
    EXPECT_FALSE(Kelmora::ReadProfileScrambledInt(dir_ + L"\\missing.ini", L"Config", L"Value", value));
    EXPECT_FALSE(Kelmora::ReadProfileScrambledInt(L"", L"Config", L"Value", value));
}

}  // namespace
