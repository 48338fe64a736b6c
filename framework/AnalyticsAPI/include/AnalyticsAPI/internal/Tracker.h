// Telemetry trackers: a set of named string values (dimensions) that is
// stamped and sent at once on the calling thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>

namespace Tessil::Analytics {

using Dimensions = std::unordered_map<std::wstring, std::wstring>;

namespace internal {

class CTracker {
public:
    // A null type counts as empty.
    explicit CTracker(const wchar_t* trackerType);
    virtual ~CTracker();
    CTracker(const CTracker&) = delete;
    CTracker& operator=(const CTracker&) = delete;

    // Stamps the standard dimensions and delivers the event; failures to
    // deliver are silent.
    virtual void Send();
    // Stores the value under the name, replacing an earlier one; an empty
    // name is ignored.
    virtual void Add(const std::wstring name, const std::wstring value);

    const Dimensions& GetDimensions() const;
    const std::wstring& GetTrackerType() const;

    class _Impl;

private:
    std::unique_ptr<_Impl> impl_;
};

// Adds the checked forms of Add that chain and refuse private names.
template <typename Event, typename Base>
class CFluentTracker : public Base {
public:
    using Base::Base;

    // A null name is refused with a warning; a null value becomes empty.
    Event& Add(const wchar_t* name, const wchar_t* value);
    // Names starting with "__" are reserved for the stamps and refused.
    Event& Add(const std::wstring& name, const std::wstring& value);
};

// Logs the refusals of CFluentTracker::Add.
void LogNullDimensionName();
void LogPrivateDimension(const std::wstring& name, const std::wstring& value);

inline bool IsPrivateDimension(const std::wstring& name) {
    return name.size() >= 2 && name[0] == L'_' && name[1] == L'_';
}

template <typename Event, typename Base>
Event& CFluentTracker<Event, Base>::Add(const wchar_t* name, const wchar_t* value) {
    if (name == nullptr) {
        LogNullDimensionName();
        return static_cast<Event&>(*this);
    }
    return Add(std::wstring(name), std::wstring(value != nullptr ? value : L""));
}

template <typename Event, typename Base>
Event& CFluentTracker<Event, Base>::Add(const std::wstring& name, const std::wstring& value) {
    if (IsPrivateDimension(name)) {
        LogPrivateDimension(name, value);
    } else {
        Base::Add(name, value);
    }
    return static_cast<Event&>(*this);
}

// "%Y-%m-%d %TZ" of a UTC time in seconds since 1970 into at most 50
// characters; false when the time cannot be shown as a calendar date.
bool FormatRecordCreated(std::int64_t secondsSince1970, std::wstring& text);

// Writes the stamps into the dimensions, given the current UTC seconds and
// the monotonic clock's seconds.
void StampDimensions(Dimensions& dimensions, const std::wstring& trackerType,
                     std::int64_t utcSeconds, std::uint64_t monotonicSeconds);

}  // namespace internal
}  // namespace Tessil::Analytics
