#include "setup/Registration.h"

#include <windows.h>

#include <objidl.h>
#include <shlobj.h>

#include <algorithm>

#include "base/Format.h"
#include "base/SystemError.h"

namespace {

// Where the desktop folder is looked up, under HKEY_CURRENT_USER.
constexpr const char* kExplorerKey = "Software\\MicroSoft\\Windows\\CurrentVersion\\Explorer";
constexpr const char* kShellFoldersKey = "Shell Folders";
// The shortcut's file name on the desktop, converted at run time like the display name.
constexpr const wchar_t* kShortcutFileName = L"\\루멘타.lnk";

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

std::string AnsiFromWide(const std::wstring& text) {
    if (text.empty()) return {};
    int n = WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                nullptr);
    std::string out(static_cast<size_t>(n > 0 ? n : 0), '\0');
    if (n > 0)
        WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), out.data(), n, nullptr,
                            nullptr);
    return out;
}

std::wstring WideFromAnsi(const std::string& text) {
    if (text.empty()) return {};
    int n = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(n > 0 ? n : 0), L'\0');
    if (n > 0) MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
    return out;
}

// Stores a REG_SZ with its terminating NUL counted, as the ANSI interface expects.
void WriteString(HKEY key, const char* name, const std::string& value) {
    LONG rc = key ? RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                                   static_cast<DWORD>(value.size() + 1))
                  : ERROR_INVALID_HANDLE;
    if (rc != ERROR_SUCCESS) throw ERegistrationError(Format("Failed to set data for '%s'", name));
}

// The "Desktop" value as stored, or empty when the key or a string value is missing.
std::string RegisteredDesktopFolder() {
    TRegKey explorer;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, kExplorerKey, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                        nullptr, explorer.Receive(), nullptr) != ERROR_SUCCESS)
        return {};
    TRegKey folders;
    if (RegOpenKeyExA(explorer.Get(), kShellFoldersKey, 0, KEY_READ, folders.Receive()) != ERROR_SUCCESS)
        return {};
    DWORD type = 0;
    DWORD size = 0;
    if (RegQueryValueExA(folders.Get(), "Desktop", nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ))
        return {};
    std::string data(size + 1, '\0');
    if (RegQueryValueExA(folders.Get(), "Desktop", nullptr, &type, reinterpret_cast<BYTE*>(data.data()),
                         &size) != ERROR_SUCCESS)
        return {};
    // The stored size may or may not count a NUL: the text ends at the first one.
    data.resize(std::min<size_t>(size, data.size()));
    return data.substr(0, data.find('\0'));
}

} // namespace

std::string UninstallCommand(const std::string& installDir) {
    std::string path = installDir + "/uninstall.exe";
    if (path.find(' ') != std::string::npos) return "\"" + path + "\"";
    return path;
}

void RegisterUninstall(const std::string& installDir) {
    {
        TRegKey created;
        if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kUninstallKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                            KEY_ALL_ACCESS, nullptr, created.Receive(), nullptr) != ERROR_SUCCESS)
            throw ERegistrationError(Format("Failed to create key %s", kUninstallKey));
    }
    // A key that cannot be opened shows up as the first value that cannot be written.
    TRegKey key;
    RegOpenKeyExA(HKEY_LOCAL_MACHINE, kUninstallKey, 0, KEY_ALL_ACCESS, key.Receive());
    WriteString(key.Get(), "DisplayName", AnsiFromWide(kUninstallDisplayName));
    WriteString(key.Get(), "UninstallString", UninstallCommand(installDir));
}

std::string DesktopFolder() {
    std::string folder = RegisteredDesktopFolder();
    if (!folder.empty()) return folder;
    // Without the value the shortcut would land in the root of the current drive.
    char path[MAX_PATH + 1] = {};
    if (SHGetFolderPathA(nullptr, CSIDL_DESKTOPDIRECTORY, nullptr, SHGFP_TYPE_CURRENT, path) != S_OK)
        return {};
    return path;
}

std::string DesktopShortcutPath() {
    const std::string desktop = DesktopFolder();
    return desktop.empty() ? std::string() : desktop + AnsiFromWide(kShortcutFileName);
}

std::string ComErrorText(long result) {
    std::string text = SysErrorMessage(static_cast<uint32_t>(result));
    if (!text.empty()) return text;
    return Format("OLE error %.8lx", static_cast<unsigned long>(result));
}

void SaveDesktopShortcut(IUnknown* link, const std::string& target, const std::string& workingDir) {
    TComRef<IShellLinkA> shellLink;
    TComRef<IPersistFile> file;
    if (!link || FAILED(link->QueryInterface(IID_IShellLinkA, shellLink.Receive())) ||
        FAILED(link->QueryInterface(IID_IPersistFile, file.Receive())))
        throw EInterfaceNotSupported("Interface not supported");
    shellLink->SetPath(target.c_str());
    shellLink->SetWorkingDirectory(workingDir.c_str());
    const std::string path = DesktopShortcutPath();
    if (path.empty()) return;
    file->Save(WideFromAnsi(path).c_str(), FALSE);
}

void CreateDesktopShortcut(const std::string& installDir, const std::string& mainExe) {
    TComRef<IUnknown> object;
    HRESULT hr = CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER,
                                  IID_IUnknown, object.Receive());
    if (FAILED(hr)) throw EComError(ComErrorText(hr));
    SaveDesktopShortcut(object.Get(), installDir + "/" + mainExe, installDir + "/");
}
