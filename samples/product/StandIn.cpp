// A stand-in for the product's programs on the sample distribution server. It records
// that it ran (a file "<name>.ran" beside itself, holding its command line and its working
// directory, a line each) and, when a
// file "<name>.stay" lies beside it, keeps running for at most a minute so that tests can
// meet a running copy.
#include <windows.h>

#include <string>

#ifndef NX_SAMPLE_PAD
#define NX_SAMPLE_PAD 1
#endif
// Gives each stand-in its own size and bytes, so that a file saved from the wrong download
// is caught by comparing contents.
extern "C" volatile const char kSamplePadding[NX_SAMPLE_PAD] = NX_SAMPLE_NAME;

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR commandLine, int) {
    (void)kSamplePadding[0];
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return 1;
    std::string self(path, n);
    std::string stem = self.substr(0, self.find_last_of('.'));

    HANDLE f = CreateFileA((stem + ".ran").c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f != INVALID_HANDLE_VALUE) {
        DWORD written = 0;
        char folder[MAX_PATH] = {};
        const DWORD length = GetCurrentDirectoryA(MAX_PATH, folder);
        std::string text =
            std::string(commandLine) + "\r\n" + std::string(folder, length < MAX_PATH ? length : 0) + "\r\n";
        WriteFile(f, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
        CloseHandle(f);
    }
    if (GetFileAttributesA((stem + ".stay").c_str()) != INVALID_FILE_ATTRIBUTES) {
        for (int i = 0; i < 600; ++i) {
            Sleep(100);
            if (GetFileAttributesA((stem + ".stay").c_str()) == INVALID_FILE_ATTRIBUTES) break;
        }
    }
    return 0;
}
