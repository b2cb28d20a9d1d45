#include "setup/Migration.h"

#include <windows.h>

namespace {
// True only for an existing file: a folder of that name counts as absent.
bool FileExists(const std::string& path) {
    DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}
} // namespace

void MigrateLegacySettings(const std::string& installDir,
                           const std::function<void(const std::wstring&)>& setStatus,
                           const std::function<void()>& processMessages) {
    auto show = [&](const std::wstring& text) {
        if (setStatus) setStatus(text);
    };
    for (size_t i = 0; i < kLegacySettingsFiles.size(); ++i) {
        // Let the window repaint and take input between files.
        if (processMessages) processMessages();
        show(kMigrationCheckingText);
        const std::string name = kLegacySettingsFiles[i];
        const std::string target = installDir + "\\" + name;
        if (FileExists(target)) continue;
        const std::string source = kLegacySettingsDir + name;
        if (!FileExists(source)) continue;
        // Refuses to overwrite; a failed copy is as silent as a missing source.
        CopyFileA(source.c_str(), target.c_str(), TRUE);
        show(kMigrationCopiedText + std::to_wstring(i));
    }
}
