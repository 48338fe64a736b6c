// A module that only carries a version resource, for the version tests.
extern "C" __declspec(dllexport) int VtVersionResourceDll() { return 1; }
