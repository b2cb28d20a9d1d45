#pragma once
// The installation run's rules that do not need the window: the version file's text, the
// whole-file writes into the install folder and the messages the run shows.
#include <cstddef>
#include <cstdint>
#include <string>

#include "base/Exception.h"

// A product file could not be created or put in place; the text names the target file.
NX_DECLARE_EXCEPTION(EFCreateError, Exception)
// The user closed the window during the run; nothing more is done.
NX_DECLARE_EXCEPTION(EInstallCancelled, Exception)

// Shown instead of the completion page when the main program is not in the install folder
// at the end of the run (every download failed: the server is down, the host is wrong).
inline constexpr const wchar_t* kDownloadFailedText =
    L"프로그램 파일을 내려받지 못했습니다. 네트워크 연결을 확인하신 후 다시 설치해 주세요.";
// The status line left with that message.
inline constexpr const wchar_t* kInstallFailedStatus = L"설치를 완료하지 못했습니다.";
// The system does not tell where the local application-data folder is: nothing is written.
inline constexpr const wchar_t* kNoLocalAppDataText =
    L"사용자 프로그램 데이터 폴더를 찾을 수 없어 설치할 수 없습니다.";

// "Cannot create file "<path>". <system text>" (the error box adds the final full stop).
std::string CreateFileErrorText(const std::string& path, uint32_t systemError);

// The version file as it is saved: the text up to the first NUL, cut into lines at CR LF,
// a lone CR or a lone LF, every line followed by CR LF (an empty text stays empty).
std::string VersionFileText(const std::string& downloaded);

// Writes the whole of data as the file path, never leaving it half-written: the bytes go to
// path + ".part" first, which then replaces the target. A failure removes the part file and
// raises EFCreateError with CreateFileErrorText(path, the system's error).
void SaveFileReplacing(const std::string& path, const char* data, size_t size);

// The install folder's file of the main program exists (a folder of that name does not count).
bool IsExistingFile(const std::string& path);
