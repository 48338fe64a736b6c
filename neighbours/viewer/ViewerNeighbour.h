// Test double of a viewer: a bus endpoint that answers the module's Show and
// Delete requests and publishes the closing reports as scripted. Its replies
// carry no plain copy unless asked, so only the scripted reports reach
// subscribers.
#pragma once

#include "framework/bus/MessageBus.h"

#include <windows.h>

#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace Neighbours {

class ViewerNeighbour {
public:
    enum class ReplyMode {
        Normal,     // the expected reply name
        None,       // no reply: the request times out
        WrongCase,  // the expected name with its status word in lower case
    };
    enum class ClosingMode {
        Dismissed,  // ".Dismissed." right after the reply
        Failed,     // ".Failed." right after the reply (Show only; Delete reports ".Dismissed.")
        Late,       // held until releaseLateReports
        Never,      // no closing report
    };

    struct Request {
        std::wstring name;
        std::wstring kind;  // "Show" or "Delete"
        std::wstring instanceId;
        std::wstring alertId;  // read from a Show's payload, remembered for Delete
        std::wstring source;
        std::wstring payload;
    };

    ViewerNeighbour(std::shared_ptr<Tessil::MessageBus> bus, std::wstring viewerId);
    ~ViewerNeighbour();
    ViewerNeighbour(const ViewerNeighbour&) = delete;
    ViewerNeighbour& operator=(const ViewerNeighbour&) = delete;

    // Subscribes to "Vantrel.Viewer.<id>.Show.*" and ".Delete.*"; false when refused.
    bool start();
    void stop();

    void setShowReply(ReplyMode mode);
    void setDeleteReply(ReplyMode mode);
    void setShowClosing(ClosingMode mode);
    void setDeleteClosing(ClosingMode mode);
    // Called with every Show payload (the demo prints it).
    void setOnShow(std::function<void(const Request&)> onShow);
    // Replies go out with their plain copy too, so producers see ".Shown.";
    // payload, when set, makes each reply's payload from its request.
    void setPublicReplies(bool on, std::function<std::wstring(const Request&)> payload = nullptr);

    // Publishes the closing reports held back by ClosingMode::Late; answers how many.
    std::size_t releaseLateReports();

    std::vector<Request> requests() const;
    // Waits until at least count requests have been answered (false after timeoutMs).
    bool waitForRequests(std::size_t count, DWORD timeoutMs) const;

    const std::wstring& viewerId() const { return viewerId_; }

    // The viewer id with every regular-expression character escaped.
    static std::wstring escapeForExpression(const std::wstring& text);

private:
    std::uint32_t onRequest(const std::shared_ptr<Tessil::Message>& message, bool isShow);

    std::shared_ptr<Tessil::MessageBus> bus_;
    const std::wstring viewerId_;
    std::vector<std::wstring> aliases_;

    mutable std::mutex mutex_;  // guards everything below
    mutable std::condition_variable answered_;
    ReplyMode showReply_ = ReplyMode::Normal;
    ReplyMode deleteReply_ = ReplyMode::Normal;
    ClosingMode showClosing_ = ClosingMode::Dismissed;
    ClosingMode deleteClosing_ = ClosingMode::Dismissed;
    std::function<void(const Request&)> onShow_;
    bool publicReplies_ = false;
    std::function<std::wstring(const Request&)> replyPayload_;
    std::map<std::wstring, std::wstring> alertIds_;  // instance id -> alert id
    std::vector<std::wstring> lateReports_;
    std::vector<Request> requests_;
};

}  // namespace Neighbours
