#include "platform/Logging/Logging.h"

namespace ETWLogging {

// No logger is available in this build: every log call answers 1627.
CLogBuilderIf_ex* CreateDefaultLogBuilder() {
    return nullptr;
}

}  // namespace ETWLogging
