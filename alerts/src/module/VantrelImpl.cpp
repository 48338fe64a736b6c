#include "alerts/src/module/VantrelImpl.h"

#include "alerts/src/common/AlertTelemetry.h"
#include "alerts/src/common/RequestNames.h"
#include "alerts/src/common/StatusNames.h"
#include "alerts/src/common/UnixTime.h"
#include "alerts/src/dispatcher/AlertDispatcher.h"
#include "alerts/src/sessions/SessionTelemetry.h"
#include "framework/json/JSONFormatter.h"
#include "framework/message/CallGuarded.h"
#include "framework/message/ModuleStatus.h"
#include "platform/Logging/Logging.h"
#include "platform/Registry/RegKey.h"

#include <algorithm>
#include <iterator>
#include <cwctype>
#include <stdexcept>

namespace Drem {

namespace {

const wchar_t kSource[] = L"VantrelImpl";
const wchar_t kOobeKey[] = L"SOFTWARE\\Corvane\\Qen\\OEM";
constexpr REGSAM kOobeAccess = 0x2001F;
constexpr std::size_t kLoggedPayloadCharacters = 100;

}  // namespace

VantrelImpl::VantrelImpl(std::shared_ptr<ViewerRegistrar> viewerRegistrar,
                         std::shared_ptr<PluginRegistrar> pluginRegistrar,
                         std::shared_ptr<AlertSessionFactory> sessionFactory, VantrelOptions options)
    : Tessil::BaseModule(nullptr),
      viewerRegistrar_(std::move(viewerRegistrar)),
      pluginRegistrar_(std::move(pluginRegistrar)),
      sessionFactory_(std::move(sessionFactory)),
      options_(std::move(options)) {
    executor_ = std::make_unique<Kelmora::AsyncJob>(&VantrelImpl::executeCallback, this);
    try {
        riskAlertIds_ = {L"4BF486E5-B05F-4D6D-AA39-EEBEEF38DAE1", L"1538568B-8381-49E0-93BA-99AD8FA44D23",
                         L"EA43011F-C341-4759-8BCB-EFCB84CE94B3", L"B1EB23ED-5B27-4f1c-821A-40683741768F"};
        if (!options_.now) {
            options_.now = unixTimeNow100ns;
        }
        if (!options_.makeAlert) {
            options_.makeAlert = [](AlertInfo&& info) { return std::make_shared<Alert>(std::move(info), nullptr); };
        }
        options_.terminalServices = orDefaultTerminalServices(std::move(options_.terminalServices));
        logonRechecks_ = std::make_unique<LogonRechecks>(
            options_.logonRechecks,
            [terminal = options_.terminalServices](const std::vector<std::uint32_t>& ids) {
                return loggedOnAmong(*terminal, ids);
            },
            [this](std::uint32_t sessionId) { startLoggedOnSession(sessionId); });
        if (!viewerRegistrar_) {
            viewerRegistrar_ = std::make_shared<ViewerRegistrar>(nullptr, nullptr);
        }
        if (!pluginRegistrar_) {
            pluginRegistrar_ = std::make_shared<PluginRegistrar>(nullptr);
        }
        if (!sessionFactory_) {
            sessionFactory_ = std::make_shared<AlertSessionFactory>();
        }
        globalSession_ = sessionFactory_->createGlobalSession(viewerRegistrar_, pluginRegistrar_);
        if (!globalSession_) {
            throw std::runtime_error("no global session");
        }
        detectFactoryMode();
    } catch (...) {
        stopExecutor();
        throw;
    }
}

VantrelImpl::~VantrelImpl() {
    releaseBusSubscriptions();
    logonRechecks_->stop();  // it starts sessions
    // Every wait for a viewer ends now, so neither the executor nor a
    // dispatch thread is held by one while they are joined below.
    std::vector<std::shared_ptr<AlertUserSession>> sessions = sessionsSnapshot();
    for (const auto& session : sessions) {
        session->requestStop();
    }
    // The executor ends before the members its task may use go.
    stopExecutor();
    sessions.clear();
    userSessions_.clear();
    retired_.clear();  // joins the dispatch threads, each ending already
    oobeWatcher_.reset();
}

std::vector<std::shared_ptr<AlertUserSession>> VantrelImpl::sessionsSnapshot() {
    std::vector<std::shared_ptr<AlertUserSession>> sessions;
    {
        std::lock_guard<std::mutex> lock(sessionsMutex_);
        sessions.reserve(userSessions_.size());
        for (const auto& entry : userSessions_) {
            if (entry.second) {
                sessions.push_back(entry.second);
            }
        }
    }
    std::lock_guard<std::mutex> lock(retiredMutex_);
    sessions.insert(sessions.end(), retired_.begin(), retired_.end());
    return sessions;
}

void VantrelImpl::retire(std::shared_ptr<AlertUserSession> session) {
    session->requestStop();
    // Let go on the executor, never here: a session's connections must not
    // be closed on a thread of the bus. The callback is handed over under
    // the retired lock: until it is, the executor cannot let the session go.
    std::lock_guard<std::mutex> lock(retiredMutex_);
    retired_.push_back(std::move(session));  // no reference is left to drop on this thread
    retired_.back()->whenEnded([this] {
        try {
            taskQueue_.push([this] {
                releaseEndedSessions();
                return static_cast<DWORD>(MODULE_STATUS_SUCCESS);
            });
        } catch (...) {
            // Without the task the session goes at the module's destruction.
        }
    });
}

void VantrelImpl::releaseEndedSessions() {
    std::vector<std::shared_ptr<AlertUserSession>> ended;
    {
        std::lock_guard<std::mutex> lock(retiredMutex_);
        auto first = std::stable_partition(retired_.begin(), retired_.end(),
                                           [](const auto& s) { return !s->ended(); });
        std::move(first, retired_.end(), std::back_inserter(ended));
        retired_.erase(first, retired_.end());
    }
    // Their threads have ended: letting them go joins nothing that waits.
    ended.clear();
    // A global alert an ended session gave back goes to the active session,
    // whether or not anything was heard of it since.
    if (!exit_ && !globalSession_->isEmpty()) {
        std::lock_guard<std::mutex> lock(sessionsMutex_);
        startActiveSession();
    }
}

void VantrelImpl::stopExecutor() {
    exit_.exchange(true);
    taskQueue_.stop();
    executor_.reset();
}

std::uint32_t VantrelImpl::initialize() {
    setupHandlers();
    return MODULE_STATUS_SUCCESS;
}

std::uint32_t VantrelImpl::start() {
    viewerRegistrar_->start();
    pluginRegistrar_->start();
    // Global alerts queued before anyone could show them go to the active session.
    if (globalSession_->holdsAlerts()) {
        std::lock_guard<std::mutex> lock(sessionsMutex_);
        startActiveSession();
    }
    return MODULE_STATUS_SUCCESS;
}

std::uint32_t VantrelImpl::stop() {
    viewerRegistrar_->stop();
    pluginRegistrar_->stop();
    return MODULE_STATUS_SUCCESS;
}

std::uint32_t VantrelImpl::uninitialize() {
    cleanupHandlers();
    return MODULE_STATUS_SUCCESS;
}

void VantrelImpl::setupHandlers() {
    handlers_[L"Vantrel.Alert.Show..+"] = [this](std::shared_ptr<Tessil::Message> m) { return queueShowTask(m); };
    handlers_[L"Vantrel.Alert.Delete..+"] = [this](std::shared_ptr<Tessil::Message> m) {
        return queueDeleteTask(m);
    };
    handlers_[L"Vantrel.Alert.GetId"] = [this](std::shared_ptr<Tessil::Message> m) { return getIdHandler(m); };
    handlers_[L"SystemMonitor.UserSession.Logoff"] = [this](std::shared_ptr<Tessil::Message> m) {
        return handleSessionLogoff(m);
    };
    handlers_[L"Vantrel.Queue.GetStatus"] = [this](std::shared_ptr<Tessil::Message> m) {
        return queueStatusHandler(m);
    };
    for (const wchar_t* name : {L"SystemMonitor.UserSession.Logon", L"SystemMonitor.UserSession.Console.Connect",
                                L"SystemMonitor.UserSession.Remote.Connect"}) {
        handlers_[name] = [this](std::shared_ptr<Tessil::Message> m) { return handleSessionLogon(m); };
    }
    for (const auto& [pattern, handler] : handlers_) {
        const std::uint32_t status = subscribeFilter(pattern, pattern, handler);
        if (status != MODULE_STATUS_SUCCESS) {
            VT_LOG(ETWLogging::LevelWarning, kSource, L"Drem::VantrelImpl::setupHandlers",
                   L"Unable to subscribe to message %ls : returned %lu.", pattern.c_str(),
                   static_cast<unsigned long>(status));
        }
    }
}

void VantrelImpl::cleanupHandlers() {
    for (const auto& entry : handlers_) {
        const std::uint32_t status = unsubscribe(entry.first);
        if (status != MODULE_STATUS_SUCCESS) {
            VT_LOG(ETWLogging::LevelWarning, kSource, L"Drem::VantrelImpl::cleanupHandlers",
                   L"Unable to unsubscribe to message %ls : returned %lu.", entry.first.c_str(),
                   static_cast<unsigned long>(status));
        }
    }
    logonRechecks_->stop();
    exit_.exchange(true);
    taskQueue_.stop();
}

std::uint32_t VantrelImpl::queueShowTask(std::shared_ptr<Tessil::Message> message) {
    taskQueue_.push([this, message] { return showAlertHandler(message); });
    return MODULE_STATUS_SUCCESS;
}

std::uint32_t VantrelImpl::queueDeleteTask(std::shared_ptr<Tessil::Message> message) {
    taskQueue_.push([this, message] { return deleteAlertHandler(message); });
    return MODULE_STATUS_SUCCESS;
}

void VantrelImpl::executeCallback() {
    VT_LOG(ETWLogging::LevelInformation, kSource, L"Drem::VantrelImpl::executeCallback",
           L"Starting VT executor thread");
    while (!exit_) {
        TaskQueue::Task task;
        if (!taskQueue_.pop(task)) {
            continue;
        }
        const std::uint32_t status = Tessil::callGuarded([&task] { return static_cast<std::uint32_t>(task()); });
        if (status != MODULE_STATUS_SUCCESS) {
            VT_LOG(ETWLogging::LevelError, kSource, L"Drem::VantrelImpl::executeCallback",
                   L"VT Callback unsuccessful.");
        }
    }
    VT_LOG(ETWLogging::LevelInformation, kSource, L"Drem::VantrelImpl::executeCallback",
           L"Exiting VT executor thread");
}

std::uint32_t VantrelImpl::reply(const Tessil::Message& request, const std::wstring& name,
                                 const std::wstring& sender, const std::wstring& payload) {
    std::shared_ptr<Tessil::Message> message = request.createReply(name, sender, payload);
    if (!message) {
        return MODULE_STATUS_NO_MEMORY;
    }
    return publish(message);
}

std::uint32_t VantrelImpl::getIdHandler(std::shared_ptr<Tessil::Message> message) {
    const std::uint32_t id = instanceCounter_.fetch_add(1);
    return reply(*message, L"Vantrel.Alert.GetId.Response", L"Vantrel", std::to_wstring(id));
}

std::uint32_t VantrelImpl::queueStatusHandler(std::shared_ptr<Tessil::Message> message) {
    const std::wstring payload = isIdle() ? L"0" : L"1";
    return reply(*message, L"Vantrel.Queue.GetStatus.Response", L"Vantrel", payload);
}

bool VantrelImpl::isIdle() {
    // Global alerts taken by a session count until it is done with them.
    if (globalSession_->holdsAlerts()) {
        return false;
    }
    // Under the locks, without copies: the last reference to a session is
    // never dropped on this delivery thread.
    {
        std::lock_guard<std::mutex> lock(sessionsMutex_);
        for (const auto& entry : userSessions_) {
            if (entry.second && (!entry.second->isEmpty() || entry.second->isDispatching())) {
                return false;
            }
        }
    }
    // A stopping session may still be ending an alert it holds.
    std::lock_guard<std::mutex> lock(retiredMutex_);
    return std::none_of(retired_.begin(), retired_.end(), [](const auto& s) { return s->isDispatching(); });
}

bool VantrelImpl::parseInstanceId(const std::wstring& name, std::wstring& instance) const {
    return parseInstanceName(name, instanceCounter_.load(), instance);
}

DWORD VantrelImpl::showAlertHandler(const std::shared_ptr<Tessil::Message>& message) {
    const wchar_t kFunction[] = L"Drem::VantrelImpl::showAlertHandler";
    std::wstring instance;
    if (!parseInstanceId(message->getName(), instance)) {
        VT_LOG(ETWLogging::LevelError, kSource, kFunction, L"Failed to parse instance id from message name: %ls.",
               message->getName().c_str());
        return MODULE_STATUS_INVALID_PARAMETER;
    }
    AlertInfo info;
    if (!AlertInfo::fromJson(message->getPayload(), info)) {
        VT_LOG(ETWLogging::LevelError, kSource, kFunction, L"Failed to parse message payload %s. Instance: %ls.",
               message->getPayload().c_str(), instance.c_str());
        return MODULE_STATUS_INVALID_PARAMETER;
    }
    if (instance != info.instanceId) {
        VT_LOG(ETWLogging::LevelError, kSource, kFunction,
               L"Invalid input. Instance name and payload are mismatched.");
        return MODULE_STATUS_INVALID_PARAMETER;
    }
    VT_LOG(ETWLogging::LevelInformation, kSource, kFunction,
           L"Vantrel Alert Status Request. Alert id: %ls, Instance id: %ls", info.id.c_str(),
           info.instanceId.c_str());
    {
        CEvent event(L"Vantrel.Alert.Request");
        setAlertEventBasics(event, L"VT received the Alert request", false, false, L"Request");
        addHitGuid(event, info.id);
        event.SetLabel(info.product);
        addIntDimension(event, L"Hit.Result", info.sessionId);
        event.Send();
    }

    const std::wstring alertId = info.id;
    bool suppressed = false;
    std::shared_ptr<AlertSession> target;
    {
        std::lock_guard<std::mutex> lock(sessionsMutex_);
        if (info.sessionId != 0) {
            std::shared_ptr<AlertUserSession> session = userSession(info.sessionId);
            // A session nobody is logged on to keeps the alert for its log-on
            // and costs no thread meanwhile.
            if (!session->started() && isSessionLoggedOn(*options_.terminalServices, info.sessionId)) {
                session->start();
            }
            target = std::move(session);
        } else {
            startActiveSession();
            target = globalSession_;
        }
    }
    // Without the sessions lock: the plug-in runs, and the session may be
    // busy with a viewer.
    target->queueAlert(options_.makeAlert(std::move(info)), &suppressed);
    std::wstring name;
    if (suppressed) {
        name = alertStatusName(alertId, L".Suppressed.", instance);
    } else {
        name = alertStatusName(alertId, L".Queued.", instance);
        CollectLogsForRiskAlert(alertId);
    }
    return reply(*message, name, std::wstring(), std::wstring());
}

DWORD VantrelImpl::deleteAlertHandler(const std::shared_ptr<Tessil::Message>& message) {
    const wchar_t kFunction[] = L"Drem::VantrelImpl::deleteAlertHandler";
    std::wstring instance;
    if (!parseInstanceId(message->getName(), instance)) {
        VT_LOG(ETWLogging::LevelError, kSource, kFunction, L"Failed to parse instance id from message name: %ls.",
               message->getName().c_str());
        return MODULE_STATUS_INVALID_PARAMETER;
    }
    AlertInfo info;
    if (!AlertInfo::fromJson(message->getPayload(), info)) {
        VT_LOG(ETWLogging::LevelError, kSource, kFunction,
               L"Failed to parse message payload. Instance: %ls. Message Payload : %ls", instance.c_str(),
               message->getPayload().c_str());
        return MODULE_STATUS_INVALID_PARAMETER;
    }
    if (instance != info.instanceId) {
        VT_LOG(ETWLogging::LevelError, kSource, kFunction,
               L"Invalid input. Instance name and payload are mismatched.");
        return MODULE_STATUS_INVALID_PARAMETER;
    }
    std::wstring name;
    if (deleteAlert(instance, info.id)) {
        name = alertStatusName(std::wstring(), L".Deleted.", instance);
        VT_LOG(ETWLogging::LevelInformation, kSource, kFunction, L"Alert instance %ls deleted.", instance.c_str());
    } else {
        name = alertStatusName(std::wstring(), L".NotFound.", instance);
        VT_LOG(ETWLogging::LevelInformation, kSource, kFunction,
               L"Alert instance %ls not found and not being shown - can't delete it", instance.c_str());
    }
    return reply(*message, name, std::wstring(), std::wstring());
}

bool VantrelImpl::deleteAlert(const std::wstring& instance, const std::wstring& alertId) {
    const wchar_t kFunction[] = L"Drem::VantrelImpl::deleteAlert";
    if (globalSession_->deleteAlert(instance, alertId)) {
        VT_LOG(ETWLogging::LevelInformation, kSource, kFunction, L"Alert removed from global queue.");
        return true;
    }
    // A global alert that a session has taken, stopping or not, is marked
    // first: from now on it is neither shown nor queued again.
    const bool taken = globalSession_->deleteTaken(instance);
    // Asked without the sessions lock: a session may take its alert down.
    // The stopping sessions still hold what they have taken.
    for (const auto& session : sessionsSnapshot()) {
        if (session->deleteAlert(instance, alertId)) {
            VT_LOG(ETWLogging::LevelInformation, kSource, kFunction, L"Alert removed from user session.");
            return true;
        }
    }
    if (taken) {
        reportDeleted(kSource, kFunction, L"Delete", alertId, instance);
        return true;
    }
    return false;
}

bool VantrelImpl::sessionIdOf(const Tessil::Message& message, const wchar_t* function, unsigned int& sessionId) {
    const std::wstring shown = message.getPayload().substr(0, kLoggedPayloadCharacters);
    Tessil::JSONFormatter json;
    if (!json.parse(message.getPayload())) {
        VT_LOG(ETWLogging::LevelError, kSource, function, L"Failed to parse %ls payload: %ls.",
               message.getName().c_str(), shown.c_str());
        return false;
    }
    if (!json.getUInt(L"sessionId", sessionId)) {
        VT_LOG(ETWLogging::LevelError, kSource, function, L"Failed to parse session id. Payload: %ls.",
               shown.c_str());
        return false;
    }
    return true;
}

std::uint32_t VantrelImpl::handleSessionLogon(std::shared_ptr<Tessil::Message> message) {
    const wchar_t kFunction[] = L"Drem::VantrelImpl::handleSessionLogon";
    unsigned int sessionId = 0;
    if (!sessionIdOf(*message, kFunction, sessionId)) {
        return MODULE_STATUS_INVALID_PARAMETER;
    }
    if (sessionId == 0) {
        return MODULE_STATUS_SUCCESS;
    }
    // A stale or early message starts nothing: a session costs a thread and
    // connections only once the machine has a user logged on to it.
    if (!isSessionLoggedOn(*options_.terminalServices, sessionId)) {
        VT_LOG(ETWLogging::LevelNormal, kSource, kFunction,
               L"Session %lu is not logged on; nothing started.", static_cast<unsigned long>(sessionId));
        // The notice may have come before the log-on itself.
        logonRechecks_->add(sessionId);
        return MODULE_STATUS_SUCCESS;
    }
    startLoggedOnSession(sessionId);
    return MODULE_STATUS_SUCCESS;
}

void VantrelImpl::startLoggedOnSession(std::uint32_t sessionId) {
    const wchar_t kFunction[] = L"Drem::VantrelImpl::handleSessionLogon";
    std::lock_guard<std::mutex> lock(sessionsMutex_);
    auto it = userSessions_.find(sessionId);
    if (it != userSessions_.end() && it->second) {
        it->second->start();
    } else if (globalSession_->holdsAlerts()) {
        // Also for a global alert a stopping session still holds: it may come back.
        VT_LOG(ETWLogging::LevelInformation, kSource, kFunction,
               L"Creating session for the global alerts. Session id: %lu.", static_cast<unsigned long>(sessionId));
        userSession(sessionId)->start();
    }
}

std::uint32_t VantrelImpl::handleSessionLogoff(std::shared_ptr<Tessil::Message> message) {
    const wchar_t kFunction[] = L"Drem::VantrelImpl::handleSessionLogoff";
    unsigned int sessionId = 0;
    if (!sessionIdOf(*message, kFunction, sessionId)) {
        return MODULE_STATUS_INVALID_PARAMETER;
    }
    std::shared_ptr<AlertUserSession> ended;
    {
        std::lock_guard<std::mutex> lock(sessionsMutex_);
        auto it = userSessions_.find(sessionId);
        if (it != userSessions_.end()) {
            VT_LOG(ETWLogging::LevelInformation, kSource, kFunction,
                   L"Clearing alert session after logout. Session id: %lu.", static_cast<unsigned long>(sessionId));
            ended = std::move(it->second);
            userSessions_.erase(it);
        }
    }
    // This delivery thread never waits for the session's thread to end.
    if (ended) {
        retire(std::move(ended));
    }
    return MODULE_STATUS_SUCCESS;
}

void VantrelImpl::startActiveSession() {
    const wchar_t kFunction[] = L"Drem::VantrelImpl::startActiveSession";
    DWORD activeId = 0;
    DWORD error = 0;
    if (!findActiveSession(*options_.terminalServices, activeId, error)) {
        VT_LOG(ETWLogging::LevelError, kSource, kFunction, L"Failed to EnumerateSessions. Error: %lu.",
               static_cast<unsigned long>(error));
        return;
    }
    if (activeId == 0) {
        VT_LOG(ETWLogging::LevelWarning, kSource, kFunction, L"No active session was found.");
        return;
    }
    auto it = userSessions_.find(activeId);
    if (it == userSessions_.end() || !it->second) {
        VT_LOG(ETWLogging::LevelInformation, kSource, kFunction,
               L"Creating session for the active session. Session id: %lu.", static_cast<unsigned long>(activeId));
    }
    userSession(activeId)->start();
}

std::shared_ptr<AlertUserSession> VantrelImpl::userSession(std::uint32_t sessionId) {
    auto it = userSessions_.find(sessionId);
    if (it == userSessions_.end() || !it->second) {
        auto session = sessionFactory_->createUserSession(sessionId, viewerRegistrar_, pluginRegistrar_, globalSession_);
        if (!session) {
            throw std::runtime_error("no user session");
        }
        it = userSessions_.insert_or_assign(sessionId, std::move(session)).first;
    }
    return it->second;
}

void VantrelImpl::detectFactoryMode() {
    Kelmora::CRegKey key;
    if (key.Open(HKEY_LOCAL_MACHINE, kOobeKey, kOobeAccess) != ERROR_SUCCESS ||
        key.QueryDWORDValue(L"FUAllow", fuAllow_) != ERROR_SUCCESS) {
        return;
    }
    DWORD done = 0;
    if (key.QueryDWORDValue(L"oobedone", done) != ERROR_SUCCESS) {
        return;
    }
    oobeDone_ = done;
    if (done != 0) {
        return;
    }
    VT_LOG(ETWLogging::LevelInformation, kSource, L"Drem::VantrelImpl::detectFactoryMode", L"Machine is in OOBE Mode");
    outOfBoxMode_ = true;
    oobeWatcher_ = std::make_shared<Kelmora::monitored_reg_key>();
    oobeWatcher_->Open(HKEY_LOCAL_MACHINE, kOobeKey, kOobeAccess);
    oobeWatcher_->Start([this] { onOobeValueChanged(); }, false, REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET);
    // A completion between the first read and the start of the watch is seen here.
    onOobeValueChanged();
}

void VantrelImpl::onOobeValueChanged() {
    Kelmora::CRegKey key;
    DWORD done = 0;
    if (key.Open(HKEY_LOCAL_MACHINE, kOobeKey, kOobeAccess) != ERROR_SUCCESS ||
        key.QueryDWORDValue(L"oobedone", done) != ERROR_SUCCESS || done == 0) {
        return;
    }
    DWORD expected = 0;
    if (!oobeDone_.compare_exchange_strong(expected, done)) {
        return;  // completion seen already
    }
    VT_LOG(ETWLogging::LevelInformation, kSource, L"Drem::VantrelImpl::onOobeValueChanged",
           L"Got Notification of OOBE Registry Change");
    oobeCompletionTime_ = options_.now();
}

bool VantrelImpl::isRiskAlertId(const std::wstring& alertId, const std::wstring& riskId) {
    if (alertId.size() != riskId.size()) {
        return false;
    }
    for (std::size_t i = 0; i < alertId.size(); ++i) {
        if (std::towupper(alertId[i]) != std::towupper(riskId[i])) {
            return false;
        }
    }
    return true;
}

void VantrelImpl::CollectLogsForRiskAlert(const std::wstring& alertId) {
    if (!outOfBoxMode_) {
        return;
    }
    const std::int64_t completion = oobeCompletionTime_;
    if (completion == 0 || options_.now() - completion >= logWindowSeconds_ * 10000000LL) {
        return;
    }
    bool risk = false;
    for (const std::wstring& riskId : riskAlertIds_) {
        if (isRiskAlertId(alertId, riskId)) {
            risk = true;
            break;
        }
    }
    if (!risk) {
        return;
    }
    VT_LOG(ETWLogging::LevelInformation, kSource, L"Drem::VantrelImpl::CollectLogsForRiskAlert",
           L"Got alertid: %s request within 1hr of OOBE", alertId.c_str());
    publish(logCollectionRequest(L"VT_ATRiskAlert_Request"));
}

}  // namespace Drem
