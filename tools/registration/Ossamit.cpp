// Ossamit: registers and unregisters product plug-ins and viewers with the
// alert service. Writes nothing to the console; see Registration.h for the
// exit codes.
#include "platform/Logging/Logging.h"
#include "tools/common/SecureDllLoading.h"
#include "tools/registration/Registration.h"

int wmain(int argc, wchar_t* argv[]) {
    if (!initializeSecureDllLoading()) {
        VT_LOG(ETWLogging::LevelError, L"Ossamit", L"wmain", L"Failed to Initialize Secure DLL Loading.");
        return Drem::kExitFailed;
    }
    return Drem::runRegistration(argc, argv);
}
