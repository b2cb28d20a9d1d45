// End-to-end walks: Setup.exe runs as a process of its own and is steered through its window.
#include <gtest/gtest.h>

#include <windows.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <stdexcept>
#include <tuple>

#include "setup/SetupMain.h"
#include "setup/SetupVersion.h"
#include "setup/driver/SetupDriver.h"

namespace fs = std::filesystem;

namespace {
constexpr DWORD kExitTime = 10000;

// Whether done() comes true within the time, asked every 50 ms.
template <class TDone> bool Within(DWORD milliseconds, TDone done) {
    for (DWORD waited = 0;; waited += 50) {
        if (done()) return true;
        if (waited >= milliseconds) return false;
        Sleep(50);
    }
}

// A change to the stand-in's files, tried again for a bounded time: a stand-in that has just
// noted its start may still be running, and Windows neither replaces nor removes a running
// program's file.
template <class TOperation> bool Retried(TOperation operation) {
    return Within(kExitTime, [&] {
        std::error_code error;
        operation(error);
        return !error;
    });
}

// The install folder as the wizard computes it, with our stand-in as the installed program.
class TInstalledStandIn {
public:
    TInstalledStandIn() {
        const fs::path folder = fs::path(LocalAppDataPath()) / "Brindlewick" / "Marrowgate";
        fs::create_directories(folder);
        FProgram = folder / "mrwgt.exe";
        FMarker = FProgram;
        FMarker += ".ran";
        const fs::path standIn = fs::path(WindowsPath(NX_STANDIN_EXE));
        if (!Retried([&](std::error_code& e) {
                fs::copy_file(standIn, FProgram, fs::copy_options::overwrite_existing, e);
            }) ||
            !Retried([&](std::error_code& e) { fs::remove(FMarker, e); }))
            throw std::runtime_error("the stand-in at " + FProgram.string() + " stays in use");
    }
    ~TInstalledStandIn() {
        Retried([&](std::error_code& e) { fs::remove(FProgram, e); });
        Retried([&](std::error_code& e) { fs::remove(FMarker, e); });
    }
    // Whether the stand-in noted a start within the time.
    bool Ran(DWORD milliseconds) const {
        return Within(milliseconds, [&] { return fs::exists(FMarker); });
    }

private:
    fs::path FProgram, FMarker;
};

using TButtons = std::vector<std::wstring>;
} // namespace

TEST(SetupWalk, LicenceFirstThenComponentsAndBackUnderTheComponentHeader) {
    TRunningSetup setup;
    ASSERT_TRUE(setup.Driver) << "no Setup window";
    EXPECT_EQ(setup->ShownButtons(), (TButtons{L"동의함", L"취소"}));
    EXPECT_EQ(setup->Text(TCtl::Label1), L"라이센스계약동의");
    EXPECT_TRUE(setup->IsShown(TCtl::Memo1));
    for (TCtl hidden : {TCtl::Panel4, TCtl::Panel5, TCtl::Panel6, TCtl::Panel7})
        EXPECT_FALSE(IsWindowVisible(setup->Control(hidden)));
    EXPECT_EQ(setup->ProgressPosition(), 0);

    ASSERT_TRUE(setup->Click(TCtl::Button1));
    EXPECT_EQ(setup->ShownButtons(), (TButtons{L"< 이전", L"설치", L"취소"}));
    EXPECT_TRUE(setup->IsShown(TCtl::CheckBox2));
    EXPECT_EQ(setup->Text(TCtl::Label1), L"구성요소 선택");

    ASSERT_TRUE(setup->Click(TCtl::Button5));
    EXPECT_EQ(setup->ShownButtons(), (TButtons{L"동의함", L"취소"}));
    EXPECT_TRUE(setup->IsShown(TCtl::Memo1));
    EXPECT_EQ(setup->Text(TCtl::Label1), L"구성요소 선택");
    EXPECT_EQ(setup->Text(TCtl::Label2), L"설치하고자 하는 구성요소를 선택해주세요.");

    // "설치" starts the real run, which needs the distribution server: the installation
    // page is walked by the end-to-end runs (tests/e2e/run.sh) in their own network.
    setup->RequestClose();
    EXPECT_EQ(setup.Process.WaitForExit(kExitTime), 0u);
}

TEST(SetupWalk, CancelOnEveryPageClosesWithoutStartingTheProduct) {
    const struct {
        const char* Page;
        std::vector<TCtl> Steps;
        TCtl Cancel;
    } cases[] = {
        {"licence", {}, TCtl::Button2},
        {"component", {TCtl::Button1}, TCtl::Button4},
        {"licence after going back", {TCtl::Button1, TCtl::Button5}, TCtl::Button2},
    };
    TInstalledStandIn product;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Page);
        TRunningSetup setup;
        ASSERT_TRUE(setup.Driver) << "no Setup window";
        for (TCtl step : c.Steps)
            ASSERT_TRUE(setup->Click(step));
        ASSERT_TRUE(setup->IsShown(c.Cancel));
        EXPECT_EQ(setup->Text(c.Cancel), L"취소");
        setup->Click(c.Cancel);
        EXPECT_EQ(setup.Process.WaitForExit(kExitTime), 0u);
    }
    EXPECT_FALSE(product.Ran(1000));
}

TEST(SetupWalk, ClosingAfterTheRunFinishedStartsTheInstalledProgram) {
    // Only the end of an installation run turns "취소" into "완료"; here the driver does it.
    for (bool byCloseBox : {false, true}) {
        SCOPED_TRACE(byCloseBox ? "close box" : "완료 button");
        TInstalledStandIn product;
        TRunningSetup setup;
        ASSERT_TRUE(setup.Driver) << "no Setup window";
        ASSERT_TRUE(setup->Click(TCtl::Button1));
        ASSERT_TRUE(setup->SetText(TCtl::Button4, L"완료"));
        if (byCloseBox)
            setup->RequestClose();
        else
            setup->Click(TCtl::Button4);
        EXPECT_EQ(setup.Process.WaitForExit(kExitTime), 0u);
        EXPECT_TRUE(product.Ran(kExitTime));
    }
}

TEST(SetupWalk, ProgramCarriesItsIconManifestAndVersion) {
    const HMODULE module =
        LoadLibraryExW(WindowsPath(NX_SETUP_EXE).c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_TRUE(module);
    EXPECT_TRUE(FindResourceW(module, L"MAINICON", MAKEINTRESOURCEW(14)));                   // RT_GROUP_ICON
    const HRSRC manifest = FindResourceW(module, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24)); // RT_MANIFEST
    ASSERT_TRUE(manifest);
    const std::string text(static_cast<const char*>(LockResource(LoadResource(module, manifest))),
                           SizeofResource(module, manifest));
    EXPECT_NE(text.find("level=\"requireAdministrator\""), std::string::npos);
    EXPECT_EQ(text.find("Common-Controls"), std::string::npos) << "the controls stay unthemed";
    // The icon holds a picture for each size a display scale up to 200 % asks for.
    const HRSRC group = FindResourceW(module, L"MAINICON", MAKEINTRESOURCEW(14));
    ASSERT_TRUE(group);
    const auto* directory = static_cast<const BYTE*>(LockResource(LoadResource(module, group)));
    std::set<int> sizes;
    for (int i = 0, count = directory[4] | directory[5] << 8; i < count; ++i)
        sizes.insert(directory[6 + 14 * i]); // GRPICONDIRENTRY: bWidth first, 14 bytes each
    EXPECT_EQ(sizes, (std::set<int>{16, 20, 24, 32, 40, 48, 64}));
    FreeLibrary(module);

    // The manifest as the system's loader reads it: DPI awareness and the supported systems.
    ACTCTXW request{};
    request.cbSize = sizeof(request);
    request.dwFlags = ACTCTX_FLAG_RESOURCE_NAME_VALID;
    const std::wstring program = WindowsPath(NX_SETUP_EXE);
    request.lpSource = program.c_str();
    request.lpResourceName = MAKEINTRESOURCEW(1);
    const HANDLE context = CreateActCtxW(&request);
    ASSERT_NE(context, INVALID_HANDLE_VALUE);
    using TQuerySettings =
        BOOL(WINAPI*)(DWORD, HANDLE, const wchar_t*, const wchar_t*, wchar_t*, SIZE_T, SIZE_T*);
    const auto querySettings = reinterpret_cast<TQuerySettings>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "QueryActCtxSettingsW")));
    ASSERT_TRUE(querySettings);
    for (auto [space, name, expected] :
         {std::tuple{L"http://schemas.microsoft.com/SMI/2016/WindowsSettings", L"dpiAwareness",
                     L"PerMonitorV2"},
          std::tuple{L"http://schemas.microsoft.com/SMI/2005/WindowsSettings", L"dpiAware", L"true"}}) {
        wchar_t value[64] = {};
        SIZE_T length = 0;
        EXPECT_TRUE(querySettings(0, context, space, name, value, 64, &length)) << name;
        EXPECT_STREQ(value, expected);
    }
    SIZE_T needed = 0;
    QueryActCtxW(0, context, nullptr, CompatibilityInformationInActivationContext, nullptr, 0, &needed);
    std::vector<char> compatibility(needed);
    ASSERT_TRUE(QueryActCtxW(0, context, nullptr, CompatibilityInformationInActivationContext,
                             compatibility.data(), compatibility.size(), &needed));
    // The element layout differs between SDK versions: the systems are looked for by their ids.
    EXPECT_EQ(*reinterpret_cast<const DWORD*>(compatibility.data()), 4u);
    const std::string elements(compatibility.begin(), compatibility.end());
    const struct {
        const char* System;
        GUID Id;
    } systems[] = {
        {"Windows 7", {0x35138b9a, 0x5d96, 0x4fbd, {0x8e, 0x2d, 0xa2, 0x44, 0x02, 0x25, 0xf9, 0x3a}}},
        {"Windows 8", {0x4a2f28e3, 0x53b9, 0x4441, {0xba, 0x9c, 0xd6, 0x9d, 0x4a, 0x4a, 0x6e, 0x38}}},
        {"Windows 8.1", {0x1f676c76, 0x80e1, 0x4239, {0x95, 0xbb, 0x83, 0xd0, 0xf6, 0xd0, 0xda, 0x78}}},
        {"Windows 10 and 11", {0x8e0f7a12, 0xbfb3, 0x4fe8, {0xb9, 0xa5, 0x48, 0xfd, 0x50, 0xa1, 0x5a, 0x9a}}},
    };
    for (const auto& system : systems)
        EXPECT_NE(elements.find(std::string(reinterpret_cast<const char*>(&system.Id), sizeof(GUID))),
                  std::string::npos)
            << system.System;
    ReleaseActCtx(context);

    const std::wstring path = WindowsPath(NX_SETUP_EXE);
    DWORD ignored = 0;
    std::vector<char> version(GetFileVersionInfoSizeW(path.c_str(), &ignored));
    ASSERT_FALSE(version.empty());
    ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, static_cast<DWORD>(version.size()), version.data()));
    for (auto [key, expected] :
         {std::pair{L"CompanyName", L"Brindlewick"}, std::pair{L"ProductName", L"Marrowgate"},
          // The installation log names the same version.
          std::pair{L"FileVersion", L"" NX_SETUP_VERSION_TEXT}}) {
        wchar_t* value = nullptr;
        UINT length = 0;
        const std::wstring query = std::wstring(L"\\StringFileInfo\\041204B0\\") + key;
        ASSERT_TRUE(VerQueryValueW(version.data(), query.c_str(), reinterpret_cast<void**>(&value), &length))
            << key;
        EXPECT_STREQ(value, expected);
    }
}
