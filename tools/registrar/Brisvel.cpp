// Brisvel: declares which suite applications depend on the alert service.
// Writes nothing to the console; the exit code is 0 on success, else 1.
#include "tools/common/SecureDllLoading.h"
#include "tools/registrar/CollectiveRegistrar.h"
#include "tools/registrar/RegistrarFunctions.h"

#include <string>

int wmain(int argc, wchar_t* argv[]) {
    if (!initializeSecureDllLoading()) {
        return 1;
    }
    std::wstring productFolder;
    if (!readProductFolder(productFolder)) {
        return 1;
    }
    const std::wstring path = productFolder + L"\\appregistry.dat";
    bool succeeded = false;
    {
        Tessil::CollectiveRegistrar registrar(path, uninstallComponent, nullptr, nullptr, nullptr,
                                              nullptr, cancelRestartDeletions);
        succeeded = registrar.execute(argc, argv);
    }
    return succeeded ? 0 : 1;
}
