#include "setup/ProcessHardening.h"

#include <windows.h>

#include "base/SystemError.h"
#include "transport/NxSystemLibrary.h"

namespace {
// ProcessRedirectionTrustPolicy and its EnforceRedirectionTrust bit (Windows 10 22H2, 11).
constexpr int kRedirectionTrustPolicy = 16;
constexpr DWORD kEnforceRedirectionTrust = 0x1;

std::vector<std::string>& Notes() {
    static std::vector<std::string> notes;
    return notes;
}

template <typename T> T KernelFunction(const char* name) {
    const HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    return kernel ? reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(kernel, name))) : nullptr;
}

std::string EnforceRedirectionTrust() {
    using TSetPolicy = BOOL(WINAPI*)(int, PVOID, SIZE_T);
    using TGetPolicy = BOOL(WINAPI*)(HANDLE, int, PVOID, SIZE_T);
    const auto set = KernelFunction<TSetPolicy>("SetProcessMitigationPolicy");
    const auto get = KernelFunction<TGetPolicy>("GetProcessMitigationPolicy");
    if (!set) return "Redirection trust policy: not available (no SetProcessMitigationPolicy)";
    DWORD flags = kEnforceRedirectionTrust;
    if (!set(kRedirectionTrustPolicy, &flags, sizeof flags))
        return "Redirection trust policy: not available (" + SysErrorMessage(GetLastError()) + ")";
    // Only the system's own answer tells whether it took.
    DWORD now = 0;
    if (get && get(GetCurrentProcess(), kRedirectionTrustPolicy, &now, sizeof now) &&
        (now & kEnforceRedirectionTrust))
        return "Redirection trust policy: enforced";
    return "Redirection trust policy: accepted, but the system does not report it in force";
}
} // namespace

void HardenProcess() {
    Notes().push_back(NxRestrictLibrarySearch());
    Notes().push_back(EnforceRedirectionTrust());
}

void AddHardeningNote(std::string line) {
    Notes().push_back(std::move(line));
}

const std::vector<std::string>& HardeningNotes() {
    return Notes();
}
