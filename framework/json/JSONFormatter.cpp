#include "framework/json/JSONFormatter.h"

#include <rapidjson/reader.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <cmath>
#include <cwchar>
#include <limits>
#include <stdexcept>
#include <utility>

namespace Tessil {
namespace {

using Encoding = JSONFormatter::Encoding;
using Document = JSONFormatter::Document;
using Value = JSONFormatter::Value;
using rapidjson::SizeType;

// Levels of objects and arrays in v (0 for a scalar), counted without
// recursion; stops counting once limit is passed.
std::size_t depthOf(const Value& v, std::size_t limit = JSONFormatter::kMaxDepth + 1) {
    if (!v.IsObject() && !v.IsArray()) return 0;
    struct Item {
        const Value* value;
        std::size_t depth;
    };
    std::vector<Item> todo{{&v, 1}};
    std::size_t deepest = 0;
    while (!todo.empty()) {
        const Item item = todo.back();
        todo.pop_back();
        if (item.depth > deepest) deepest = item.depth;
        if (deepest > limit) break;
        auto visit = [&](const Value& child) {
            if (child.IsObject() || child.IsArray()) todo.push_back({&child, item.depth + 1});
        };
        if (item.value->IsObject()) {
            for (const auto& m : item.value->GetObject()) visit(m.value);
        } else {
            for (const auto& e : item.value->GetArray()) visit(e);
        }
    }
    return deepest;
}

// Forwards parse events to the document, failing the parse once objects and
// arrays nest deeper than kMaxDepth.
class DepthLimitedHandler {
public:
    explicit DepthLimitedHandler(Document& doc) : doc_(doc) {}
    bool Null() { return doc_.Null(); }
    bool Bool(bool b) { return doc_.Bool(b); }
    bool Int(int i) { return doc_.Int(i); }
    bool Uint(unsigned i) { return doc_.Uint(i); }
    bool Int64(std::int64_t i) { return doc_.Int64(i); }
    bool Uint64(std::uint64_t i) { return doc_.Uint64(i); }
    bool Double(double d) { return doc_.Double(d); }
    bool RawNumber(const wchar_t* s, SizeType n, bool copy) { return doc_.RawNumber(s, n, copy); }
    bool String(const wchar_t* s, SizeType n, bool copy) { return doc_.String(s, n, copy); }
    bool Key(const wchar_t* s, SizeType n, bool copy) { return doc_.Key(s, n, copy); }
    bool StartObject() { return enter() && doc_.StartObject(); }
    bool EndObject(SizeType n) { --depth_; return doc_.EndObject(n); }
    bool StartArray() { return enter() && doc_.StartArray(); }
    bool EndArray(SizeType n) { --depth_; return doc_.EndArray(n); }

private:
    bool enter() { return ++depth_ <= JSONFormatter::kMaxDepth; }
    Document& doc_;
    std::size_t depth_ = 0;
};

// Runs RapidJSON's iterative (non-recursive) reader over the text as the
// generator of Document::Populate.
struct TextGenerator {
    const wchar_t* text;
    bool ok = false;
    bool operator()(Document& doc) {
        rapidjson::GenericStringStream<Encoding> stream(text);
        rapidjson::GenericReader<Encoding, Encoding> reader;
        DepthLimitedHandler handler(doc);
        ok = !reader.Parse<rapidjson::kParseIterativeFlag>(stream, handler).IsError();
        return ok;
    }
};

using StringBuffer = rapidjson::GenericStringBuffer<Encoding>;
using BaseWriter = rapidjson::Writer<StringBuffer, Encoding, Encoding>;

// Writes what RapidJSON's writer writes for the string s of n code units
// (escapes as described at Writer) to out, which has room for 6 * n + 2
// units; answers the end of the text.
wchar_t* writeEscaped(const wchar_t* s, SizeType n, wchar_t* out) {
    static const wchar_t kHex[] = L"0123456789ABCDEF";
    *out++ = L'"';
    SizeType i = 0;
    while (true) {
#if defined(__SSE2__)
        // Eight units at a time, stored before they are looked at: the room
        // left is at least the eight units (each unit has six).
        const __m128i below = _mm_set1_epi16(0x1F);
        const __m128i quote = _mm_set1_epi16(L'"');
        const __m128i backslash = _mm_set1_epi16(L'\\');
        while (i + 8 <= n) {
            const __m128i units = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out), units);
            const __m128i control = _mm_cmpeq_epi16(_mm_subs_epu16(units, below), _mm_setzero_si128());
            const __m128i special = _mm_or_si128(_mm_cmpeq_epi16(units, quote), _mm_cmpeq_epi16(units, backslash));
            const unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(control, special)));
            if (mask != 0) {
                const SizeType plain = static_cast<SizeType>(__builtin_ctz(mask) / 2);
                out += plain;
                i += plain;
                break;
            }
            out += 8;
            i += 8;
        }
#endif
        while (i < n && s[i] >= 0x20 && s[i] != L'"' && s[i] != L'\\') *out++ = s[i++];
        if (i == n) break;
        const wchar_t c = s[i++];
        *out++ = L'\\';
        if (c >= 0x20) {
            *out++ = c;
        } else if (const char named = "\0\0\0\0\0\0\0\0btn\0fr"[c < 14 ? c : 0]) {
            *out++ = static_cast<wchar_t>(named);
        } else {
            *out++ = L'u';
            *out++ = L'0';
            *out++ = L'0';
            *out++ = kHex[c >> 4];
            *out++ = kHex[c & 0xF];
        }
    }
    *out++ = L'"';
    return out;
}

// RapidJSON's writer, except that it writes a non-finite double as null
// instead of stopping (which would leave truncated text), and that strings
// are written eight code units at a time. The escapes are
// RapidJSON's own: \" and \\, \b \t \n \f \r, \u00XX (upper-case) for the
// other units below U+0020; every other code unit, surrogates included, as
// it is.
class Writer : public BaseWriter {
public:
    using BaseWriter::BaseWriter;
    bool Double(double d) { return std::isfinite(d) ? BaseWriter::Double(d) : BaseWriter::Null(); }
    bool String(const wchar_t* s, SizeType n, bool = false) {
        Prefix(rapidjson::kStringType);
        return EndValue(writeString(s, n));
    }
    bool Key(const wchar_t* s, SizeType n, bool copy = false) { return String(s, n, copy); }

private:
    bool writeString(const wchar_t* s, SizeType n) {
        const std::size_t room = 6 * static_cast<std::size_t>(n) + 2;  // as RapidJSON reserves
        wchar_t* start = os_->Push(room);
        const wchar_t* end = writeEscaped(s, n, start);
        os_->Pop(room - static_cast<std::size_t>(end - start));
        return true;
    }
};

// Room for the text of an alert-sized payload, so that writing one seldom
// grows the buffer.
constexpr std::size_t kFirstTextBytes = 8192;

// Compact text of value, as toString writes a content.
std::wstring compactText(const Value& value) {
    StringBuffer buffer(nullptr, kFirstTextBytes);
    Writer writer(buffer);
    value.Accept(writer);
    return std::wstring(buffer.GetString(), buffer.GetSize() / sizeof(wchar_t));
}

// Index of the first member whose name has the same length and code units,
// or the member count when there is none.
SizeType indexOf(const Value& object, const wchar_t* name, SizeType length) {
    SizeType i = 0;
    for (const auto& m : object.GetObject()) {
        if (m.name.GetStringLength() == length && std::wmemcmp(m.name.GetString(), name, length) == 0)
            return i;
        ++i;
    }
    return i;
}

bool fitsSizeType(const std::wstring& s) {
    return s.size() <= std::numeric_limits<SizeType>::max();
}

}  // namespace

JSONFormatter::JSONFormatter() { doc_.SetObject(); }

JSONFormatter::JSONFormatter(const JSONFormatter& other) {
    doc_.CopyFrom(other.doc_, doc_.GetAllocator());
}

JSONFormatter& JSONFormatter::operator=(const JSONFormatter& other) {
    if (this != &other) {
        // A new pool: the old content's storage goes with the old document.
        Document fresh;
        fresh.CopyFrom(other.doc_, fresh.GetAllocator());
        doc_.Swap(fresh);
    }
    return *this;
}

JSONFormatter::JSONFormatter(JSONFormatter&& other) : JSONFormatter() { doc_.Swap(other.doc_); }

JSONFormatter& JSONFormatter::operator=(JSONFormatter&& other) {
    if (this != &other) {
        Document fresh;
        fresh.SetObject();
        doc_.Swap(other.doc_);
        other.doc_.Swap(fresh);
    }
    return *this;
}

JSONFormatter::~JSONFormatter() = default;

void JSONFormatter::assignCopy(const Value& value) {
    // Copied into the pool before the root is overwritten, since value may be
    // part of this content; the old content's storage stays in the pool.
    Value copy(value, doc_.GetAllocator());
    static_cast<Value&>(doc_) = copy;  // moves
}

bool JSONFormatter::parse(const std::wstring& text) {
    Document fresh;  // null
    TextGenerator generator{text.c_str()};
    try {
        fresh.Populate(generator);
    } catch (const std::logic_error&) {
        // A RapidJSON assertion (rapidjson_config.h makes them throw): the
        // reader asserts on an escaped lone low surrogate such as \uDC00.
        generator.ok = false;
    }
    if (!generator.ok) fresh.SetNull();
    doc_.Swap(fresh);
    return doc_.IsObject();
}

std::wstring JSONFormatter::toString() const { return compactText(doc_); }

const Value* JSONFormatter::findMember(const std::wstring& key) const {
    if (!doc_.IsObject()) return nullptr;
    const SizeType length = static_cast<SizeType>(std::wcslen(key.c_str()));  // up to the first NUL
    const SizeType i = indexOf(doc_, key.c_str(), length);
    return i < doc_.MemberCount() ? &doc_.MemberBegin()[i].value : nullptr;
}

Value* JSONFormatter::findMember(const std::wstring& key) {
    return const_cast<Value*>(std::as_const(*this).findMember(key));
}

bool JSONFormatter::getString(const std::wstring& key, std::wstring& out) const {
    const Value* v = findMember(key);
    if (!v || !v->IsString()) return false;
    out.assign(v->GetString(), v->GetStringLength());
    return true;
}

bool JSONFormatter::getBool(const std::wstring& key, bool& out) const {
    const Value* v = findMember(key);
    if (!v || !v->IsBool()) return false;
    out = v->GetBool();
    return true;
}

bool JSONFormatter::getInt(const std::wstring& key, int& out) const {
    const Value* v = findMember(key);
    if (!v || !v->IsInt()) return false;
    out = v->GetInt();
    return true;
}

bool JSONFormatter::getUInt(const std::wstring& key, unsigned int& out) const {
    const Value* v = findMember(key);
    if (!v || !v->IsUint()) return false;
    out = v->GetUint();
    return true;
}

bool JSONFormatter::getInt64(const std::wstring& key, std::int64_t& out) const {
    const Value* v = findMember(key);
    if (!v || !v->IsInt64()) return false;
    out = v->GetInt64();
    return true;
}

bool JSONFormatter::getUInt64(const std::wstring& key, std::uint64_t& out) const {
    const Value* v = findMember(key);
    if (!v || !v->IsUint64()) return false;
    out = v->GetUint64();
    return true;
}

bool JSONFormatter::getDouble(const std::wstring& key, double& out) const {
    const Value* v = findMember(key);
    if (!v || !v->IsDouble()) return false;
    out = v->GetDouble();
    return true;
}

bool JSONFormatter::getStringArray(const std::wstring& key, std::vector<std::wstring>& out) const {
    const Value* v = findMember(key);
    if (!v) return true;
    if (!v->IsArray()) return false;
    for (const auto& e : v->GetArray()) {
        if (!e.IsString()) return false;
        out.emplace_back(e.GetString(), e.GetStringLength());
    }
    return true;
}

bool JSONFormatter::getObject(const std::wstring& key, JSONFormatter& out) const {
    const Value* v = findMember(key);
    if (!v || !v->IsObject()) return false;
    out.assignCopy(*v);
    return true;
}

bool JSONFormatter::getObjectText(const std::wstring& key, std::wstring& out) const {
    const Value* v = findMember(key);
    if (!v || !v->IsObject()) return false;
    out = compactText(*v);
    return true;
}

bool JSONFormatter::getObjectArray(const std::wstring& key, std::vector<JSONFormatter>& out) const {
    const Value* v = findMember(key);
    if (!v) return true;
    if (!v->IsArray()) return false;
    for (const auto& e : v->GetArray()) {
        if (!e.IsObject()) return false;
        out.emplace_back().assignCopy(e);
    }
    return true;
}

Value JSONFormatter::makeName(const std::wstring& key) {
    return Value(key.c_str(), doc_.GetAllocator());  // up to the first NUL
}

Value JSONFormatter::makeString(const std::wstring& text) {
    return Value(text.data(), static_cast<SizeType>(text.size()), doc_.GetAllocator());
}

void JSONFormatter::replaceMember(Value& name, Value& value) {
    const SizeType i = indexOf(doc_, name.GetString(), name.GetStringLength());
    // RemoveMember moves the last member into the gap.
    if (i < doc_.MemberCount()) doc_.RemoveMember(doc_.MemberBegin() + i);
    doc_.AddMember(name, value, doc_.GetAllocator());
}

void JSONFormatter::setMember(Value& name, Value& value) {
    if (!doc_.IsObject() || !name.IsString()) return;
    if (1 + depthOf(value) > kMaxDepth) return;
    replaceMember(name, value);
}

void JSONFormatter::setValue(const std::wstring& key, Value& value) {
    if (!doc_.IsObject()) return;
    Value name = makeName(key);
    replaceMember(name, value);
}

void JSONFormatter::setString(const std::wstring& key, const std::wstring& value) {
    if (doc_.IsObject() && fitsSizeType(value)) setValue(key, makeString(value).Move());
}

void JSONFormatter::setBool(const std::wstring& key, bool value) { setValue(key, Value(value).Move()); }

void JSONFormatter::setInt(const std::wstring& key, int value) { setValue(key, Value(value).Move()); }

void JSONFormatter::setUInt(const std::wstring& key, unsigned int value) { setValue(key, Value(value).Move()); }

void JSONFormatter::setInt64(const std::wstring& key, std::int64_t value) { setValue(key, Value(value).Move()); }

void JSONFormatter::setUInt64(const std::wstring& key, std::uint64_t value) { setValue(key, Value(value).Move()); }

void JSONFormatter::setDouble(const std::wstring& key, double value) { setValue(key, Value(value).Move()); }

void JSONFormatter::setStringArray(const std::wstring& key, const std::vector<std::wstring>& values) {
    if (!doc_.IsObject()) return;
    for (const auto& s : values)
        if (!fitsSizeType(s)) return;
    setValue(key, Value(rapidjson::kArrayType).Move());
    Value& member = doc_.MemberEnd()[-1].value;  // the member just appended
    member.Reserve(static_cast<SizeType>(values.size()), doc_.GetAllocator());
    for (const auto& s : values) member.PushBack(makeString(s), doc_.GetAllocator());
}

Value* JSONFormatter::arrayMember(const std::wstring& key) {
    if (!doc_.IsObject()) return nullptr;
    if (Value* v = findMember(key)) return v->IsArray() ? v : nullptr;
    doc_.AddMember(makeName(key), Value(rapidjson::kArrayType), doc_.GetAllocator());
    return &doc_.MemberEnd()[-1].value;
}

void JSONFormatter::appendString(const std::wstring& key, const std::wstring& value) {
    if (!fitsSizeType(value)) return;
    if (Value* array = arrayMember(key)) array->PushBack(makeString(value), doc_.GetAllocator());
}

void JSONFormatter::setObject(const std::wstring& key, const JSONFormatter& value) {
    if (!doc_.IsObject() || 1 + depthOf(value.doc_) > kMaxDepth) return;
    setValue(key, Value(value.doc_, doc_.GetAllocator()).Move());  // deep copy into this pool
}

void JSONFormatter::setObjectArray(const std::wstring& key, const std::vector<JSONFormatter>& values) {
    if (!doc_.IsObject()) return;
    for (const auto& f : values)
        if (2 + depthOf(f.doc_) > kMaxDepth) return;
    setValue(key, Value(rapidjson::kArrayType).Move());
    Value& member = doc_.MemberEnd()[-1].value;
    member.Reserve(static_cast<SizeType>(values.size()), doc_.GetAllocator());
    for (const auto& f : values) member.PushBack(Value(f.doc_, doc_.GetAllocator()).Move(), doc_.GetAllocator());
}

void JSONFormatter::appendObject(const std::wstring& key, const JSONFormatter& value) {
    if (!doc_.IsObject() || 2 + depthOf(value.doc_) > kMaxDepth) return;
    Value copy(value.doc_, doc_.GetAllocator());  // before the array: value may be *this
    if (Value* array = arrayMember(key)) array->PushBack(copy, doc_.GetAllocator());
}

}  // namespace Tessil
