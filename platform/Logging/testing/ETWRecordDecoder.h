// Test support: reads a context record back into its fields.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace ETWLogging::testing {

struct DecodedContext {
    std::uint32_t processId = 0;
    std::uint32_t threadId = 0;
    std::wstring imageName;
    std::wstring sourceFile;
    std::wstring function;
    std::uint32_t line = 0;
    std::wstring moduleFileName;
    std::wstring moduleVersion;
    std::wstring logName;
    std::uint64_t textBytes = 0;
};

// Null when the bytes are short or longer than one record.
std::optional<DecodedContext> DecodeContextRecord(const std::vector<std::uint8_t>& bytes);

}  // namespace ETWLogging::testing
