// Start-up step of the console programs: libraries loaded by name come only
// from the system folder from here on.
#pragma once

// SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32), looked up in the
// already loaded kernel32.dll. False when the module, the function or the
// call fails.
bool initializeSecureDllLoading();
