#include "alerts/data/AlertInfo.h"

#include "framework/json/JSONFormatter.h"

#include <chrono>
#include <exception>

namespace Drem {
namespace {

// The alert JSON's member names (static initialisation, no other work).
const std::wstring kId = L"id";
const std::wstring kInstanceId = L"instanceId";
const std::wstring kPriority = L"priority";
const std::wstring kProduct = L"product";
const std::wstring kContent = L"content";
const std::wstring kTimeout = L"timeout";
const std::wstring kSessionId = L"sessionId";
const std::wstring kSource = L"source";
const std::wstring kForcePreferredViewer = L"forcePreferredViewer";
const std::wstring kPreferredViewer = L"preferredViewer";
const std::wstring kContext = L"context";

const std::wstring kClient = L"client";
const std::wstring kWeb = L"web";
const std::wstring kUnknown = L"unknown";

std::int64_t nowIn100ns() {
    using Ticks = std::chrono::duration<std::int64_t, std::ratio<1, 10000000>>;
    return std::chrono::duration_cast<Ticks>(std::chrono::system_clock::now().time_since_epoch()).count();
}

// "P" then a number read as std::stoi reads it (leading white space, one
// sign, digits, anything after them ignored); only 1 to 3 are priorities.
bool readPriority(const std::wstring& text, std::int32_t& out) {
    if (text.empty() || text[0] != L'P') return false;
    int value = 0;
    try {
        value = std::stoi(text.substr(1));
    } catch (const std::exception&) {  // no digits, or out of the int range
        return false;
    }
    if (value < 1 || value > 3) return false;
    out = value;
    return true;
}

bool readSource(const std::wstring& text, std::int32_t& out) {
    if (text == kClient) {
        out = 0;
    } else if (text == kWeb) {
        out = 1;
    } else {
        return false;
    }
    return true;
}

}  // namespace

AlertInfo::AlertInfo() : created(nowIn100ns()) {}

AlertInfo::~AlertInfo() = default;

bool AlertInfo::fromJson(const std::wstring& text, AlertInfo& out) {
    Tessil::JSONFormatter json;
    if (!json.parse(text)) return false;
    if (!json.getString(kId, out.id)) return false;
    if (!json.getString(kInstanceId, out.instanceId)) return false;
    std::wstring priority;
    if (!json.getString(kPriority, priority) || !readPriority(priority, out.priority)) return false;
    if (!json.getString(kProduct, out.product)) return false;
    json.getString(kContent, out.content);  // optional
    json.getUInt(kTimeout, out.timeout);      // optional
    json.getUInt(kSessionId, out.sessionId);  // optional
    std::wstring source;
    if (!json.getString(kSource, source) || !readSource(source, out.source)) return false;
    if (!json.getBool(kForcePreferredViewer, out.forcePreferredViewer)) return false;
    if (!json.getStringArray(kPreferredViewer, out.preferredViewer)) return false;
    // The context's compact text, written straight from the parsed document.
    return json.getObjectText(kContext, out.context);
}

std::wstring AlertInfo::toJson(const AlertInfo& info) {
    Tessil::JSONFormatter json;
    json.setString(kId, info.id);
    json.setString(kInstanceId, info.instanceId);
    json.setString(kPriority, L"P" + std::to_wstring(info.priority));
    json.setString(kProduct, info.product);
    json.setString(kContent, info.content);
    json.setUInt(kTimeout, info.timeout);
    json.setUInt(kSessionId, info.sessionId);
    json.setString(kSource, info.source == 0 ? kClient : info.source == 1 ? kWeb : kUnknown);
    json.setBool(kForcePreferredViewer, info.forcePreferredViewer);
    for (const auto& viewer : info.preferredViewer) json.appendString(kPreferredViewer, viewer);
    Tessil::JSONFormatter context;
    context.parse(info.context);  // text that does not parse is nested as null
    json.setObject(kContext, context);
    return json.toString();
}

}  // namespace Drem
