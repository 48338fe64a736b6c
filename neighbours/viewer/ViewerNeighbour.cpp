#include "neighbours/viewer/ViewerNeighbour.h"

#include "framework/json/JSONFormatter.h"

#include <chrono>
#include <cwctype>

namespace Neighbours {

namespace {

const wchar_t kSender[] = L"ViewerNeighbour";

std::wstring lowerCase(std::wstring text) {
    for (wchar_t& c : text) {
        c = static_cast<wchar_t>(std::towlower(c));
    }
    return text;
}

std::wstring readAlertId(const std::wstring& payload) {
    Tessil::JSONFormatter json;
    std::wstring id;
    if (json.parse(payload)) {
        json.getString(L"id", id);
    }
    return id;
}

}  // namespace

ViewerNeighbour::ViewerNeighbour(std::shared_ptr<Tessil::MessageBus> bus, std::wstring viewerId)
    : bus_(std::move(bus)), viewerId_(std::move(viewerId)) {}

ViewerNeighbour::~ViewerNeighbour() { stop(); }

std::wstring ViewerNeighbour::escapeForExpression(const std::wstring& text) {
    static const std::wstring special = L"\\^$.|?*+()[]{}";
    std::wstring escaped;
    for (wchar_t c : text) {
        if (special.find(c) != std::wstring::npos) {
            escaped += L'\\';
        }
        escaped += c;
    }
    return escaped;
}

bool ViewerNeighbour::start() {
    if (!bus_) {
        return false;
    }
    const std::wstring base = L"Vantrel\\.Viewer\\." + escapeForExpression(viewerId_);
    const std::wstring show = base + L"\\.Show\\..*";
    const std::wstring remove = base + L"\\.Delete\\..*";
    bool ok = bus_->subscribeFilter(show, show, [this](std::shared_ptr<Tessil::Message> m) {
                  return onRequest(m, true);
              }) == 0;
    ok = bus_->subscribeFilter(remove, remove, [this](std::shared_ptr<Tessil::Message> m) {
             return onRequest(m, false);
         }) == 0 && ok;
    aliases_ = {show, remove};
    return ok;
}

void ViewerNeighbour::stop() {
    for (const std::wstring& alias : aliases_) {
        bus_->unsubscribe(alias);
    }
    aliases_.clear();
}

void ViewerNeighbour::setShowReply(ReplyMode mode) {
    std::lock_guard<std::mutex> lock(mutex_);
    showReply_ = mode;
}

void ViewerNeighbour::setDeleteReply(ReplyMode mode) {
    std::lock_guard<std::mutex> lock(mutex_);
    deleteReply_ = mode;
}

void ViewerNeighbour::setShowClosing(ClosingMode mode) {
    std::lock_guard<std::mutex> lock(mutex_);
    showClosing_ = mode;
}

void ViewerNeighbour::setDeleteClosing(ClosingMode mode) {
    std::lock_guard<std::mutex> lock(mutex_);
    deleteClosing_ = mode;
}

void ViewerNeighbour::setOnShow(std::function<void(const Request&)> onShow) {
    std::lock_guard<std::mutex> lock(mutex_);
    onShow_ = std::move(onShow);
}

void ViewerNeighbour::setPublicReplies(bool on, std::function<std::wstring(const Request&)> payload) {
    std::lock_guard<std::mutex> lock(mutex_);
    publicReplies_ = on;
    replyPayload_ = std::move(payload);
}

std::uint32_t ViewerNeighbour::onRequest(const std::shared_ptr<Tessil::Message>& message, bool isShow) {
    // Plain publications of these names are not requests.
    if (!message || !message->getHeader()->testFlag(Tessil::MESSAGE_FLAG_REQUEST)) {
        return 0;
    }
    const std::wstring prefix =
        L"Vantrel.Viewer." + viewerId_ + (isShow ? L".Show." : L".Delete.");
    Request request;
    request.name = message->getName();
    request.kind = isShow ? L"Show" : L"Delete";
    request.instanceId = request.name.size() >= prefix.size() ? request.name.substr(prefix.size())
                                                              : std::wstring();
    request.source = message->getSource();
    request.payload = message->getPayload();

    ReplyMode replyMode;
    ClosingMode closing;
    std::function<void(const Request&)> onShow;
    bool publicReply = false;
    std::function<std::wstring(const Request&)> replyPayload;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (isShow) {
            request.alertId = readAlertId(request.payload);
            alertIds_[request.instanceId] = request.alertId;
        } else {
            auto it = alertIds_.find(request.instanceId);
            request.alertId = it != alertIds_.end() ? it->second : std::wstring();
        }
        // Recorded before the reply, so a caller that has its answer sees the request.
        requests_.push_back(request);
        replyMode = isShow ? showReply_ : deleteReply_;
        closing = isShow ? showClosing_ : deleteClosing_;
        onShow = isShow ? onShow_ : nullptr;
        publicReply = publicReplies_;
        replyPayload = replyPayload_;
    }
    if (onShow) {
        onShow(request);
    }

    const std::wstring alertPrefix = L"Vantrel.Alert." + request.alertId;
    const std::wstring word = isShow ? L".Shown." : L".Dismissed.";
    if (replyMode != ReplyMode::None) {
        const std::wstring name = alertPrefix +
                                  (replyMode == ReplyMode::WrongCase ? lowerCase(word) : word) +
                                  request.instanceId;
        // Without a plain copy closing reports are published only as scripted.
        std::shared_ptr<Tessil::Message> reply =
            message->createReply(name, kSender, replyPayload ? replyPayload(request) : std::wstring());
        if (reply) {
            if (!publicReply) reply->getHeader()->setFlag(Tessil::MESSAGE_FLAG_NO_PLAIN_COPY);
            bus_->publish(reply);
        }
    }

    std::wstring report;
    if (closing != ClosingMode::Never) {
        const bool failed = isShow && closing == ClosingMode::Failed;
        report = alertPrefix + (failed ? L".Failed." : L".Dismissed.") + request.instanceId;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (closing == ClosingMode::Late) {
            lateReports_.push_back(report);
            report.clear();
        }
    }
    if (!report.empty()) {
        bus_->publish(Tessil::Message::create(report, kSender, std::wstring()));
    }
    answered_.notify_all();
    return 0;
}

std::size_t ViewerNeighbour::releaseLateReports() {
    std::vector<std::wstring> reports;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        reports.swap(lateReports_);
    }
    for (const std::wstring& report : reports) {
        bus_->publish(Tessil::Message::create(report, kSender, std::wstring()));
    }
    return reports.size();
}

std::vector<ViewerNeighbour::Request> ViewerNeighbour::requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

bool ViewerNeighbour::waitForRequests(std::size_t count, DWORD timeoutMs) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return answered_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                              [&] { return requests_.size() >= count; });
}

}  // namespace Neighbours
