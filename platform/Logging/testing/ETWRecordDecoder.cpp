#include "platform/Logging/testing/ETWRecordDecoder.h"

namespace ETWLogging::testing {
namespace {

class Reader {
public:
    explicit Reader(const std::vector<std::uint8_t>& bytes) : bytes_(bytes) {}

    template <typename T>
    bool Number(T& value) {
        if (bytes_.size() - pos_ < sizeof(T)) {
            return false;
        }
        std::uint64_t result = 0;
        for (std::size_t i = 0; i < sizeof(T); ++i) {
            result |= static_cast<std::uint64_t>(bytes_[pos_ + i]) << (8 * i);
        }
        pos_ += sizeof(T);
        value = static_cast<T>(result);
        return true;
    }

    bool String(std::wstring& value) {
        std::uint16_t units = 0;
        if (!Number(units) || bytes_.size() - pos_ < units * 2u) {
            return false;
        }
        value.clear();
        for (std::size_t i = 0; i < units; ++i) {
            value += static_cast<wchar_t>(bytes_[pos_] | (bytes_[pos_ + 1] << 8));
            pos_ += 2;
        }
        return true;
    }

    bool AtEnd() const { return pos_ == bytes_.size(); }

private:
    const std::vector<std::uint8_t>& bytes_;
    std::size_t pos_ = 0;
};

}  // namespace

std::optional<DecodedContext> DecodeContextRecord(const std::vector<std::uint8_t>& bytes) {
    Reader reader(bytes);
    DecodedContext context;
    if (reader.Number(context.processId) && reader.Number(context.threadId) &&
        reader.String(context.imageName) && reader.String(context.sourceFile) &&
        reader.String(context.function) && reader.Number(context.line) &&
        reader.String(context.moduleFileName) && reader.String(context.moduleVersion) &&
        reader.String(context.logName) && reader.Number(context.textBytes) && reader.AtEnd()) {
        return context;
    }
    return std::nullopt;
}

}  // namespace ETWLogging::testing
