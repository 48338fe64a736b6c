// Tessil::JSONFormatter: one JSON document over UTF-16 text with
// typed access to the members of its root object.
#pragma once

#include <rapidjson/document.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace Tessil {

class JSONFormatter {
public:
    using Encoding = rapidjson::UTF16<wchar_t>;
    using Document = rapidjson::GenericDocument<Encoding>;
    using Value = Document::ValueType;

    // Deepest nesting of objects and arrays a formatter ever holds: parse
    // refuses deeper text and the setters refuse to nest deeper, so copying
    // and writing (which recurse once per level) stay within the stack.
    static constexpr std::size_t kMaxDepth = 512;

    // An empty object.
    JSONFormatter();
    // Deep copies into this formatter's own pool, whatever the content's type.
    JSONFormatter(const JSONFormatter& other);
    JSONFormatter& operator=(const JSONFormatter& other);
    // Takes over the other's content; the other is left an empty object.
    JSONFormatter(JSONFormatter&& other);
    JSONFormatter& operator=(JSONFormatter&& other);
    virtual ~JSONFormatter();

    // Replaces the content with the parsed text (up to its first NUL); true
    // only when the text is valid JSON whose root is an object. Invalid text,
    // or text nested deeper than kMaxDepth, leaves the content null.
    virtual bool parse(const std::wstring& text);
    // Compact JSON text of the content, members in stored order. A double
    // that is not finite is written as null.
    virtual std::wstring toString() const;

    // Scalar getters: false, out unchanged, when the member is missing or
    // of another type.
    virtual bool getString(const std::wstring& key, std::wstring& out) const;
    virtual bool getBool(const std::wstring& key, bool& out) const;
    virtual bool getInt(const std::wstring& key, int& out) const;
    virtual bool getUInt(const std::wstring& key, unsigned int& out) const;
    virtual bool getInt64(const std::wstring& key, std::int64_t& out) const;
    virtual bool getUInt64(const std::wstring& key, std::uint64_t& out) const;
    virtual bool getDouble(const std::wstring& key, double& out) const;
    // Appends the strings; a missing member is true (empty), a non-array or
    // a non-string element false (the strings before it stay appended).
    virtual bool getStringArray(const std::wstring& key, std::vector<std::wstring>& out) const;
    // out's content becomes a deep copy of the object member.
    virtual bool getObject(const std::wstring& key, JSONFormatter& out) const;
    // Appends one formatter per element, with getStringArray's answers.
    virtual bool getObjectArray(const std::wstring& key, std::vector<JSONFormatter>& out) const;
    // The text that getObject and then toString of the copy give, written
    // from this content without the copy; false, out unchanged, as getObject.
    bool getObjectText(const std::wstring& key, std::wstring& out) const;

    // Setters replace the member, which then ends up last.
    // They do nothing when the content is not an object.
    virtual void setString(const std::wstring& key, const std::wstring& value);
    virtual void setBool(const std::wstring& key, bool value);
    virtual void setInt(const std::wstring& key, int value);
    virtual void setUInt(const std::wstring& key, unsigned int value);
    virtual void setInt64(const std::wstring& key, std::int64_t value);
    virtual void setUInt64(const std::wstring& key, std::uint64_t value);
    virtual void setDouble(const std::wstring& key, double value);
    virtual void setStringArray(const std::wstring& key, const std::vector<std::wstring>& values);
    // Appends to the array under key, creating it (at the end) when missing;
    // does nothing when the member exists and is not an array.
    virtual void appendString(const std::wstring& key, const std::wstring& value);
    // The nesting setters do nothing when the result would nest deeper than
    // kMaxDepth.
    virtual void setObject(const std::wstring& key, const JSONFormatter& value);
    virtual void setObjectArray(const std::wstring& key, const std::vector<JSONFormatter>& values);
    virtual void appendObject(const std::wstring& key, const JSONFormatter& value);
    // Replace-or-append with two values of this formatter's document, taking
    // both over. Does nothing when name is not a string or value nests too deep.
    virtual void setMember(Value& name, Value& value);

private:
    const Value* findMember(const std::wstring& key) const;
    Value* findMember(const std::wstring& key);
    Value makeName(const std::wstring& key);
    Value makeString(const std::wstring& text);
    void replaceMember(Value& name, Value& value);
    // Every setter's last step: the key copied as the name, then replaceMember.
    void setValue(const std::wstring& key, Value& value);
    // The array member under key, appended empty when missing; null when the
    // content is not an object or the member is not an array.
    Value* arrayMember(const std::wstring& key);
    // Replaces the whole document (and its pool) by a deep copy of value.
    void assignCopy(const Value& value);

    Document doc_;
};

}  // namespace Tessil
