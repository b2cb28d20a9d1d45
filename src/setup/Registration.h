#pragma once
// Makes the installed product known to the system: the entry in the list of installed
// programs and the shortcut on the user's desktop. Both run on the GUI thread, which has
// initialised COM as a single-threaded apartment.
#include <string>

#include "base/Exception.h"

struct IUnknown;

// The registry refused to create the uninstall key or to store one of its values.
NX_DECLARE_EXCEPTION(ERegistrationError, Exception)
// A COM call failed; the text is the system's message for the result, or "OLE error" and
// the result in eight hex digits.
NX_DECLARE_EXCEPTION(EComError, Exception)
// The shell link object lacks one of the interfaces the shortcut is made through.
NX_DECLARE_EXCEPTION(EInterfaceNotSupported, Exception)

// The uninstall entry, under HKEY_LOCAL_MACHINE.
inline constexpr const char* kUninstallKey =
    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\mgatedesk";
// The product's name as the system shows it ("DisplayName"); converted at run time so that
// it reaches the ANSI interfaces in the system code page.
inline constexpr const wchar_t* kUninstallDisplayName = L"루멘타";

// Creates (or reuses) the uninstall key and writes "DisplayName" and "UninstallString" as
// REG_SZ in the ANSI code page; other values of an existing key stay.
//   installDir  FVendorDir + FProductDir, without a trailing separator.
// Throws ERegistrationError "Failed to create key <key>" or "Failed to set data for '<value>'".
void RegisterUninstall(const std::wstring& installDir);

// The command stored as "UninstallString" (in the ANSI code page): installDir +
// "/uninstall.exe", in double quotes when it holds a blank, so that the system does not cut it
// at the first blank.
std::string UninstallCommand(const std::wstring& installDir);

// Saves a shell link to installDir + "/" + mainExe, working directory installDir + "/", as
// DesktopFolder() + "\루멘타.lnk", replacing a shortcut of that name.
//   installDir  FVendorDir + FProductDir, without a trailing separator.
//   mainExe     FMainExe.
// Throws EComError when the shell link cannot be created and EInterfaceNotSupported when it
// lacks IShellLinkW or IPersistStream. The link's own calls and the save report nothing.
void CreateDesktopShortcut(const std::wstring& installDir, const std::wstring& mainExe);

// Steps after creating the link object, for any object: sets the path and working directory
// and saves it as DesktopFolder() + "\루멘타.lnk"; without any desktop folder nothing is saved
// (never into the root of the current drive). The link's bytes are written as every product
// file is (a fresh file renamed into place), so a link waiting under the shortcut's name is
// replaced, never written through; ERedirectedPath when the new file lands elsewhere. Does not
// take over the caller's reference. Throws EInterfaceNotSupported when the object lacks
// IShellLinkW or IPersistStream.
void SaveDesktopShortcut(IUnknown* link, const std::wstring& target, const std::wstring& workingDir);

// The desktop folder: the value "Desktop" of HKEY_CURRENT_USER
// Software\MicroSoft\Windows\CurrentVersion\Explorer\Shell Folders, a string or expandable
// string taken as stored (nothing is expanded). When that value is missing, empty or of
// another type, the desktop directory the shell reports; empty only when that fails too.
// Opens (or creates) the Explorer key with all access.
std::wstring DesktopFolder();

// Where the shortcut is saved: DesktopFolder() + "\루멘타.lnk"; empty without a desktop folder.
std::wstring DesktopShortcutPath();

// The text of a failed COM result: the system's message, or "OLE error %.8x".
std::string ComErrorText(long result);
