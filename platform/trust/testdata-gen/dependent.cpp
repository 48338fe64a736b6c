// A plug-in that imports a library expected beside it.
#include <windows.h>

extern "C" __declspec(dllimport) int TrustDependencyAnswer();

extern "C" __declspec(dllexport) int TrustDependentAnswer() { return TrustDependencyAnswer(); }
