// Makes the alert module's sessions.
#pragma once

#include "alerts/src/sessions/AlertGlobalSession.h"
#include "alerts/src/sessions/AlertUserSession.h"

#include <windows.h>

#include <memory>

namespace Drem {

class AlertSessionFactory {
public:
    virtual ~AlertSessionFactory() = default;
    virtual std::shared_ptr<AlertUserSession> createUserSession(DWORD sessionId,
                                                                std::shared_ptr<ViewerRegistrar> viewerRegistrar,
                                                                std::shared_ptr<PluginRegistrar> pluginRegistrar,
                                                                std::shared_ptr<AlertGlobalSession> globalSession);
    virtual std::shared_ptr<AlertGlobalSession> createGlobalSession(std::shared_ptr<ViewerRegistrar> viewerRegistrar,
                                                                    std::shared_ptr<PluginRegistrar> pluginRegistrar);
};

}  // namespace Drem
