// What the alert module asks of a session: queue an alert, delete one.
#pragma once

#include "alerts/src/dispatcher/AlertDispatcher.h"
#include "alerts/src/queue/Alert.h"

#include <functional>
#include <memory>
#include <string>

namespace Drem {

class AlertSession {
public:
    virtual ~AlertSession() = default;
    // Runs the plug-in step and queues the alert; *suppressed is true when
    // the alert was not queued (suppressed, unusable plug-in output, duplicate).
    virtual void queueAlert(std::shared_ptr<Alert> alert, bool* suppressed) = 0;
    // Removes the alert with that instance id; true when found.
    virtual bool deleteAlert(const std::wstring& instanceId, const std::wstring& alertId) = 0;

protected:
    // The queueing both kinds share: the plug-in step without any lock, then
    // push (which takes the session's own lock and wakes its dispatch
    // threads) answering whether the alert was queued, else a duplicate.
    static void queueProcessed(AlertDispatcher& dispatcher, const std::shared_ptr<Alert>& alert,
                               bool* suppressed, const wchar_t* source, const wchar_t* function,
                               const std::function<bool()>& push);
};

}  // namespace Drem
