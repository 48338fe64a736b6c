#include "neighbours/SettingsManager/SettingsManagerNeighbour.h"

#include "framework/json/JSONFormatter.h"
#include "framework/message/ModuleStatus.h"
#include "framework/settings/SettingsProtocol.h"

#include <chrono>

namespace Neighbours {

namespace P = Tessil::SettingsProtocol;
using Tessil::JSONFormatter;

namespace {

const std::wstring kSender = L"SettingsManager";
const std::wstring kReplySuffix = L".Response";

bool StartsWith(const std::wstring& text, const std::wstring& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

}  // namespace

SettingsManagerNeighbour::SettingsManagerNeighbour(std::shared_ptr<Tessil::MessageBus> bus)
    : bus_(std::move(bus)) {}

SettingsManagerNeighbour::~SettingsManagerNeighbour() {
    for (const std::wstring& name : subscribed_) {
        bus_->unsubscribe(name);
    }
}

bool SettingsManagerNeighbour::start() {
    for (const std::wstring* name : {&P::kGetProperty, &P::kSetProperty, &P::kRemoveProperty,
                                     &P::kGetProperties, &P::kSetProperties, &P::kRemoveProperties}) {
        if (bus_->subscribe(*name, [this](std::shared_ptr<Tessil::Message> message) {
                return onRequest(message);
            }) != MODULE_STATUS_SUCCESS) {
            return false;
        }
        subscribed_.push_back(*name);
    }
    return true;
}

void SettingsManagerNeighbour::store(const std::wstring& name, const std::wstring& value) {
    std::lock_guard<std::mutex> lock(mutex_);
    properties_[name] = value;
}

std::optional<std::wstring> SettingsManagerNeighbour::stored(const std::wstring& name) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = properties_.find(name);
    if (found == properties_.end()) {
        return std::nullopt;
    }
    return found->second;
}

std::map<std::wstring, std::wstring> SettingsManagerNeighbour::all() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return properties_;
}

void SettingsManagerNeighbour::setStatusFalse(bool on) {
    std::lock_guard<std::mutex> lock(mutex_);
    statusFalse_ = on;
}

void SettingsManagerNeighbour::setWrongReplyName(bool on) {
    std::lock_guard<std::mutex> lock(mutex_);
    wrongReplyName_ = on;
}

void SettingsManagerNeighbour::setNoAnswer(bool on) {
    std::lock_guard<std::mutex> lock(mutex_);
    noAnswer_ = on;
}

void SettingsManagerNeighbour::setDelayMs(DWORD delay) {
    std::lock_guard<std::mutex> lock(mutex_);
    delayMs_ = delay;
}

void SettingsManagerNeighbour::setRawReply(const std::wstring& requestName,
                                           std::optional<std::wstring> payload) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (payload) {
        rawReplies_[requestName] = *payload;
    } else {
        rawReplies_.erase(requestName);
    }
}

std::vector<SettingsManagerNeighbour::Request> SettingsManagerNeighbour::requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

bool SettingsManagerNeighbour::waitForRequests(std::size_t count, DWORD timeoutMs) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return requestArrived_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                    [&] { return requests_.size() >= count; });
}

void SettingsManagerNeighbour::setChangeObserver(
    std::function<void(const std::map<std::wstring, std::wstring>&)> observer) {
    std::lock_guard<std::mutex> lock(mutex_);
    observer_ = std::move(observer);
}

std::uint32_t SettingsManagerNeighbour::publish(const std::wstring& name, const std::wstring& payload) {
    std::shared_ptr<Tessil::Message> message = Tessil::Message::create(name, kSender, payload);
    return bus_->publish(message);
}

std::uint32_t SettingsManagerNeighbour::onRequest(const std::shared_ptr<Tessil::Message>& message) {
    // Plain copies of replies and other publications are not requests.
    if (!message || !message->getHeader()->testFlag(Tessil::MESSAGE_FLAG_REQUEST)) {
        return MODULE_STATUS_SUCCESS;
    }
    std::wstring payload;
    std::vector<Request> notifications;
    DWORD delay = 0;
    std::function<void(const std::map<std::wstring, std::wstring>&)> observer;
    std::map<std::wstring, std::wstring> snapshot;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        requests_.push_back({message->getName(), message->getPayload()});
        requestArrived_.notify_all();
        if (noAnswer_) {
            return MODULE_STATUS_SUCCESS;
        }
        delay = delayMs_;
        auto raw = rawReplies_.find(message->getName());
        payload = raw != rawReplies_.end()
                      ? raw->second
                      : answer(message->getName(), message->getPayload(), notifications);
        if (observer_ && !notifications.empty()) {
            observer = observer_;
            snapshot = properties_;
        }
    }
    if (observer) {
        observer(snapshot);
    }
    if (delay != 0) {
        Sleep(delay);
    }
    std::shared_ptr<Tessil::Message> reply =
        message->createReply(message->getName() + kReplySuffix, kSender, payload);
    if (!reply) {
        return MODULE_STATUS_UNSUCCESSFUL;
    }
    reply->getHeader()->setFlag(Tessil::MESSAGE_FLAG_NO_PLAIN_COPY);
    std::uint32_t status = bus_->publish(reply);
    for (const Request& notification : notifications) {
        publish(notification.name, notification.payload);
    }
    return status;
}

// Carries out a request on the stored properties (lock held) and builds the
// reply payload; the notifications to publish afterwards are added.
std::wstring SettingsManagerNeighbour::answer(const std::wstring& requestName,
                                              const std::wstring& payload,
                                              std::vector<Request>& notifications) {
    JSONFormatter request;
    request.parse(payload);
    auto replyName = [&](const std::wstring& name) {
        return wrongReplyName_ ? L"Other." + name : name;
    };
    auto notifySet = [&](const std::wstring& name, const std::wstring& value) {
        JSONFormatter byName;
        byName.setString(P::kName, name);
        notifications.push_back({P::kPropertySet, byName.toString()});
        JSONFormatter withValue;
        withValue.setString(P::kName, name);
        withValue.setString(P::kValue, value);
        notifications.push_back({P::kNotifySetPrefix + name, withValue.toString()});
    };
    auto notifyDelete = [&](const std::wstring& name) {
        JSONFormatter byName;
        byName.setString(P::kName, name);
        notifications.push_back({P::kPropertyRemoved, byName.toString()});
        notifications.push_back({P::kNotifyDeletePrefix + name, byName.toString()});
    };

    JSONFormatter reply;
    if (requestName == P::kGetProperty || requestName == P::kSetProperty ||
        requestName == P::kRemoveProperty) {
        std::wstring name;
        request.getString(P::kName, name);
        reply.setString(P::kName, replyName(name));
        auto found = properties_.find(name);
        if (statusFalse_) {
            reply.setBool(P::kStatus, false);
        } else if (requestName == P::kGetProperty) {
            reply.setBool(P::kStatus, found != properties_.end());
            if (found != properties_.end()) {
                reply.setString(P::kValue, found->second);
            }
        } else if (requestName == P::kSetProperty) {
            std::wstring value;
            request.getString(P::kValue, value);
            properties_[name] = value;
            reply.setBool(P::kStatus, true);
            notifySet(name, value);
        } else {
            // Removing a name that is not there succeeds and is announced,
            // like any removal.
            if (found != properties_.end()) {
                properties_.erase(found);
            }
            reply.setBool(P::kStatus, true);
            notifyDelete(name);
        }
        return reply.toString();
    }

    std::vector<JSONFormatter> properties;
    request.getObjectArray(P::kProperties, properties);
    auto respond = [&](const std::wstring& name, bool status, const std::wstring* value) {
        JSONFormatter response;
        response.setString(P::kName, replyName(name));
        response.setBool(P::kStatus, status && !statusFalse_);
        if (value != nullptr && status && !statusFalse_) {
            response.setString(P::kValue, *value);
        }
        reply.appendObject(P::kResponses, response);
    };
    for (const JSONFormatter& property : properties) {
        std::wstring name;
        property.getString(P::kName, name);
        bool isPrefix = false;
        property.getBool(P::kIsPrefix, isPrefix);
        if (requestName == P::kGetProperties) {
            if (isPrefix) {
                for (const auto& [stored, value] : properties_) {
                    if (StartsWith(stored, name)) {
                        respond(stored, true, &value);
                    }
                }
            } else {
                auto found = properties_.find(name);
                respond(name, found != properties_.end(),
                        found != properties_.end() ? &found->second : nullptr);
            }
        } else if (requestName == P::kSetProperties) {
            std::wstring value;
            property.getString(P::kValue, value);
            if (!statusFalse_) {
                properties_[name] = value;
                notifySet(name, value);
            }
            respond(name, true, nullptr);
        } else if (requestName == P::kRemoveProperties) {
            std::vector<std::wstring> removed;
            for (const auto& entry : properties_) {
                if (isPrefix ? StartsWith(entry.first, name) : entry.first == name) {
                    removed.push_back(entry.first);
                }
            }
            if (!isPrefix && removed.empty()) {
                respond(name, false, nullptr);
            }
            for (const std::wstring& gone : removed) {
                if (!statusFalse_) {
                    properties_.erase(gone);
                    notifyDelete(gone);
                }
                respond(gone, true, nullptr);
            }
        }
    }
    return reply.toString();
}

}  // namespace Neighbours
