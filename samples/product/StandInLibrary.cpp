// A stand-in for the product's database client libraries: a loadable DLL with one export.
#include <windows.h>

extern "C" __declspec(dllexport) const char* StandInName() { return NX_SAMPLE_NAME; }

BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
