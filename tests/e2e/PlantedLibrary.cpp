// A library planted beside Setup.exe under the name of one that Setup loads or once imported
// (tests/e2e/run.sh copies it as each): when anything loads it, it notes so in
// "<its own path>.loaded". It exports what Setup.exe imported from comctl32.dll, so that a
// build that still imports it starts and shows the fault as a note, not as a failed start.
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID) {
    if (reason != DLL_PROCESS_ATTACH) return TRUE;
    wchar_t path[MAX_PATH + 8] = {};
    const DWORD length = GetModuleFileNameW(self, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return TRUE;
    lstrcpyW(path + length, L".loaded");
    const HANDLE note = CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (note != INVALID_HANDLE_VALUE) CloseHandle(note);
    return TRUE;
}

extern "C" BOOL WINAPI PlantedInitCommonControlsEx(const void*) {
    return TRUE;
}
extern "C" BOOL WINAPI PlantedSetWindowSubclass(HWND, void*, UINT_PTR, DWORD_PTR) {
    return FALSE;
}
extern "C" BOOL WINAPI PlantedRemoveWindowSubclass(HWND, void*, UINT_PTR) {
    return FALSE;
}
extern "C" LRESULT WINAPI PlantedDefSubclassProc(HWND, UINT, WPARAM, LPARAM) {
    return 0;
}
