#include <gtest/gtest.h>

#include <windows.h>

#include <commctrl.h>

#include <cstdlib>
#include <set>
#include <stdexcept>

#include "setup/Application.h"
#include "setup/DisplayScale.h"
#include "setup/LicenceText.h"
#include "setup/SetupBaseURL.h"
#include "setup/SetupMain.h"

namespace {
RECT BoundsInParent(HWND control) {
    RECT r;
    GetWindowRect(control, &r);
    MapWindowPoints(nullptr, GetParent(control), reinterpret_cast<POINT*>(&r), 2);
    return r;
}

LOGFONTW FontOf(HWND window) {
    LOGFONTW font{};
    GetObjectW(reinterpret_cast<HFONT>(SendMessageW(window, WM_GETFONT, 0, 0)), sizeof(font), &font);
    return font;
}

// The extent of a text in a control's own font.
SIZE TextExtent(HWND control, const std::wstring& text) {
    HDC dc = GetDC(control);
    const HGDIOBJ previous =
        SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(control, WM_GETFONT, 0, 0)));
    SIZE extent{};
    GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &extent);
    SelectObject(dc, previous);
    ReleaseDC(control, dc);
    return extent;
}

// The DPI the display scale runs (tests/setup/run-dpi.sh) set up for this process, 0 when
// none was: the window must then really have got it, or a run would pass at 96 unnoticed.
int ExpectedDpi() {
    const char* value = std::getenv("NX_EXPECT_DPI");
    return value ? std::atoi(value) : 0;
}

// The window laid out for the DPI: client area, every control's place, the fonts, the
// picture, and no text wider than the design scaled or cut off by its container.
void ExpectLaidOutFor(const TfrmSetupMain& form, int dpi) {
    SCOPED_TRACE(testing::Message() << dpi << " DPI");
    EXPECT_EQ(form.Dpi(), dpi);
    RECT client;
    GetClientRect(form.Handle(), &client);
    EXPECT_EQ(client.right, ScaleToDpi(482, dpi));
    EXPECT_EQ(client.bottom, ScaleToDpi(260, dpi));
    EXPECT_EQ(FontOf(form.Handle()).lfHeight, ScaleToDpi(-11, dpi));
    const auto bounds = DockedDesignBounds(dpi);
    for (const TControlDesign& row : kSetupMainDesign) {
        SCOPED_TRACE(testing::Message() << "control " << static_cast<int>(row.Id));
        const HWND control = form.Control(row.Id);
        const RECT r = BoundsInParent(control);
        const RECT& want = bounds[static_cast<size_t>(row.Id)];
        EXPECT_EQ(r.left, want.left);
        EXPECT_EQ(r.top, want.top);
        if (row.Font != TFont::Window) {
            EXPECT_EQ(FontOf(control).lfHeight, ScaleToDpi(-12, dpi));
        }
        const std::wstring text = form.Caption(row.Id);
        if (row.Kind == TKind::Label) {
            const SIZE extent = TextExtent(control, text);
            EXPECT_EQ(r.right - r.left, extent.cx) << "sized to its text";
            EXPECT_LE(extent.cx, ScaleToDpi(row.Width, dpi)) << testing::PrintToString(text);
            RECT parent;
            GetClientRect(GetParent(control), &parent);
            EXPECT_LE(r.right, parent.right) << "cut off by its container";
            EXPECT_LE(r.bottom, parent.bottom) << "cut off by its container";
            continue;
        }
        EXPECT_EQ(r.right, want.right);
        EXPECT_EQ(r.bottom, want.bottom);
        if (row.Kind == TKind::Button || row.Kind == TKind::CheckBox || row.Kind == TKind::GroupBox) {
            EXPECT_LE(TextExtent(control, text).cx, r.right - r.left) << testing::PrintToString(text);
        }
    }
    // The licence lines still fit the memo: none wraps. Its scroll bar has the width of the
    // DPI the system runs at; Windows (per-monitor v2) scales it with the window when the
    // window moves to another monitor, a DPI change sent by a test does not.
    if (dpi == WindowDpi(form.Handle())) {
        const HWND memo = form.Control(TCtl::Memo1);
        RECT format;
        SendMessageW(memo, EM_GETRECT, 0, reinterpret_cast<LPARAM>(&format));
        for (const wchar_t* line : kLicenceLines)
            EXPECT_LE(TextExtent(memo, line).cx, format.right - format.left)
                << testing::PrintToString(std::wstring(line));
        EXPECT_EQ(SendMessageW(memo, EM_GETLINECOUNT, 0, 0), 236);
    }
    BITMAP picture{};
    GetObjectW(
        reinterpret_cast<HBITMAP>(SendMessageW(form.Control(TCtl::Image1), STM_GETIMAGE, IMAGE_BITMAP, 0)),
        sizeof(picture), &picture);
    EXPECT_EQ(picture.bmWidth, ScaleToDpi(32, dpi));
    EXPECT_EQ(picture.bmHeight, ScaleToDpi(32, dpi));
}

// A window of its own for each test, shown like the program shows it; nothing it does
// reaches the system: no process is stopped and nothing is started.
class SetupMainTest : public ::testing::Test {
protected:
    void SetUp() override {
        Application().Initialize();
        Form = std::make_unique<TfrmSetupMain>();
        Form->SetStopper([this](const std::wstring& program) { Stopped.push_back(program); });
        Form->SetLauncher([this](HWND owner, const std::wstring& path) {
            EXPECT_EQ(owner, Form->Handle());
            Launched.push_back(path);
        });
        Form->SetInstallation([this] { ++Installations; });
        Form->Show();
        Application().ProcessMessages();
    }
    void TearDown() override { Form.reset(); }

    bool Shown(TCtl id) const { return IsShownOnTop(Form->Control(id)); }
    std::set<TCtl> ShownButtons() const {
        std::set<TCtl> shown;
        for (TCtl id : {TCtl::Button1, TCtl::Button2, TCtl::Button3, TCtl::Button4, TCtl::Button5})
            if (Shown(id)) shown.insert(id);
        return shown;
    }
    void PressKey(WPARAM key) {
        MSG msg{GetFocus(), WM_KEYDOWN, key, 0, 0, {}};
        EXPECT_TRUE(Form->DialogKey(msg));
    }

    std::unique_ptr<TfrmSetupMain> Form;
    std::vector<std::wstring> Stopped, Launched;
    int Installations = 0;
};
} // namespace

TEST(SetupMainDesign, RowsAreInIdentifierOrderAndDockingGivesTheStoredBounds) {
    const auto docked = DockedDesignBounds();
    for (size_t i = 0; i < kSetupMainDesign.size(); ++i) {
        const TControlDesign& row = kSetupMainDesign[i];
        ASSERT_EQ(static_cast<size_t>(row.Id), i) << "row " << i;
        if (row.Parent != TCtl::Window) {
            EXPECT_LT(static_cast<size_t>(row.Parent), i) << "parents come first";
        }
        const RECT stored{row.Left, row.Top, row.Left + row.Width, row.Top + row.Height};
        EXPECT_TRUE(EqualRect(&docked[i], &stored))
            << "row " << i << ": docked " << docked[i].left << "," << docked[i].top << " "
            << docked[i].right - docked[i].left << "x" << docked[i].bottom - docked[i].top;
    }
}

TEST(SetupMainDesign, ScalesToTheNearestPixelAndKeepsPanelsTiled) {
    const struct {
        int Value, Dpi, Scaled;
    } lengths[] = {
        // Halves go away from zero, for the negative font heights as well.
        {482, 120, 603}, {1, 144, 2}, {-11, 144, -17}, {-11, 120, -14}, {260, 192, 520},
    };
    for (const auto& l : lengths)
        EXPECT_EQ(ScaleToDpi(l.Value, l.Dpi), l.Scaled) << l.Value << " at " << l.Dpi;

    for (int dpi : {96, 108, 120, 144, 168, 192, 240}) {
        SCOPED_TRACE(testing::Message() << dpi << " DPI");
        const auto b = DockedDesignBounds(dpi);
        auto at = [&](TCtl id) -> const RECT& { return b[static_cast<size_t>(id)]; };
        // Header, body and button bar tile the client area without a gap.
        EXPECT_EQ(at(TCtl::Panel1).top, 0);
        EXPECT_EQ(at(TCtl::Panel1).bottom, at(TCtl::Panel2).top);
        EXPECT_EQ(at(TCtl::Panel2).bottom, at(TCtl::Panel3).top);
        EXPECT_EQ(at(TCtl::Panel3).bottom, ScaleToDpi(260, dpi));
        for (TCtl id : {TCtl::Panel1, TCtl::Panel2, TCtl::Panel3})
            EXPECT_EQ(at(id).right, ScaleToDpi(482, dpi));
        // Each page panel fills its container inside the one-pixel bevel, or all of it.
        const struct {
            TCtl Page, Container;
            int Inset;
        } pages[] = {{TCtl::Panel5, TCtl::Panel2, 1},
                     {TCtl::Panel6, TCtl::Panel5, 0},
                     {TCtl::Panel7, TCtl::Panel6, 0},
                     {TCtl::Panel4, TCtl::Panel3, 1}};
        for (const auto& p : pages) {
            const RECT outer = at(p.Container), inner = at(p.Page);
            EXPECT_EQ(inner.left, p.Inset);
            EXPECT_EQ(inner.top, p.Inset);
            EXPECT_EQ(inner.right, outer.right - outer.left - p.Inset);
            EXPECT_EQ(inner.bottom, outer.bottom - outer.top - p.Inset);
        }
    }
}

TEST_F(SetupMainTest, LaidOutForTheDisplayScale) {
    if (ExpectedDpi()) {
        ASSERT_EQ(Form->Dpi(), ExpectedDpi()) << "the window did not get the display's DPI";
    }
    ExpectLaidOutFor(*Form, Form->Dpi());
}

TEST_F(SetupMainTest, FollowsADpiChangeAndComesBack) {
    const int own = Form->Dpi();
    Form->Button1Click(); // on the component page, with the header's new texts
    for (int dpi : {120, 144, 192, 96, own}) {
        // As the system suggests it: a place on the new monitor and a size it worked out.
        RECT suggested{40 + dpi, 30 + dpi, 40 + dpi + 500, 30 + dpi + 300};
        SendMessageW(Form->Handle(), kWmDpiChanged, MAKEWPARAM(dpi, dpi),
                     reinterpret_cast<LPARAM>(&suggested));
        RECT frame;
        GetWindowRect(Form->Handle(), &frame);
        EXPECT_EQ(frame.left, suggested.left);
        EXPECT_EQ(frame.top, suggested.top);
        ExpectLaidOutFor(*Form, dpi);
        EXPECT_EQ(ShownButtons(), (std::set<TCtl>{TCtl::Button3, TCtl::Button4, TCtl::Button5}));
    }
    Form->Button5Click();
    EXPECT_TRUE(Shown(TCtl::Memo1));
    EXPECT_EQ(ShownButtons(), (std::set<TCtl>{TCtl::Button1, TCtl::Button2}));
}

TEST_F(SetupMainTest, WindowIsAFixedDialogFrameOf482By260InTheCentre) {
    const HWND window = Form->Handle();
    RECT client;
    GetClientRect(window, &client);
    EXPECT_EQ(client.right, 482);
    EXPECT_EQ(client.bottom, 260);
    const LONG style = GetWindowLongW(window, GWL_STYLE);
    EXPECT_TRUE(style & WS_SYSMENU);
    EXPECT_FALSE(style & (WS_THICKFRAME | WS_MINIMIZEBOX | WS_MAXIMIZEBOX));
    EXPECT_TRUE(GetWindowLongW(window, GWL_EXSTYLE) & WS_EX_DLGMODALFRAME);
    RECT frame;
    GetWindowRect(window, &frame);
    EXPECT_NEAR((frame.left + frame.right) / 2, GetSystemMetrics(SM_CXSCREEN) / 2, 1);
    EXPECT_NEAR((frame.top + frame.bottom) / 2, GetSystemMetrics(SM_CYSCREEN) / 2, 1);
    wchar_t caption[16];
    GetWindowTextW(window, caption, 16);
    EXPECT_STREQ(caption, L"Setup");
    EXPECT_EQ(GetClassLongPtrW(window, GCLP_HBRBACKGROUND), static_cast<ULONG_PTR>(COLOR_BTNFACE + 1));
    const LOGFONTW font = FontOf(window);
    EXPECT_STREQ(font.lfFaceName, L"굴림체");
    EXPECT_EQ(font.lfHeight, -11);
}

TEST_F(SetupMainTest, ControlsFollowTheDesign) {
    for (const TControlDesign& row : kSetupMainDesign) {
        SCOPED_TRACE(testing::Message() << "control " << static_cast<int>(row.Id));
        const HWND control = Form->Control(row.Id);
        ASSERT_TRUE(control);
        EXPECT_EQ(GetParent(control),
                  row.Parent == TCtl::Window ? Form->Handle() : Form->Control(row.Parent));
        EXPECT_EQ(GetDlgCtrlID(control), ControlId(row.Id));
        const RECT r = BoundsInParent(control);
        EXPECT_EQ(r.left, row.Left);
        EXPECT_EQ(r.top, row.Top);
        if (row.Kind == TKind::Label) {
            // Sized to its text in its own font, whatever font the system substitutes.
            HDC dc = GetDC(control);
            SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(control, WM_GETFONT, 0, 0)));
            SIZE extent;
            const std::wstring text = row.Caption;
            GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &extent);
            TEXTMETRICW metrics;
            GetTextMetricsW(dc, &metrics);
            ReleaseDC(control, dc);
            EXPECT_EQ(r.right - r.left, extent.cx);
            EXPECT_EQ(r.bottom - r.top, metrics.tmHeight);
        } else {
            EXPECT_EQ(r.right - r.left, row.Width);
            EXPECT_EQ(r.bottom - r.top, row.Height);
        }
        if (row.Caption && row.Kind != TKind::Image) {
            EXPECT_EQ(Form->Caption(row.Id), row.Caption);
        }
        if (row.Font != TFont::Window) {
            const LOGFONTW font = FontOf(control);
            EXPECT_STREQ(font.lfFaceName, L"굴림체");
            EXPECT_EQ(font.lfHeight, -12);
            EXPECT_EQ(font.lfWeight, row.Font == TFont::Bold12 ? FW_BOLD : FW_NORMAL);
        }
    }
}

TEST_F(SetupMainTest, ControlsStartAsStored) {
    const HWND memo = Form->Control(TCtl::Memo1);
    const LONG memoStyle = GetWindowLongW(memo, GWL_STYLE);
    EXPECT_TRUE(memoStyle & ES_READONLY);
    EXPECT_TRUE(memoStyle & WS_VSCROLL);
    EXPECT_FALSE(memoStyle & (WS_HSCROLL | ES_AUTOHSCROLL));
    EXPECT_EQ(Form->Caption(TCtl::Memo1), LicenceText());
    // Each licence line fits the box: no line wraps.
    RECT format;
    SendMessageW(memo, EM_GETRECT, 0, reinterpret_cast<LPARAM>(&format));
    HDC dc = GetDC(memo);
    SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(memo, WM_GETFONT, 0, 0)));
    for (const wchar_t* line : kLicenceLines) {
        SIZE extent;
        GetTextExtentPoint32W(dc, line, lstrlenW(line), &extent);
        EXPECT_LE(extent.cx, format.right - format.left) << testing::PrintToString(std::wstring(line));
    }
    ReleaseDC(memo, dc);
    EXPECT_EQ(SendMessageW(memo, EM_GETLINECOUNT, 0, 0), 236);

    const HWND check = Form->Control(TCtl::CheckBox2);
    EXPECT_EQ(SendMessageW(check, BM_GETCHECK, 0, 0), BST_CHECKED);
    EXPECT_FALSE(IsWindowEnabled(check));
    const HWND bar = Form->Control(TCtl::ProgressBar1);
    EXPECT_EQ(SendMessageW(bar, PBM_GETRANGE, TRUE, 0), 0);
    EXPECT_EQ(SendMessageW(bar, PBM_GETRANGE, FALSE, 0), 100);
    EXPECT_EQ(SendMessageW(bar, PBM_GETPOS, 0, 0), 0);

    BITMAP picture{};
    const auto bitmap =
        reinterpret_cast<HBITMAP>(SendMessageW(Form->Control(TCtl::Image1), STM_GETIMAGE, IMAGE_BITMAP, 0));
    ASSERT_TRUE(bitmap);
    GetObjectW(bitmap, sizeof(picture), &picture);
    EXPECT_EQ(picture.bmWidth, 32);
    EXPECT_EQ(picture.bmHeight, 32);
}

TEST_F(SetupMainTest, FieldsNameTheServerAndTheInstallFolder) {
    EXPECT_EQ(Form->BaseURL(), std::string("http://") + NX_DISTRIBUTION_HOST + "/");
    EXPECT_EQ(Form->BaseURL(), kSetupBaseURL) << "the default build's base URL";
    const std::wstring appData = LocalAppDataPath();
    ASSERT_FALSE(appData.empty());
    EXPECT_NE(appData.back(), L'\\');
    EXPECT_EQ(Form->VendorDir(), appData + L"\\Brindlewick\\");
    EXPECT_EQ(Form->ProductDir(), L"Marrowgate");
    EXPECT_EQ(Form->MainExe(), L"mrwgt.exe");
    EXPECT_EQ(frmSetupMain, Form.get());
}

TEST_F(SetupMainTest, PagesSwitchAsTheButtonsSay) {
    // Licence page.
    EXPECT_EQ(ShownButtons(), (std::set<TCtl>{TCtl::Button1, TCtl::Button2}));
    for (TCtl panel : {TCtl::Panel4, TCtl::Panel5, TCtl::Panel6, TCtl::Panel7})
        EXPECT_FALSE(IsWindowVisible(Form->Control(panel)));
    EXPECT_TRUE(Shown(TCtl::Memo1));

    Form->Button1Click();
    EXPECT_EQ(Stopped,
              std::vector<std::wstring>{LocalAppDataPath() + L"\\Brindlewick\\Marrowgate\\mrwgt.exe"});
    EXPECT_EQ(ShownButtons(), (std::set<TCtl>{TCtl::Button3, TCtl::Button4, TCtl::Button5}));
    EXPECT_TRUE(Shown(TCtl::CheckBox2));
    EXPECT_FALSE(Shown(TCtl::Memo1));
    EXPECT_EQ(Form->Caption(TCtl::Label1), L"구성요소 선택");
    EXPECT_EQ(Form->Caption(TCtl::Label2), L"설치하고자 하는 구성요소를 선택해주세요.");

    // Back: the licence again, under the component page's header.
    Form->Button5Click();
    EXPECT_EQ(ShownButtons(), (std::set<TCtl>{TCtl::Button1, TCtl::Button2}));
    EXPECT_TRUE(Shown(TCtl::Memo1));
    EXPECT_EQ(Form->Caption(TCtl::Label1), L"구성요소 선택");

    // Agreeing again stops running copies again; an error there does not keep the page.
    Form->SetStopper([this](const std::wstring& program) {
        Stopped.push_back(program);
        throw std::runtime_error("no snapshot");
    });
    Form->Button1Click();
    EXPECT_EQ(Stopped.size(), 2u);
    EXPECT_TRUE(Shown(TCtl::Button3));

    Form->Button3Click();
    EXPECT_EQ(Installations, 1);
    EXPECT_EQ(ShownButtons(), (std::set<TCtl>{TCtl::Button4}));
    EXPECT_TRUE(Shown(TCtl::ProgressBar1));
    EXPECT_TRUE(Shown(TCtl::lblMsg));
    EXPECT_FALSE(IsWindowVisible(Form->Control(TCtl::Panel7)));
    EXPECT_EQ(Form->Caption(TCtl::Label1), L"설치중");
    EXPECT_TRUE(Launched.empty());
}

TEST_F(SetupMainTest, LabelsFollowTheirTextWhoeverSetsIt) {
    const HWND label = Form->Control(TCtl::lblMsg);
    RECT before, after;
    GetWindowRect(label, &before);
    SendMessageW(label, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L"데이터베이스 버전체크.."));
    GetWindowRect(label, &after);
    EXPECT_GT(after.right - after.left, 2 * (before.right - before.left));
    EXPECT_EQ(after.left, before.left);
    EXPECT_EQ(after.bottom - after.top, before.bottom - before.top);
}

TEST_F(SetupMainTest, ComponentPageHidesTheLicenceEvenInsideItsGroupBoxes) {
    Form->Button1Click();
    RedrawWindow(Form->Handle(), nullptr, nullptr,
                 RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
    const COLORREF face = GetSysColor(COLOR_BTNFACE);
    // Spots inside the group boxes where nothing of their own is drawn, over the memo beneath.
    for (TCtl box : {TCtl::GroupBox1, TCtl::GroupBox2}) {
        const HWND window = Form->Control(box);
        RECT client;
        GetClientRect(window, &client);
        HDC dc = GetDC(window);
        for (POINT p :
             {POINT{client.right - 8, client.bottom - 8}, POINT{client.right - 8, client.bottom / 2 + 6}})
            EXPECT_EQ(GetPixel(dc, p.x, p.y), face) << static_cast<int>(box) << " at " << p.x << "," << p.y;
        ReleaseDC(window, dc);
    }
}

TEST_F(SetupMainTest, ClosingStartsTheProductOnlyAfterAFinishedRun) {
    const struct {
        const wchar_t* Button4;
        bool Starts;
    } cases[] = {{L"취소", false}, {L"완료", true}, {L"완료 ", false}, {L"", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.Starts);
        Form = std::make_unique<TfrmSetupMain>();
        Launched.clear();
        Form->SetLauncher([this](HWND, const std::wstring& path) { Launched.push_back(path); });
        Form->SetCaption(TCtl::Button4, c.Button4);
        Form->Close();
        Form->Close(); // a second request starts nothing more
        EXPECT_EQ(Launched.size(), c.Starts ? 1u : 0u);
        if (c.Starts) {
            EXPECT_EQ(Launched[0], LocalAppDataPath() + L"\\Brindlewick\\Marrowgate/mrwgt.exe");
        }
        EXPECT_EQ(Form->Handle(), nullptr) << "the window is released";
        EXPECT_EQ(frmSetupMain, nullptr);
    }
}

TEST_F(SetupMainTest, TabMovesThroughTheShownControlsInTheirOrder) {
    EXPECT_EQ(Form->TabStops(), (std::vector<TCtl>{TCtl::Memo1, TCtl::CheckBox2, TCtl::Button1, TCtl::Button2,
                                                   TCtl::Button3, TCtl::Button4, TCtl::Button5}));
    SetFocus(Form->Control(TCtl::Memo1));
    PressKey(VK_TAB);
    EXPECT_EQ(GetFocus(), Form->Control(TCtl::Button1));
    PressKey(VK_TAB);
    EXPECT_EQ(GetFocus(), Form->Control(TCtl::Button2));
    PressKey(VK_TAB);
    EXPECT_EQ(GetFocus(), Form->Control(TCtl::Memo1));

    // On the component page the covered controls and the disabled check box are skipped.
    Form->Button1Click();
    SetFocus(Form->Control(TCtl::Button3));
    PressKey(VK_TAB);
    EXPECT_EQ(GetFocus(), Form->Control(TCtl::Button4));
    PressKey(VK_TAB);
    EXPECT_EQ(GetFocus(), Form->Control(TCtl::Button5));
    PressKey(VK_TAB);
    EXPECT_EQ(GetFocus(), Form->Control(TCtl::Button3));

    // Enter presses the focused button.
    SetFocus(Form->Control(TCtl::Button5));
    PressKey(VK_RETURN);
    EXPECT_TRUE(Shown(TCtl::Memo1));
}
