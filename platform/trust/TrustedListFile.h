// The signer list and the text of the "trusted.js" list file. Pure parsing:
// no Windows calls, so it builds and tests anywhere.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace Tessil {

using Thumbprint = std::array<std::uint8_t, 20>;

// One signer list. An empty part accepts everything it governs: no names
// means every signer name, no thumbprints every root, no serials none denied.
struct TrustedList {
    std::uint32_t version = 0;
    std::vector<std::wstring> names;
    std::vector<Thumbprint> thumbprints;
    std::vector<std::wstring> serials;
};

// Section name -> entry lines in file order.
using TrustedListSections = std::map<std::string, std::vector<std::string>>;

// Splits list-file text into sections. Null when a section has an empty name.
std::optional<TrustedListSections> ParseTrustedListSections(std::string_view text);

// Takes the parts from parsed sections. Null unless "VER" has exactly one
// entry that is an unsigned 32-bit decimal number and every "SHA" entry is
// exactly 40 hex digits.
std::optional<TrustedList> TrustedListFromSections(const TrustedListSections& sections);

// Both steps at once.
std::optional<TrustedList> ParseTrustedList(std::string_view text);

// 40 hex digits (either case) -> 20 bytes; null for any other text.
std::optional<Thumbprint> ParseThumbprint(std::string_view hex);

// An unsigned decimal number of at most 32 bits, digits only.
std::optional<std::uint32_t> ParseListVersion(std::string_view text);

// Hex text of a serial number stored least significant byte first (as the
// crypto API keeps it), written most significant byte first, lower case.
std::wstring SerialNumberToHex(const std::uint8_t* littleEndian, std::size_t size);

// Case-insensitive comparison of names and serials (ASCII and Latin-1 letters).
bool EqualsIgnoringCase(std::wstring_view a, std::wstring_view b);

// A list-file line widened one byte per character.
std::wstring WidenListText(std::string_view text);

struct UtcDateTime {
    int year, month, day, hour, minute, second;
};

// A DER-encoded UTCTime of exactly 15 bytes (tag, length 13, YYMMDDHHMMSSZ).
// Years below 70 are 20YY, others 19YY. Null for anything of another form.
std::optional<UtcDateTime> ParseEncodedUtcTime(const std::uint8_t* data, std::size_t size);

}  // namespace Tessil
