#include "setup/SetupMainDesign.h"

#include <vector>

namespace {
using enum TCtl;
using enum TKind;
constexpr TFont fw = TFont::Window;
constexpr TFont f12 = TFont::Regular12;
constexpr TFont f12b = TFont::Bold12;
constexpr TClick none = TClick::None;
} // namespace

// Positions are left, top within the parent; sizes of labels are those of their texts in the
// design font (labels size themselves when created). Panels 4 to 7 are visible here and hidden
// by FormCreate.
const std::array<TControlDesign, kControlCount> kSetupMainDesign = {{
    // Header strip.
    {Panel1, L"Panel1", Panel, Window, 0, 0, 482, 50, alTop, L"", fw, 0, dfRaised | dfWhite, none},
    {Image1, L"Image1", Image, Panel1, 16, 8, 32, 32, alNone, L"", fw, -1, 0, none},
    {Label1, L"Label1", Label, Panel1, 69, 10, 104, 12, alNone, L"라이센스계약동의", f12b, -1, 0, none},
    {Label2, L"Label2", Label, Panel1, 82, 29, 246, 12, alNone, L"설치전 아래의 내용을 살펴보시기 바랍니다.",
     f12, -1, 0, none},
    // Licence page.
    {Panel2, L"Panel2", Panel, Window, 0, 50, 482, 169, alClient, L"", fw, 1, dfRaised, none},
    {Label3, L"Label3", Label, Panel2, 26, 13, 438, 12, alNone,
     L"라이센스계약 사항의 나머지는 스크롤바나 페이지다운키로 읽어볼수 있습니다.", f12, -1, 0, none},
    {Memo1, L"Memo1", Memo, Panel2, 24, 32, 433, 105, alNone, nullptr, f12, 0, dfReadOnly | dfVScroll, none},
    {Label4, L"Label4", Label, Panel2, 26, 142, 294, 12, alNone,
     L"내용에 동의하시면 '동의함'을 눌러주시기 바랍니다.", f12, -1, 0, none},
    // Component page.
    {Panel5, L"Panel5", Panel, Panel2, 1, 1, 480, 167, alClient, L"", fw, 1, 0, none},
    {Label5, L"Label5", Label, Panel5, 34, 13, 312, 12, alNone,
     L"설치를 원하시는 구성요소를 선택하여 주시기 바랍니다.", f12, -1, 0, none},
    {Label6, L"Label6", Label, Panel5, 34, 29, 258, 12, alNone,
     L"설치를 시작하려면 '설치' 버튼을 눌러주세요.", f12, -1, 0, none},
    {Label10, L"Label10", Label, Panel5, 34, 64, 144, 12, alNone, L"설치하려는 구성요소 선택", f12, -1, 0,
     none},
    {GroupBox1, L"GroupBox1", GroupBox, Panel5, 264, 64, 185, 81, alNone, L"상세설명", f12, 0, 0, none},
    {Label7, L"Label7", Label, GroupBox1, 7, 23, 156, 12, alNone, L"판매재고관리에 필요한 전반", f12, -1, 0,
     none},
    {Label8, L"Label8", Label, GroupBox1, 7, 38, 138, 12, alNone, L"사항을 손쉽게 할수 있는", f12, -1, 0,
     none},
    {Label9, L"Label9", Label, GroupBox1, 7, 53, 162, 12, alNone, L"판매재고 통합 관리 프로그램", f12, -1, 0,
     none},
    {GroupBox2, L"GroupBox2", GroupBox, Panel5, 35, 80, 185, 65, alNone, L"", f12, 1, 0, none},
    {CheckBox2, L"CheckBox2", CheckBox, GroupBox2, 8, 16, 153, 17, alNone, L"루멘타 설치", f12, 0,
     dfChecked | dfDisabled, none},
    // Installation page.
    {Panel6, L"Panel6", Panel, Panel5, 0, 0, 480, 167, alClient, L"", fw, 2, 0, none},
    {Label11, L"Label11", Label, Panel6, 34, 13, 120, 12, alNone, L"설치가 진행중입니다.", f12, -1, 0, none},
    {Label12, L"Label12", Label, Panel6, 34, 29, 270, 12, alNone,
     L"설치를 취소하고 싶을시 취소버튼을 눌러주세요.", f12, -1, 0, none},
    {ProgressBar1, L"ProgressBar1", ProgressBar, Panel6, 32, 64, 425, 17, alNone, L"", fw, 0, 0, none},
    {lblMsg, L"lblMsg", Label, Panel6, 31, 85, 48, 12, alNone, L"설정중..", f12, -1, 0, none},
    // Completion page.
    {Panel7, L"Panel7", Panel, Panel6, 0, 0, 480, 167, alClient, L"", fw, 1, 0, none},
    {Label13, L"Label13", Label, Panel7, 162, 69, 132, 12, alNone, L"설치가 완료되었습니다.", f12, -1, 0,
     none},
    {Label14, L"Label14", Label, Panel7, 162, 85, 144, 12, alNone, L"이용해주셔서 감사합니다.", f12, -1, 0,
     none},
    // Button bar: the licence page's buttons, covered by the other pages' buttons on Panel4.
    {Panel3, L"Panel3", Panel, Window, 0, 219, 482, 41, alBottom, L"", fw, 2, dfRaised, none},
    {Button1, L"Button1", Button, Panel3, 304, 8, 75, 25, alNone, L"동의함", f12, 0, 0, TClick::Button1Click},
    {Button2, L"Button2", Button, Panel3, 392, 8, 75, 25, alNone, L"취소", f12, 1, 0, TClick::Button2Click},
    {Panel4, L"Panel4", Panel, Panel3, 1, 1, 480, 39, alClient, L"", fw, 2, 0, none},
    {Button3, L"Button3", Button, Panel4, 303, 7, 75, 25, alNone, L"설치", f12, 0, 0, TClick::Button3Click},
    {Button4, L"Button4", Button, Panel4, 391, 7, 75, 25, alNone, L"취소", f12, 1, 0, TClick::Button2Click},
    {Button5, L"Button5", Button, Panel4, 215, 7, 75, 25, alNone, L"< 이전", f12, 2, 0, TClick::Button5Click},
}};

std::array<RECT, kControlCount> DockedDesignBounds(int dpi) {
    std::array<RECT, kControlCount> bounds{};
    for (const TControlDesign& row : kSetupMainDesign)
        bounds[static_cast<size_t>(row.Id)] =
            ScaleToDpi(RECT{row.Left, row.Top, row.Left + row.Width, row.Top + row.Height}, dpi);
    // Containers come before their children in the table, so each container's own bounds are
    // final before its children are docked into it.
    auto dockInto = [&](TCtl container, RECT inner) {
        std::vector<TDockedChild> docked;
        std::vector<size_t> rows;
        for (const TControlDesign& row : kSetupMainDesign) {
            if (row.Parent != container || row.Align == alNone) continue;
            docked.push_back({row.Align, bounds[static_cast<size_t>(row.Id)]});
            rows.push_back(static_cast<size_t>(row.Id));
        }
        DockChildren(inner, docked);
        for (size_t i = 0; i < rows.size(); ++i)
            bounds[rows[i]] = docked[i].Bounds;
    };
    dockInto(TCtl::Window,
             {0, 0, ScaleToDpi(kSetupMainClientWidth, dpi), ScaleToDpi(kSetupMainClientHeight, dpi)});
    for (const TControlDesign& row : kSetupMainDesign) {
        if (row.Kind != Panel) continue;
        const RECT& own = bounds[static_cast<size_t>(row.Id)];
        const int bevel = (row.Flags & dfRaised) ? 1 : 0;
        dockInto(row.Id, {bevel, bevel, own.right - own.left - bevel, own.bottom - own.top - bevel});
    }
    return bounds;
}
