// Tessil::JSONParser of the reference file: the input as text and as the
// file's UTF-16LE bytes. A parsed document written out parses again to the
// same document, from text and from the file bytes alike.
#include "tools/registrar/JSONParser.h"
#include "tests/native/fuzz/JsonCompare.h"

#include <cstdio>
#include <string>
#include <vector>

using Tessil::JSONParser;

namespace {

// The file bytes writeTo hands over, each piece within the buffer size.
bool Written(const JSONParser& parser, std::vector<char>& bytes) {
    return parser.writeTo([&](const char* data, std::size_t size) {
        FUZZ_CHECK(size <= JSONParser::kFileBufferBytes);
        bytes.insert(bytes.end(), data, data + size);
        return true;
    });
}

// parseFile over bytes held in memory; false when the stream cannot be made.
bool ParseBytes(JSONParser& parser, const void* data, std::size_t size, bool& parsed) {
    FILE* file = fmemopen(const_cast<void*>(data), size, "rb");
    if (file == nullptr) return false;
    parsed = parser.parseFile(file);
    std::fclose(file);
    return true;
}

void CheckRoundTrip(const JSONParser& parser) {
    const std::wstring text = parser.toString();
    JSONParser again;
    FUZZ_CHECK(again.parse(text));
    FUZZ_CHECK(fuzz::SameJson(again.toString(), text));

    // A document read with the encoding checked is valid UTF-16.
    std::vector<char> bytes;
    FUZZ_CHECK(Written(parser, bytes));
    FUZZ_CHECK(bytes.size() == 2 + 2 * text.size());
    FUZZ_CHECK(static_cast<unsigned char>(bytes[0]) == 0xFF &&
               static_cast<unsigned char>(bytes[1]) == 0xFE);
    JSONParser fromFile;
    bool parsed = false;
    if (ParseBytes(fromFile, bytes.data(), bytes.size(), parsed)) {
        FUZZ_CHECK(parsed);
        FUZZ_CHECK(fromFile.toString() == again.toString());  // the same reading of the same text
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    JSONParser parser;
    if (parser.parse(fuzz::WideFromBytes(data, size))) {
        CheckRoundTrip(parser);
        std::vector<std::wstring> texts;
        // The reference file's own members.
        parser.getStringArray(L"registry", texts, L"");
        parser.getStringArray(L"registry", texts, L"appcode");
        parser.appendToArray(L"registry", L"added", L"appcode");
        CheckRoundTrip(parser);
    } else {
        FUZZ_CHECK(parser.toString() == L"null");
    }

    JSONParser fromFile;
    bool parsed = false;
    if (size > 0 && ParseBytes(fromFile, data, size, parsed)) {
        if (parsed) {
            CheckRoundTrip(fromFile);
        } else {
            FUZZ_CHECK(fromFile.toString() == L"null");
        }
    }
    return 0;
}
