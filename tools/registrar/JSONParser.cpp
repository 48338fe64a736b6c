#include "tools/registrar/JSONParser.h"

#include <rapidjson/reader.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cmath>
#include <cstring>
#include <cwchar>
#include <stdexcept>

namespace Tessil {
namespace {

using Encoding = rapidjson::UTF16<wchar_t>;
using Document = JSONParser::Document;
using Value = JSONParser::Value;
using rapidjson::SizeType;

// Strict JSON as RapidJSON reads it by default, but without recursion and
// refusing text that is not valid UTF-16.
constexpr unsigned kParseFlags = rapidjson::kParseIterativeFlag | rapidjson::kParseValidateEncodingFlag;

// Forwards the reader's events to the document, refusing nesting deeper than
// the limit before the document grows that deep.
class DepthLimitedHandler {
public:
    using Ch = wchar_t;

    DepthLimitedHandler(Document& document, unsigned limit) : document_(document), limit_(limit) {}

    bool Null() { return document_.Null(); }
    bool Bool(bool b) { return document_.Bool(b); }
    bool Int(int i) { return document_.Int(i); }
    bool Uint(unsigned u) { return document_.Uint(u); }
    bool Int64(int64_t i) { return document_.Int64(i); }
    bool Uint64(uint64_t u) { return document_.Uint64(u); }
    // A number beyond a double's range would be kept as infinity, which the
    // writer refuses.
    bool Double(double d) { return std::isfinite(d) && document_.Double(d); }
    bool RawNumber(const Ch* s, SizeType n, bool copy) { return document_.RawNumber(s, n, copy); }
    bool String(const Ch* s, SizeType n, bool copy) { return document_.String(s, n, copy); }
    bool Key(const Ch* s, SizeType n, bool copy) { return document_.Key(s, n, copy); }
    bool StartObject() { return enter() && document_.StartObject(); }
    bool EndObject(SizeType members) { --depth_; return document_.EndObject(members); }
    bool StartArray() { return enter() && document_.StartArray(); }
    bool EndArray(SizeType elements) { --depth_; return document_.EndArray(elements); }

private:
    bool enter() { return ++depth_ <= limit_; }

    Document& document_;
    unsigned limit_;
    unsigned depth_ = 0;
};

// The text up to its first NUL, as texts are compared and stored.
std::size_t TextLength(const std::wstring& text) { return std::wcslen(text.c_str()); }

bool NameEquals(const Value& name, const wchar_t* key, std::size_t length) {
    return name.IsString() && name.GetStringLength() == length &&
           std::wmemcmp(name.GetString(), key, length) == 0;
}

template <unsigned WriteFlags>
bool WriteText(const Document& document, rapidjson::GenericStringBuffer<Encoding>& buffer) {
    rapidjson::Writer<rapidjson::GenericStringBuffer<Encoding>, Encoding, Encoding,
                      rapidjson::CrtAllocator, WriteFlags>
        writer(buffer);
    return document.Accept(writer);
}

}  // namespace

JSONParser::JSONParser() = default;
JSONParser::~JSONParser() = default;

bool JSONParser::parseUnits(const wchar_t* text) {
    document_.SetNull();
    bool parsed = false;
    auto generator = [&](Document& document) {
        DepthLimitedHandler handler(document, kMaxDepth);
        rapidjson::GenericStringStream<Encoding> stream(text);
        rapidjson::GenericReader<Encoding, Encoding> reader;
        parsed = !reader.Parse<kParseFlags>(stream, handler).IsError();
        return parsed;
    };
    try {
        document_.Populate(generator);
    } catch (const std::logic_error&) {
        // A RapidJSON assertion, such as a lone low surrogate written as an
        // escape (\uDC00): refused like any other invalid text.
        parsed = false;
    }
    if (!parsed) {
        document_.SetNull();
    }
    return parsed;
}

bool JSONParser::parse(const std::wstring& text) { return parseUnits(text.c_str()); }

bool JSONParser::parseFile(FILE* file) {
    document_.SetNull();
    if (file == nullptr) {
        return false;
    }
    std::wstring text;
    unsigned char buffer[kFileBufferBytes];
    std::size_t total = 0;
    bool pendingLow = false;  // a low byte waiting for its high byte
    unsigned char low = 0;
    for (;;) {
        const std::size_t got = std::fread(buffer, 1, sizeof buffer, file);
        if (got == 0) {
            break;
        }
        total += got;
        if (total > kMaxFileBytes) {
            return false;
        }
        for (std::size_t i = 0; i < got; ++i) {
            if (!pendingLow) {
                low = buffer[i];
                pendingLow = true;
                continue;
            }
            pendingLow = false;
            text.push_back(static_cast<wchar_t>(low | (buffer[i] << 8)));
        }
    }
    // An odd last byte is no part of the text, which ends at its first NUL.
    if (std::ferror(file) != 0) {
        return false;
    }
    const wchar_t* start = text.c_str();
    if (!text.empty() && text[0] == static_cast<wchar_t>(0xFEFF)) {
        ++start;
    }
    return parseUnits(start);
}

std::wstring JSONParser::toString() const {
    rapidjson::GenericStringBuffer<Encoding> buffer;
    WriteText<rapidjson::kWriteDefaultFlags>(document_, buffer);
    return std::wstring(buffer.GetString(), buffer.GetSize() / sizeof(wchar_t));
}

bool JSONParser::writeTo(const ByteSink& sink) const {
    rapidjson::GenericStringBuffer<Encoding> text;
    if (!WriteText<rapidjson::kWriteValidateEncodingFlag>(document_, text)) {
        return false;
    }
    const wchar_t* units = text.GetString();
    const std::size_t count = text.GetSize() / sizeof(wchar_t);
    char buffer[kFileBufferBytes];
    std::size_t used = 0;
    buffer[used++] = static_cast<char>(0xFF);
    buffer[used++] = static_cast<char>(0xFE);
    for (std::size_t i = 0; i < count; ++i) {
        if (used + 2 > sizeof buffer) {
            if (!sink(buffer, used)) {
                return false;
            }
            used = 0;
        }
        const unsigned unit = static_cast<unsigned>(units[i]);
        buffer[used++] = static_cast<char>(unit & 0xFF);
        buffer[used++] = static_cast<char>((unit >> 8) & 0xFF);
    }
    return sink(buffer, used);
}

const Value* JSONParser::findMember(const std::wstring& key) const {
    if (!document_.IsObject()) {
        return nullptr;
    }
    const std::size_t length = TextLength(key);
    for (auto it = document_.MemberBegin(); it != document_.MemberEnd(); ++it) {
        if (NameEquals(it->name, key.c_str(), length)) {
            return &it->value;
        }
    }
    return nullptr;
}

Value* JSONParser::findMember(const std::wstring& key) {
    return const_cast<Value*>(static_cast<const JSONParser*>(this)->findMember(key));
}

Value JSONParser::copyText(const std::wstring& text) {
    return Value(text.c_str(), static_cast<SizeType>(TextLength(text)), document_.GetAllocator());
}

bool JSONParser::getBool(const std::wstring& key, bool& value) const {
    const Value* member = findMember(key);
    if (member == nullptr || !member->IsBool()) return false;
    value = member->GetBool();
    return true;
}

bool JSONParser::getString(const std::wstring& key, std::wstring& value) const {
    const Value* member = findMember(key);
    if (member == nullptr || !member->IsString()) return false;
    value = member->GetString();  // up to the first NUL
    return true;
}

bool JSONParser::getInt(const std::wstring& key, int& value) const {
    const Value* member = findMember(key);
    if (member == nullptr || !member->IsInt()) return false;
    value = member->GetInt();
    return true;
}

bool JSONParser::getInt64(const std::wstring& key, std::int64_t& value) const {
    const Value* member = findMember(key);
    if (member == nullptr || !member->IsInt64()) return false;
    value = member->GetInt64();
    return true;
}

bool JSONParser::getUInt(const std::wstring& key, unsigned int& value) const {
    const Value* member = findMember(key);
    if (member == nullptr || !member->IsUint()) return false;
    value = member->GetUint();
    return true;
}

bool JSONParser::getUInt64(const std::wstring& key, std::uint64_t& value) const {
    const Value* member = findMember(key);
    if (member == nullptr || !member->IsUint64()) return false;
    value = member->GetUint64();
    return true;
}

bool JSONParser::getDouble(const std::wstring& key, double& value) const {
    const Value* member = findMember(key);
    if (member == nullptr || !member->IsDouble()) return false;
    value = member->GetDouble();
    return true;
}

bool JSONParser::getStringArray(const std::wstring& key, std::vector<std::wstring>& out,
                                const std::wstring& memberName) const {
    const Value* member = findMember(key);
    if (member == nullptr || !member->IsArray()) {
        return false;
    }
    const std::size_t nameLength = TextLength(memberName);
    for (const Value& element : member->GetArray()) {
        const Value* text = nullptr;
        if (nameLength == 0) {
            text = &element;
        } else if (element.IsObject()) {
            for (auto it = element.MemberBegin(); it != element.MemberEnd(); ++it) {
                if (NameEquals(it->name, memberName.c_str(), nameLength)) {
                    text = &it->value;
                    break;
                }
            }
        }
        if (text == nullptr || !text->IsString()) {
            return false;
        }
        out.emplace_back(text->GetString());
    }
    return true;
}

void JSONParser::setBool(const std::wstring& key, const bool& value) {
    Value name = copyText(key);
    Value v(value);
    setMember(name, v);
}

void JSONParser::setString(const std::wstring& key, const std::wstring& value) {
    Value name = copyText(key);
    Value v = copyText(value);
    setMember(name, v);
}

void JSONParser::setInt(const std::wstring& key, const int& value) {
    Value name = copyText(key);
    Value v(value);
    setMember(name, v);
}

void JSONParser::setInt64(const std::wstring& key, const std::int64_t& value) {
    Value name = copyText(key);
    Value v(static_cast<int64_t>(value));
    setMember(name, v);
}

void JSONParser::setUInt(const std::wstring& key, const unsigned int& value) {
    Value name = copyText(key);
    Value v(value);
    setMember(name, v);
}

void JSONParser::setUInt64(const std::wstring& key, const std::uint64_t& value) {
    Value name = copyText(key);
    Value v(static_cast<uint64_t>(value));
    setMember(name, v);
}

void JSONParser::setDouble(const std::wstring& key, const double& value) {
    Value name = copyText(key);
    Value v(value);
    setMember(name, v);
}

void JSONParser::appendToArray(const std::wstring& key, const std::wstring& value,
                               const std::wstring& memberName) {
    if (!document_.IsObject()) {
        document_.SetObject();
    }
    Document::AllocatorType& allocator = document_.GetAllocator();
    Value element;
    if (TextLength(memberName) != 0) {
        element.SetObject();
        element.AddMember(copyText(memberName), copyText(value), allocator);
    } else {
        element = copyText(value);
    }
    Value* member = findMember(key);
    if (member == nullptr) {
        document_.AddMember(copyText(key), Value(rapidjson::kArrayType), allocator);
        member = &(document_.MemberEnd() - 1)->value;
    } else if (!member->IsArray()) {
        // A member that is not an array becomes an array holding the element.
        Value name = copyText(key);
        Value array(rapidjson::kArrayType);
        array.PushBack(element, allocator);
        setMember(name, array);
        return;
    }
    member->PushBack(element, allocator);
}

bool JSONParser::isEmpty() const { return !(document_.IsObject() && document_.MemberCount() > 0); }

void JSONParser::setMember(Value& name, Value& value) {
    if (!document_.IsObject()) {
        document_.SetObject();
    }
    if (name.IsString()) {
        const std::size_t length = name.GetStringLength();
        for (auto it = document_.MemberBegin(); it != document_.MemberEnd(); ++it) {
            if (NameEquals(it->name, name.GetString(), length)) {
                // The last member moves into the removed one's place.
                document_.RemoveMember(it);
                break;
            }
        }
    }
    document_.AddMember(name, value, document_.GetAllocator());
}

}  // namespace Tessil
