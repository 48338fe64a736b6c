#include "alerts/data/AlertContent.h"

#include "framework/json/JSONFormatter.h"

namespace Drem {
namespace {

using Tessil::JSONFormatter;

// The context's member names (static initialisation, no other work).
const std::wstring kTitle = L"title";
const std::wstring kMessagename = L"messagename";
const std::wstring kPayload = L"payload";
const std::wstring kTimeoutactions = L"timeoutactions";
const std::wstring kDismissalactions = L"dismissalactions";
const std::wstring kOptions = L"options";
const std::wstring kActions = L"actions";
const std::wstring kId = L"id";
const std::wstring kText = L"text";
const std::wstring kSelected = L"selected";
const std::wstring kDefaultmessage = L"defaultmessage";
const std::wstring kDefault = L"default";
const std::wstring kMessage = L"message";
const std::wstring kIdList = L"idList";

struct StringField {
    std::wstring name;
    std::wstring AlertContent::*field;
};

struct NumberField {
    std::wstring name;
    std::uint32_t AlertContent::*field;
};

struct FlagField {
    std::wstring name;
    bool AlertContent::*field;
};

// The optional members, in the order the reader takes them.
const StringField kStrings[] = {
    {L"category", &AlertContent::category},
    {L"shortdescription", &AlertContent::shortdescription},
    {L"longdescription", &AlertContent::longdescription},
    {L"langid", &AlertContent::langid},
    {L"detailscontent", &AlertContent::detailscontent},
    {L"defaultcontent", &AlertContent::defaultcontent},
    {L"recommendedtext", &AlertContent::recommendedtext},
    {L"detaillinktext", &AlertContent::detaillinktext},
    {L"detaillinkcontext", &AlertContent::detaillinkcontext},
    {L"appid", &AlertContent::appid},
    {L"plugin", &AlertContent::plugin},
    {L"alertmarketdescription", &AlertContent::alertmarketdescription},
    {L"typedescription", &AlertContent::typedescription},
    {L"telemetry", &AlertContent::telemetry},
};

const NumberField kNumbers[] = {
    {L"width", &AlertContent::width},
    {L"timeout", &AlertContent::timeout},
    {L"detaillinktype", &AlertContent::detaillinktype},
    {L"status", &AlertContent::status},
};

const FlagField kFlags[] = {
    {L"legacy", &AlertContent::legacy},
    {L"SuppressAlertByDefault", &AlertContent::SuppressAlertByDefault},
};

// Both members optional.
AlertMessage readMessage(const JSONFormatter& json) {
    AlertMessage message;
    json.getString(kMessagename, message.messagename);
    json.getString(kPayload, message.payload);
    return message;
}

void readMessages(const JSONFormatter& json, const std::wstring& key, std::vector<AlertMessage>& out) {
    std::vector<JSONFormatter> objects;
    json.getObjectArray(key, objects);  // what it appended counts, whatever the answer
    for (const auto& object : objects) out.push_back(readMessage(object));
}

bool readOption(const JSONFormatter& json, AlertOption& option) {
    return json.getString(kId, option.id) && json.getString(kText, option.text) &&
           json.getBool(kSelected, option.selected);
}

bool readAction(const JSONFormatter& json, AlertAction& action) {
    if (!json.getString(kText, action.text)) return false;
    JSONFormatter defaultMessage;
    if (!json.getObject(kDefaultmessage, defaultMessage)) return false;
    action.defaultmessage = readMessage(defaultMessage);
    if (!json.getString(kId, action.id)) return false;
    if (!json.getBool(kDefault, action.default_)) action.default_ = false;
    std::vector<JSONFormatter> options;
    json.getObjectArray(kOptions, options);
    for (const auto& object : options) {
        AlertActionOption option;
        JSONFormatter message;
        if (object.getObject(kMessage, message)) option.message = readMessage(message);
        object.getStringArray(kIdList, option.idList);
        action.options.push_back(std::move(option));
    }
    return true;
}

}  // namespace

bool parseAlertContent(AlertContent& out, const std::wstring& contextText) {
    JSONFormatter json;
    if (!json.parse(contextText)) return false;
    if (!json.getString(kTitle, out.title)) return false;
    for (const auto& s : kStrings) json.getString(s.name, out.*s.field);
    for (const auto& n : kNumbers) json.getUInt(n.name, out.*n.field);
    for (const auto& f : kFlags) json.getBool(f.name, out.*f.field);
    readMessages(json, kTimeoutactions, out.timeoutactions);
    readMessages(json, kDismissalactions, out.dismissalactions);

    std::vector<JSONFormatter> options;
    json.getObjectArray(kOptions, options);
    for (const auto& object : options) {
        AlertOption option;
        if (!readOption(object, option)) return false;
        out.options.push_back(std::move(option));
    }

    std::vector<JSONFormatter> actions;
    json.getObjectArray(kActions, actions);
    for (const auto& object : actions) {
        AlertAction action;
        if (!readAction(object, action)) return false;
        out.actions.push_back(std::move(action));
    }
    return true;
}

}  // namespace Drem
