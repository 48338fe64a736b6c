#include "alerts/src/module/AlertSessionFactory.h"

namespace Drem {

std::shared_ptr<AlertUserSession> AlertSessionFactory::createUserSession(
    DWORD sessionId, std::shared_ptr<ViewerRegistrar> viewerRegistrar,
    std::shared_ptr<PluginRegistrar> pluginRegistrar, std::shared_ptr<AlertGlobalSession> globalSession) {
    return std::make_shared<AlertUserSession>(sessionId, std::move(viewerRegistrar), std::move(pluginRegistrar),
                                              std::move(globalSession));
}

std::shared_ptr<AlertGlobalSession> AlertSessionFactory::createGlobalSession(
    std::shared_ptr<ViewerRegistrar> viewerRegistrar, std::shared_ptr<PluginRegistrar> pluginRegistrar) {
    return std::make_shared<AlertGlobalSession>(std::move(viewerRegistrar), std::move(pluginRegistrar));
}

}  // namespace Drem
