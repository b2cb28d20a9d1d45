#pragma once
// The installation run's file rules: the version file's text, the folders of the
// installation held open for the run, and whole-file writes into them that no link can turn
// elsewhere. Setup runs elevated while every one of these folders belongs to the user, so any
// program of the user could put a link or a junction where a folder or a file is expected.
#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "base/Exception.h"

// A product file could not be created or put in place; the text names the target file.
NX_DECLARE_EXCEPTION(EFCreateError, Exception)
// "Cannot create file "<path>". <system text>" (the error box adds the final full stop).
std::string CreateFileErrorText(const std::string& path, uint32_t systemError);

// A folder or file of the installation leads elsewhere than where it stands (a link or a
// junction, or a second link to a new file); the text says which and where it leads.
NX_DECLARE_EXCEPTION(ERedirectedPath, Exception)

// The version file as it is saved: the text up to the first NUL, cut into lines at CR LF,
// a lone CR or a lone LF, every line followed by CR LF (an empty text stays empty).
std::string VersionFileText(const std::string& downloaded);

// An existing file (a folder of that name does not count).
bool IsExistingFile(const std::wstring& path);

// The bytes of a file of at most limit bytes; nothing when it cannot be read or is larger.
std::optional<std::string> ReadSmallFile(const std::wstring& path, size_t limit);

// Where an open file or folder really is, as the system resolves it ("\\?\C:\..."); empty
// when it cannot tell.
std::wstring FinalPathOf(HANDLE handle);

// Checks a file this process has just created: it lies at expected (a final path) and has no
// second link. ERedirectedPath otherwise.
void CheckNewFile(HANDLE file, const std::wstring& expected);

// A folder the run writes into, held open from the moment it was checked until the object
// goes: the handle shares no deletion, so nobody can rename, remove or replace it (or a
// folder above it) meanwhile.
class TInstallFolder {
public:
    // The folder as the system names it (the application-data folder, the desktop), taken as
    // it is. EFCreateError when it cannot be opened.
    explicit TInstallFolder(const std::wstring& path);
    // The folder name inside parent, made when it is missing (created says so). ERedirectedPath
    // when it is a link or a junction or its final path is not the parent's and name;
    // EFCreateError when it can be neither made nor opened as a folder.
    TInstallFolder(const TInstallFolder& parent, const std::wstring& name, bool* created = nullptr);
    ~TInstallFolder();
    TInstallFolder(const TInstallFolder&) = delete;
    TInstallFolder& operator=(const TInstallFolder&) = delete;

    // As given, without a trailing separator, and as the system resolves it.
    const std::wstring& Path() const { return FPath; }
    const std::wstring& FinalPath() const { return FFinalPath; }

    // Writes the whole of data as the file name: under a fresh unpredictable name created new
    // (never an existing file, so never through a link), checked with CheckNewFile, then
    // renamed to name through its handle. That replaces a file of the name (a link itself,
    // not what it leads to), which must be writable (a running program is not replaced); with
    // keepExisting an existing one stays and the result is false. A failure removes the new
    // file through its handle and raises EFCreateError with CreateFileErrorText(Path() + "/" +
    // name, the system's error), or ERedirectedPath. With stamp the file gets its time of
    // last writing and attributes (a copy keeps those of its source).
    bool SaveFile(const std::wstring& name, const char* data, size_t size, bool keepExisting = false,
                  const BY_HANDLE_FILE_INFORMATION* stamp = nullptr) const;
    bool HasFile(const std::wstring& name) const;

private:
    HANDLE FHandle = INVALID_HANDLE_VALUE;
    std::wstring FPath;
    std::wstring FFinalPath;
};
