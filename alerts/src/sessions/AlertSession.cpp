#include "alerts/src/sessions/AlertSession.h"

#include "alerts/src/sessions/SessionTelemetry.h"
#include "platform/Logging/Logging.h"

namespace Drem {

void AlertSession::queueProcessed(AlertDispatcher& dispatcher, const std::shared_ptr<Alert>& alert,
                                  bool* suppressed, const wchar_t* source, const wchar_t* function,
                                  const std::function<bool()>& push) {
    bool ignored = false;
    bool& result = suppressed != nullptr ? *suppressed : ignored;
    if (!alert) {
        result = true;
        return;
    }
    const AlertInfo& info = alert->getAlertInfo();
    const std::wstring id = info.id;
    const std::wstring instanceId = info.instanceId;
    const std::wstring product = info.product;

    if (!dispatcher.process(*alert)) {
        VT_LOG(ETWLogging::LevelInformation, source, function,
               L"Plugin suppressed the alert. Alert id: %ls, Instance: %ls.", id.c_str(), instanceId.c_str());
        result = true;
        return;
    }
    if (!push()) {
        reportSuppressedDuplicate(source, function, id, instanceId, product);
        result = true;
        return;
    }
    result = false;
}

}  // namespace Drem
