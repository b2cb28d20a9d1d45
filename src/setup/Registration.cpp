#include "setup/Registration.h"

#include <windows.h>

#include <objidl.h>
#include <shlobj.h>

#include <algorithm>

#include "base/Format.h"
#include "base/SystemError.h"
#include "setup/CodePage.h"
#include "setup/InstallFiles.h"

namespace {

// Where the desktop folder is looked up, under HKEY_CURRENT_USER.
constexpr const char* kExplorerKey = "Software\\MicroSoft\\Windows\\CurrentVersion\\Explorer";
constexpr const char* kShellFoldersKey = "Shell Folders";
// The shortcut's file name on the desktop.
constexpr const wchar_t* kShortcutFileName = L"루멘타.lnk";

// Closes a registry key on every way out.
class TRegKey {
public:
    TRegKey() = default;
    TRegKey(const TRegKey&) = delete;
    TRegKey& operator=(const TRegKey&) = delete;
    ~TRegKey() { Close(); }
    HKEY* Receive() {
        Close();
        return &FKey;
    }
    HKEY Get() const { return FKey; }
    explicit operator bool() const { return FKey != nullptr; }
    void Close() {
        if (FKey) RegCloseKey(FKey);
        FKey = nullptr;
    }

private:
    HKEY FKey = nullptr;
};

// Holds one COM reference and releases it on every way out.
template <class T> class TComRef {
public:
    TComRef() = default;
    TComRef(const TComRef&) = delete;
    TComRef& operator=(const TComRef&) = delete;
    ~TComRef() {
        if (FPtr) FPtr->Release();
    }
    void** Receive() {
        if (FPtr) FPtr->Release();
        FPtr = nullptr;
        return reinterpret_cast<void**>(&FPtr);
    }
    T* operator->() const { return FPtr; }
    T* Get() const { return FPtr; }

private:
    T* FPtr = nullptr;
};

// Stores a REG_SZ with its terminating NUL counted, as the ANSI interface expects.
void WriteString(HKEY key, const char* name, const std::string& value) {
    LONG rc = key ? RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                                   static_cast<DWORD>(value.size() + 1))
                  : ERROR_INVALID_HANDLE;
    if (rc != ERROR_SUCCESS) throw ERegistrationError(Format("Failed to set data for '%s'", name));
}

// The "Desktop" value as stored, or empty when the key or a string value is missing.
std::wstring RegisteredDesktopFolder() {
    TRegKey explorer;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, kExplorerKey, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                        nullptr, explorer.Receive(), nullptr) != ERROR_SUCCESS)
        return {};
    TRegKey folders;
    if (RegOpenKeyExA(explorer.Get(), kShellFoldersKey, 0, KEY_READ, folders.Receive()) != ERROR_SUCCESS)
        return {};
    DWORD type = 0;
    DWORD size = 0;
    if (RegQueryValueExW(folders.Get(), L"Desktop", nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ))
        return {};
    std::wstring data(size / sizeof(wchar_t) + 1, L'\0');
    if (RegQueryValueExW(folders.Get(), L"Desktop", nullptr, &type, reinterpret_cast<BYTE*>(data.data()),
                         &size) != ERROR_SUCCESS)
        return {};
    // The stored size may or may not count a NUL: the text ends at the first one.
    data.resize(std::min<size_t>(size / sizeof(wchar_t), data.size()));
    return data.substr(0, data.find(L'\0'));
}

} // namespace

std::string UninstallCommand(const std::wstring& installDir) {
    std::string path = WideToAnsi(installDir) + "/uninstall.exe";
    if (path.find(' ') != std::string::npos) return "\"" + path + "\"";
    return path;
}

void RegisterUninstall(const std::wstring& installDir) {
    {
        TRegKey created;
        if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kUninstallKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                            KEY_ALL_ACCESS, nullptr, created.Receive(), nullptr) != ERROR_SUCCESS)
            throw ERegistrationError(Format("Failed to create key %s", kUninstallKey));
    }
    // A key that cannot be opened shows up as the first value that cannot be written.
    TRegKey key;
    RegOpenKeyExA(HKEY_LOCAL_MACHINE, kUninstallKey, 0, KEY_ALL_ACCESS, key.Receive());
    WriteString(key.Get(), "DisplayName", WideToAnsi(kUninstallDisplayName));
    WriteString(key.Get(), "UninstallString", UninstallCommand(installDir));
}

std::wstring DesktopFolder() {
    std::wstring folder = RegisteredDesktopFolder();
    if (!folder.empty()) return folder;
    // Without the value the shortcut would land in the root of the current drive.
    wchar_t path[MAX_PATH + 1] = {};
    if (SHGetFolderPathW(nullptr, CSIDL_DESKTOPDIRECTORY, nullptr, SHGFP_TYPE_CURRENT, path) != S_OK)
        return {};
    return path;
}

std::wstring DesktopShortcutPath() {
    const std::wstring desktop = DesktopFolder();
    return desktop.empty() ? std::wstring() : desktop + L"\\" + kShortcutFileName;
}

std::string ComErrorText(long result) {
    std::string text = SysErrorMessage(static_cast<uint32_t>(result));
    if (!text.empty()) return text;
    return Format("OLE error %.8lx", static_cast<unsigned long>(result));
}

void SaveDesktopShortcut(IUnknown* link, const std::wstring& target, const std::wstring& workingDir) {
    TComRef<IShellLinkW> shellLink;
    TComRef<IPersistStream> persist;
    if (!link || FAILED(link->QueryInterface(IID_IShellLinkW, shellLink.Receive())) ||
        FAILED(link->QueryInterface(IID_IPersistStream, persist.Receive())))
        throw EInterfaceNotSupported("Interface not supported");
    shellLink->SetPath(target.c_str());
    shellLink->SetWorkingDirectory(workingDir.c_str());
    const std::wstring desktop = DesktopFolder();
    if (desktop.empty()) return;
    // The link's bytes, as the shell would save them into its file.
    TComRef<IStream> stream;
    HGLOBAL memory = nullptr;
    if (FAILED(CreateStreamOnHGlobal(nullptr, TRUE, reinterpret_cast<IStream**>(stream.Receive()))) ||
        FAILED(persist->Save(stream.Get(), TRUE)) || FAILED(GetHGlobalFromStream(stream.Get(), &memory)))
        return;
    ULARGE_INTEGER size{};
    const LARGE_INTEGER none{};
    if (FAILED(stream->Seek(none, STREAM_SEEK_CUR, &size))) return;
    struct TLocked {
        HGLOBAL Memory;
        const void* Bytes = GlobalLock(Memory);
        ~TLocked() {
            if (Bytes) GlobalUnlock(Memory);
        }
    } locked{memory};
    if (!locked.Bytes) return;
    try {
        TInstallFolder(desktop).SaveFile(kShortcutFileName, static_cast<const char*>(locked.Bytes),
                                         static_cast<size_t>(size.QuadPart));
    } catch (const EFCreateError&) {
        // As before: a shortcut that cannot be saved is no failure of the installation.
    }
}

void CreateDesktopShortcut(const std::wstring& installDir, const std::wstring& mainExe) {
    TComRef<IUnknown> object;
    HRESULT hr = CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER,
                                  IID_IUnknown, object.Receive());
    if (FAILED(hr)) throw EComError(ComErrorText(hr));
    SaveDesktopShortcut(object.Get(), installDir + L"/" + mainExe, installDir + L"/");
}
