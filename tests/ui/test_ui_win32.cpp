// The user32 dialog framework itself: dialogs made by the system from in-memory templates,
// the message path through subclassed system windows, the system menu, and images. Runs
// under Wine (or Windows) with a display.
#include <gtest/gtest.h>

#include <functional>

#include "platform/ui/Afx.h"
#include "platform/ui/TestHooks.h"

namespace {

namespace ui = platform::ui;
using ui::DialogBaseUnits;
using ui::DialogItemData;
using ui::DialogTemplateData;
using ui::ImageResource;

constexpr WCHAR kButton[] = u"Button";
constexpr WCHAR kStatic[] = u"Static";
constexpr WCHAR kEdit[] = u"Edit";
constexpr DWORD kChild = WS_CHILD | WS_VISIBLE;

const DialogItemData kItems[] = {
    {100, kButton, kChild | WS_TABSTOP | BS_PUSHBUTTON, 0, u"按钮", 10, 10, 50, 14},
    {101, kEdit, kChild | WS_TABSTOP | WS_BORDER | ES_AUTOHSCROLL, 0, u"abc", 10, 30, 80, 12},
    {102, kStatic, kChild | SS_BITMAP, 0, u"", 100, 10, 20, 20},
    {-1, kStatic, kChild | SS_LEFT, 0, u"标签", 10, 50, 40, 8},
    {IDOK, kButton, kChild | WS_TABSTOP | BS_DEFPUSHBUTTON, 0, u"确定", 100, 60, 40, 14},
};
const DialogTemplateData kTemplate = {4711, WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SETFONT, 0, u"测试",
                                      u"MS Shell Dlg", 9, 160, 80, kItems, sizeof kItems / sizeof kItems[0]};

class CProbeDlg : public CDialog
{
public:
    explicit CProbeDlg(CWnd* pParent = nullptr) : CDialog(4711, pParent) {}
    int m_nClicks = 0;
    HWND m_hFromCommand = nullptr;
    void OnButton() { ++m_nClicks; }
    BOOL OnCommand(WPARAM wParam, LPARAM lParam) override
    {
        if (LOWORD(wParam) == 100) m_hFromCommand = reinterpret_cast<HWND>(lParam);
        return CDialog::OnCommand(wParam, lParam);
    }
    DECLARE_MESSAGE_MAP()
};

BEGIN_MESSAGE_MAP(CProbeDlg, CDialog)
    ON_BN_CLICKED(100, &CProbeDlg::OnButton)
END_MESSAGE_MAP()

void RunShown(CDialog& dlg, const std::function<void(HWND)>& body)
{
    bool ran = false;
    ui::SetDialogShownHook([&](HWND h) {
        if (ran) return;
        ran = true;
        EXPECT_TRUE(ui::RunUntil([h] { return IsWindowVisible(h) != FALSE; }, 10000));
        body(h);
        dlg.EndDialog(IDCANCEL);
    });
    dlg.DoModal();
    ui::SetDialogShownHook(nullptr);
    ASSERT_TRUE(ran);
}

class Win32Ui : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ui::EnsureGui();
        ui::RegisterDialogTemplate(&kTemplate);
        ui::ClearMessageBoxLog();
    }
};

TEST_F(Win32Ui, EveryTemplateItemIsAControlOfItsClassTextAndPlace)
{
    CProbeDlg dlg;
    RunShown(dlg, [&](HWND h) {
        EXPECT_EQ(GetDialogTemplateID(h), 4711);
        CString caption;
        dlg.GetWindowText(caption);
        EXPECT_EQ(caption, CString(u"测试"));
        const DialogBaseUnits units = ui::GetDialogBaseUnits(u"MS Shell Dlg", 9);
        ASSERT_GT(units.cx, 0);
        for (const DialogItemData& it : kItems) {
            if (it.nID < 0) continue;
            HWND c = GetDlgItem(h, it.nID);
            ASSERT_NE(c, nullptr) << it.nID;
            EXPECT_EQ(GetClassNameOf(c).ToUtf8().size() > 0, true);
            CString text;
            CWnd::FromHandle(c)->GetWindowText(text);
            EXPECT_EQ(text, CString(it.pszText)) << it.nID;
            const RECT r = ui::PositionInParent(c);
            // The dialog manager's own conversion may round differently by a pixel.
            EXPECT_NEAR(r.left, ui::DluToPixelsX(it.x, units), 2) << it.nID;
            EXPECT_NEAR(r.top, ui::DluToPixelsY(it.y, units), 2) << it.nID;
            EXPECT_NEAR(r.right - r.left, ui::DluToPixelsX(it.cx, units), 2) << it.nID;
        }
        EXPECT_EQ(GetDlgItem(h, 999), nullptr);
    });
}

// The dialogs are extended templates: the font's weight and italic flag, which a plain
// template cannot carry, reach the font the dialog manager makes for the dialog.
TEST_F(Win32Ui, TheTemplatesWholeFontReachesTheDialog)
{
    DialogTemplateData bold = kTemplate;
    bold.nID = 4712;
    bold.wWeight = FW_BOLD;
    bold.bItalic = 1;
    ui::RegisterDialogTemplate(&bold);
    for (const DialogTemplateData* t : {&kTemplate, static_cast<const DialogTemplateData*>(&bold)}) {
        CDialog dlg(static_cast<UINT>(t->nID));
        RunShown(dlg, [&](HWND h) {
            CFont* font = CWnd::FromHandle(h)->GetFont();
            ASSERT_NE(font, nullptr);
            LOGFONTW lf;
            ASSERT_NE(font->GetLogFont(&lf), 0);
            EXPECT_EQ(lf.lfItalic, t->bItalic) << t->nID;
            if (t->wWeight) {
                EXPECT_EQ(lf.lfWeight, t->wWeight) << t->nID;
            }
            EXPECT_LT(lf.lfHeight, 0) << t->nID; // a character height in points, not a cell height
        });
    }
}

TEST_F(Win32Ui, AClickReachesTheMessageMapWithTheControlsOwnHandle)
{
    CProbeDlg dlg;
    RunShown(dlg, [&](HWND h) {
        HWND button = GetDlgItem(h, 100);
        ui::ClickMouse(button);
        EXPECT_TRUE(ui::RunUntil([&] { return dlg.m_nClicks == 1; }, 5000));
        EXPECT_EQ(dlg.m_hFromCommand, button);
    });
}

// A modal dialog's owner is enabled again before the dialog is hidden: hiding first would let
// the system hand activation to the next window, which may be another program's.
TEST_F(Win32Ui, EndDialogEnablesTheOwnerBeforeTheDialogHides)
{
    CProbeDlg owner;
    CProbeDlg inner(&owner);
    bool checked = false;
    ui::SetDialogShownHook([&](HWND h) {
        if (h == owner.m_hWnd) {
            inner.DoModal();
            owner.EndDialog(IDCANCEL);
            return;
        }
        EXPECT_FALSE(owner.IsWindowEnabled()); // modal: the owner is disabled meanwhile
        inner.EndDialog(IDOK);
        EXPECT_TRUE(owner.IsWindowEnabled());
        EXPECT_FALSE(IsWindowVisible(h));
        checked = true;
    });
    owner.DoModal();
    ui::SetDialogShownHook(nullptr);
    EXPECT_TRUE(checked);
    EXPECT_TRUE(owner.m_hWnd == nullptr || owner.IsWindowEnabled());
}

TEST_F(Win32Ui, EnterPressesTheDefaultButtonAndEscapeCancels)
{
    CProbeDlg ok;
    INT_PTR r = -1;
    ui::SetDialogShownHook([&](HWND h) { ui::SendKey(GetDlgItem(h, 101), VK_RETURN); });
    r = ok.DoModal();
    EXPECT_EQ(r, IDOK);
    CProbeDlg cancel;
    ui::SetDialogShownHook([&](HWND h) { ui::SendKey(GetDlgItem(h, 101), VK_ESCAPE); });
    r = cancel.DoModal();
    ui::SetDialogShownHook(nullptr);
    EXPECT_EQ(r, IDCANCEL);
}

TEST_F(Win32Ui, AppendedSystemMenuItemIsInTheRealMenuAndChoosable)
{
    CProbeDlg dlg;
    RunShown(dlg, [&](HWND h) {
        CMenu* menu = dlg.GetSystemMenu(FALSE);
        ASSERT_NE(menu, nullptr);
        menu->AppendMenu(MF_SEPARATOR);
        menu->AppendMenu(MF_STRING, 0x0130, u"系统配置");
        bool found = false, close = false;
        for (const ui::MenuItemInfo& it : ui::SystemMenuItems(h)) {
            found = found || (it.nID == 0x0130 && it.strText == CString(u"系统配置"));
            close = close || it.nID == SC_CLOSE;
        }
        EXPECT_TRUE(found);
        EXPECT_TRUE(close);
        EXPECT_FALSE(ui::ChooseSystemMenuItem(h, 0x7777));
    });
}

TEST_F(Win32Ui, BitmapStaticShowsAndReturnsTheGivenBitmap)
{
    static const std::uint32_t kRed[16 * 16] = {
#define R8 0xFFFF0000u, 0xFFFF0000u, 0xFFFF0000u, 0xFFFF0000u, 0xFFFF0000u, 0xFFFF0000u, 0xFFFF0000u, 0xFFFF0000u
        R8, R8, R8, R8, R8, R8, R8, R8, R8, R8, R8, R8, R8, R8, R8, R8, R8, R8, R8, R8, R8, R8, R8, R8, R8, R8, R8, R8, R8, R8, R8, R8
#undef R8
    };
    static const ImageResource kImage = {4712, false, 16, 16, nullptr, 0, kRed};
    ui::RegisterImageResource(&kImage);
    CBitmap bmp;
    ASSERT_TRUE(bmp.LoadBitmap(4712));
    CProbeDlg dlg;
    RunShown(dlg, [&](HWND h) {
        CStatic pic;
        ASSERT_TRUE(pic.SubclassWindow(GetDlgItem(h, 102)));
        pic.SetBitmap(bmp);
        EXPECT_EQ(pic.GetBitmap(), static_cast<HBITMAP>(bmp));
        const ui::Picture p = ui::PictureOfWindow(pic.m_hWnd);
        ASSERT_GE(p.cx, 16);
        ASSERT_GE(p.cy, 16);
        int red = 0;
        for (std::uint32_t px : p.argb) red += (px & 0xFFFFFF) == 0xFF0000;
        EXPECT_GE(red, 200); // the 16x16 red square, whole or nearly
        pic.UnsubclassWindow();
    });
}

} // namespace
