// CommandLineParser over arguments split at NUL bytes (a lone DEL byte
// stands for a null argument), checked against the flags it is documented
// to accept.
#include "tools/common/CommandLineParser.h"
#include "tests/native/fuzz/FuzzInput.h"

#include <cwchar>
#include <string>
#include <vector>

namespace {

const wchar_t kInstall[] = L"install";
const wchar_t kLog[] = L"log";
const wchar_t kEmpty[] = L"";
const wchar_t kPath[] = L"path=x";  // never matches: '=' ends a name

// The table's names, a null one included; "log" twice (the first wins).
const std::vector<CommandLineParser::FlagDefinition> kTable = {
    {kInstall, L"Installs."},
    {kLog, L"Log file."},
    {nullptr, L"No name."},
    {kEmpty, nullptr},
    {kPath, L"Never matched."},
    {L"log", L"Second log."},
};

const CommandLineParser::FlagDefinition* Definition(const std::wstring& name) {
    for (const auto& d : kTable) {
        if (d.name != nullptr && name == d.name) return &d;
    }
    return nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::wstring> texts;
    std::vector<const wchar_t*> argv;
    const auto pieces = fuzz::SplitAtNul(data, size);
    texts.reserve(pieces.size());
    for (const auto piece : pieces) texts.push_back(fuzz::WideFromBytes(piece));
    for (std::size_t i = 0; i < texts.size(); ++i) {
        argv.push_back(pieces[i] == "\x7f" ? nullptr : texts[i].c_str());
    }

    CommandLineParser parser(kTable);
    const bool accepted = parser.parse(static_cast<int>(argv.size()), argv.data());

    // The flags expected, in argument order, up to the first unknown one.
    struct Expected {
        const wchar_t* name;
        std::wstring value;
    };
    std::vector<Expected> expected;
    bool expectAccepted = true;
    for (const wchar_t* arg : argv) {
        const std::wstring text = arg != nullptr ? arg : L"";  // up to the first NUL
        if (text.empty() || (text[0] != L'-' && text[0] != L'/')) continue;
        const auto equals = text.find(L'=');
        const std::wstring name = text.substr(1, equals == std::wstring::npos ? std::wstring::npos : equals - 1);
        const auto* definition = Definition(name);
        if (definition == nullptr) {
            expectAccepted = false;
            break;
        }
        expected.push_back({definition->name,
                            equals == std::wstring::npos ? std::wstring() : text.substr(equals + 1)});
    }
    FUZZ_CHECK(accepted == expectAccepted);
    const auto& parsed = parser.parsedFlags();
    FUZZ_CHECK(parsed.size() == expected.size());
    for (std::size_t i = 0; i < parsed.size(); ++i) {
        FUZZ_CHECK(parsed[i].name == expected[i].name);  // the table's own string
        FUZZ_CHECK(parsed[i].value == expected[i].value);
        FUZZ_CHECK(parser.hasFlag(parsed[i].name));
    }
    for (const wchar_t* name : {kInstall, kLog, kEmpty}) {
        const Expected* first = nullptr;
        for (const auto& e : expected) {
            if (std::wcscmp(e.name, name) == 0) {
                first = &e;
                break;
            }
        }
        FUZZ_CHECK(parser.hasFlag(name) == (first != nullptr));
        FUZZ_CHECK(parser.getFlagValue(name) == (first != nullptr ? first->value : L""));
    }
    FUZZ_CHECK(parser.getHelpText() ==
               L"install - Installs.\nlog - Log file.\n - No name.\n - \npath=x - Never matched.\n"
               L"log - Second log.\n");

    // A second parse adds to the flags already recorded.
    const std::size_t before = parsed.size();
    parser.parse(static_cast<int>(argv.size()), argv.data());
    FUZZ_CHECK(parser.parsedFlags().size() == 2 * before);
    return 0;
}
