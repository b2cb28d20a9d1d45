#include "setup/Migration.h"

#include <windows.h>

#include "setup/CodePage.h"
#include "setup/InstallFiles.h"

namespace {
// Settings files are a few lines each; anything larger is no settings file of the product.
constexpr size_t kMaxSettingsFile = 1 << 20;
} // namespace

void MigrateLegacySettings(const TInstallFolder& installDir,
                           const std::function<void(const std::wstring&)>& setStatus,
                           const std::function<void()>& processMessages) {
    auto show = [&](const std::wstring& text) {
        if (setStatus) setStatus(text);
    };
    for (size_t i = 0; i < kLegacySettingsFiles.size(); ++i) {
        // Let the window repaint and take input between files.
        if (processMessages) processMessages();
        show(kMigrationCheckingText);
        const std::wstring name = AnsiToWide(kLegacySettingsFiles[i]);
        if (installDir.HasFile(name)) continue;
        const std::wstring source = AnsiToWide(kLegacySettingsDir) + name;
        if (!IsExistingFile(source)) continue;
        // Never replaces; a failed copy is as silent as a missing source.
        const HANDLE file =
            CreateFileW(source.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        BY_HANDLE_FILE_INFORMATION stamp{};
        const bool stamped = file != INVALID_HANDLE_VALUE && GetFileInformationByHandle(file, &stamp);
        if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
        if (const auto data = ReadSmallFile(source, kMaxSettingsFile)) {
            try {
                installDir.SaveFile(name, data->data(), data->size(), true, stamped ? &stamp : nullptr);
            } catch (const EFCreateError&) {
            }
        }
        show(kMigrationCopiedText + std::to_wstring(i));
    }
}
