// The command-line parser shared by Ossamit and Brisvel.
#pragma once

#include <initializer_list>
#include <string>
#include <vector>

// Reads "-name", "/name", "-name=value" and "/name=value" arguments against a
// fixed table of flags. Logs nothing and throws nothing of its own.
class CommandLineParser {
public:
    // The parser copies the records, not the strings: both must outlive it.
    struct FlagDefinition {
        const wchar_t* name;
        const wchar_t* description;
    };

    struct ParsedFlag {
        const wchar_t* name;  // the matching definition's own name string
        std::wstring value;
    };

    explicit CommandLineParser(std::vector<FlagDefinition> definitions);
    CommandLineParser(std::initializer_list<FlagDefinition> definitions);
    ~CommandLineParser();

    // True when every argument was accepted or skipped; false at the first
    // unknown flag, the flags accepted before it staying recorded.
    bool parse(int argc, const wchar_t* const argv[]);
    bool parse(int argc, wchar_t* argv[]);

    bool hasFlag(const std::wstring& name) const;
    // The value of the first parsed flag of that name; empty when absent.
    std::wstring getFlagValue(const std::wstring& name) const;
    // One line per definition, in table order: name, " - ", description, "\n".
    std::wstring getHelpText() const;

    const std::vector<ParsedFlag>& parsedFlags() const { return parsedFlags_; }

private:
    const FlagDefinition* findFlagDefinition(const std::wstring& name) const;
    const ParsedFlag* findParsedFlag(const std::wstring& name) const;

    std::vector<FlagDefinition> definitions_;  // fixed after construction
    std::vector<ParsedFlag> parsedFlags_;      // in argument order
};
