#pragma once
// Reads the installer's uninstall entry back through the wide registry API.
#include <windows.h>

#include <string>

#include "setup/Registration.h"

// A value of the entry; "<no key>" or "<no value>" when it is not there.
inline std::wstring QueryUninstallValueW(const wchar_t* name) {
    wchar_t buffer[512] = {};
    DWORD size = sizeof buffer - sizeof(wchar_t);
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kUninstallKey, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return L"<no key>";
    LONG rc = RegQueryValueExW(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &size);
    RegCloseKey(key);
    return rc == ERROR_SUCCESS ? std::wstring(buffer) : L"<no value>";
}
