#pragma once
// The installation run's file rules: the version file's text, the whole-file writes into the
// install folder and the text of a file that cannot be created.
#include <cstddef>
#include <cstdint>
#include <string>

#include "base/Exception.h"

// A product file could not be created or put in place; the text names the target file.
NX_DECLARE_EXCEPTION(EFCreateError, Exception)
// "Cannot create file "<path>". <system text>" (the error box adds the final full stop).
std::string CreateFileErrorText(const std::string& path, uint32_t systemError);

// The version file as it is saved: the text up to the first NUL, cut into lines at CR LF,
// a lone CR or a lone LF, every line followed by CR LF (an empty text stays empty).
std::string VersionFileText(const std::string& downloaded);

// Writes the whole of data as the file path, never leaving it half-written: the bytes go to
// path + ".part" first, which then replaces the target. A failure removes the part file and
// raises EFCreateError with CreateFileErrorText(path, the system's error).
void SaveFileReplacing(const std::string& path, const char* data, size_t size);

// An existing file (a folder of that name does not count).
bool IsExistingFile(const std::string& path);
