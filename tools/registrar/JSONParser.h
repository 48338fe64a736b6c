// One JSON document over wide characters, with typed member
// access and file input and output in UTF-16LE. Free of Win32.
#pragma once

#include <rapidjson/document.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#ifdef _WIN32  // the native fuzz build has a wider wchar_t and feeds it 16-bit units
static_assert(sizeof(wchar_t) == 2, "the reference file is UTF-16: wchar_t must be 16 bits");
#endif

namespace Tessil {

class JSONParser {
public:
    using Document = rapidjson::GenericDocument<rapidjson::UTF16<wchar_t>>;
    using Value = Document::ValueType;
    // Receives the bytes of a file being written; false stops the writing.
    using ByteSink = std::function<bool(const char* data, std::size_t size)>;

    // Refusals that keep a hostile or damaged file from exhausting the stack
    // or the memory: nesting deeper than this, and files larger than this.
    static constexpr unsigned kMaxDepth = 64;
    static constexpr std::size_t kMaxFileBytes = 1024 * 1024;
    static constexpr std::size_t kFileBufferBytes = 256;

    JSONParser();  // the document is null
    virtual ~JSONParser();
    JSONParser(const JSONParser&) = delete;
    JSONParser& operator=(const JSONParser&) = delete;

    // True when the text up to its first NUL is valid JSON (any root, valid
    // UTF-16, nested at most kMaxDepth deep); the document becomes the value,
    // or null on an error.
    virtual bool parse(const std::wstring& text);
    // The same for a file's content in UTF-16LE, a leading FF FE skipped: the
    // text ends at its first NUL unit, and an odd last byte is ignored. Also
    // false for a file over kMaxFileBytes or that cannot be read.
    virtual bool parseFile(FILE* file);
    // Compact JSON text of the document ("null" for a new parser).
    virtual std::wstring toString() const;

    virtual bool getBool(const std::wstring& key, bool& value) const;
    virtual bool getString(const std::wstring& key, std::wstring& value) const;
    virtual bool getInt(const std::wstring& key, int& value) const;
    virtual bool getInt64(const std::wstring& key, std::int64_t& value) const;
    virtual bool getUInt(const std::wstring& key, unsigned int& value) const;
    virtual bool getUInt64(const std::wstring& key, std::uint64_t& value) const;
    virtual bool getDouble(const std::wstring& key, double& value) const;
    // Appends the texts of the array under key: its strings (memberName
    // empty) or the string member memberName of its objects. out is never
    // cleared; false for a missing or non-array member or an element that does
    // not fit, the texts before it staying appended.
    virtual bool getStringArray(const std::wstring& key, std::vector<std::wstring>& out,
                                const std::wstring& memberName) const;

    virtual void setBool(const std::wstring& key, const bool& value);
    virtual void setString(const std::wstring& key, const std::wstring& value);
    virtual void setInt(const std::wstring& key, const int& value);
    virtual void setInt64(const std::wstring& key, const std::int64_t& value);
    virtual void setUInt(const std::wstring& key, const unsigned int& value);
    virtual void setUInt64(const std::wstring& key, const std::uint64_t& value);
    virtual void setDouble(const std::wstring& key, const double& value);
    // Appends {memberName: value} (or the string value when memberName is
    // empty) to the array under key, creating it at the end when missing. A
    // member under key that is not an array is replaced by a new array.
    virtual void appendToArray(const std::wstring& key, const std::wstring& value,
                               const std::wstring& memberName);
    // True unless the document is an object with at least one member.
    virtual bool isEmpty() const;
    // Replace-or-append: an existing member of that name is removed (the last
    // member taking its place) and the new one appended. Takes over both
    // values, which must belong to this parser's document.
    virtual void setMember(Value& name, Value& value);

    // FF FE and the compact text as UTF-16LE, the file's bytes, handed to sink
    // in pieces of at most kFileBufferBytes bytes. False, with nothing handed
    // over, when the document cannot be written as valid UTF-16; false when
    // sink refuses.
    virtual bool writeTo(const ByteSink& sink) const;

private:
    bool parseUnits(const wchar_t* text);
    const Value* findMember(const std::wstring& key) const;
    Value* findMember(const std::wstring& key);
    Value copyText(const std::wstring& text);

    Document document_;
};

}  // namespace Tessil
