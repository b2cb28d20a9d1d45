#include "setup/InstallFiles.h"

#include <windows.h>

#include <algorithm>
#include <memory>

#include "base/StringList.h"
#include "base/SystemError.h"

std::string CreateFileErrorText(const std::string& path, uint32_t systemError) {
    return "Cannot create file \"" + path + "\". " + SysErrorMessage(systemError);
}

std::string VersionFileText(const std::string& downloaded) {
    TStringList lines;
    lines.SetText(downloaded.substr(0, downloaded.find('\0')));
    return lines.Text();
}

bool IsExistingFile(const std::string& path) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

namespace {
struct THandleCloser {
    void operator()(HANDLE handle) const { CloseHandle(handle); }
};
using THandle = std::unique_ptr<std::remove_pointer_t<HANDLE>, THandleCloser>;

[[noreturn]] void FailCreate(const std::string& path, DWORD code, const std::string& partFile) {
    if (!partFile.empty()) DeleteFileA(partFile.c_str());
    throw EFCreateError(CreateFileErrorText(path, code));
}
} // namespace

void SaveFileReplacing(const std::string& path, const char* data, size_t size) {
    const std::string part = path + ".part";
    {
        THandle file(CreateFileA(part.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
        if (file.get() == INVALID_HANDLE_VALUE) {
            (void)file.release();
            FailCreate(path, GetLastError(), {});
        }
        size_t done = 0;
        while (done < size) {
            const DWORD chunk = static_cast<DWORD>(std::min<size_t>(size - done, 1u << 20));
            DWORD written = 0;
            if (!WriteFile(file.get(), data + done, chunk, &written, nullptr) || written == 0) {
                const DWORD code = GetLastError();
                file.reset();
                FailCreate(path, code, part);
            }
            done += written;
        }
        if (!FlushFileBuffers(file.get())) {
            const DWORD code = GetLastError();
            file.reset();
            FailCreate(path, code, part);
        }
    }
    // A program that is running keeps its file: the target must be writable before it is
    // replaced, or the replace could succeed where the system only renames the running image.
    if (IsExistingFile(path)) {
        THandle target(CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        if (target.get() == INVALID_HANDLE_VALUE) {
            (void)target.release();
            FailCreate(path, GetLastError(), part);
        }
    }
    if (!MoveFileExA(part.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        FailCreate(path, GetLastError(), part);
}
