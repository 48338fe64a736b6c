#include "tools/common/CommandLineParser.h"

#include "tools/registration/OssamitFlags.h"

#include <gtest/gtest.h>

#include <cwchar>
#include <string>
#include <utility>
#include <vector>

namespace {

using Drem::kOssamitFlags;

CommandLineParser MakeOssamitParser() {
    return CommandLineParser(std::vector<CommandLineParser::FlagDefinition>(
        std::begin(kOssamitFlags), std::end(kOssamitFlags)));
}

// Parses a command line given without the program path, which is prepended.
bool Parse(CommandLineParser& parser, std::vector<std::wstring> args,
           const std::wstring& program = L"C:\\tools\\Ossamit.exe") {
    args.insert(args.begin(), program);
    std::vector<const wchar_t*> argv;
    for (const std::wstring& a : args) argv.push_back(a.c_str());
    return parser.parse(static_cast<int>(argv.size()), argv.data());
}

struct Expected {
    const wchar_t* name;
    const wchar_t* value;
};

struct Case {
    const char* title;
    std::vector<std::wstring> args;
    bool parsed;
    std::vector<Expected> present;      // flag and its (first) value
    std::vector<const wchar_t*> absent;
};

const Case kCases[] = {
    {"dash prefix with value", {L"-registerViewer=abc"}, true, {{L"registerViewer", L"abc"}}, {}},
    {"slash prefix with value", {L"/registerViewer=abc"}, true, {{L"registerViewer", L"abc"}}, {}},
    {"no prefix is skipped", {L"registerViewer=abc"}, true, {}, {L"registerViewer"}},
    {"empty argument is skipped", {L""}, true, {}, {L"?"}},
    {"flag without value", {L"-pluginPath"}, true, {{L"pluginPath", L""}}, {}},
    {"flag with empty value", {L"-pluginPath="}, true, {{L"pluginPath", L""}}, {}},
    {"later equals signs belong to the value", {L"-pluginPath=a=b"}, true, {{L"pluginPath", L"a=b"}}, {}},
    {"value with spaces and slashes", {L"/pluginPath=C:\\Program Files\\x /y"}, true,
     {{L"pluginPath", L"C:\\Program Files\\x /y"}}, {}},
    {"help flag", {L"-?"}, true, {{L"?", L""}}, {L"registerViewer"}},
    {"help flag with slash", {L"/?"}, true, {{L"?", L""}}, {}},
    {"other letter case", {L"-RegisterViewer=x"}, false, {}, {L"registerViewer", L"RegisterViewer"}},
    {"all upper case", {L"-REGISTERVIEWER=x"}, false, {}, {L"registerViewer"}},
    {"doubled dash", {L"--registerViewer=x"}, false, {}, {L"registerViewer"}},
    {"doubled slash", {L"//registerViewer=x"}, false, {}, {L"registerViewer"}},
    {"empty name with value", {L"-=x"}, false, {}, {}},
    {"lone dash", {L"-"}, false, {}, {}},
    {"lone slash", {L"/"}, false, {}, {}},
    {"value in the next argument is itself examined", {L"-pluginFile", L"x.dll"}, true,
     {{L"pluginFile", L""}}, {}},
    {"value in the next argument that looks like a flag", {L"-pluginFile", L"-x.dll"}, false,
     {{L"pluginFile", L""}}, {}},
    {"flag given twice keeps the first value", {L"-registerViewer=first", L"/registerViewer=second"},
     true, {{L"registerViewer", L"first"}}, {}},
    {"unknown flag after accepted ones", {L"-registerProduct=p", L"-pluginPath=dir", L"-add=A",
     L"-pluginFile=f.dll"}, false, {{L"registerProduct", L"p"}, {L"pluginPath", L"dir"}},
     {L"pluginFile", L"add"}},
    {"several flags", {L"-registerProduct=p", L"/pluginPath=$(App.Path)", L"-pluginFile=f.dll"}, true,
     {{L"registerProduct", L"p"}, {L"pluginPath", L"$(App.Path)"}, {L"pluginFile", L"f.dll"}}, {}},
    {"prefix alone is not a prefix of a name", {L"-register=x"}, false, {}, {L"registerViewer"}},
    {"name with trailing space is another name", {L"-registerViewer =x"}, false, {}, {}},
};

TEST(CommandLineParser, FormsOfArguments) {
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.title);
        CommandLineParser parser = MakeOssamitParser();
        EXPECT_EQ(Parse(parser, c.args), c.parsed);
        for (const Expected& e : c.present) {
            EXPECT_TRUE(parser.hasFlag(e.name)) << std::string(e.name, e.name + wcslen(e.name));
            EXPECT_EQ(parser.getFlagValue(e.name), e.value);
        }
        for (const wchar_t* name : c.absent) {
            EXPECT_FALSE(parser.hasFlag(name));
            EXPECT_EQ(parser.getFlagValue(name), L"");
        }
    }
}

TEST(CommandLineParser, FlagGivenTwiceIsRecordedTwice) {
    CommandLineParser parser = MakeOssamitParser();
    ASSERT_TRUE(Parse(parser, {L"-pluginFile=a", L"-pluginFile", L"/pluginFile=c"}));
    ASSERT_EQ(parser.parsedFlags().size(), 3u);
    EXPECT_EQ(parser.parsedFlags()[0].value, L"a");
    EXPECT_EQ(parser.parsedFlags()[1].value, L"");
    EXPECT_EQ(parser.parsedFlags()[2].value, L"c");
    EXPECT_EQ(parser.getFlagValue(L"pluginFile"), L"a");
}

TEST(CommandLineParser, ParsedNamePointsAtTheDefinitionsOwnString) {
    CommandLineParser parser = MakeOssamitParser();
    ASSERT_TRUE(Parse(parser, {L"-unregisterViewer=v"}));
    ASSERT_EQ(parser.parsedFlags().size(), 1u);
    EXPECT_EQ(parser.parsedFlags()[0].name, kOssamitFlags[4].name);
}

TEST(CommandLineParser, ProgramPathIsExaminedLikeAnyOtherArgument) {
    struct PathCase {
        const wchar_t* program;
        bool parsed;
    };
    const PathCase cases[] = {
        {L"C:\\tools\\Ossamit.exe", true},
        {L"-tool.exe", false},      // "tool.exe" is no flag
        {L"/usr/bin/tool", false},  // "usr/bin/tool" is no flag
        {L"-?", true},              // a program path that is a known flag counts
    };
    for (const PathCase& c : cases) {
        CommandLineParser parser = MakeOssamitParser();
        EXPECT_EQ(Parse(parser, {L"-registerViewer=v"}, c.program), c.parsed)
            << std::string(c.program, c.program + wcslen(c.program));
    }
    CommandLineParser parser = MakeOssamitParser();
    ASSERT_TRUE(Parse(parser, {}, L"-?"));
    EXPECT_TRUE(parser.hasFlag(L"?"));
}

TEST(CommandLineParser, NoArgumentsAtAll) {
    CommandLineParser parser = MakeOssamitParser();
    EXPECT_TRUE(parser.parse(0, static_cast<const wchar_t* const*>(nullptr)));
    EXPECT_TRUE(parser.parsedFlags().empty());
    EXPECT_FALSE(parser.hasFlag(L"?"));
}

TEST(CommandLineParser, LookupsCompareWholeNamesCaseSensitively) {
    CommandLineParser parser = MakeOssamitParser();
    ASSERT_TRUE(Parse(parser, {L"-registerViewer=v"}));
    EXPECT_TRUE(parser.hasFlag(L"registerViewer"));
    EXPECT_FALSE(parser.hasFlag(L"RegisterViewer"));
    EXPECT_FALSE(parser.hasFlag(L"register"));
    EXPECT_FALSE(parser.hasFlag(L"registerViewerX"));
    EXPECT_FALSE(parser.hasFlag(L""));
}

TEST(CommandLineParser, HelpTextListsEveryFlagInTableOrder) {
    const std::wstring expected =
        L"? - Display helpful information about the command line flags.\n"
        L"registerProduct - Register a product plugin. Specify a unique identifier for the plugin. "
        L"The 'pluginPath' and 'pluginFile' flags are required if this flag is specified.\n"
        L"unregisterProduct - Unregister a product plugin. Specify the unique identifier for the plugin.\n"
        L"registerViewer - Register a viewer. Specify a unique identifier for the plugin.\n"
        L"unregisterViewer - Unregister a viewer. Specify the unique identifier for the plugin.\n"
        L"pluginPath - The path to the product plugin. Drem placeholders can be used.\n"
        L"pluginFile - The filename of the product plugin.\n";
    EXPECT_EQ(MakeOssamitParser().getHelpText(), expected);
}

TEST(CommandLineParser, HelpTextOfBrisvelsTableAndOfAnEmptyTable) {
    CommandLineParser brisvel({
        {L"?", L"Displays help."},
        {L"register", L"Registers the provided app code as a dependency on this collective component."},
        {L"unregister", L"Unregisters provided app code as a dependency on this collective component."},
    });
    EXPECT_EQ(brisvel.getHelpText(),
              L"? - Displays help.\n"
              L"register - Registers the provided app code as a dependency on this collective component.\n"
              L"unregister - Unregisters provided app code as a dependency on this collective component.\n");
    EXPECT_EQ(CommandLineParser(std::vector<CommandLineParser::FlagDefinition>{}).getHelpText(), L"");
}

TEST(CommandLineParser, DuplicateDefinitionsMatchTheFirst) {
    const wchar_t* first = L"x";
    const wchar_t* second = L"x";
    std::wstring secondCopy(second);  // a distinct string with the same text
    CommandLineParser parser({{first, L"one"}, {secondCopy.c_str(), L"two"}});
    const wchar_t* argv[] = {L"prog", L"-x=1"};
    ASSERT_TRUE(parser.parse(2, argv));
    ASSERT_EQ(parser.parsedFlags().size(), 1u);
    EXPECT_EQ(parser.parsedFlags()[0].name, first);
}

TEST(CommandLineParser, HelpFlagAmongOthers) {
    CommandLineParser parser = MakeOssamitParser();
    ASSERT_TRUE(Parse(parser, {L"-registerViewer=v", L"/?"}));
    EXPECT_TRUE(parser.hasFlag(L"?"));
    EXPECT_TRUE(parser.hasFlag(L"registerViewer"));
}

}  // namespace
