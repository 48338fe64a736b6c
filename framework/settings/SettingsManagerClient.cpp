#include "framework/settings/SettingsManagerClient.h"

#include "framework/json/JSONFormatter.h"
#include "framework/message/ModuleException.h"
#include "framework/message/ModuleStatus.h"
#include "framework/settings/SettingsDefaultBus.h"
#include "framework/settings/SettingsProtocol.h"
#include "platform/Logging/Logging.h"

#include <new>
#include <stdexcept>
#include <unordered_set>

namespace Tessil {

namespace P = SettingsProtocol;

namespace {

const wchar_t kSource[] = L"SettingsManagerClient";
const std::wstring kEmptySender;

#define VT_SETTINGS_FN(name) L"Tessil::SettingsManagerClient::" name
#define VT_SETTINGS_IMPL_FN(name) L"Tessil::SettingsManagerClient::Impl::" name

using ETWLogging::LevelError;
using ETWLogging::LevelWarning;

// What a reply read says about the request.
enum class ReplyForm { Single, List };

}  // namespace

// One bus carries every request and subscription of the client.
class SettingsManagerClient::Impl {
public:
    explicit Impl(std::shared_ptr<MessageBus> bus) : bus_(std::move(bus)) {}

    MessageBus& bus() { return *bus_; }

    // Sends the request and waits for its reply. False, with failText logged
    // at level 2 under function, when the bus refuses the request.
    bool sendRequest(const std::wstring& messageName, const JSONFormatter& request,
                     const std::uint64_t& timeout, const wchar_t* function, const wchar_t* failText,
                     std::shared_ptr<Reply>& reply) {
        std::shared_ptr<Message> message =
            Message::create(messageName, kEmptySender, request.toString());
        std::uint32_t status = bus_->request(message, reply, timeout);
        if (status != MODULE_STATUS_SUCCESS) {
            VT_LOG(LevelWarning, kSource, function, failText, moduleStatusName(status),
                   static_cast<unsigned long>(status));
            return false;
        }
        if (reply) {
            reply->wait();
        }
        return true;
    }

    bool getSettingPropertyResponse(const std::shared_ptr<Reply>& reply, JSONFormatter& response) {
        return readReply(reply, response, ReplyForm::Single);
    }

    bool getSettingPropertyResponseList(const std::shared_ptr<Reply>& reply,
                                        JSONFormatter& response) {
        return readReply(reply, response, ReplyForm::List);
    }

    bool verifyPropertyName(const std::wstring& expected, const JSONFormatter& response) {
        std::wstring received;
        if (!response.getString(P::kName, received)) {
            VT_LOG(LevelWarning, kSource, VT_SETTINGS_IMPL_FN(L"verifyPropertyName"),
                   L"Failed to read settings manager response property name.");
            return false;
        }
        if (received != expected) {
            VT_LOG(LevelWarning, kSource, VT_SETTINGS_IMPL_FN(L"verifyPropertyName"),
                   L"Response property name (%ls) does not match expected property name (%ls).",
                   received.c_str(), expected.c_str());
            return false;
        }
        return true;
    }

    bool getPropertyValue(const JSONFormatter& response, std::wstring& value) {
        bool status = false;
        if (!response.getBool(P::kStatus, status)) {
            VT_LOG(LevelWarning, kSource, VT_SETTINGS_IMPL_FN(L"getPropertyValue"),
                   L"Failed to read settings manager response status.");
            return false;
        }
        if (!status) {
            return false;
        }
        std::wstring text;
        if (!response.getString(P::kValue, text)) {
            VT_LOG(LevelWarning, kSource, VT_SETTINGS_IMPL_FN(L"getPropertyValue"),
                   L"Failed to read settings manager response value.");
            return false;
        }
        value = std::move(text);
        return true;
    }

    bool tryConvert(const std::function<bool()>& converter) {
        try {
            return converter();
        } catch (const std::invalid_argument&) {
            VT_LOG(LevelWarning, kSource, VT_SETTINGS_IMPL_FN(L"tryConvert"),
                   L"Conversion failed due to invalid arguments.");
        } catch (const std::out_of_range&) {
            VT_LOG(LevelWarning, kSource, VT_SETTINGS_IMPL_FN(L"tryConvert"),
                   L"Conversion failed, out of range for destination type.");
        } catch (...) {
        }
        return false;
    }

    bool setProperty(const JSONFormatter& request, const std::uint64_t& timeout) {
        std::shared_ptr<Reply> reply;
        if (!sendRequest(P::kSetProperty, request, timeout, VT_SETTINGS_IMPL_FN(L"setProperty"),
                         L"Failed to make set property request. Error code: %ls(%lu)", reply)) {
            return false;
        }
        JSONFormatter response;
        if (!getSettingPropertyResponse(reply, response)) {
            return false;
        }
        std::wstring name;
        request.getString(P::kName, name);
        if (!verifyPropertyName(name, response)) {
            return false;
        }
        bool status = false;
        if (!response.getBool(P::kStatus, status)) {
            VT_LOG(LevelWarning, kSource, VT_SETTINGS_IMPL_FN(L"setProperty"),
                   L"Failed to read settings manager response status.");
            return false;
        }
        if (!status) {
            VT_LOG(LevelWarning, kSource, VT_SETTINGS_IMPL_FN(L"setProperty"),
                   L"Settings Manager failed to set property value.");
            return false;
        }
        return true;
    }

    bool sendSetPropertiesRequest(const JSONFormatter& request, JSONFormatter& response,
                                  const std::uint64_t& timeout) {
        std::shared_ptr<Reply> reply;
        if (!sendRequest(P::kSetProperties, request, timeout,
                         VT_SETTINGS_IMPL_FN(L"sendSetPropertiesRequest"),
                         L"Failed to make set properties request. Error code: %ls(%lu)", reply)) {
            return false;
        }
        return getSettingPropertyResponseList(reply, response);
    }

    PropertyResults setProperties(const PropertyValues& values, bool isVolatile,
                                  const std::uint64_t& timeout) {
        PropertyResults results;
        JSONFormatter request;
        for (const auto& [name, value] : values) {
            JSONFormatter property;
            property.setString(P::kName, name);
            property.setString(P::kValue, value);
            property.setBool(P::kVolatile, isVolatile);
            request.appendObject(P::kProperties, property);
            results[name] = false;
        }
        JSONFormatter reply;
        if (!sendSetPropertiesRequest(request, reply, timeout)) {
            VT_LOG(LevelError, kSource, VT_SETTINGS_IMPL_FN(L"setProperties"),
                   L"Failed to set properties. Unable to make request.");
            return results;
        }
        std::vector<JSONFormatter> responses;
        if (!readResponses(reply, responses)) {
            VT_LOG(LevelError, kSource, VT_SETTINGS_IMPL_FN(L"setProperties"),
                   L"Failed to set properties. Unable to parse responses.");
            return results;
        }
        for (const JSONFormatter& response : responses) {
            std::wstring name;
            if (!response.getString(P::kName, name)) {
                VT_LOG(LevelWarning, kSource, VT_SETTINGS_IMPL_FN(L"setProperties"),
                       L"Failed to read settings property response name.");
                continue;
            }
            if (values.find(name) == values.end()) {
                VT_LOG(LevelWarning, kSource, VT_SETTINGS_IMPL_FN(L"setProperties"),
                       L"Received unexpected setting property response. Name: %ls.", name.c_str());
                continue;
            }
            bool status = false;
            if (!response.getBool(P::kStatus, status)) {
                VT_LOG(LevelWarning, kSource, VT_SETTINGS_IMPL_FN(L"setProperties"),
                       L"Failed to read settings manager response status. Property Name: %ls",
                       name.c_str());
                continue;
            }
            if (!status) {
                VT_LOG(LevelWarning, kSource, VT_SETTINGS_IMPL_FN(L"setProperties"),
                       L"Settings Manager failed to set property value. Property Name: %ls",
                       name.c_str());
                continue;
            }
            results[name] = true;
        }
        return results;
    }

    // Shared body of the two list removals.
    PropertyResults removeList(const std::vector<std::wstring>& names, bool byPrefix,
                               const std::uint64_t& timeout) {
        const wchar_t* function = byPrefix ? VT_SETTINGS_FN(L"removePropertiesByPrefix")
                                           : VT_SETTINGS_FN(L"removeProperties");
        PropertyResults results;
        JSONFormatter request;
        for (const std::wstring& name : names) {
            results[name] = false;
            JSONFormatter property;
            property.setString(P::kName, name);
            if (byPrefix) {
                property.setBool(P::kIsPrefix, true);
            }
            request.appendObject(P::kProperties, property);
        }
        std::shared_ptr<Reply> reply;
        if (!sendRequest(P::kRemoveProperties, request, timeout, function,
                         byPrefix ? L"Failed to make remove properties by prefix request. Error code: %ls(%lu)"
                                  : L"Failed to make remove properties request. Error code: %ls(%lu)",
                         reply)) {
            return results;
        }
        JSONFormatter response;
        if (!getSettingPropertyResponseList(reply, response)) {
            VT_LOG(LevelWarning, kSource, function,
                   L"Failed to parse remove properties response. Error code: %ls(%lu)",
                   moduleStatusName(MODULE_STATUS_SUCCESS),
                   static_cast<unsigned long>(MODULE_STATUS_SUCCESS));
            return results;
        }
        std::vector<JSONFormatter> responses;
        if (!readResponses(response, responses)) {
            VT_LOG(LevelError, kSource, function,
                   L"Failed to parse statuses from remove properties response.");
            return results;
        }
        std::unordered_set<std::wstring> requested(names.begin(), names.end());
        for (const JSONFormatter& entry : responses) {
            std::wstring name;
            if (!entry.getString(P::kName, name)) {
                VT_LOG(LevelWarning, kSource, function,
                       L"Failed to read settings property response name.");
                continue;
            }
            if (!byPrefix && requested.find(name) == requested.end()) {
                VT_LOG(LevelWarning, kSource, function,
                       L"Received unexpected setting property. Name: %ls.", name.c_str());
                continue;
            }
            bool status = false;
            if (!entry.getBool(P::kStatus, status)) {
                VT_LOG(LevelWarning, kSource, function,
                       L"Failed to read settings manager response status. Property Name: %ls",
                       name.c_str());
                continue;
            }
            if (!status) {
                VT_LOG(LevelWarning, kSource, function,
                       L"Settings Manager failed to remove property. Property Name: %ls",
                       name.c_str());
                continue;
            }
            results[name] = true;
        }
        return results;
    }

    // The responses of a list reply, each copied into a formatter of its own.
    static bool readResponses(const JSONFormatter& reply, std::vector<JSONFormatter>& out) {
        std::vector<JSONFormatter> elements;
        if (!reply.getObjectArray(P::kResponses, elements)) {
            return false;
        }
        out.clear();
        for (const JSONFormatter& element : elements) {
            JSONFormatter copy;
            copy.parse(element.toString());
            out.push_back(std::move(copy));
        }
        return true;
    }

private:
    bool readReply(const std::shared_ptr<Reply>& reply, JSONFormatter& response, ReplyForm form) {
        const bool list = form == ReplyForm::List;
        const wchar_t* function = list ? VT_SETTINGS_IMPL_FN(L"getSettingPropertyResponseList")
                                       : VT_SETTINGS_IMPL_FN(L"getSettingPropertyResponse");
        const ReplyStatus status = reply ? reply->getStatus() : REPLY_STATUS_PENDING;
        switch (status) {
            case REPLY_STATUS_TIMED_OUT:
                VT_LOG(LevelWarning, kSource, function,
                       list ? L"Property list request timed out. Returning."
                            : L"Property request timed out. Returning.");
                return false;
            case REPLY_STATUS_FAILED:
                VT_LOG(LevelWarning, kSource, function,
                       list ? L"Property list request failed with DATA_ERROR. Returning."
                            : L"Property request failed with DATA_ERROR. Returning.");
                return false;
            case REPLY_STATUS_RECEIVED: {
                std::shared_ptr<Message> message = reply->getMessage();
                if (!message || !response.parse(message->getPayload())) {
                    VT_LOG(LevelWarning, kSource, function,
                           L"Failed to parse settings manager response message. Returning.");
                    return false;
                }
                return true;
            }
            default:
                VT_LOG(LevelWarning, kSource, function,
                       list ? L"Property list request failed on wait() with unknown error."
                            : L"Property request failed on wait() with unknown error.");
                return false;
        }
    }

    std::shared_ptr<MessageBus> bus_;  // never empty
};

SettingsManagerClient::SettingsManagerClient(std::shared_ptr<MessageBus> bus)
    : impl_(std::make_unique<Impl>(bus ? std::move(bus) : settingsDefaultBus())) {}

SettingsManagerClient::~SettingsManagerClient() = default;

std::unique_ptr<SettingsManager> SettingsManagerClient::getInstance() {
    try {
        return std::make_unique<SettingsManagerClient>(nullptr);
    } catch (const ModuleException& e) {
        VT_LOG(LevelError, kSource, VT_SETTINGS_FN(L"getInstance"),
               L"Failed to create settings manager client. Caught ModuleException - what: %hs.",
               e.what());
    } catch (const std::bad_alloc&) {
        VT_LOG(LevelError, kSource, VT_SETTINGS_FN(L"getInstance"),
               L"Failed to create settings manager client. Caught bad_alloc - Failed to alllocate resources.");
    } catch (const std::exception& e) {
        VT_LOG(LevelError, kSource, VT_SETTINGS_FN(L"getInstance"),
               L"Faield to create setting smanager client. Caught standard exception - what: %hs.",
               e.what());
    } catch (...) {
        VT_LOG(LevelError, kSource, VT_SETTINGS_FN(L"getInstance"),
               L"Failed to create settings manager client. Caught unexpected exception.");
    }
    return nullptr;
}

// Typed setters: the value's text through the wide-string form.

bool SettingsManagerClient::setProperty(const std::wstring& name, double value, const std::uint64_t& timeout) {
    return setProperty(name, P::persistentDoubleText(value), timeout);
}
bool SettingsManagerClient::setProperty(const std::wstring& name, unsigned long value, const std::uint64_t& timeout) {
    return setProperty(name, std::to_wstring(value), timeout);
}
bool SettingsManagerClient::setProperty(const std::wstring& name, unsigned long long value, const std::uint64_t& timeout) {
    return setProperty(name, std::to_wstring(value), timeout);
}
bool SettingsManagerClient::setProperty(const std::wstring& name, unsigned int value, const std::uint64_t& timeout) {
    return setProperty(name, std::to_wstring(value), timeout);
}
bool SettingsManagerClient::setProperty(const std::wstring& name, long long value, const std::uint64_t& timeout) {
    return setProperty(name, std::to_wstring(value), timeout);
}
bool SettingsManagerClient::setProperty(const std::wstring& name, int value, const std::uint64_t& timeout) {
    return setProperty(name, std::to_wstring(value), timeout);
}
bool SettingsManagerClient::setProperty(const std::wstring& name, bool value, const std::uint64_t& timeout) {
    return setProperty(name, std::wstring(value ? L"1" : L"0"), timeout);
}
bool SettingsManagerClient::setProperty(const std::wstring& name, const wchar_t* value, const std::uint64_t& timeout) {
    return setProperty(name, std::wstring(value != nullptr ? value : L""), timeout);
}
bool SettingsManagerClient::setProperty(const std::wstring& name, const std::wstring& value, const std::uint64_t& timeout) {
    JSONFormatter request;
    request.setString(P::kName, name);
    request.setString(P::kValue, value);
    request.setBool(P::kVolatile, false);
    return impl_->setProperty(request, timeout);
}
PropertyResults SettingsManagerClient::setProperties(const PropertyValues& values, const std::uint64_t& timeout) {
    return impl_->setProperties(values, false, timeout);
}

bool SettingsManagerClient::setVolatileProperty(const std::wstring& name, double value, const std::uint64_t& timeout) {
    return setVolatileProperty(name, P::volatileDoubleText(value), timeout);
}
bool SettingsManagerClient::setVolatileProperty(const std::wstring& name, unsigned long value, const std::uint64_t& timeout) {
    return setVolatileProperty(name, std::to_wstring(value), timeout);
}
bool SettingsManagerClient::setVolatileProperty(const std::wstring& name, unsigned long long value, const std::uint64_t& timeout) {
    return setVolatileProperty(name, std::to_wstring(value), timeout);
}
bool SettingsManagerClient::setVolatileProperty(const std::wstring& name, unsigned int value, const std::uint64_t& timeout) {
    return setVolatileProperty(name, std::to_wstring(value), timeout);
}
bool SettingsManagerClient::setVolatileProperty(const std::wstring& name, long long value, const std::uint64_t& timeout) {
    return setVolatileProperty(name, std::to_wstring(value), timeout);
}
bool SettingsManagerClient::setVolatileProperty(const std::wstring& name, int value, const std::uint64_t& timeout) {
    return setVolatileProperty(name, std::to_wstring(value), timeout);
}
bool SettingsManagerClient::setVolatileProperty(const std::wstring& name, bool value, const std::uint64_t& timeout) {
    return setVolatileProperty(name, std::wstring(value ? L"1" : L"0"), timeout);
}
bool SettingsManagerClient::setVolatileProperty(const std::wstring& name, const wchar_t* value, const std::uint64_t& timeout) {
    return setVolatileProperty(name, std::wstring(value != nullptr ? value : L""), timeout);
}
bool SettingsManagerClient::setVolatileProperty(const std::wstring& name, const std::wstring& value, const std::uint64_t& timeout) {
    JSONFormatter request;
    request.setString(P::kName, name);
    request.setString(P::kValue, value);
    request.setBool(P::kVolatile, true);
    return impl_->setProperty(request, timeout);
}
PropertyResults SettingsManagerClient::setVolatileProperties(const PropertyValues& values, const std::uint64_t& timeout) {
    return impl_->setProperties(values, true, timeout);
}

// Typed getters: the text through the wide-string form, then converted.

bool SettingsManagerClient::getProperty(const std::wstring& name, double& value, const std::uint64_t& timeout) {
    std::wstring text;
    if (!getProperty(name, text, timeout)) {
        return false;
    }
    return impl_->tryConvert([&] { value = std::stod(text); return true; });
}
bool SettingsManagerClient::getProperty(const std::wstring& name, unsigned long& value, const std::uint64_t& timeout) {
    std::wstring text;
    if (!getProperty(name, text, timeout)) {
        return false;
    }
    return impl_->tryConvert([&] { value = std::stoul(text); return true; });
}
bool SettingsManagerClient::getProperty(const std::wstring& name, unsigned long long& value, const std::uint64_t& timeout) {
    std::wstring text;
    if (!getProperty(name, text, timeout)) {
        return false;
    }
    return impl_->tryConvert([&] { value = std::stoull(text); return true; });
}
bool SettingsManagerClient::getProperty(const std::wstring& name, unsigned int& value, const std::uint64_t& timeout) {
    std::wstring text;
    if (!getProperty(name, text, timeout)) {
        return false;
    }
    return impl_->tryConvert([&] { value = static_cast<unsigned int>(std::stoul(text)); return true; });
}
bool SettingsManagerClient::getProperty(const std::wstring& name, long long& value, const std::uint64_t& timeout) {
    std::wstring text;
    if (!getProperty(name, text, timeout)) {
        return false;
    }
    return impl_->tryConvert([&] { value = std::stoll(text); return true; });
}
bool SettingsManagerClient::getProperty(const std::wstring& name, int& value, const std::uint64_t& timeout) {
    std::wstring text;
    if (!getProperty(name, text, timeout)) {
        return false;
    }
    return impl_->tryConvert([&] { value = std::stoi(text); return true; });
}
bool SettingsManagerClient::getProperty(const std::wstring& name, bool& value, const std::uint64_t& timeout) {
    std::wstring text;
    if (!getProperty(name, text, timeout)) {
        return false;
    }
    return impl_->tryConvert([&] { value = std::stoi(text) != 0; return true; });
}

bool SettingsManagerClient::getProperty(const std::wstring& name, std::wstring& value, const std::uint64_t& timeout) {
    JSONFormatter request;
    request.setString(P::kName, name);
    std::shared_ptr<Reply> reply;
    if (!impl_->sendRequest(P::kGetProperty, request, timeout, VT_SETTINGS_FN(L"getProperty"),
                            L"Failed to make get property request. Error code: %ls(%lu)", reply)) {
        return false;
    }
    JSONFormatter response;
    return impl_->getSettingPropertyResponse(reply, response) &&
           impl_->verifyPropertyName(name, response) && impl_->getPropertyValue(response, value);
}

PropertyResults SettingsManagerClient::getProperties(const std::vector<std::wstring>& names,
                                                     PropertyValues& values, const std::uint64_t& timeout) {
    PropertyResults results;
    JSONFormatter request;
    for (const std::wstring& name : names) {
        results[name] = false;
        JSONFormatter property;
        property.setString(P::kName, name);
        request.appendObject(P::kProperties, property);
    }
    std::shared_ptr<Reply> reply;
    if (!impl_->sendRequest(P::kGetProperties, request, timeout, VT_SETTINGS_FN(L"getProperties"),
                            L"Failed to make get properties request. Error code: %ls(%lu)", reply)) {
        return results;
    }
    JSONFormatter response;
    std::vector<JSONFormatter> responses;
    if (!impl_->getSettingPropertyResponseList(reply, response) ||
        !Impl::readResponses(response, responses)) {
        return results;
    }
    for (const JSONFormatter& entry : responses) {
        std::wstring name;
        if (!entry.getString(P::kName, name)) {
            VT_LOG(LevelWarning, kSource, VT_SETTINGS_FN(L"getProperties"),
                   L"Failed to read settings property response name.");
            continue;
        }
        if (results.find(name) == results.end()) {
            VT_LOG(LevelWarning, kSource, VT_SETTINGS_FN(L"getProperties"),
                   L"Received an unexpected setting property. Name: %ls.", name.c_str());
            continue;
        }
        bool status = true;
        if (entry.getBool(P::kStatus, status) && !status) {
            continue;
        }
        std::wstring value;
        if (impl_->getPropertyValue(entry, value)) {
            results[name] = true;
            values[name] = value;
        }
    }
    return results;
}

bool SettingsManagerClient::getPropertiesByPrefix(const std::vector<std::wstring>& prefixes,
                                                  PropertyValues& values, const std::uint64_t& timeout) {
    JSONFormatter request;
    for (const std::wstring& prefix : prefixes) {
        JSONFormatter property;
        property.setString(P::kName, prefix);
        property.setBool(P::kIsPrefix, true);
        request.appendObject(P::kProperties, property);
    }
    std::shared_ptr<Reply> reply;
    if (!impl_->sendRequest(P::kGetProperties, request, timeout, VT_SETTINGS_FN(L"getPropertiesByPrefix"),
                            L"Failed to make get properties request. Error code: %ls(%lu)", reply)) {
        return false;
    }
    JSONFormatter response;
    std::vector<JSONFormatter> responses;
    if (!impl_->getSettingPropertyResponseList(reply, response) ||
        !Impl::readResponses(response, responses)) {
        return false;
    }
    for (const JSONFormatter& entry : responses) {
        std::wstring name;
        if (!entry.getString(P::kName, name)) {
            VT_LOG(LevelWarning, kSource, VT_SETTINGS_FN(L"getPropertiesByPrefix"),
                   L"Failed to read settings property response name. Skipping");
            continue;
        }
        std::wstring value;
        if (impl_->getPropertyValue(entry, value)) {
            values[name] = value;
        }
    }
    return true;
}

bool SettingsManagerClient::getPropertiesByPrefix(const std::wstring& prefix, PropertyValues& values,
                                                  const std::uint64_t& timeout) {
    return getPropertiesByPrefix(std::vector<std::wstring>{prefix}, values, timeout);
}

bool SettingsManagerClient::removeProperty(const std::wstring& name, const std::uint64_t& timeout) {
    JSONFormatter request;
    request.setString(P::kName, name);
    std::shared_ptr<Reply> reply;
    if (!impl_->sendRequest(P::kRemoveProperty, request, timeout, VT_SETTINGS_FN(L"removeProperty"),
                            L"Failed to make remove property request. Error code: %ls(%lu)", reply)) {
        return false;
    }
    JSONFormatter response;
    if (!impl_->getSettingPropertyResponse(reply, response) || !impl_->verifyPropertyName(name, response)) {
        return false;
    }
    bool status = false;
    if (!response.getBool(P::kStatus, status)) {
        VT_LOG(LevelWarning, kSource, VT_SETTINGS_FN(L"removeProperty"),
               L"Failed to read settings manager response status.");
        return false;
    }
    if (!status) {
        VT_LOG(LevelWarning, kSource, VT_SETTINGS_FN(L"removeProperty"),
               L"Settings Manager failed to remove property.");
        return false;
    }
    return true;
}

PropertyResults SettingsManagerClient::removeProperties(const std::vector<std::wstring>& names,
                                                        const std::uint64_t& timeout) {
    return impl_->removeList(names, false, timeout);
}

PropertyResults SettingsManagerClient::removePropertiesByPrefix(const std::vector<std::wstring>& prefixes,
                                                                const std::uint64_t& timeout) {
    return impl_->removeList(prefixes, true, timeout);
}

bool SettingsManagerClient::removePropertiesByPrefix(const std::wstring& prefix, const std::uint64_t& timeout) {
    PropertyResults results = removePropertiesByPrefix(std::vector<std::wstring>{prefix}, timeout);
    auto found = results.find(prefix);
    return found != results.end() && found->second;
}

// Subscriptions.

namespace {

SettingsManagerClient::NameFilter ExactName(const std::wstring& name) {
    return [name](const std::wstring& notified) { return notified == name; };
}

SettingsManagerClient::NameFilter AnyName() {
    return [](const std::wstring&) { return true; };
}

// One subscription to a notification name, reporting the names filter lets through.
bool SubscribeByName(MessageBus& bus, const std::wstring& notification,
                     PropertyCallback callback,
                     SettingsManagerClient::NameFilter filter) {
    return bus.subscribe(notification,
                         [callback = std::move(callback), filter = std::move(filter)](
                             std::shared_ptr<Message> message) {
                             return SettingsManagerClient::onPropertyNotify(message, callback, filter);
                         }) == MODULE_STATUS_SUCCESS;
}

}  // namespace

bool SettingsManagerClient::subscribePropertySet(PropertyCallback callback, const std::wstring& name) {
    return SubscribeByName(impl_->bus(), P::kPropertySet, std::move(callback), ExactName(name));
}

bool SettingsManagerClient::subscribePropertySet(PropertyCallback callback) {
    return SubscribeByName(impl_->bus(), P::kPropertySet, std::move(callback), AnyName());
}

bool SettingsManagerClient::subscribePropertyRemoved(PropertyCallback callback, const std::wstring& name) {
    return SubscribeByName(impl_->bus(), P::kPropertyRemoved, std::move(callback), ExactName(name));
}

bool SettingsManagerClient::subscribePropertyRemoved(PropertyCallback callback) {
    return SubscribeByName(impl_->bus(), P::kPropertyRemoved, std::move(callback), AnyName());
}

bool SettingsManagerClient::subscribeSetByPrefix(PropertyValueCallback callback, const std::wstring& prefix) {
    if (prefix.empty()) {
        return true;
    }
    return impl_->bus().subscribeFilter(P::notifySetExpression(prefix),
                                        [callback = std::move(callback)](std::shared_ptr<Message> message) {
                                            return onPropertyNotifySet(message, callback);
                                        }) == MODULE_STATUS_SUCCESS;
}

bool SettingsManagerClient::unsubscribeSetByPrefix(const std::wstring& prefix) {
    if (prefix.empty()) {
        return true;
    }
    return impl_->bus().unsubscribe(P::notifySetExpression(prefix)) == MODULE_STATUS_SUCCESS;
}

bool SettingsManagerClient::subscribeDeleteByPrefix(PropertyCallback callback, const std::wstring& prefix) {
    if (prefix.empty()) {
        return true;
    }
    return impl_->bus().subscribeFilter(P::notifyDeleteExpression(prefix),
                                        [callback = std::move(callback)](std::shared_ptr<Message> message) {
                                            return onPropertyNotifyDelete(message, callback);
                                        }) == MODULE_STATUS_SUCCESS;
}

bool SettingsManagerClient::unsubscribeDeleteByPrefix(const std::wstring& prefix) {
    if (prefix.empty()) {
        return true;
    }
    return impl_->bus().unsubscribe(P::notifyDeleteExpression(prefix)) == MODULE_STATUS_SUCCESS;
}

namespace {

// The notification's payload as an object, logging under function when it is not one.
bool ParseNotification(const std::shared_ptr<Message>& message, JSONFormatter& data,
                       const wchar_t* function) {
    if (!message || !data.parse(message->getPayload())) {
        VT_LOG(LevelWarning, kSource, function, L"Failed to parse setting property data.");
        return false;
    }
    return true;
}

bool ReadNotifiedName(const JSONFormatter& data, std::wstring& name, const wchar_t* function) {
    if (!data.getString(P::kName, name)) {
        VT_LOG(LevelWarning, kSource, function, L"Failed to read setting property name.");
        return false;
    }
    return true;
}

}  // namespace

std::uint32_t SettingsManagerClient::onPropertyNotify(const std::shared_ptr<Message>& message,
                                                      const PropertyCallback& callback,
                                                      const NameFilter& filter) {
    if (!callback) {
        return MODULE_STATUS_SUCCESS;
    }
    JSONFormatter data;
    std::wstring name;
    if (!ParseNotification(message, data, VT_SETTINGS_FN(L"onPropertyNotify")) ||
        !ReadNotifiedName(data, name, VT_SETTINGS_FN(L"onPropertyNotify"))) {
        return MODULE_STATUS_DATA_ERROR;
    }
    if (!filter || filter(name)) {
        callback(name);
    }
    return MODULE_STATUS_SUCCESS;
}

std::uint32_t SettingsManagerClient::onPropertyNotifySet(const std::shared_ptr<Message>& message,
                                                         const PropertyValueCallback& callback) {
    if (!callback) {
        return MODULE_STATUS_SUCCESS;
    }
    JSONFormatter data;
    std::wstring name;
    if (!ParseNotification(message, data, VT_SETTINGS_FN(L"onPropertyNotifySet")) ||
        !ReadNotifiedName(data, name, VT_SETTINGS_FN(L"onPropertyNotifySet"))) {
        return MODULE_STATUS_DATA_ERROR;
    }
    std::wstring value;
    if (!data.getString(P::kValue, value)) {
        VT_LOG(LevelWarning, kSource, VT_SETTINGS_FN(L"onPropertyNotifySet"),
               L"Failed to read setting value.");
        return MODULE_STATUS_DATA_ERROR;
    }
    callback(name, value);
    return MODULE_STATUS_SUCCESS;
}

std::uint32_t SettingsManagerClient::onPropertyNotifyDelete(const std::shared_ptr<Message>& message,
                                                            const PropertyCallback& callback) {
    if (!callback) {
        return MODULE_STATUS_SUCCESS;
    }
    JSONFormatter data;
    std::wstring name;
    if (!ParseNotification(message, data, VT_SETTINGS_FN(L"onPropertyNotifyDelete")) ||
        !ReadNotifiedName(data, name, VT_SETTINGS_FN(L"onPropertyNotifyDelete"))) {
        return MODULE_STATUS_DATA_ERROR;
    }
    callback(name);
    return MODULE_STATUS_SUCCESS;
}

}  // namespace Tessil
