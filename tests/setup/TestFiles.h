#pragma once
// Files of the Windows tests: a whole file's bytes, and a folder of a test's own under the
// system's temporary folder, empty when it is made and removed with its owner.
#include <windows.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

// The bytes of a file; empty when it cannot be read.
inline std::string ReadAll(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

class TTestFolder {
public:
    // %TEMP% + prefix + the process id, so that test programs running at once keep apart.
    explicit TTestFolder(const std::string& prefix)
        : FPath(TempFolder() + prefix + std::to_string(GetCurrentProcessId())) {
        std::error_code ignored;
        std::filesystem::remove_all(FPath, ignored);
        std::filesystem::create_directories(FPath);
    }
    ~TTestFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(FPath, ignored);
    }
    TTestFolder(const TTestFolder&) = delete;
    TTestFolder& operator=(const TTestFolder&) = delete;

    const std::string& Path() const { return FPath; }

private:
    static std::string TempFolder() {
        char temp[MAX_PATH + 1] = {};
        GetTempPathA(MAX_PATH, temp);
        return temp;
    }
    std::string FPath;
};
