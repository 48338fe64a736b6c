#include "platform/Logging/ETWEventRecord.h"

#include "platform/Logging/WideFormat.h"

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <new>
#include <string>

namespace ETWLogging::internal {

bool ContextRecordBuffer::Append(const void* data, std::size_t bytes) {
    if (bytes == 0) {
        return true;
    }
    const std::size_t need = size_ + bytes;
    if (need > capacity_) {
        const std::size_t grown = std::max(need, capacity_ + capacity_ / 2);
        std::unique_ptr<std::uint8_t[]> bigger(new (std::nothrow) std::uint8_t[grown]);
        if (!bigger) {
            return false;
        }
        std::memcpy(bigger.get(), Data(), size_);
        heap_ = std::move(bigger);
        capacity_ = grown;
    }
    std::uint8_t* target = heap_ ? heap_.get() : inline_;
    std::memcpy(target + size_, data, bytes);
    size_ = need;
    return true;
}

namespace {

template <typename T>
bool AppendLittleEndian(ContextRecordBuffer& out, T value) {
    std::uint8_t bytes[sizeof(T)];
    for (std::size_t i = 0; i < sizeof(T); ++i) {
        bytes[i] = static_cast<std::uint8_t>(static_cast<std::uint64_t>(value) >> (8 * i));
    }
    return out.Append(bytes, sizeof(T));
}

bool AppendCountedString(ContextRecordBuffer& out, std::wstring_view text) {
    const std::size_t units = std::min(text.size(), kMaxContextStringUnits);
    if (!AppendLittleEndian<std::uint16_t>(out, static_cast<std::uint16_t>(units))) {
        return false;
    }
    static_assert(sizeof(wchar_t) == 2, "UTF-16 wide characters");
    return out.Append(text.data(), units * sizeof(wchar_t));
}

}  // namespace

bool EncodeContextRecord(const ContextFields& fields, ContextRecordBuffer& out) {
    return AppendLittleEndian(out, fields.processId) && AppendLittleEndian(out, fields.threadId) &&
           AppendCountedString(out, fields.imageName) && AppendCountedString(out, fields.sourceFile) &&
           AppendCountedString(out, fields.function) && AppendLittleEndian(out, fields.line) &&
           AppendCountedString(out, fields.moduleFileName) &&
           AppendCountedString(out, fields.moduleVersion) && AppendCountedString(out, fields.logName) &&
           AppendLittleEndian(out, fields.textBytes);
}

std::wstring NormaliseFileVersion(std::wstring_view version) {
    const std::wstring text(version);  // the scan needs its NUL
    unsigned parts[4] = {};
    if (std::swscanf(text.c_str(), L"%u,%u,%u,%u", &parts[0], &parts[1], &parts[2], &parts[3]) != 4) {
        return text;
    }
    return Kelmora::Format(L"%u.%u.%u.%u", parts[0], parts[1], parts[2], parts[3]);
}

}  // namespace ETWLogging::internal
