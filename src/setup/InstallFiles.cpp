#include "setup/InstallFiles.h"

#include <algorithm>
#include <memory>
#include <vector>

#include "base/Format.h"
#include "base/StringList.h"
#include "base/SystemError.h"
#include "setup/CodePage.h"

std::string CreateFileErrorText(const std::string& path, uint32_t systemError) {
    return "Cannot create file \"" + path + "\". " + SysErrorMessage(systemError);
}

std::string VersionFileText(const std::string& downloaded) {
    TStringList lines;
    lines.SetText(downloaded.substr(0, downloaded.find('\0')));
    return lines.Text();
}

bool IsExistingFile(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

namespace {
struct THandleCloser {
    void operator()(HANDLE handle) const {
        if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
    }
};
using THandle = std::unique_ptr<std::remove_pointer_t<HANDLE>, THandleCloser>;

bool SamePath(const std::wstring& a, const std::wstring& b) {
    return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()),
                                TRUE) == CSTR_EQUAL;
}

// 64 bits from the system's generator, in hex: a name nobody can have prepared a link under.
std::wstring RandomHex() {
    using TGenRandom = BOOLEAN(WINAPI*)(PVOID, ULONG);
    static const auto generate = reinterpret_cast<TGenRandom>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"advapi32.dll"), "SystemFunction036"))); // RtlGenRandom
    uint32_t bits[2] = {};
    if (!generate || !generate(bits, sizeof bits)) {
        // Still never predictable enough to matter: the name is only ever created new.
        LARGE_INTEGER now;
        QueryPerformanceCounter(&now);
        bits[0] = now.LowPart ^ GetCurrentProcessId();
        bits[1] = GetTickCount() ^ now.HighPart;
    }
    wchar_t text[17];
    wsprintfW(text, L"%08lx%08lx", static_cast<unsigned long>(bits[0]), static_cast<unsigned long>(bits[1]));
    return text;
}

// The new file of a write: removed through its handle unless it was put in place.
class TNewFile {
public:
    explicit TNewFile(HANDLE handle) : FHandle(handle) {}
    ~TNewFile() {
        if (FKeep) return;
        FILE_DISPOSITION_INFO dispose{TRUE};
        SetFileInformationByHandle(FHandle.get(), FileDispositionInfo, &dispose, sizeof dispose);
    }
    TNewFile(const TNewFile&) = delete;
    TNewFile& operator=(const TNewFile&) = delete;
    HANDLE Get() const { return FHandle.get(); }
    void Keep() { FKeep = true; }

private:
    THandle FHandle;
    bool FKeep = false;
};

bool RenameThrough(HANDLE file, const std::wstring& target, bool replace) {
    std::vector<char> buffer(sizeof(FILE_RENAME_INFO) + target.size() * sizeof(wchar_t));
    auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    rename->ReplaceIfExists = replace;
    rename->RootDirectory = nullptr;
    rename->FileNameLength = static_cast<DWORD>(target.size() * sizeof(wchar_t));
    std::copy(target.begin(), target.end(), rename->FileName);
    return SetFileInformationByHandle(file, FileRenameInfo, rename, static_cast<DWORD>(buffer.size())) !=
           FALSE;
}

constexpr DWORD kFolderAccess = FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
} // namespace

std::optional<std::string> ReadSmallFile(const std::wstring& path, size_t limit) {
    THandle file(
        CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    LARGE_INTEGER size{};
    if (file.get() == INVALID_HANDLE_VALUE || !GetFileSizeEx(file.get(), &size) || size.QuadPart < 0 ||
        static_cast<uint64_t>(size.QuadPart) > limit)
        return std::nullopt;
    std::string data(static_cast<size_t>(size.QuadPart), '\0');
    size_t done = 0;
    while (done < data.size()) {
        DWORD read = 0;
        if (!ReadFile(file.get(), data.data() + done, static_cast<DWORD>(data.size() - done), &read,
                      nullptr) ||
            read == 0)
            return std::nullopt;
        done += read;
    }
    return data;
}

std::wstring FinalPathOf(HANDLE handle) {
    std::wstring path(MAX_PATH, L'\0');
    for (int attempt = 0; attempt < 2; ++attempt) {
        const DWORD length =
            GetFinalPathNameByHandleW(handle, path.data(), static_cast<DWORD>(path.size()), 0);
        if (length == 0) return {};
        if (length < path.size()) return path.substr(0, length);
        path.resize(length + 1);
    }
    return {};
}

void CheckNewFile(HANDLE file, const std::wstring& expected) {
    const std::wstring final = FinalPathOf(file);
    if (!SamePath(final, expected))
        throw ERedirectedPath(WideToAnsi(expected) + " was created as " + WideToAnsi(final));
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(file, &info) || info.nNumberOfLinks != 1)
        throw ERedirectedPath(Format("%s has %lu links", WideToAnsi(expected).c_str(), info.nNumberOfLinks));
}

TInstallFolder::TInstallFolder(const std::wstring& path) : FPath(path) {
    FHandle = CreateFileW(path.c_str(), kFolderAccess, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                          OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (FHandle == INVALID_HANDLE_VALUE)
        throw EFCreateError(CreateFileErrorText(WideToAnsi(path), GetLastError()));
    FFinalPath = FinalPathOf(FHandle);
}

TInstallFolder::TInstallFolder(const TInstallFolder& parent, const std::wstring& name, bool* created)
    : FPath(parent.FPath + L"\\" + name) {
    const bool made = CreateDirectoryW(FPath.c_str(), nullptr) != FALSE;
    const DWORD madeError = made ? 0 : GetLastError();
    if (created) *created = made;
    // The link itself, were it one, not where it leads.
    FHandle = CreateFileW(FPath.c_str(), kFolderAccess, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                          OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    BY_HANDLE_FILE_INFORMATION info{};
    if (FHandle == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(FHandle, &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        const DWORD code = FHandle == INVALID_HANDLE_VALUE ? GetLastError() : madeError;
        if (FHandle != INVALID_HANDLE_VALUE) CloseHandle(FHandle);
        FHandle = INVALID_HANDLE_VALUE;
        throw EFCreateError(CreateFileErrorText(WideToAnsi(FPath), code ? code : ERROR_DIRECTORY));
    }
    FFinalPath = FinalPathOf(FHandle);
    const std::wstring expected = parent.FFinalPath + L"\\" + name;
    // Windows opens a junction itself and says so; Wine follows a directory link and tells
    // where it led.
    std::string why;
    if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
        why = "Folder " + WideToAnsi(FPath) + " is a link or a junction";
    else if (FFinalPath.empty() || !SamePath(FFinalPath, expected))
        why = "Folder " + WideToAnsi(FPath) + " leads to " + WideToAnsi(FFinalPath);
    if (!why.empty()) {
        CloseHandle(FHandle);
        FHandle = INVALID_HANDLE_VALUE;
        throw ERedirectedPath(why);
    }
}

TInstallFolder::~TInstallFolder() {
    if (FHandle != INVALID_HANDLE_VALUE) CloseHandle(FHandle);
}

bool TInstallFolder::HasFile(const std::wstring& name) const {
    return IsExistingFile(FPath + L"\\" + name);
}

bool TInstallFolder::SaveFile(const std::wstring& name, const char* data, size_t size, bool keepExisting,
                              const BY_HANDLE_FILE_INFORMATION* stamp) const {
    const std::string shown = WideToAnsi(FPath + L"/" + name);
    const auto fail = [&](DWORD code) { throw EFCreateError(CreateFileErrorText(shown, code)); };
    std::wstring partName;
    HANDLE created = INVALID_HANDLE_VALUE;
    for (int attempt = 1; created == INVALID_HANDLE_VALUE; ++attempt) {
        partName = name + L"." + RandomHex() + L".part";
        created =
            CreateFileW((FPath + L"\\" + partName).c_str(), GENERIC_WRITE | DELETE | FILE_WRITE_ATTRIBUTES, 0,
                        nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (created == INVALID_HANDLE_VALUE && (GetLastError() != ERROR_FILE_EXISTS || attempt == 3))
            fail(GetLastError());
    }
    TNewFile part(created);
    const std::wstring partPath = FFinalPath + L"\\" + partName;
    CheckNewFile(part.Get(), partPath);
    for (size_t done = 0; done < size;) {
        const DWORD chunk = static_cast<DWORD>(std::min<size_t>(size - done, 1u << 20));
        DWORD written = 0;
        if (!WriteFile(part.Get(), data + done, chunk, &written, nullptr) || written == 0)
            fail(GetLastError());
        done += written;
    }
    if (!FlushFileBuffers(part.Get())) fail(GetLastError());
    // A program that is running keeps its file: the target must be writable before it is
    // replaced, or the replace could succeed where the system only renames the running image.
    if (!keepExisting && HasFile(name)) {
        THandle target(CreateFileW((FPath + L"\\" + name).c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        if (target.get() == INVALID_HANDLE_VALUE) fail(GetLastError());
    }
    // A second link made while the bytes went in would share them with a place of its own.
    CheckNewFile(part.Get(), partPath);
    if (!RenameThrough(part.Get(), FFinalPath + L"\\" + name, !keepExisting)) {
        const DWORD code = GetLastError();
        if (keepExisting &&
            (code == ERROR_ALREADY_EXISTS || code == ERROR_FILE_EXISTS || code == ERROR_ACCESS_DENIED))
            return false;
        fail(code);
    }
    part.Keep();
    if (stamp) {
        FILE_BASIC_INFO basic{};
        basic.LastWriteTime.LowPart = stamp->ftLastWriteTime.dwLowDateTime;
        basic.LastWriteTime.HighPart = static_cast<LONG>(stamp->ftLastWriteTime.dwHighDateTime);
        basic.FileAttributes = stamp->dwFileAttributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                                          FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE);
        if (basic.FileAttributes == 0) basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
        SetFileInformationByHandle(part.Get(), FileBasicInfo, &basic, sizeof basic);
    }
    return true;
}
