// Drem::AlertContent and its parts: the record read from an
// alert's context object.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace Drem {

struct AlertMessage {
    std::wstring messagename;
    std::wstring payload;
    bool operator==(const AlertMessage&) const = default;
};

struct AlertOption {
    std::wstring id;
    std::wstring text;
    bool selected = false;
    bool operator==(const AlertOption&) const = default;
};

struct AlertActionOption {
    std::vector<std::wstring> idList;
    AlertMessage message;
    bool operator==(const AlertActionOption&) const = default;
};

struct AlertAction {
    std::wstring id;
    std::wstring text;
    AlertMessage defaultmessage;
    bool default_ = false;  // JSON "default" (a keyword in C++)
    std::vector<AlertActionOption> options;
    bool operator==(const AlertAction&) const = default;
};

struct AlertContent {
    std::wstring category;
    std::wstring title;
    std::wstring shortdescription;
    std::wstring longdescription;
    std::wstring langid;
    std::wstring detailscontent;
    std::wstring defaultcontent;
    std::wstring recommendedtext;
    std::wstring detaillinktext;
    std::wstring detaillinkcontext;
    std::wstring appid;
    std::wstring plugin;
    std::wstring alertmarketdescription;
    std::wstring typedescription;
    std::wstring telemetry;
    std::uint32_t timeout = 0;
    std::uint32_t width = 0;
    std::uint32_t status = 0;
    std::uint32_t detaillinktype = 0;
    bool SuppressAlertByDefault = false;
    bool legacy = false;
    std::vector<AlertMessage> timeoutactions;
    std::vector<AlertMessage> dismissalactions;
    std::vector<AlertAction> actions;
    std::vector<AlertOption> options;
    bool operator==(const AlertContent&) const = default;
};

// Fills out in place from the context text; true when everything required
// was present. On failure out keeps what was read before it.
bool parseAlertContent(AlertContent& out, const std::wstring& contextText);

}  // namespace Drem
