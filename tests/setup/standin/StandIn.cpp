// Stands in for the installed product in the tests. Every start appends a line to
// "<own path>.ran"; with "--wait MS" it then stays running for up to MS milliseconds (until
// it is stopped) and ends with code 3, otherwise it ends at once with code 0.
#include <windows.h>

#include <cwchar>
#include <string>

int wmain(int argc, wchar_t** argv) {
    wchar_t self[MAX_PATH + 1] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    const std::wstring marker = std::wstring(self) + L".ran";
    HANDLE file = CreateFileW(marker.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        const char line[] = "ran\r\n";
        DWORD written = 0;
        WriteFile(file, line, sizeof(line) - 1, &written, nullptr);
        CloseHandle(file);
    }
    if (argc >= 3 && std::wcscmp(argv[1], L"--wait") == 0) {
        Sleep(static_cast<DWORD>(std::wcstoul(argv[2], nullptr, 10)));
        return 3;
    }
    return 0;
}
