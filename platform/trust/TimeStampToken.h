// The parts of a time-stamp token the verifier compares: the DER of an
// RFC 3161 TSTInfo and of an OCTET STRING. Pure parsing: no Windows calls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace Tessil {

// What a time stamp was made over: the hash algorithm (dotted object
// identifier) and the digest of the stamped data.
struct TimeStampImprint {
    std::string hashAlgorithm;
    std::vector<std::uint8_t> digest;
};

// The message imprint of a DER-encoded TSTInfo; null when the data is not
// one (wrong tags, lengths beyond the data, bytes left over).
std::optional<TimeStampImprint> ParseTstInfoImprint(const std::uint8_t* data, std::size_t size);

// The authenticated attributes of a DER-encoded SignerInfo as they were
// signed: the DER of its [0] field under the SET tag. Null when the data is
// not a SignerInfo with such a field.
std::optional<std::vector<std::uint8_t>> SignedAttributesOfSignerInfo(const std::uint8_t* data,
                                                                      std::size_t size);

// The content of a DER-encoded OCTET STRING that fills the data exactly.
std::optional<std::vector<std::uint8_t>> ParseDerOctetString(const std::uint8_t* data,
                                                             std::size_t size);

}  // namespace Tessil
