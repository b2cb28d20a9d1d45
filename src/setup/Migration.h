#pragma once
// Carries the settings files of the older machine-wide installation over into the
// per-user install folder, never replacing a file that is already there.
#include <array>
#include <functional>
#include <string>

class TInstallFolder;

// Where the older installation kept its files (forward slashes, trailing slash).
inline constexpr const char* kLegacySettingsDir = "C:/Program Files/Brindlewick/Marrowgate/";

// The settings files carried over, in the order they are checked; the index of a name is
// the digit shown in the status text after it was copied.
inline constexpr std::array<const char*, 6> kLegacySettingsFiles = {
    "MINI_S_C_NAME.txt", "pppad.txt", "pppadd.txt", "smsSendNum.txt", "festi_screen.ini", "fsle_screen.ini",
};

// Status texts of one pass: checking, and after a copy (followed by the file's index).
inline constexpr const wchar_t* kMigrationCheckingText = L"시스템 설정 체크중..";
inline constexpr const wchar_t* kMigrationCopiedText = L"설정 안정화..";

// Copies every settings file that exists in the legacy folder and is absent from the install
// folder. A folder named like a settings file counts as absent on either side.
//   installDir       the install folder, held open by the run; a copy is written into it as
//                    every product file is (never through a link), keeping the source's time
//                    of last writing and attributes as a file copy would.
//   setStatus        shows a text on the status line (lblMsg).
//   processMessages  pumps pending window messages; called first in every pass.
// Nothing here fails but a target that leads elsewhere (ERedirectedPath): a missing legacy
// folder or file, one over 1 MiB, an existing target and a failed copy are all silent. The
// status line keeps the text of the last pass.
void MigrateLegacySettings(const TInstallFolder& installDir,
                           const std::function<void(const std::wstring&)>& setStatus,
                           const std::function<void()>& processMessages);
