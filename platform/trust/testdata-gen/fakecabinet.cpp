// A stand-in "Cabinet.dll" put on the search path by the tests: the verifier
// must take the system folder's library, never this one.
#include <windows.h>

extern "C" __declspec(dllexport) void* FDICreate(void*, void*, void*, void*, void*, void*, void*,
                                                 int, void*) {
    return nullptr;
}
extern "C" __declspec(dllexport) BOOL FDICopy(void*, char*, char*, int, void*, void*, void*) {
    return FALSE;
}
extern "C" __declspec(dllexport) BOOL FDIDestroy(void*) { return TRUE; }
