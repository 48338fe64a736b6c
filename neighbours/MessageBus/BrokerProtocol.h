// Frames between the bus neighbour and its broker: a little-endian 32-bit
// body length, then the body: a kind byte and its fields. Strings are a
// 32-bit count of UTF-16 units and the units. Parsing only; no Win32 here.
#pragma once

#include "framework/message/MessageHeader.h"

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace Tessil::broker {

// A body larger than this is refused, so a broken peer cannot make us allocate without bound.
inline constexpr std::uint32_t kMaxFrameBody = 64u * 1024u * 1024u;

enum class Kind : std::uint8_t {
    Message = 1,     // header, name, source, payload
    Subscribe = 2,   // id, filter flag, text
    Unsubscribe = 3, // id
    Query = 4,       // token, name: how many subscriptions of other processes match
    QueryReply = 5,  // token, count
};

struct Frame {
    Kind kind = Kind::Message;
    MessageHeader header{};
    std::wstring name, source, payload;  // name doubles as the subscription text and query name
    std::uint32_t id = 0;                // subscription id, query token
    std::uint32_t count = 0;             // query answer
    bool filter = false;
};

class Writer {
public:
    void u8(std::uint8_t v) { bytes.push_back(v); }
    void u32(std::uint32_t v) {
        for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    }
    void raw(const void* data, std::size_t n) {
        const auto* p = static_cast<const std::uint8_t*>(data);
        bytes.insert(bytes.end(), p, p + n);
    }
    void text(const std::wstring& s) {
        u32(static_cast<std::uint32_t>(s.size()));
        for (wchar_t c : s) {
            const auto unit = static_cast<std::uint16_t>(c);
            u8(static_cast<std::uint8_t>(unit & 0xFF));
            u8(static_cast<std::uint8_t>(unit >> 8));
        }
    }
    std::vector<std::uint8_t> bytes;
};

class Reader {
public:
    Reader(const std::uint8_t* data, std::size_t size) : p(data), left(size) {}
    bool u8(std::uint8_t& v) {
        if (left < 1) return false;
        v = *p++;
        --left;
        return true;
    }
    bool u32(std::uint32_t& v) {
        if (left < 4) return false;
        v = 0;
        for (int i = 0; i < 4; ++i) v |= static_cast<std::uint32_t>(p[i]) << (8 * i);
        p += 4;
        left -= 4;
        return true;
    }
    bool raw(void* out, std::size_t n) {
        if (left < n) return false;
        std::memcpy(out, p, n);
        p += n;
        left -= n;
        return true;
    }
    bool text(std::wstring& s) {
        std::uint32_t n = 0;
        if (!u32(n) || left / 2 < n) return false;
        s.resize(n);
        for (std::uint32_t i = 0; i < n; ++i) {
            s[i] = static_cast<wchar_t>(p[2 * i] | (p[2 * i + 1] << 8));
        }
        p += 2 * static_cast<std::size_t>(n);
        left -= 2 * static_cast<std::size_t>(n);
        return true;
    }
    bool atEnd() const { return left == 0; }

private:
    const std::uint8_t* p;
    std::size_t left;
};

// The whole frame, length prefix included.
inline std::vector<std::uint8_t> encode(const Frame& f) {
    Writer body;
    body.u8(static_cast<std::uint8_t>(f.kind));
    switch (f.kind) {
    case Kind::Message:
        body.raw(&f.header, sizeof(MessageHeader));
        body.text(f.name);
        body.text(f.source);
        body.text(f.payload);
        break;
    case Kind::Subscribe:
        body.u32(f.id);
        body.u8(f.filter ? 1 : 0);
        body.text(f.name);
        break;
    case Kind::Unsubscribe:
        body.u32(f.id);
        break;
    case Kind::Query:
        body.u32(f.id);
        body.text(f.name);
        break;
    case Kind::QueryReply:
        body.u32(f.id);
        body.u32(f.count);
        break;
    }
    Writer out;
    out.u32(static_cast<std::uint32_t>(body.bytes.size()));
    out.raw(body.bytes.data(), body.bytes.size());
    return out.bytes;
}

// Parses one body (without its length prefix); nothing for a malformed one.
inline std::optional<Frame> decode(const std::uint8_t* data, std::size_t size) {
    Reader in(data, size);
    Frame f;
    std::uint8_t kind = 0;
    if (!in.u8(kind)) return std::nullopt;
    f.kind = static_cast<Kind>(kind);
    bool ok = false;
    switch (f.kind) {
    case Kind::Message:
        ok = in.raw(&f.header, sizeof(MessageHeader)) && in.text(f.name) && in.text(f.source) &&
             in.text(f.payload);
        break;
    case Kind::Subscribe: {
        std::uint8_t filter = 0;
        ok = in.u32(f.id) && in.u8(filter) && filter <= 1 && in.text(f.name);
        f.filter = filter == 1;
        break;
    }
    case Kind::Unsubscribe:
        ok = in.u32(f.id);
        break;
    case Kind::Query:
        ok = in.u32(f.id) && in.text(f.name);
        break;
    case Kind::QueryReply:
        ok = in.u32(f.id) && in.u32(f.count);
        break;
    }
    if (!ok || !in.atEnd()) return std::nullopt;
    return f;
}

}  // namespace Tessil::broker
