#include "tools/common/CommandLineParser.h"

#include <utility>

CommandLineParser::CommandLineParser(std::vector<FlagDefinition> definitions)
    : definitions_(std::move(definitions)) {}

CommandLineParser::CommandLineParser(std::initializer_list<FlagDefinition> definitions)
    : definitions_(definitions) {}

CommandLineParser::~CommandLineParser() = default;

bool CommandLineParser::parse(int argc, wchar_t* argv[]) {
    return parse(argc, const_cast<const wchar_t* const*>(argv));
}

bool CommandLineParser::parse(int argc, const wchar_t* const argv[]) {
    std::vector<std::wstring> arguments;
    for (int i = 0; i < argc && argv != nullptr; ++i) {
        arguments.emplace_back(argv[i] != nullptr ? argv[i] : L"");
    }
    for (const std::wstring& argument : arguments) {
        if (argument.empty() || (argument[0] != L'-' && argument[0] != L'/')) {
            continue;
        }
        std::wstring name;
        std::wstring value;
        const std::wstring::size_type equals = argument.find(L'=');
        if (equals == std::wstring::npos) {
            name = argument.substr(1);
        } else {
            name = argument.substr(1, equals - 1);
            value = argument.substr(equals + 1);
        }
        const FlagDefinition* definition = findFlagDefinition(name);
        if (definition == nullptr) {
            return false;
        }
        parsedFlags_.push_back(ParsedFlag{definition->name, std::move(value)});
    }
    return true;
}

bool CommandLineParser::hasFlag(const std::wstring& name) const {
    return findParsedFlag(name) != nullptr;
}

std::wstring CommandLineParser::getFlagValue(const std::wstring& name) const {
    const ParsedFlag* flag = findParsedFlag(name);
    return flag != nullptr ? flag->value : std::wstring();
}

std::wstring CommandLineParser::getHelpText() const {
    std::wstring text;
    for (const FlagDefinition& definition : definitions_) {
        text += definition.name != nullptr ? definition.name : L"";
        text += L" - ";
        text += definition.description != nullptr ? definition.description : L"";
        text += L'\n';
    }
    return text;
}

const CommandLineParser::FlagDefinition* CommandLineParser::findFlagDefinition(
    const std::wstring& name) const {
    for (const FlagDefinition& definition : definitions_) {
        if (definition.name != nullptr && name == definition.name) {
            return &definition;
        }
    }
    return nullptr;
}

const CommandLineParser::ParsedFlag* CommandLineParser::findParsedFlag(
    const std::wstring& name) const {
    for (const ParsedFlag& flag : parsedFlags_) {
        if (name == flag.name) {
            return &flag;
        }
    }
    return nullptr;
}
