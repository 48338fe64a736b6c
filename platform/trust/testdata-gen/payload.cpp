// A small library the trust tests sign in several ways.
#include <windows.h>

extern "C" __declspec(dllexport) int TrustPayloadAnswer() { return 42; }
