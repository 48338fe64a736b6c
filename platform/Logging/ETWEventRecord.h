// The binary parts of an ETW log event: the context record that precedes the
// UTF-8 message, and the event level. Formatting only, no system calls.
#pragma once

#include "platform/Logging/Logging.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

namespace ETWLogging::internal {

// Strings of the context record carry a 16-bit count of UTF-16 units; longer
// strings are cut to this many units.
inline constexpr std::size_t kMaxContextStringUnits = 0xFFFF;

// Event class level of a record: MapLevel for 1..5, 3 otherwise.
inline constexpr std::uint8_t MapLevel(LogLevel level) {
    return level == LevelInformation6 ? static_cast<std::uint8_t>(LevelInformation)
                                      : static_cast<std::uint8_t>(level);
}
// The rule with the logger's own mapping of the levels 1..5.
template <typename Map>
constexpr std::uint8_t EventLevelFor(LogLevel level, Map map) {
    return (level >= 1 && level <= 5) ? static_cast<std::uint8_t>(map(level))
                                      : static_cast<std::uint8_t>(LevelInformation);
}
inline constexpr std::uint8_t EventLevelFor(LogLevel level) {
    return EventLevelFor(level, [](LogLevel l) { return MapLevel(l); });
}

// Byte buffer with 256 bytes of inline room that moves to the heap when it
// needs more, growing to the larger of the need and one and a half times its size.
class ContextRecordBuffer {
public:
    static constexpr std::size_t kInlineBytes = 256;

    ContextRecordBuffer() = default;
    ContextRecordBuffer(const ContextRecordBuffer&) = delete;
    ContextRecordBuffer& operator=(const ContextRecordBuffer&) = delete;

    // False when the heap could not give the room; the buffer is then unchanged.
    bool Append(const void* data, std::size_t bytes);

    const std::uint8_t* Data() const { return heap_ ? heap_.get() : inline_; }
    std::size_t Size() const { return size_; }
    std::size_t Capacity() const { return capacity_; }
    bool OnHeap() const { return heap_ != nullptr; }

private:
    std::uint8_t inline_[kInlineBytes];
    std::unique_ptr<std::uint8_t[]> heap_;
    std::size_t size_ = 0;
    std::size_t capacity_ = kInlineBytes;
};

struct ContextFields {
    std::uint32_t processId = 0;
    std::uint32_t threadId = 0;
    std::wstring_view imageName;
    std::wstring_view sourceFile;
    std::wstring_view function;
    std::uint32_t line = 0;
    std::wstring_view moduleFileName;
    std::wstring_view moduleVersion;
    std::wstring_view logName;
    std::uint64_t textBytes = 0;
};

// Appends the packed little-endian context record; false when out of memory.
bool EncodeContextRecord(const ContextFields& fields, ContextRecordBuffer& out);

// A text from which "%u,%u,%u,%u" scans four numbers becomes "%u.%u.%u.%u"
// (whatever follows them); any other text is kept as it is.
std::wstring NormaliseFileVersion(std::wstring_view version);

}  // namespace ETWLogging::internal
