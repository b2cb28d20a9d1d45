#include "setup/SingleInstance.h"

#include <sddl.h>

namespace {
constexpr const wchar_t* kNamespaceAlias = L"Brindlewick.Marrowgate";

template <typename T> T KernelFunction(const char* name) {
    const HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    return kernel ? reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(kernel, name))) : nullptr;
}

// The private namespace of the administrators, made or opened; nullptr where the system has
// none or this process is no administrator's.
HANDLE AdministratorsNamespace() {
    using TCreateBoundary = HANDLE(WINAPI*)(LPCWSTR, ULONG);
    using TAddSid = BOOL(WINAPI*)(HANDLE*, PSID);
    using TDeleteBoundary = VOID(WINAPI*)(HANDLE);
    using TCreateNamespace = HANDLE(WINAPI*)(LPSECURITY_ATTRIBUTES, LPVOID, LPCWSTR);
    using TOpenNamespace = HANDLE(WINAPI*)(LPVOID, LPCWSTR);
    // All or none: Wine exports some of them as stubs that end the process.
    const auto createBoundary = KernelFunction<TCreateBoundary>("CreateBoundaryDescriptorW");
    const auto addSid = KernelFunction<TAddSid>("AddSIDToBoundaryDescriptor");
    const auto deleteBoundary = KernelFunction<TDeleteBoundary>("DeleteBoundaryDescriptor");
    const auto createNamespace = KernelFunction<TCreateNamespace>("CreatePrivateNamespaceW");
    const auto openNamespace = KernelFunction<TOpenNamespace>("OpenPrivateNamespaceW");
    if (!createBoundary || !addSid || !deleteBoundary || !createNamespace || !openNamespace) return nullptr;
    HANDLE boundary = createBoundary(kNamespaceAlias, 0);
    if (!boundary) return nullptr;
    BYTE administrators[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof administrators;
    HANDLE space = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &size) &&
        addSid(&boundary, administrators) &&
        ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:(A;;GA;;;BA)(A;;GA;;;SY)", SDDL_REVISION_1,
                                                             &descriptor, nullptr)) {
        SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
        space = createNamespace(&attributes, boundary, kNamespaceAlias);
        if (!space && GetLastError() == ERROR_ALREADY_EXISTS)
            space = openNamespace(boundary, kNamespaceAlias);
        LocalFree(descriptor);
    }
    deleteBoundary(boundary);
    return space;
}
} // namespace

TSingleInstance::TSingleInstance(const std::wstring& name) {
    FNamespace = AdministratorsNamespace();
    const std::wstring full =
        (FNamespace ? std::wstring(kNamespaceAlias) : std::wstring(L"Global")) + L"\\" + name;
    FWhere =
        FNamespace
            ? "One installer at a time: a namespace only administrators can make"
            : "One installer at a time: the global namespace (no administrators' private namespace here)";
    FMutex = CreateMutexW(nullptr, FALSE, full.c_str());
    const DWORD error = GetLastError();
    // A copy running as another user may have made the mutex with rights that keep us out.
    FAnother = error == ERROR_ALREADY_EXISTS || (!FMutex && error == ERROR_ACCESS_DENIED);
}

TSingleInstance::~TSingleInstance() {
    if (FMutex) CloseHandle(FMutex);
    using TCloseNamespace = BOOLEAN(WINAPI*)(HANDLE, ULONG);
    if (FNamespace)
        if (const auto closeNamespace = KernelFunction<TCloseNamespace>("ClosePrivateNamespace"))
            closeNamespace(FNamespace, 0);
}
