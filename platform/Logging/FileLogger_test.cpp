#include "platform/Logging/FileLogger.h"

#include "platform/Logging/FileLogLine.h"
#include "platform/Logging/LoggerModule.h"
#include "platform/Registry/IniReader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using ETWLogging::CLogging;
using ETWLogging::internal::ComposeLine;
using ETWLogging::internal::LineParts;

namespace {

constexpr wchar_t kChildFolderVariable[] = L"VT_FILE_LOGGER_CHILD_ROOT";
constexpr wchar_t kChildStartVariable[] = L"VT_FILE_LOGGER_CHILD_START";
constexpr int kLinesPerProcess = 300;

std::wstring TempRoot() {
    wchar_t temp[MAX_PATH + 1];
    DWORD length = GetTempPathW(MAX_PATH + 1, temp);
    std::wstring path(temp, length);
    static int counter = 0;
    path += L"vt-filelog-" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(counter++);
    CreateDirectoryW(path.c_str(), nullptr);
    return path;
}

void DeleteTree(const std::wstring& path) {
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((path + L"\\*").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            std::wstring name = data.cFileName;
            if (name == L"." || name == L"..") continue;
            std::wstring full = path + L"\\" + name;
            if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                DeleteTree(full);
            } else {
                DeleteFileW(full.c_str());
            }
        } while (FindNextFileW(find, &data));
        FindClose(find);
    }
    RemoveDirectoryW(path.c_str());
}

std::wstring ModuleBase() {
    std::wstring name;
    EXPECT_TRUE(ETWLogging::internal::ModuleFileName(nullptr, name));
    return ETWLogging::internal::StripExtension(name);
}

// Fixed clock, a private ProgramData folder and a record of debug output.
class TestAPI : public ETWLogging::FileLoggerAPI {
public:
    explicit TestAPI(std::wstring root) : root_(std::move(root)) {}
    HRESULT GetProgramDataFolder(std::wstring& path) override {
        if (failFolder) return E_FAIL;
        path = root_;
        return S_OK;
    }
    void GetLocalTime(SYSTEMTIME& time) override { time = now; }
    void DebugOutput(const wchar_t* text) override {
        std::lock_guard<std::mutex> lock(mutex_);
        debug.push_back(text);
    }
    std::vector<std::wstring> Debug() {
        std::lock_guard<std::mutex> lock(mutex_);
        return debug;
    }
    SYSTEMTIME now{2026, 3, 1, 2, 9, 14, 5, 0};
    bool failFolder = false;

private:
    std::wstring root_;
    std::mutex mutex_;
    std::vector<std::wstring> debug;
};

struct FileContent {
    bool exists = false;
    bool bom = false;
    std::wstring text;
};

FileContent ReadLog(const std::wstring& path) {
    FileContent content;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return content;
    content.exists = true;
    LARGE_INTEGER size{};
    GetFileSizeEx(file, &size);
    std::string bytes(static_cast<std::size_t>(size.QuadPart), '\0');
    DWORD read = 0;
    if (!bytes.empty()) ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr);
    CloseHandle(file);
    std::size_t start = 0;
    if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
        static_cast<unsigned char>(bytes[1]) == 0xFE) {
        content.bom = true;
        start = 2;
    }
    content.text.assign(reinterpret_cast<const wchar_t*>(bytes.data() + start), (bytes.size() - start) / 2);
    return content;
}

// Grows the file to the size (sparse where the file system allows).
void SetFileSize(const std::wstring& path, LONGLONG size) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_ALWAYS, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    LARGE_INTEGER position;
    position.QuadPart = size;
    ASSERT_TRUE(SetFilePointerEx(file, position, nullptr, FILE_BEGIN));
    ASSERT_TRUE(SetEndOfFile(file));
    CloseHandle(file);
}

void SetIni(const std::wstring& path, const wchar_t* key, int value) {
    Kelmora::CObfuscatedIniReader reader;
    reader.Load(path);
    ASSERT_TRUE(reader.SetInt(L"Config", key, value)) << path;
}

std::optional<int> GetIni(const std::wstring& path, const wchar_t* key) {
    Kelmora::CObfuscatedIniReader reader;
    int value = 0;
    if (!reader.Load(path) || !reader.GetInt(L"Config", key, value)) return std::nullopt;
    return value;
}

std::size_t CountOf(const std::wstring& text, const std::wstring& part) {
    std::size_t count = 0;
    for (std::size_t pos = text.find(part); pos != std::wstring::npos; pos = text.find(part, pos + 1)) ++count;
    return count;
}

class FileLoggerTest : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = TempRoot();
        api_ = std::make_shared<TestAPI>(root_);
        base_ = root_ + L"\\Corvane\\CVLOGS\\";
        folder_ = base_ + L"G\\" + ModuleBase();
    }
    void TearDown() override { DeleteTree(root_); }

    std::unique_ptr<CLogging> MakeLogger(const wchar_t* logName = L"G", const wchar_t* suffix = nullptr) {
        auto logger = std::make_unique<CLogging>(api_);
        // The system always names the module, so lines carry no image name.
        EXPECT_EQ(logger->Init(logName, GetModuleHandleW(nullptr), suffix, nullptr), 0u);
        return logger;
    }
    std::wstring LogFile(DWORD index) const {
        wchar_t digits[16];
        swprintf(digits, 16, L"%03lu", static_cast<unsigned long>(index));
        return folder_ + L"\\" + ModuleBase() + digits + L".log";
    }

    std::wstring root_, base_, folder_;
    std::shared_ptr<TestAPI> api_;
};

// --- line text --------------------------------------------------------------

TEST(FileLogLine, TimestampUsesA12HourClock) {
    struct Case {
        std::uint16_t hour;
        const wchar_t* expected;
    };
    const Case cases[] = {
        {0, L"03/02/2026 12:14:05 AM$"}, {1, L"03/02/2026 01:14:05 AM$"},
        {11, L"03/02/2026 11:14:05 AM$"}, {12, L"03/02/2026 12:14:05 PM$"},
        {13, L"03/02/2026 01:14:05 PM$"}, {23, L"03/02/2026 11:14:05 PM$"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ETWLogging::internal::FormatLineTimestamp({2026, 3, 2, c.hour, 14, 5}), c.expected);
    }
}

TEST(FileLogLine, PartsFollowTheOptions) {
    const std::wstring head = L"12/31/2025 04:05:06 PM$ -- (Error)$";
    const std::wstring longFunction(45, L'q');
    struct Case {
        const char* what;
        DWORD options;
        const wchar_t* image;
        const wchar_t* file;
        const wchar_t* function;
        const wchar_t* message;
        std::wstring expected;
    };
    const Case cases[] = {
        {"default options without image", 0x10, nullptr, L"a\\b.cpp", L"N::f", L"msg", head + L"  msg\r\n"},
        {"image right-aligned", 0x10, L"prog.exe", nullptr, nullptr, L"msg",
         head + L" [       prog.exe]$ msg\r\n"},
        {"image cut to 15", 0x10, L"a-very-long-program-name.exe", nullptr, nullptr, L"m",
         head + L" [a-very-long-pro]$ m\r\n"},
        {"no parts", 0, L"prog.exe", L"f", L"g", L"m", head + L" m\r\n"},
        {"process and thread", 0x04, nullptr, nullptr, nullptr, L"m", head + L" [PID:   12 TID:123456]$ m\r\n"},
        {"source after last backslash", 0x08, nullptr, L"Logging\\sub\\File.cpp", nullptr, L"m",
         head + L" [            File.cpp:   77]$ m\r\n"},
        {"source cut to 20", 0x08, nullptr, L"dir\\ABCDEFGHIJKLMNOPQRSTUVWXYZ", nullptr, L"m",
         head + L" [ABCDEFGHIJKLMNOPQRST:   77]$ m\r\n"},
        {"source missing keeps its space", 0x08, nullptr, nullptr, nullptr, L"m", head + L"  m\r\n"},
        {"function right-aligned", 0x20, nullptr, nullptr, L"N::C::f", L"m",
         head + L" [" + std::wstring(33, L' ') + L"N::C::f()]$ m\r\n"},
        {"function cut to 40", 0x20, nullptr, nullptr, longFunction.c_str(), L"m",
         head + L" [" + std::wstring(40, L'q') + L"()]$ m\r\n"},
        {"all parts in order", 0x3D, L"p.exe", L"s.cpp", L"f", L"m",
         head + L" [          p.exe]$ [PID:   12 TID:123456]$ [               s.cpp:   77]$ [" +
             std::wstring(39, L' ') + L"f()]$ m\r\n"},
        {"unknown bits ignored", 0x42, L"p.exe", nullptr, nullptr, L"m", head + L" m\r\n"},
        {"message ending in a line feed", 0, nullptr, nullptr, nullptr, L"m\n", head + L" m\n"},
        {"message ending in CR LF", 0, nullptr, nullptr, nullptr, L"m\r\n", head + L" m\r\n"},
    };
    for (const Case& c : cases) {
        LineParts parts;
        parts.time = {2025, 12, 31, 16, 5, 6};
        parts.level = 4;
        parts.imageName = c.image;
        parts.processId = 12;
        parts.threadId = 123456;
        parts.sourceFile = c.file;
        parts.line = 77;
        parts.function = c.function;
        parts.message = c.message;
        auto line = ComposeLine(parts, c.options);
        ASSERT_TRUE(line.has_value()) << c.what;
        EXPECT_EQ(*line, c.expected) << c.what;
    }
}

TEST(FileLogLine, LevelsOutsideOneToSixAndEmptyMessagesGiveNoLine) {
    struct Case {
        ETWLogging::LogLevel level;
        const wchar_t* message;
        const wchar_t* name;  // null: no line
    };
    const Case cases[] = {
        {0, L"m", nullptr}, {1, L"m", L"(Normal)"}, {2, L"m", L"(Warning)"}, {3, L"m", L"(Information)"},
        {4, L"m", L"(Error)"}, {5, L"m", L"(Critical)"}, {6, L"m", L"(Information)"}, {7, L"m", nullptr},
        {3, L"", nullptr}, {3, nullptr, nullptr},
    };
    for (const Case& c : cases) {
        LineParts parts;
        parts.level = c.level;
        parts.message = c.message;
        auto line = ComposeLine(parts, 0x10);
        EXPECT_EQ(line.has_value(), c.name != nullptr) << c.level;
        if (line && c.name) {
            EXPECT_NE(line->find(c.name), std::wstring::npos) << c.level;
        }
    }
}

TEST(FileLogLine, FileNamesCarrySuffixAndThreeDigits) {
    const std::wstring suffix = L"host";
    EXPECT_EQ(ETWLogging::internal::LogFilePath(L"C:\\d", L"M", nullptr, 0), L"C:\\d\\M000.log");
    EXPECT_EQ(ETWLogging::internal::LogFilePath(L"C:\\d", L"M", &suffix, 7), L"C:\\d\\M_host007.log");
    EXPECT_EQ(ETWLogging::internal::LogFilePath(L"C:\\d", L"M", nullptr, 1234), L"C:\\d\\M1234.log");
}

// --- the logger ---------------------------------------------------------------

TEST_F(FileLoggerTest, FirstLineGoesIntoANewFileAfterTheByteOrderMark) {
    auto logger = MakeLogger(L"G", L"host");
    EXPECT_EQ(logger->LogFolder(), folder_);
    EXPECT_EQ(logger->GlobalIniPath(), base_ + L"log.ini");
    EXPECT_EQ(logger->FolderIniPath(), folder_ + L"\\log.ini");
    EXPECT_FALSE(logger->IsEnabled(2));
    EXPECT_TRUE(logger->IsEnabled(3));
    EXPECT_EQ(logger->Write(L"x\\y.cpp", L"N::f", 3, 3, L"first"), 0u);
    EXPECT_EQ(logger->Write(L"x\\y.cpp", L"N::f", 3, 1, L"second"), 0u);
    const std::wstring file = folder_ + L"\\" + ModuleBase() + L"_host000.log";
    EXPECT_EQ(logger->LogFilePath(0), file);
    FileContent content = ReadLog(file);
    ASSERT_TRUE(content.exists);
    EXPECT_TRUE(content.bom);
    EXPECT_EQ(content.text, L"03/02/2026 09:14:05 AM$ -- (Information)$  first\r\n"
                            L"03/02/2026 09:14:05 AM$ -- (Normal)$  second\r\n");
    // An existing file gets no second byte-order mark.
    auto again = MakeLogger(L"G", L"host");
    EXPECT_EQ(again->Write(nullptr, nullptr, 0, 4, L"third"), 0u);
    EXPECT_EQ(CountOf(ReadLog(file).text, L"\xFEFF"), 0u);
    EXPECT_EQ(ReadLog(file).text.size(), content.text.size() + std::wstring(L"03/02/2026 09:14:05 AM$ -- (Error)$  third\r\n").size());
}

TEST_F(FileLoggerTest, FolderAndFileNamesFollowLogNameModuleAndSuffix) {
    struct Case {
        const wchar_t* logName;
        const wchar_t* suffix;
        std::wstring file;
    };
    const std::wstring m = ModuleBase();
    const Case cases[] = {
        {L"G", nullptr, base_ + L"G\\" + m + L"\\" + m + L"000.log"},
        {nullptr, nullptr, base_ + m + L"\\" + m + L"000.log"},
        {nullptr, L"s", base_ + m + L"\\" + m + L"_s000.log"},
    };
    for (const Case& c : cases) {
        auto logger = MakeLogger(c.logName, c.suffix);
        EXPECT_EQ(logger->Write(nullptr, nullptr, 0, 3, L"line"), 0u);
        EXPECT_TRUE(ReadLog(c.file).exists) << c.file;
    }
    // The module handle gives the base name and drops the image name.
    CLogging logger(api_);
    ASSERT_EQ(logger.Init(L"H", GetModuleHandleW(nullptr), nullptr, nullptr), 0u);
    ASSERT_EQ(logger.Write(nullptr, nullptr, 0, 3, L"m"), 0u);
    EXPECT_EQ(ReadLog(base_ + L"H\\" + m + L"\\" + m + L"000.log").text,
              L"03/02/2026 09:14:05 AM$ -- (Information)$  m\r\n");
    // Without one the image part names the program, cut to 15 characters.
    auto plain = std::make_unique<CLogging>(api_);
    ASSERT_EQ(plain->Init(L"I", nullptr, nullptr, nullptr), 0u);
    ASSERT_EQ(plain->Write(nullptr, nullptr, 0, 3, L"m"), 0u);
    std::wstring image = m + L".exe";
    if (image.size() > 15) image.resize(15);
    EXPECT_NE(ReadLog(base_ + L"I\\" + m + L"\\" + m + L"000.log").text.find(L"[" + std::wstring(15 - image.size(), L' ') + image + L"]$ m"),
              std::wstring::npos);
}

TEST_F(FileLoggerTest, InitFailuresResetEverything) {
    struct Case {
        const wchar_t* logName;
        const wchar_t* suffix;
        bool failFolder;
        DWORD expected;
    };
    const Case cases[] = {
        {L"", nullptr, false, 87},
        {L"G", L"", false, 87},
        {L"G", nullptr, true, 87},
    };
    for (const Case& c : cases) {
        api_->failFolder = c.failFolder;
        CLogging logger(api_);
        logger.SetSeverity(5);
        EXPECT_EQ(logger.Init(c.logName, nullptr, c.suffix, nullptr), c.expected);
        EXPECT_EQ(logger.GetSeverity(), 3u);
        EXPECT_TRUE(logger.LogFolder().empty());
        EXPECT_EQ(logger.Uninit(), 20002u);
        api_->failFolder = false;
        EXPECT_EQ(logger.Init(L"G", nullptr, nullptr, nullptr), 0u);
    }
    auto logger = MakeLogger();
    EXPECT_EQ(logger->Init(L"G", nullptr, nullptr, nullptr), 20001u);
    EXPECT_EQ(logger->Uninit(), 0u);
    EXPECT_EQ(logger->Uninit(), 20002u);

    // A ProgramData path that leaves no room for the log root.
    TestAPI longRoot(std::wstring(250, L'r'));
    CLogging tooLong(std::shared_ptr<ETWLogging::FileLoggerAPI>(&longRoot, [](ETWLogging::FileLoggerAPI*) {}));
    EXPECT_NE(tooLong.Init(L"G", nullptr, nullptr, nullptr), 0u);
    wchar_t small[4];
    EXPECT_EQ(tooLong.GetLogRoot(small, 4), 122u);
    EXPECT_EQ(tooLong.GetLogRoot(nullptr, 4), 87u);
}

TEST_F(FileLoggerTest, SettingsComeFromFolderThenGlobalIniAndInvalidValuesAreRewritten) {
    struct IniValue {
        bool global;
        const wchar_t* key;
        int value;
    };
    struct Expected {
        bool enabled;
        DWORD maxSize, maxEntries, severity, options;
    };
    struct Rewrite {
        bool global;
        const wchar_t* key;
        int value;
    };
    struct Case {
        const char* what;
        std::vector<IniValue> values;
        Expected expected;
        std::vector<Rewrite> rewritten;
    };
    const Case cases[] = {
        {"no ini", {}, {true, 0x40000, 3, 3, 0x10}, {}},
        {"folder values", {{false, L"MaxSize", 0x100000}, {false, L"MaxEntries", 10}, {false, L"Severity", 1},
                           {false, L"Options", 0x2C}, {false, L"Enable", 0}},
         {false, 0x100000, 10, 1, 0x2C}, {}},
        {"global values", {{true, L"MaxEntries", 50}, {true, L"Severity", 5}}, {true, 0x40000, 50, 5, 0x10}, {}},
        {"folder wins over global", {{false, L"MaxEntries", 4}, {true, L"MaxEntries", 50}},
         {true, 0x40000, 4, 3, 0x10}, {}},
        {"invalid folder value rewritten, global used", {{false, L"MaxEntries", 101}, {true, L"MaxEntries", 50}},
         {true, 0x40000, 50, 3, 0x10}, {{false, L"MaxEntries", 3}}},
        {"invalid in both rewritten, default used", {{false, L"MaxEntries", 1}, {true, L"MaxEntries", 200}},
         {true, 0x40000, 3, 3, 0x10}, {{false, L"MaxEntries", 3}, {true, L"MaxEntries", 3}}},
        {"severity 0 kept", {{false, L"Severity", 0}}, {true, 0x40000, 3, 0, 0x10}, {}},
        {"severity 9 rewritten", {{false, L"Severity", 9}}, {true, 0x40000, 3, 3, 0x10}, {{false, L"Severity", 3}}},
        {"max size range", {{false, L"MaxSize", 0xA00001}, {true, L"MaxSize", 0xA00000}},
         {true, 0xA00000, 3, 3, 0x10}, {{false, L"MaxSize", 0x40000}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        DeleteTree(root_ + L"\\Corvane");
        ASSERT_TRUE(api_->CreateDirectoryTree(folder_, nullptr));
        for (const IniValue& v : c.values) {
            SetIni(v.global ? base_ + L"log.ini" : folder_ + L"\\log.ini", v.key, v.value);
        }
        auto logger = MakeLogger();
        EXPECT_EQ(logger->GetEnabled(), c.expected.enabled);
        EXPECT_EQ(logger->GetMaxSize(), c.expected.maxSize);
        EXPECT_EQ(logger->GetMaxEntries(), c.expected.maxEntries);
        EXPECT_EQ(logger->GetSeverity(), c.expected.severity);
        EXPECT_EQ(logger->GetOptions(), c.expected.options);
        for (const Rewrite& r : c.rewritten) {
            EXPECT_EQ(GetIni(r.global ? base_ + L"log.ini" : folder_ + L"\\log.ini", r.key), r.value) << r.key;
        }
    }
}

TEST_F(FileLoggerTest, PlainIniValuesAreNotSettings) {
    ASSERT_TRUE(api_->CreateDirectoryTree(folder_, nullptr));
    WritePrivateProfileStringW(L"Config", L"Severity", L"1", (folder_ + L"\\log.ini").c_str());
    EXPECT_EQ(MakeLogger()->GetSeverity(), 3u);
}

TEST_F(FileLoggerTest, DisabledByIniOnlySilencesLog) {
    ASSERT_TRUE(api_->CreateDirectoryTree(folder_, nullptr));
    SetIni(folder_ + L"\\log.ini", L"Enable", 0);
    auto logger = MakeLogger();
    logger->Log(4, nullptr, nullptr, 0, L"through Log %d", 1);
    EXPECT_EQ(logger->Write(nullptr, nullptr, 0, 4, L"through Write"), 0u);
    logger->SetEnabled(true);
    logger->Log(4, nullptr, nullptr, 0, L"through Log %d", 2);
    logger->Log(2, nullptr, nullptr, 0, L"below severity");
    const std::wstring text = ReadLog(LogFile(0)).text;
    EXPECT_EQ(CountOf(text, L"through Log 1"), 0u);
    EXPECT_EQ(CountOf(text, L"through Write"), 1u);
    EXPECT_EQ(CountOf(text, L"through Log 2"), 1u);
    EXPECT_EQ(CountOf(text, L"below severity"), 0u);
}

TEST_F(FileLoggerTest, WriteRejectsEmptyTextAndLevelsOutOfRangeWithoutTouchingFiles) {
    auto logger = MakeLogger();
    struct Case {
        ETWLogging::LogLevel level;
        const wchar_t* text;
    };
    const Case cases[] = {{3, L""}, {3, nullptr}, {0, L"x"}, {7, L"x"}, {10000, L"x"}};
    for (const Case& c : cases) {
        EXPECT_EQ(logger->Write(nullptr, nullptr, 0, c.level, c.text), 87u) << c.level;
    }
    EXPECT_FALSE(ReadLog(LogFile(0)).exists);
    // A full file is not rotated for a line that is not written.
    ASSERT_EQ(logger->Write(nullptr, nullptr, 0, 3, L"kept"), 0u);
    SetFileSize(LogFile(0), 0x40000);
    EXPECT_EQ(logger->Write(nullptr, nullptr, 0, 9, L"x"), 87u);
    EXPECT_FALSE(ReadLog(LogFile(1)).exists);
    EXPECT_FALSE(GetIni(folder_ + L"\\log.ini", L"LastLogIdx").has_value());
}

TEST_F(FileLoggerTest, FilesRotateInARingAndRotationTruncates) {
    auto logger = MakeLogger();
    const std::wstring ini = folder_ + L"\\log.ini";
    struct Step {
        const char* what;
        int fill;            // file index grown to MaxSize before the line; -1 none
        int lastLogIdx;      // value put into the ini before the line; -1 none
        DWORD target;        // file that receives the line
        bool truncated;      // the line is the only one in its file
        std::optional<int> afterIdx;
    };
    const Step steps[] = {
        {"first line", -1, -1, 0, true, std::nullopt},
        {"second line appended", -1, -1, 0, false, std::nullopt},
        {"file 0 full", 0, -1, 1, true, 1},
        {"file 1 full", 1, -1, 2, true, 2},
        {"file 2 full wraps to 0", 2, -1, 0, true, 0},
        {"appended after the wrap", -1, -1, 0, false, 0},
        {"index beyond entries restarts at 0", -1, 5, 0, true, 0},
        {"index of a full last file wraps to 0", -1, 2, 0, true, 0},
    };
    // A stale file from an earlier ring is emptied when the ring reaches it.
    ASSERT_TRUE(api_->CreateDirectoryTree(folder_, nullptr));
    SetFileSize(LogFile(1), 1000);
    int n = 0;
    for (const Step& s : steps) {
        SCOPED_TRACE(s.what);
        if (s.fill >= 0) SetFileSize(LogFile(s.fill), 0x40000);
        if (s.lastLogIdx >= 0) {
            SetIni(ini, L"LastLogIdx", s.lastLogIdx);
            ASSERT_EQ(GetIni(ini, L"LastLogIdx"), s.lastLogIdx);
        }
        const std::wstring marker = L"line " + std::to_wstring(n++);
        ASSERT_EQ(logger->Write(nullptr, nullptr, 0, 3, marker.c_str()), 0u);
        FileContent content = ReadLog(LogFile(s.target));
        EXPECT_TRUE(content.bom);
        EXPECT_EQ(CountOf(content.text, marker), 1u);
        if (s.truncated) {
            EXPECT_EQ(content.text, L"03/02/2026 09:14:05 AM$ -- (Information)$  " + marker + L"\r\n");
        }
        EXPECT_EQ(GetIni(ini, L"LastLogIdx"), s.afterIdx);
    }
}

TEST_F(FileLoggerTest, RotationWithoutAStorableIndexKeepsEveryLine) {
    // A folder where the folder log.ini should be: the index cannot be stored.
    ASSERT_TRUE(api_->CreateDirectoryTree(folder_ + L"\\log.ini", nullptr));
    auto logger = MakeLogger();
    ASSERT_EQ(logger->Write(nullptr, nullptr, 0, 3, L"first"), 0u);
    SetFileSize(LogFile(0), 0x40000);
    SetFileSize(LogFile(1), 10);  // from an earlier ring
    for (const wchar_t* text : {L"second", L"third", L"fourth"}) {
        ASSERT_EQ(logger->Write(nullptr, nullptr, 0, 3, text), 0u);
    }
    const std::wstring text = ReadLog(LogFile(1)).text;
    for (const wchar_t* line : {L" second\r\n", L" third\r\n", L" fourth\r\n"}) {
        EXPECT_EQ(CountOf(text, line), 1u) << line;
    }
}

// Writes raw bytes as the whole file.
void WriteBytes(const std::wstring& path, const std::string& bytes) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
}

TEST_F(FileLoggerTest, PositionIsReadBackAsTheProfileFunctionsWroteIt) {
    struct Case {
        const char* what;
        std::string start;  // the folder log.ini before the first line
    };
    const Case cases[] = {
        {"section in lower case", "[config]\r\n"},
        {"UTF-8 byte-order mark", "\xEF\xBB\xBF[Config]\r\n"},
        {"both", "\xEF\xBB\xBF[CONFIG]\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        DeleteTree(folder_);
        ASSERT_TRUE(api_->CreateDirectoryTree(folder_, nullptr));
        WriteBytes(folder_ + L"\\log.ini", c.start);
        auto logger = MakeLogger();
        ASSERT_EQ(logger->Write(nullptr, nullptr, 0, 3, L"first"), 0u);
        SetFileSize(LogFile(0), 0x40000);
        // Rotates to file 1 and stores 1; the lines after it append there.
        for (const wchar_t* text : {L"second", L"third", L"fourth"}) {
            ASSERT_EQ(logger->Write(nullptr, nullptr, 0, 3, text), 0u);
        }
        const std::wstring text = ReadLog(LogFile(1)).text;
        for (const wchar_t* line : {L" second\r\n", L" third\r\n", L" fourth\r\n"}) {
            EXPECT_EQ(CountOf(text, line), 1u) << line;
        }
        EXPECT_EQ(ReadLog(LogFile(2)).exists, false);
    }
}

// Held open without write sharing: readable, not writable (as a read-only
// file is on Windows).
Kelmora::FileHandle HoldReadOnly(const std::wstring& path) {
    return Kelmora::FileHandle(
        CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
}

TEST_F(FileLoggerTest, RingStaysBoundedWhenNoPositionCanBeStoredOrRead) {
    struct Case {
        const char* what;
        bool iniIsFolder;  // else a log.ini without LastLogIdx that cannot be written
    };
    const Case cases[] = {{"log.ini is a folder", true}, {"log.ini without a position cannot be written", false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        DeleteTree(folder_);
        const std::wstring ini = folder_ + L"\\log.ini";
        ASSERT_TRUE(api_->CreateDirectoryTree(folder_, nullptr));
        Kelmora::FileHandle holder;
        if (c.iniIsFolder) {
            ASSERT_TRUE(api_->CreateDirectoryTree(ini, nullptr));
        } else {
            SetIni(ini, L"Options", 0x10);
            holder = HoldReadOnly(ini);
            ASSERT_TRUE(holder);
            ASSERT_EQ(GetIni(ini, L"Options"), 0x10);
        }
        auto logger = MakeLogger();
        ASSERT_EQ(logger->Write(nullptr, nullptr, 0, 3, L"line 0"), 0u);
        // Each full file moves the ring on; file 0 is emptied only when the
        // ring comes round to it.
        const DWORD targets[] = {1, 2, 0, 1};
        DWORD full = 0;
        int n = 1;
        for (DWORD target : targets) {
            SetFileSize(LogFile(full), 0x40000);
            const std::wstring marker = L"line " + std::to_wstring(n++);
            ASSERT_EQ(logger->Write(nullptr, nullptr, 0, 3, marker.c_str()), 0u);
            EXPECT_EQ(ReadLog(LogFile(target)).text,
                      L"03/02/2026 09:14:05 AM$ -- (Information)$  " + marker + L"\r\n")
                << target;
            full = target;
        }
        ASSERT_EQ(logger->Write(nullptr, nullptr, 0, 3, L"appended"), 0u);
        EXPECT_EQ(CountOf(ReadLog(LogFile(1)).text, L" appended\r\n"), 1u);
        EXPECT_FALSE(ReadLog(LogFile(3)).exists);
        EXPECT_EQ(GetIni(ini, L"LastLogIdx"), std::nullopt);
    }
}

TEST_F(FileLoggerTest, RingWaitsWhileTheStoredPositionCannotBeReplaced) {
    struct Case {
        const char* what;
        int stored;           // LastLogIdx in the log.ini
        DWORD movesTo;        // file the ring moves to once the position can be stored
    };
    const Case cases[] = {{"current file full", 0, 1}, {"position beyond the ring", 5, 0}};
    const std::wstring ini = folder_ + L"\\log.ini";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        DeleteTree(folder_);
        ASSERT_TRUE(api_->CreateDirectoryTree(folder_, nullptr));
        auto logger = MakeLogger();
        ASSERT_EQ(logger->Write(nullptr, nullptr, 0, 3, L"line 0"), 0u);
        SetFileSize(LogFile(0), 0x40000);
        SetIni(ini, L"LastLogIdx", c.stored);
        {
            Kelmora::FileHandle holder = HoldReadOnly(ini);
            ASSERT_TRUE(holder);
            // No file is emptied: the lines go on into file 0.
            for (const wchar_t* text : {L"line 1", L"line 2"}) {
                ASSERT_EQ(logger->Write(nullptr, nullptr, 0, 3, text), 0u);
            }
        }
        const std::wstring kept = ReadLog(LogFile(0)).text;
        for (const wchar_t* line : {L" line 0\r\n", L" line 1\r\n", L" line 2\r\n"}) {
            EXPECT_EQ(CountOf(kept, line), 1u) << line;
        }
        EXPECT_FALSE(ReadLog(LogFile(1)).exists);
        EXPECT_EQ(GetIni(ini, L"LastLogIdx"), c.stored);
        // Once it can be stored the ring moves on.
        ASSERT_EQ(logger->Write(nullptr, nullptr, 0, 3, L"moved"), 0u);
        EXPECT_EQ(ReadLog(LogFile(c.movesTo)).text, L"03/02/2026 09:14:05 AM$ -- (Information)$  moved\r\n");
        EXPECT_EQ(GetIni(ini, L"LastLogIdx"), static_cast<int>(c.movesTo));
    }
}

TEST_F(FileLoggerTest, TwoLoggersOnOneFolderFollowTheStoredPositionAfterAFailedStore) {
    // Two loggers in one process share the named cross-process lock, as two
    // processes writing into the folder do.
    const std::wstring ini = folder_ + L"\\log.ini";
    ASSERT_TRUE(api_->CreateDirectoryTree(folder_, nullptr));
    SetIni(ini, L"LastLogIdx", 0);
    auto a = MakeLogger();
    auto b = MakeLogger();
    struct Step {
        const char* what;
        bool byA;
        const wchar_t* text;
        int fill;        // file grown to MaxSize before the line; -1 none
        bool readOnly;   // log.ini cannot be written during the line
        DWORD target;    // file that receives the line
        bool empties;    // the target is emptied first
        int afterIdx;    // LastLogIdx after the line
    };
    const Step steps[] = {
        {"a starts the ring", true, L"a0", -1, false, 0, false, 0},
        {"b appends", false, L"b0", -1, false, 0, false, 0},
        {"a cannot store the move: the ring stays", true, L"a1", 0, true, 0, false, 0},
        {"b moves the ring", false, L"b1", -1, false, 1, true, 1},
        {"a follows the stored position", true, L"a2", -1, false, 1, false, 1},
        {"b moves on", false, L"b2", 1, false, 2, true, 2},
        {"a follows again", true, L"a3", -1, false, 2, false, 2},
        {"the wrap empties the oldest file only", false, L"b3", 2, false, 0, true, 0},
        {"a appends after the wrap", true, L"a4", -1, false, 0, false, 0},
    };
    std::map<DWORD, std::vector<std::wstring>> expected;  // lines each file holds
    for (const Step& s : steps) {
        SCOPED_TRACE(s.what);
        if (s.fill >= 0) SetFileSize(LogFile(s.fill), 0x40000);
        Kelmora::FileHandle holder;
        if (s.readOnly) {
            holder = HoldReadOnly(ini);
            ASSERT_TRUE(holder);
        }
        ASSERT_EQ((s.byA ? *a : *b).Write(nullptr, nullptr, 0, 3, s.text), 0u);
        holder.reset();
        if (s.empties) expected[s.target].clear();
        expected[s.target].push_back(s.text);
        EXPECT_EQ(GetIni(ini, L"LastLogIdx"), s.afterIdx);
        // Only the emptying of the oldest file takes lines away, and each
        // line is where the stored position put it.
        for (const Step& other : steps) {
            const std::wstring line = L" " + std::wstring(other.text) + L"\r\n";
            const std::string name(other.text, other.text + 2);
            std::size_t total = 0, held = 0;
            for (DWORD file = 0; file < 3; ++file) {
                const std::vector<std::wstring>& lines = expected[file];
                const bool here = std::find(lines.begin(), lines.end(), other.text) != lines.end();
                const std::size_t count = CountOf(ReadLog(LogFile(file)).text, line);
                EXPECT_EQ(count, here ? 1u : 0u) << "file " << file << " line " << name;
                total += count;
                held += here;
            }
            EXPECT_EQ(total, held) << "line " << name << (total < held ? " lost" : " duplicated");
        }
    }
}

TEST_F(FileLoggerTest, LogFolderRemovedWhileRunningIsMadeAgain) {
    auto logger = MakeLogger();
    ASSERT_EQ(logger->Write(nullptr, nullptr, 0, 3, L"before"), 0u);
    DeleteTree(root_ + L"\\Corvane");
    ASSERT_FALSE(ReadLog(LogFile(0)).exists);
    ASSERT_EQ(logger->Write(nullptr, nullptr, 0, 3, L"after"), 0u);
    FileContent content = ReadLog(LogFile(0));
    EXPECT_TRUE(content.bom);
    EXPECT_EQ(content.text, L"03/02/2026 09:14:05 AM$ -- (Information)$  after\r\n");

    // A folder that cannot be made again fails that write only.
    DeleteTree(root_ + L"\\Corvane");
    ASSERT_TRUE(api_->CreateDirectoryTree(root_ + L"\\Corvane", nullptr));
    HANDLE blocker = CreateFileW((root_ + L"\\Corvane\\CVLOGS").c_str(), GENERIC_WRITE, 0, nullptr,
                                 CREATE_NEW, 0, nullptr);
    ASSERT_NE(blocker, INVALID_HANDLE_VALUE);
    CloseHandle(blocker);
    EXPECT_NE(logger->Write(nullptr, nullptr, 0, 3, L"blocked"), 0u);
    DeleteFileW((root_ + L"\\Corvane\\CVLOGS").c_str());
    EXPECT_EQ(logger->Write(nullptr, nullptr, 0, 3, L"again"), 0u);
    EXPECT_EQ(ReadLog(LogFile(0)).text, L"03/02/2026 09:14:05 AM$ -- (Information)$  again\r\n");
    EXPECT_TRUE(logger->IsEnabled(3));
}

TEST_F(FileLoggerTest, NoLineIsWrittenWithoutTheCrossProcessLock) {
    // Objects of another kind under the lock's names: no mutex can be made.
    const std::wstring name = ETWLogging::internal::FileLogLockName(folder_);
    std::vector<HANDLE> squatters;
    for (const wchar_t* space : {L"Global\\", L"Local\\"}) {
        HANDLE event = CreateEventW(nullptr, TRUE, FALSE, (space + name).c_str());
        ASSERT_NE(event, nullptr);
        squatters.push_back(event);
    }
    auto logger = MakeLogger();
    EXPECT_NE(logger->Write(nullptr, nullptr, 0, 3, L"unlocked"), 0u);
    EXPECT_FALSE(ReadLog(LogFile(0)).exists);
    for (HANDLE event : squatters) CloseHandle(event);
    // Once the names are free the lock is made and lines are written again.
    EXPECT_EQ(logger->Write(nullptr, nullptr, 0, 3, L"locked"), 0u);
    EXPECT_EQ(ReadLog(LogFile(0)).text, L"03/02/2026 09:14:05 AM$ -- (Information)$  locked\r\n");
}

TEST_F(FileLoggerTest, SizeTestUsesTheWholeSixtyFourBitSize) {
    auto logger = MakeLogger();
    ASSERT_EQ(logger->Write(nullptr, nullptr, 0, 3, L"a"), 0u);
    // 4 GiB + 16 bytes: the low 32 bits alone would read as 16.
    SetFileSize(LogFile(0), 0x100000010LL);
    ASSERT_EQ(logger->Write(nullptr, nullptr, 0, 3, L"b"), 0u);
    EXPECT_EQ(CountOf(ReadLog(LogFile(1)).text, L" b\r\n"), 1u);
    EXPECT_EQ(GetIni(folder_ + L"\\log.ini", L"LastLogIdx"), 1);
    DeleteFileW(LogFile(0).c_str());
}

TEST_F(FileLoggerTest, FolderThatCannotBeCreatedSilencesTheLoggerForGood) {
    ASSERT_TRUE(api_->CreateDirectoryTree(base_ + L"G", nullptr));
    HANDLE blocker = CreateFileW(folder_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(blocker, INVALID_HANDLE_VALUE);
    CloseHandle(blocker);
    auto logger = MakeLogger();
    EXPECT_EQ(logger->Write(nullptr, nullptr, 0, 4, L"x"), 87u);
    EXPECT_FALSE(logger->GetEnabled());
    EXPECT_EQ(logger->GetSeverity(), 10000u);
    for (ETWLogging::LogLevel level = 0; level <= 7; ++level) EXPECT_FALSE(logger->IsEnabled(level));
    DeleteFileW(folder_.c_str());
    EXPECT_EQ(logger->Write(nullptr, nullptr, 0, 4, L"x"), 87u);
    EXPECT_FALSE(ReadLog(LogFile(0)).exists);
}

TEST_F(FileLoggerTest, SettersClamp) {
    CLogging logger(api_);
    struct Case {
        DWORD in, entries, size;
        ETWLogging::LogLevel severity;
    };
    const Case cases[] = {
        {0, 2, 0x40000, 1}, {1, 2, 0x40000, 1}, {3, 3, 0x40000, 3}, {6, 6, 0x40000, 6},
        {7, 7, 0x40000, 6}, {100, 100, 0x40000, 6}, {101, 100, 0x40000, 6},
        {0x50000, 100, 0x50000, 6}, {0xA00001, 100, 0xA00000, 6},
    };
    for (const Case& c : cases) {
        logger.SetMaxEntries(c.in);
        logger.SetMaxSize(c.in);
        logger.SetSeverity(c.in);
        EXPECT_EQ(logger.GetMaxEntries(), c.entries) << c.in;
        EXPECT_EQ(logger.GetMaxSize(), c.size) << c.in;
        EXPECT_EQ(logger.GetSeverity(), c.severity) << c.in;
    }
    auto* counted = new CLogging(api_);
    EXPECT_EQ(counted->AddRef(), 1u);
    EXPECT_EQ(counted->AddRef(), 2u);
    EXPECT_EQ(counted->Release(), 1u);
    EXPECT_EQ(counted->Release(), 0u);  // deleted here
}

TEST_F(FileLoggerTest, OptionsAddPartsAndDebugOutput) {
    ASSERT_TRUE(api_->CreateDirectoryTree(folder_, nullptr));
    SetIni(folder_ + L"\\log.ini", L"Options", 0x2D);
    CLogging logger(api_);
    ASSERT_EQ(logger.Init(L"G", GetModuleHandleW(nullptr), nullptr, nullptr), 0u);
    ASSERT_EQ(logger.Write(L"dir\\Source.cpp", L"NS::Fn", 12, 4, L"text"), 0u);
    wchar_t pidTid[64];
    swprintf(pidTid, 64, L"[PID:%5lu TID:%5lu]$", GetCurrentProcessId(), GetCurrentThreadId());
    const std::wstring expected = L"03/02/2026 09:14:05 AM$ -- (Error)$ " + std::wstring(pidTid) +
                                  L" [          Source.cpp:   12]$ [" + std::wstring(34, L' ') +
                                  L"NS::Fn()]$ text\r\n";
    EXPECT_EQ(ReadLog(LogFile(0)).text, expected);
    EXPECT_EQ(api_->Debug(), std::vector<std::wstring>{expected});
}

TEST_F(FileLoggerTest, LevelNamedOperationsCutAt4159Characters) {
    auto logger = MakeLogger();
    EXPECT_EQ(logger->LogNormal(nullptr, nullptr, 0, L"%s", std::wstring(5000, L'z').c_str()), 0u);
    const std::wstring text = ReadLog(LogFile(0)).text;
    EXPECT_EQ(CountOf(text, L"z"), 4159u);
    EXPECT_NE(text.find(L"(Normal)"), std::wstring::npos);
}

TEST_F(FileLoggerTest, ThreadsWriteEveryLineOnce) {
    auto logger = MakeLogger();
    constexpr int kThreads = 8, kLines = 60;
    std::promise<void> go;
    std::shared_future<void> start = go.get_future().share();
    std::vector<std::future<int>> results;
    for (int t = 0; t < kThreads; ++t) {
        results.push_back(std::async(std::launch::async, [&, t] {
            start.wait();
            int failures = 0;
            for (int i = 0; i < kLines; ++i) {
                std::wstring text = L"t" + std::to_wstring(t) + L"-" + std::to_wstring(i) + L".";
                failures += logger->Write(nullptr, nullptr, 0, 3, text.c_str()) != 0;
            }
            return failures;
        }));
    }
    go.set_value();
    for (auto& result : results) {
        ASSERT_EQ(result.wait_for(std::chrono::seconds(120)), std::future_status::ready);
        EXPECT_EQ(result.get(), 0);
    }
    const std::wstring text = ReadLog(LogFile(0)).text;
    for (int t = 0; t < kThreads; ++t) {
        for (int i = 0; i < kLines; ++i) {
            EXPECT_EQ(CountOf(text, L" t" + std::to_wstring(t) + L"-" + std::to_wstring(i) + L".\r\n"), 1u);
        }
    }
}

// --- two processes -----------------------------------------------------------

std::wstring EnvironmentValue(const wchar_t* name) {
    wchar_t value[1024];
    DWORD length = GetEnvironmentVariableW(name, value, 1024);
    return length == 0 || length >= 1024 ? std::wstring() : std::wstring(value, length);
}

void WriteLines(CLogging& logger, const std::wstring& tag, int count) {
    for (int i = 0; i < count; ++i) {
        std::wstring text = tag + L"-" + std::to_wstring(i) + L"." + std::wstring(400, L'p');
        ASSERT_EQ(logger.Write(nullptr, nullptr, 0, 3, text.c_str()), 0u);
    }
}

// Runs only inside the child process started by the test below.
TEST(FileLoggerChild, WritesItsLines) {
    const std::wstring root = EnvironmentValue(kChildFolderVariable);
    if (root.empty()) GTEST_SKIP() << "runs as a child process only";
    HANDLE start = OpenEventW(SYNCHRONIZE, FALSE, EnvironmentValue(kChildStartVariable).c_str());
    ASSERT_NE(start, nullptr);
    ASSERT_EQ(WaitForSingleObject(start, 60000), WAIT_OBJECT_0);
    CloseHandle(start);
    CLogging logger(std::make_shared<TestAPI>(root));
    ASSERT_EQ(logger.Init(L"G", nullptr, nullptr, nullptr), 0u);
    WriteLines(logger, L"child", kLinesPerProcess);
}

TEST_F(FileLoggerTest, TwoProcessesLoseNoLinesAcrossRotations) {
    ASSERT_TRUE(api_->CreateDirectoryTree(folder_, nullptr));
    SetIni(folder_ + L"\\log.ini", L"MaxEntries", 100);
    const std::wstring eventName = L"vt-filelog-start-" + std::to_wstring(GetCurrentProcessId());
    HANDLE start = CreateEventW(nullptr, TRUE, FALSE, eventName.c_str());
    ASSERT_NE(start, nullptr);

    wchar_t exe[MAX_PATH];
    GetModuleFileNameW(nullptr, exe, MAX_PATH);
    std::wstring command = L"\"" + std::wstring(exe) + L"\" --gtest_filter=FileLoggerChild.WritesItsLines";
    SetEnvironmentVariableW(kChildFolderVariable, root_.c_str());
    SetEnvironmentVariableW(kChildStartVariable, eventName.c_str());
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    BOOL created = CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                                  &startup, &process);
    SetEnvironmentVariableW(kChildFolderVariable, nullptr);
    SetEnvironmentVariableW(kChildStartVariable, nullptr);
    ASSERT_TRUE(created);
    CloseHandle(process.hThread);

    auto logger = MakeLogger();
    SetEvent(start);
    WriteLines(*logger, L"parent", kLinesPerProcess);
    ASSERT_EQ(WaitForSingleObject(process.hProcess, 120000), WAIT_OBJECT_0);
    DWORD exitCode = 1;
    GetExitCodeProcess(process.hProcess, &exitCode);
    CloseHandle(process.hProcess);
    CloseHandle(start);
    EXPECT_EQ(exitCode, 0u);

    std::wstring all;
    int files = 0;
    for (DWORD index = 0; index < 100; ++index) {
        FileContent content = ReadLog(LogFile(index));
        if (!content.exists) break;
        EXPECT_TRUE(content.bom) << index;
        EXPECT_EQ(CountOf(content.text, L"\xFEFF"), 0u) << index;
        all += content.text;
        ++files;
    }
    EXPECT_GE(files, 2);  // the lines fill more than one file
    for (const wchar_t* tag : {L"parent", L"child"}) {
        for (int i = 0; i < kLinesPerProcess; ++i) {
            EXPECT_EQ(CountOf(all, L" " + std::wstring(tag) + L"-" + std::to_wstring(i) + L"."), 1u) << i;
        }
    }
}

}  // namespace
