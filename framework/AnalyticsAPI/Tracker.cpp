#include "framework/AnalyticsAPI/include/AnalyticsAPI/internal/Tracker.h"

#include "framework/AnalyticsAPI/include/AnalyticsAPI/SDKConnector.h"
#include "platform/Logging/Logging.h"
#include "platform/Logging/WideFormat.h"

#include <windows.h>

#include <ctime>

namespace Tessil::Analytics::internal {

namespace {

const wchar_t kTrackerSource[] = L"AnalyticsAPI/internal/Tracker";
const wchar_t kFluentAddFunction[] =
    L"Tessil::Analytics::internal::CFluentTracker<class Tessil::Analytics::v2::CEvent,"
    L"class Tessil::Analytics::internal::CTracker>::Add";

constexpr std::size_t kRecordCreatedChars = 50;

std::uint64_t MonotonicSeconds() {
    LARGE_INTEGER counter{};
    LARGE_INTEGER frequency{};
    if (!QueryPerformanceCounter(&counter) || !QueryPerformanceFrequency(&frequency) ||
        frequency.QuadPart <= 0) {
        return 0;
    }
    return static_cast<std::uint64_t>(counter.QuadPart / frequency.QuadPart);
}

}  // namespace

class CTracker::_Impl {
public:
    explicit _Impl(const wchar_t* type) : type_(type != nullptr ? type : L"") {}
    virtual ~_Impl() = default;

    std::wstring type_;
    Dimensions dimensions_;
};

CTracker::CTracker(const wchar_t* trackerType) : impl_(std::make_unique<_Impl>(trackerType)) {}

CTracker::~CTracker() = default;

void CTracker::Add(const std::wstring name, const std::wstring value) {
    if (name.empty()) {
        return;
    }
    impl_->dimensions_[name] = value;
}

const Dimensions& CTracker::GetDimensions() const { return impl_->dimensions_; }

const std::wstring& CTracker::GetTrackerType() const { return impl_->type_; }

void CTracker::Send() {
    StampDimensions(impl_->dimensions_, impl_->type_, static_cast<std::int64_t>(std::time(nullptr)),
                    MonotonicSeconds());
    CSDKConnector connector;
    connector.Connect();
    connector.Send(impl_->dimensions_);
    connector.Disconnect();
}

bool FormatRecordCreated(std::int64_t secondsSince1970, std::wstring& text) {
    if (secondsSince1970 < 0) {
        return false;
    }
    const __time64_t seconds = secondsSince1970;
    std::tm fields{};
    if (_gmtime64_s(&fields, &seconds) != 0) {
        return false;
    }
    if (fields.tm_sec < 0 || fields.tm_sec > 60 || fields.tm_min < 0 || fields.tm_min > 59 ||
        fields.tm_hour < 0 || fields.tm_hour > 23 || fields.tm_mday < 1 || fields.tm_mday > 31 ||
        fields.tm_mon < 0 || fields.tm_mon > 11 || fields.tm_year < 0 || fields.tm_wday < 0 ||
        fields.tm_wday > 6 || fields.tm_yday < 0 || fields.tm_yday > 365) {
        return false;
    }
    std::wstring formatted =
        Kelmora::Format(L"%04d-%02d-%02d %02d:%02d:%02dZ", fields.tm_year + 1900, fields.tm_mon + 1,
                        fields.tm_mday, fields.tm_hour, fields.tm_min, fields.tm_sec);
    if (formatted.empty() || formatted.size() >= kRecordCreatedChars) {
        return false;
    }
    text = std::move(formatted);
    return true;
}

void StampDimensions(Dimensions& dimensions, const std::wstring& trackerType,
                     std::int64_t utcSeconds, std::uint64_t monotonicSeconds) {
    dimensions[L"__track.api.version"] = L"1.2.0";
    dimensions[L"Tracker.Type"] = trackerType;
    std::wstring created;
    if (FormatRecordCreated(utcSeconds, created)) {
        dimensions[L"__record.created"] = created;
    } else {
        dimensions[L"__record.created.raw"] = std::to_wstring(utcSeconds);
    }
    dimensions[L"__record.created.seconds"] = std::to_wstring(monotonicSeconds);
}

void LogNullDimensionName() {
    VT_LOG(ETWLogging::LevelWarning, kTrackerSource, kFluentAddFunction,
           L"Adding dimension with a [null] name - ignored.");
}

void LogPrivateDimension(const std::wstring& name, const std::wstring& value) {
    VT_LOG(ETWLogging::LevelWarning, kTrackerSource, kFluentAddFunction,
           L"Illegal request to add private dimension ('%s ='%s') - Ignored", name.c_str(),
           value.c_str());
}

}  // namespace Tessil::Analytics::internal
