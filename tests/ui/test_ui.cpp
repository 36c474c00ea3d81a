// The dialog framework on the offscreen platform: message path, modal loops, message boxes,
// system menu, templates in dialog units, data exchange, edit messages and real key input,
// owner drawing, posted messages and waits.
#include <gtest/gtest.h>

#include <QAbstractItemView>
#include <QApplication>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QGuiApplication>
#include <QImage>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <QWidget>
#include <QWindow>
#include <atomic>
#include <cstdlib>
#include <thread>

#include "platform/Clock.h"
#include "platform/Kernel.h"
#include "platform/ui/Afx.h"
#include "platform/ui/TestHooks.h"

namespace ui = platform::ui;

namespace {

const bool g_offscreen = [] {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    return true;
}();

constexpr int kTestDialog = 9001;
constexpr DWORD kChild = WS_CHILD | WS_VISIBLE;
const ui::DialogItemData kItems[] = {
    {1001, u"Static", kChild | SS_LEFT, 0, u"Label", 10, 10, 60, 8},
    {1002, u"Static", kChild | SS_LEFT | WS_GROUP, 0, u"", 10, 22, 120, 13},
    {1003, u"Static", kChild | SS_BITMAP, 0, nullptr, 140, 10, 13, 12},
    {1004, u"Edit", kChild | WS_BORDER | WS_TABSTOP | ES_AUTOHSCROLL, 0, u"", 10, 40, 100, 14},
    {1005, u"Edit", kChild | WS_BORDER | WS_TABSTOP | ES_AUTOHSCROLL | ES_PASSWORD, 0, u"", 10, 58, 100, 14},
    {1006, u"Edit", kChild | WS_BORDER | ES_READONLY, 0, u"fixed", 10, 76, 100, 14},
    {1007, u"Button", kChild | BS_AUTOCHECKBOX | WS_TABSTOP, 0, u"Check", 120, 40, 60, 10},
    {1008, u"ComboBox", kChild | CBS_DROPDOWNLIST | WS_VSCROLL | WS_TABSTOP, 0, nullptr, 120, 58, 40, 60},
    {1009, u"msctls_progress32", kChild | WS_BORDER, 0, nullptr, 10, 95, 150, 10},
    {-1, u"Button", kChild | BS_GROUPBOX, 0, u"Group", 5, 2, 190, 110},
    {IDOK, u"Button", kChild | BS_DEFPUSHBUTTON | WS_TABSTOP, 0, u"OK", 80, 115, 50, 14},
    {IDCANCEL, u"Button", kChild | BS_PUSHBUTTON | WS_TABSTOP, 0, u"Cancel", 140, 115, 50, 14},
};
// A group box first in template order lies on top of the controls it frames, as in the
// configuration dialog; a static label overlaps the check box.
constexpr int kGroupDialog = 9002;
const ui::DialogItemData kGroupItems[] = {
    {-1, u"Button", kChild | BS_GROUPBOX, 0, u"组", 5, 5, 190, 100},
    {2001, u"Button", kChild | BS_PUSHBUTTON | WS_TABSTOP, 0, u"选择文件", 15, 20, 50, 14},
    {2002, u"Edit", kChild | WS_BORDER | WS_TABSTOP, 0, u"", 75, 20, 60, 14},
    {2003, u"ComboBox", kChild | CBS_DROPDOWNLIST | WS_VSCROLL | WS_TABSTOP, 0, nullptr, 145, 20, 40, 60},
    {-1, u"Static", kChild | SS_LEFT, 0, u"标签盖在复选框上", 15, 50, 120, 10},
    {2004, u"Button", kChild | BS_AUTOCHECKBOX | WS_TABSTOP, 0, u"选项", 15, 50, 80, 10},
    {IDCANCEL, u"Button", kChild | BS_PUSHBUTTON | WS_TABSTOP, 0, u"取消", 140, 110, 50, 14},
};
const ui::DialogTemplateData kGroupTemplate = {kGroupDialog, WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SETFONT,
                                              0, u"组", u"MS Shell Dlg", 9, 200, 130, kGroupItems, std::size(kGroupItems)};
// The same with minimise and maximise boxes asked for.
constexpr int kBoxesDialog = 9003;
const ui::DialogTemplateData kBoxesTemplate = {kBoxesDialog,
                                              WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_MAXIMIZEBOX | DS_SETFONT,
                                              WS_EX_APPWINDOW, u"框", u"MS Shell Dlg", 9, 200, 130, kGroupItems,
                                              std::size(kGroupItems)};

const ui::DialogTemplateData kTemplate = {kTestDialog,
                                         WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SETFONT,
                                         0,
                                         u"测试对话框",
                                         u"MS Shell Dlg",
                                         9,
                                         200,
                                         135,
                                         kItems,
                                         std::size(kItems)};

// A static that paints itself, bound from the template as the prompt line is.
class COwnerStatic : public CStatic
{
public:
    int m_nPreSubclass = 0;
    int m_nDrawn = 0;
    COLORREF m_bkSeen = 0;
    COLORREF m_fill = RGB(0x12, 0x34, 0x56);

protected:
    void PreSubclassWindow() override
    {
        ++m_nPreSubclass;
        ModifyStyle(0, SS_OWNERDRAW, 0);
        CStatic::PreSubclassWindow();
    }
    void DrawItem(LPDRAWITEMSTRUCT dis) override
    {
        ++m_nDrawn;
        CDC* dc = CDC::FromHandle(dis->hDC);
        m_bkSeen = dc->GetBkColor();
        CRect rc;
        ::GetClientRect(m_hWnd, &rc);
        dc->FillSolidRect(&rc, m_fill);
    }
};

// An edit whose map sees characters and whose WindowProc sees every message first.
class CLogEdit : public CEdit
{
public:
    std::vector<UINT> m_procSeen;
    std::vector<UINT> m_charsInMap;
    bool m_bSwallowDigits = false;
    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override
    {
        m_procSeen.push_back(message);
        if (message == WM_CHAR && m_bSwallowDigits && wParam >= '0' && wParam <= '9') return 0;
        return CEdit::WindowProc(message, wParam, lParam);
    }

protected:
    void OnChar(UINT nChar, UINT nRepCnt, UINT nFlags)
    {
        m_charsInMap.push_back(nChar);
        CEdit::OnChar(nChar, nRepCnt, nFlags);
    }
    DECLARE_MESSAGE_MAP()
};
BEGIN_MESSAGE_MAP(CLogEdit, CEdit)
    ON_WM_CHAR()
END_MESSAGE_MAP()

class CTestDlg : public CDialog
{
public:
    CTestDlg() : CDialog(kTestDialog) {}
    COwnerStatic m_prompt;
    CLogEdit m_edit;
    CProgressCtrl m_progress;
    std::vector<UINT> m_seen;       // WindowProc, in order
    std::vector<UINT> m_mapSeen;    // message map handlers, in order
    std::vector<UINT> m_sysCommands;
    std::vector<WPARAM> m_registered;
    UINT m_nRegistered = RegisterWindowMessageW(u"TARVEX_UI_TEST_MESSAGE");
    int m_nOkClicks = 0;
    bool m_bPassSysCommand = true;

    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override
    {
        m_seen.push_back(message);
        if (message == m_nRegistered) {
            m_registered.push_back(wParam);
            return 1;
        }
        return CDialog::WindowProc(message, wParam, lParam);
    }

protected:
    void DoDataExchange(CDataExchange* pDX) override
    {
        CDialog::DoDataExchange(pDX);
        DDX_Control(pDX, 1002, m_prompt);
        DDX_Control(pDX, 1004, m_edit);
        DDX_Control(pDX, 1009, m_progress);
    }
    void OnSysCommand(UINT nID, LPARAM lParam)
    {
        m_mapSeen.push_back(WM_SYSCOMMAND);
        m_sysCommands.push_back(nID);
        if (m_bPassSysCommand) CDialog::OnSysCommand(nID, lParam);
    }
    void OnBnClickedOk()
    {
        m_mapSeen.push_back(WM_COMMAND);
        ++m_nOkClicks;
        CDialog::OnOK();
    }
    DECLARE_MESSAGE_MAP()
};
BEGIN_MESSAGE_MAP(CTestDlg, CDialog)
    ON_WM_SYSCOMMAND()
    ON_BN_CLICKED(IDOK, &CTestDlg::OnBnClickedOk)
END_MESSAGE_MAP()

constexpr INT_PTR kNotEnded = 4242;

// Runs the dialog modally; body runs inside its loop. A body that does not end the dialog
// gets it ended with kNotEnded, so a failing test cannot hang.
INT_PTR RunModal(CDialog& dlg, std::function<void(HWND)> body)
{
    ui::SetDialogShownHook([&dlg, body](HWND h) {
        ui::SetDialogShownHook(nullptr);
        body(h);
        if (::IsWindowVisible(h)) dlg.EndDialog(static_cast<int>(kNotEnded));
    });
    return dlg.DoModal();
}

class UiTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ui::EnsureGui();
        ui::RegisterDialogTemplate(&kTemplate);
        ui::RegisterDialogTemplate(&kGroupTemplate);
        ui::RegisterDialogTemplate(&kBoxesTemplate);
        ui::SetMessageBoxHook(nullptr);
        ui::ClearMessageBoxLog();
        ui::ResetBeepCount();
        ui::SetSystemMenuHook(nullptr);
        ui::SetFileDialogHook(nullptr);
        platform::ClearMessageQueue();
    }
    void TearDown() override
    {
        ui::SetDialogShownHook(nullptr);
        ui::SetMessageBoxHook(nullptr);
        ui::SetSystemMenuHook(nullptr);
        ui::SetMessageObserver(nullptr);
    }
};

CString TextOf(HWND h)
{
    CString s;
    CWnd::FromHandle(h)->GetWindowText(s);
    return s;
}

} // namespace

// ---- message path --------------------------------------------------------------------------

TEST_F(UiTest, WindowProcSeesMessagesBeforeTheMapAndUnhandledOnesReachDefaultProcessing)
{
    CTestDlg dlg;
    std::vector<std::pair<HWND, UINT>> observed;
    const INT_PTR r = RunModal(dlg, [&](HWND h) {
        ui::SetMessageObserver([&](HWND w, UINT m, WPARAM, LPARAM) { observed.emplace_back(w, m); });
        dlg.m_seen.clear();
        dlg.m_bPassSysCommand = false;
        ::SendMessageW(h, WM_SYSCOMMAND, 0x8004, 0);
        ASSERT_EQ(dlg.m_seen.size(), 1u);
        EXPECT_EQ(dlg.m_seen[0], WM_SYSCOMMAND);
        EXPECT_EQ(dlg.m_sysCommands, std::vector<UINT>{0x8004});
        EXPECT_EQ(observed.size(), 1u);

        // Unhandled by the map: the default processing of the class answers.
        ::SetWindowTextW(h, u"新标题");
        EXPECT_EQ(TextOf(h), CString(u"新标题"));
        // An unsubclassed control gets the default processing only.
        HWND check = ::GetDlgItem(h, 1007);
        EXPECT_EQ(::SendMessageW(check, BM_GETCHECK, 0, 0), LRESULT(BST_UNCHECKED));
        ::SendMessageW(check, BM_SETCHECK, BST_CHECKED, 0);
        EXPECT_EQ(::SendMessageW(check, BM_GETCHECK, 0, 0), LRESULT(BST_CHECKED));
        EXPECT_EQ(CWnd::FromHandlePermanent(check), nullptr);
        // The OK button's click goes to the map through WM_COMMAND / BN_CLICKED.
        ui::ClickMouse(::GetDlgItem(h, IDOK));
    });
    EXPECT_EQ(r, IDOK);
    EXPECT_EQ(dlg.m_nOkClicks, 1);
    EXPECT_EQ(dlg.m_mapSeen, (std::vector<UINT>{WM_SYSCOMMAND, WM_COMMAND}));
    EXPECT_EQ(dlg.m_hWnd, nullptr);
    EXPECT_EQ(dlg.m_edit.m_hWnd, nullptr); // detached with the window
}

TEST_F(UiTest, RegisteredMessagesPostedFromAnotherThreadArriveInOrderAndNoneAfterDestruction)
{
    CTestDlg dlg;
    HWND hwnd = nullptr;
    constexpr int kCount = 200;
    RunModal(dlg, [&](HWND h) {
        hwnd = h;
        std::thread poster([h, id = dlg.m_nRegistered] {
            for (int i = 0; i < kCount; ++i) EXPECT_TRUE(::PostMessageW(h, id, static_cast<WPARAM>(i), 0));
        });
        poster.join();
        ASSERT_TRUE(ui::RunUntil([&] { return dlg.m_registered.size() == kCount; }, 10000));
        for (int i = 0; i < kCount; ++i) EXPECT_EQ(dlg.m_registered[static_cast<std::size_t>(i)], static_cast<WPARAM>(i));
        // Sent from another thread: handled on the window's own thread, result returned.
        std::atomic<bool> sent{false};
        LRESULT len = 0;
        std::thread sender([&] {
            ::SendMessageW(h, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(u"线程"));
            len = ::SendMessageW(h, WM_GETTEXTLENGTH, 0, 0);
            sent = true;
        });
        EXPECT_TRUE(ui::RunUntil([&] { return sent.load(); }, 10000));
        sender.join();
        EXPECT_EQ(len, 2);
        EXPECT_EQ(TextOf(h), CString(u"线程"));
        // Posted just before the window goes: must be dropped, never dispatched.
        ::PostMessageW(h, dlg.m_nRegistered, 9999, 0);
        dlg.EndDialog(IDCANCEL);
    });
    EXPECT_FALSE(::IsWindow(hwnd));
    EXPECT_FALSE(::PostMessageW(hwnd, dlg.m_nRegistered, 1, 0));
    ui::ProcessPendingEvents();
    EXPECT_EQ(platform::PendingMessageCount(), 0u);
    EXPECT_EQ(dlg.m_registered.size(), static_cast<std::size_t>(kCount));
    EXPECT_EQ(::SendMessageW(hwnd, WM_GETTEXTLENGTH, 0, 0), 0);
}

// ---- modal loops, message boxes -------------------------------------------------------------

TEST_F(UiTest, KeysAndCloseBoxEndTheModalLoopTheWayTheDialogManagerDoes)
{
    {
        CTestDlg dlg; // Enter in an edit: the default push button (IDOK)
        EXPECT_EQ(RunModal(dlg, [](HWND h) { ui::SendKey(::GetDlgItem(h, 1005), VK_RETURN); }), IDOK);
        EXPECT_EQ(dlg.m_nOkClicks, 1);
    }
    {
        CTestDlg dlg; // Enter on a focused push button presses that button
        EXPECT_EQ(RunModal(dlg, [](HWND h) { ui::SendKey(::GetDlgItem(h, IDCANCEL), VK_RETURN); }), IDCANCEL);
        EXPECT_EQ(dlg.m_nOkClicks, 0);
    }
    {
        CTestDlg dlg; // Escape
        EXPECT_EQ(RunModal(dlg, [](HWND h) { ui::SendKey(::GetDlgItem(h, 1004), VK_ESCAPE); }), IDCANCEL);
    }
    {
        CTestDlg dlg; // the close box asks through WM_SYSCOMMAND / SC_CLOSE
        EXPECT_EQ(RunModal(dlg, [](HWND h) { ui::WidgetOf(h)->close(); }), IDCANCEL);
        EXPECT_EQ(dlg.m_sysCommands, std::vector<UINT>{SC_CLOSE});
    }
    {
        CTestDlg dlg; // a disabled default button does not fire; the dialog stays
        EXPECT_EQ(RunModal(dlg, [](HWND h) {
                      ::EnableWindow(::GetDlgItem(h, IDOK), FALSE);
                      ui::SendKey(::GetDlgItem(h, 1004), VK_RETURN);
                  }),
                  kNotEnded);
        EXPECT_EQ(ui::BeepCount(), 1);
    }
}

TEST_F(UiTest, MessageBoxesAreAnsweredByTheHookInsideAModalLoopAndRecorded)
{
    CTestDlg dlg;
    int yesNo = 0, ok = 0;
    ui::SetMessageBoxHook([](const ui::MessageBoxCall& c) { return (c.nType & MB_TYPEMASK) == MB_YESNO ? IDNO : IDOK; });
    const INT_PTR r = RunModal(dlg, [&](HWND h) {
        ok = dlg.MessageBoxW(u"打开配置文件失败！");
        yesNo = dlg.MessageBoxW(u"覆盖？", u"操作提示", MB_YESNO);
        // A posted message still arrives while the dialog's loop runs a nested one.
        ::PostMessageW(h, dlg.m_nRegistered, 7, 0);
        ASSERT_TRUE(ui::RunUntil([&] { return !dlg.m_registered.empty(); }));
        dlg.EndDialog(77);
    });
    EXPECT_EQ(r, 77);
    EXPECT_EQ(ok, IDOK);
    EXPECT_EQ(yesNo, IDNO);
    const auto log = ui::MessageBoxLog();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].strText, CString(u"打开配置文件失败！"));
    EXPECT_EQ(log[0].strCaption, CString(u"Tarvex")); // the application's name
    EXPECT_EQ(log[0].nType, MB_OK);
    EXPECT_EQ(log[1].strCaption, CString(u"操作提示"));
    EXPECT_EQ(log[1].nType, MB_YESNO);
    EXPECT_NE(log[0].hOwner, nullptr);
}

TEST_F(UiTest, NestedModalDialogsReturnInOrderAndAMissingTemplateFails)
{
    CTestDlg outer;
    INT_PTR inner = 0;
    const INT_PTR r = RunModal(outer, [&](HWND) {
        CTestDlg second;
        inner = RunModal(second, [&](HWND h2) { ui::SendKey(::GetDlgItem(h2, 1004), VK_ESCAPE); });
        outer.EndDialog(IDOK);
    });
    EXPECT_EQ(inner, IDCANCEL);
    EXPECT_EQ(r, IDOK);
    CDialog missing(4711);
    EXPECT_EQ(missing.DoModal(), -1);
}

// ---- system menu ---------------------------------------------------------------------------

TEST_F(UiTest, SystemMenuHoldsMoveAndCloseThenAppendedItemsAndSendsWmSysCommand)
{
    CTestDlg dlg;
    std::vector<ui::MenuItemInfo> shownByAltSpace, shownByRightClick;
    const INT_PTR r = RunModal(dlg, [&](HWND h) {
        CMenu* menu = dlg.GetSystemMenu(FALSE);
        ASSERT_NE(menu, nullptr);
        EXPECT_EQ(menu, dlg.GetSystemMenu(FALSE));
        menu->AppendMenu(MF_SEPARATOR);
        menu->AppendMenu(MF_STRING, 0x8004, u"系统配置");
        const auto items = ui::SystemMenuItems(h);
        ASSERT_EQ(items.size(), 5u);
        EXPECT_EQ(items[0].nID, SC_MOVE);
        EXPECT_TRUE(items[1].bSeparator);
        EXPECT_EQ(items[2].nID, SC_CLOSE);
        EXPECT_TRUE(items[3].bSeparator);
        EXPECT_EQ(items[4].nID, 0x8004u);
        EXPECT_EQ(items[4].strText, CString(u"系统配置"));

        // Opened from the keyboard and by a right click on the background; a choice is a
        // WM_SYSCOMMAND with its ID.
        ui::SetSystemMenuHook([&](HWND, const std::vector<ui::MenuItemInfo>& shown) {
            shownByAltSpace = shown;
            return 0x8004u;
        });
        ui::SendKey(::GetDlgItem(h, 1004), VK_SPACE, false, false, true);
        ui::SetSystemMenuHook([&](HWND, const std::vector<ui::MenuItemInfo>& shown) {
            shownByRightClick = shown;
            return UINT(SC_MOVE);
        });
        ui::ClickAt(ui::WidgetOf(h), QPoint(2, 2), true); // the background, above the group
        EXPECT_FALSE(ui::ChooseSystemMenuItem(h, 0x9999)); // not in the menu
        EXPECT_TRUE(::IsWindowVisible(h));                  // moving does nothing here
        EXPECT_TRUE(ui::ChooseSystemMenuItem(h, SC_CLOSE));
    });
    EXPECT_EQ(r, IDCANCEL);
    EXPECT_EQ(shownByAltSpace.size(), 5u);
    EXPECT_EQ(shownByRightClick.size(), 5u);
    EXPECT_EQ(dlg.m_sysCommands, (std::vector<UINT>{0x8004, SC_MOVE, SC_CLOSE}));
}

// ---- the mouse and the window ------------------------------------------------------------

TEST_F(UiTest, ClicksReachTheControlUnderTheGroupBoxThatFramesIt)
{
    CDialog dlg(kGroupDialog);
    std::vector<WPARAM> commands;
    ui::SetMessageObserver([&](HWND, UINT m, WPARAM w, LPARAM) {
        if (m == WM_COMMAND && HIWORD(w) == BN_CLICKED) commands.push_back(LOWORD(w));
    });
    const INT_PTR r = RunModal(dlg, [&](HWND h) {
        QWidget* window = ui::WidgetOf(h);
        ASSERT_NE(window, nullptr);

        ui::ClickMouse(::GetDlgItem(h, 2001));
        EXPECT_EQ(commands, std::vector<WPARAM>{2001});

        ui::ClickMouse(::GetDlgItem(h, 2002));
        EXPECT_EQ(window->focusWidget(), ui::WidgetOf(::GetDlgItem(h, 2002)));

        // Under the label too: a static without SS_NOTIFY lets the click through.
        ui::ClickMouse(::GetDlgItem(h, 2004));
        EXPECT_EQ(::SendMessageW(::GetDlgItem(h, 2004), BM_GETCHECK, 0, 0), BST_CHECKED);
        ui::ClickMouse(::GetDlgItem(h, 2004));
        EXPECT_EQ(::SendMessageW(::GetDlgItem(h, 2004), BM_GETCHECK, 0, 0), BST_UNCHECKED);

        ::SendMessageW(::GetDlgItem(h, 2003), CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(u"1"));
        auto* combo = qobject_cast<QComboBox*>(ui::WidgetOf(::GetDlgItem(h, 2003)));
        ASSERT_NE(combo, nullptr);
        ui::ClickMouse(::GetDlgItem(h, 2003));
        EXPECT_TRUE(ui::RunUntil([&] { return combo->view()->isVisible(); }, 2000));
        combo->hidePopup();

        // The group box's own area belongs to the dialog: a right click there is the
        // dialog's, and opens the system menu.
        int menus = 0;
        ui::SetSystemMenuHook([&](HWND, const std::vector<ui::MenuItemInfo>&) {
            ++menus;
            return 0u;
        });
        const QWidget* groupBox = nullptr;
        for (QWidget* c : window->findChildren<QWidget*>())
            if (c->inherits("QGroupBox")) groupBox = c;
        ASSERT_NE(groupBox, nullptr);
        ui::ClickAt(window, groupBox->geometry().center() + QPoint(0, 25), true);
        EXPECT_EQ(menus, 1);
        ui::SetSystemMenuHook(nullptr);
        ui::ClickMouse(::GetDlgItem(h, IDCANCEL));
    });
    ui::SetMessageObserver(nullptr);
    EXPECT_EQ(r, IDCANCEL);
}

TEST_F(UiTest, WindowDecorationsAreTheOnesTheTemplateAsksFor)
{
    const Qt::WindowFlags minMax = Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint;
    CDialog plain(kGroupDialog);
    RunModal(plain, [&](HWND h) {
        const Qt::WindowFlags f = ui::WidgetOf(h)->windowFlags();
        EXPECT_TRUE(f & Qt::CustomizeWindowHint);
        EXPECT_TRUE(f & Qt::WindowTitleHint);
        EXPECT_TRUE(f & Qt::WindowCloseButtonHint);
        EXPECT_TRUE(f & Qt::WindowSystemMenuHint);
        EXPECT_FALSE(f & minMax);
        // Move, chosen with no window manager to do it, leaves the window where it is.
        const QPoint before = ui::WidgetOf(h)->pos();
        EXPECT_TRUE(ui::ChooseSystemMenuItem(h, SC_MOVE));
        EXPECT_TRUE(::IsWindowVisible(h));
        EXPECT_EQ(ui::WidgetOf(h)->pos(), before);
    });
    CDialog boxes(kBoxesDialog);
    RunModal(boxes, [&](HWND h) {
        const Qt::WindowFlags f = ui::WidgetOf(h)->windowFlags();
        EXPECT_EQ(f & minMax, minMax);
        EXPECT_EQ(f & Qt::WindowType_Mask, Qt::Window); // an application window of its own
    });
}

namespace {
// Answers the next real message box with its default button and reports where it stood.
class BoxWatcher
{
public:
    BoxWatcher()
    {
        m_timer.setInterval(5);
        QObject::connect(&m_timer, &QTimer::timeout, [this] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            // Where it stands once on screen (a window manager places it when it maps it).
            if (!box || !box->isVisible() || !box->windowHandle() || !box->windowHandle()->isExposed()) return;
            m_centre = box->frameGeometry().center();
            // Under a window manager the frame is added round the place asked for.
            m_slack = box->frameGeometry().height() - box->height();
            m_seen = true;
            box->defaultButton()->click();
        });
        m_timer.start();
    }
    QPoint m_centre;
    int m_slack = 0;
    bool m_seen = false;

private:
    QTimer m_timer;
};

class CBoxAtInitDlg : public CDialog
{
public:
    CBoxAtInitDlg() : CDialog(kGroupDialog) {}
    QPoint m_centre;
    int m_slack = 0;
    bool m_seen = false;
    BOOL OnInitDialog() override
    {
        CDialog::OnInitDialog();
        BoxWatcher watcher; // before the window is shown, as the start-up message is
        MessageBoxW(u"打开配置文件失败！");
        m_centre = watcher.m_centre;
        m_slack = watcher.m_slack;
        m_seen = watcher.m_seen;
        return TRUE;
    }
};
} // namespace

TEST_F(UiTest, MessageBoxesStandCentredOnTheirOwnerOrOnTheScreen)
{
    const QPoint screenCentre = QGuiApplication::primaryScreen()->availableGeometry().center();
    auto near = [](QPoint a, QPoint b, int slack = 0) { return (a - b).manhattanLength() <= 4 + slack; };
    {
        CBoxAtInitDlg dlg; // owner not on screen yet: the screen's centre
        RunModal(dlg, [](HWND) {});
        ASSERT_TRUE(dlg.m_seen);
        EXPECT_TRUE(near(dlg.m_centre, screenCentre, dlg.m_slack)) << dlg.m_centre.x() << "," << dlg.m_centre.y();
    }
    {
        CDialog dlg(kGroupDialog); // owner on screen, moved off the centre: the owner's centre
        QPoint ownerCentre, boxCentre;
        int slack = 0;
        bool seen = false;
        RunModal(dlg, [&](HWND h) {
            QWidget* w = ui::WidgetOf(h);
            w->move(10, 20);
            // A window manager carries the move out in its own time.
            ui::RunUntil([&] { return w->pos() == QPoint(10, 20); }, 3000);
            ui::ProcessPendingEvents();
            ownerCentre = w->frameGeometry().center();
            BoxWatcher watcher;
            ::MessageBoxW(h, u"覆盖？", u"操作提示", MB_YESNO);
            boxCentre = watcher.m_centre;
            slack = watcher.m_slack;
            seen = watcher.m_seen;
        });
        ASSERT_TRUE(seen);
        EXPECT_FALSE(near(ownerCentre, screenCentre));
        EXPECT_TRUE(near(boxCentre, ownerCentre, slack)) << boxCentre.x() << "," << boxCentre.y();
    }
}

TEST_F(UiTest, QtsOwnDialogsAndButtonsSpeakChinese)
{
    QDialogButtonBox buttons(QDialogButtonBox::Open | QDialogButtonBox::Cancel);
    EXPECT_EQ(buttons.button(QDialogButtonBox::Cancel)->text(), QString::fromUtf16(u"取消"));
    EXPECT_EQ(buttons.button(QDialogButtonBox::Open)->text(), QString::fromUtf16(u"打开"));
}

// ---- templates -----------------------------------------------------------------------------

TEST_F(UiTest, TemplateControlsExistWithIdClassStyleAndPlaceInDialogUnits)
{
    const ui::DialogBaseUnits u = ui::GetDialogBaseUnits(u"MS Shell Dlg", 9);
    EXPECT_GE(u.cx, 5);
    EXPECT_LE(u.cx, 9);
    EXPECT_GE(u.cy, 12);
    EXPECT_LE(u.cy, 18);
    EXPECT_EQ(ui::DluToPixelsX(10, ui::DialogBaseUnits{6, 13}), 15);  // 10*6/4
    EXPECT_EQ(ui::DluToPixelsY(13, ui::DialogBaseUnits{6, 13}), 21);  // 13*13/8 = 21.1
    EXPECT_EQ(ui::DluToPixelsY(3, ui::DialogBaseUnits{6, 13}), 5);    // 4.875 rounds up

    CTestDlg dlg;
    RunModal(dlg, [&](HWND h) {
        EXPECT_EQ(::GetDialogTemplateID(h), kTestDialog);
        EXPECT_EQ(TextOf(h), CString(u"测试对话框"));
        CRect client;
        ::GetClientRect(h, &client);
        EXPECT_EQ(client.Width(), ui::DluToPixelsX(200, u));
        EXPECT_EQ(client.Height(), ui::DluToPixelsY(135, u));
        for (const ui::DialogItemData& it : kItems) {
            if (it.nID == -1) continue;
            SCOPED_TRACE(it.nID);
            HWND c = ::GetDlgItem(h, it.nID);
            ASSERT_NE(c, nullptr);
            EXPECT_EQ(::GetDlgCtrlID(c), it.nID);
            EXPECT_EQ(::GetParent(c), h);
            CString cls = ::GetClassNameOf(c);
            EXPECT_EQ(cls.CompareNoCase(it.pszClass), 0);
            DWORD style = static_cast<DWORD>(::GetWindowLongPtrW(c, GWL_STYLE));
            const DWORD expected = it.nID == 1002 ? (it.dwStyle | SS_OWNERDRAW) : it.dwStyle; // 1002 is owner-drawn once bound
            EXPECT_EQ(style, expected);
            const QWidget* w = ui::WidgetOf(c);
            ASSERT_NE(w, nullptr);
            EXPECT_EQ(w->x(), ui::DluToPixelsX(it.x, u));
            EXPECT_EQ(w->y(), ui::DluToPixelsY(it.y, u));
            EXPECT_EQ(w->width(), ui::DluToPixelsX(it.cx, u));
            if (it.nID != 1008) { EXPECT_EQ(w->height(), ui::DluToPixelsY(it.cy, u)); } // a combo's height holds its list
            EXPECT_TRUE(w->isVisible());
        }
        EXPECT_EQ(TextOf(::GetDlgItem(h, 1006)), CString(u"fixed"));
        EXPECT_EQ(::SendMessageW(h, DM_GETDEFID, 0, 0), MAKELPARAM(IDOK, DC_HASDEFID));
    });
}

TEST_F(UiTest, DataExchangeSubclassesOnceAndTheBoundObjectHandlesTheControl)
{
    CTestDlg dlg;
    RunModal(dlg, [&](HWND h) {
        EXPECT_EQ(dlg.m_prompt.m_nPreSubclass, 1);
        EXPECT_EQ(dlg.m_prompt.m_hWnd, ::GetDlgItem(h, 1002));
        EXPECT_EQ(dlg.GetDlgItem(1004), &dlg.m_edit);
        EXPECT_EQ(CWnd::FromHandlePermanent(::GetDlgItem(h, 1004)), &dlg.m_edit);
        dlg.UpdateData(FALSE); // a second exchange leaves the binding as it is
        EXPECT_EQ(dlg.m_prompt.m_nPreSubclass, 1);
        // The progress control through its class: range 0..100, old position returned.
        EXPECT_EQ(dlg.m_progress.SetPos(40), 0);
        EXPECT_EQ(dlg.m_progress.SetPos(140), 40);
        EXPECT_EQ(dlg.m_progress.GetPos(), 100);
        // A combo box as the configuration dialog fills it.
        CComboBox combo;
        ASSERT_TRUE(combo.SubclassWindow(::GetDlgItem(h, 1008)));
        for (int i = 0; i < 256; ++i) ASSERT_EQ(combo.AddString(CString::Formatted(u"%d", i)), i);
        EXPECT_EQ(combo.GetCurSel(), static_cast<int>(CB_ERR));
        EXPECT_EQ(combo.SetCurSel(20), 20);
        EXPECT_EQ(combo.GetCurSel(), 20);
        EXPECT_EQ(combo.SetCurSel(256), static_cast<int>(CB_ERR));
        CString text;
        combo.GetLBText(255, text);
        EXPECT_EQ(text, CString(u"255"));
        combo.UnsubclassWindow();
    });
}

// ---- edits and real input ------------------------------------------------------------------

TEST_F(UiTest, EditSelectionClearAndTypingPassThroughWindowProcAndDefault)
{
    CTestDlg dlg;
    RunModal(dlg, [&](HWND h) {
        CLogEdit& e = dlg.m_edit;
        e.SetWindowText(u"00A0");
        e.SetSel(1, 3);
        int s = 0, end = 0;
        e.GetSel(s, end);
        EXPECT_EQ(s, 1);
        EXPECT_EQ(end, 3);
        EXPECT_EQ(e.GetSel(), static_cast<DWORD>(MAKELPARAM(1, 3)));
        e.SendMessage(EM_SETSEL, static_cast<WPARAM>(-1), 0); // deselect, caret stays
        e.GetSel(s, end);
        EXPECT_EQ(s, end);
        e.SetSel(0, 1);
        e.Clear();
        EXPECT_EQ(TextOf(e.m_hWnd), CString(u"0A0"));
        e.Clear(); // nothing selected: nothing deleted
        EXPECT_EQ(TextOf(e.m_hWnd), CString(u"0A0"));

        // Real key presses: WM_KEYDOWN then WM_CHAR, through WindowProc and the map; only
        // the default processing inserts.
        e.SetSel(0, 0);
        e.m_procSeen.clear();
        ui::TypeText(e.m_hWnd, u"1");
        EXPECT_EQ(e.m_procSeen, (std::vector<UINT>{WM_KEYDOWN, WM_CHAR}));
        EXPECT_EQ(TextOf(e.m_hWnd), CString(u"10A0"));
        EXPECT_EQ(e.m_charsInMap, std::vector<UINT>{'1'});
        e.m_bSwallowDigits = true;
        ui::TypeText(e.m_hWnd, u"2");
        EXPECT_EQ(TextOf(e.m_hWnd), CString(u"10A0"));
        e.m_bSwallowDigits = false;
        ui::SendKey(e.m_hWnd, VK_LEFT);
        e.GetSel(s, end);
        EXPECT_EQ(s, 0);
        ui::SendKey(e.m_hWnd, VK_END);
        ui::SendKey(e.m_hWnd, VK_BACK);
        EXPECT_EQ(TextOf(e.m_hWnd), CString(u"10A"));
        ui::SendKey(e.m_hWnd, VK_HOME, true /*shift*/);
        e.GetSel(s, end);
        EXPECT_EQ(s, 0);
        EXPECT_EQ(end, 3);
        ui::TypeText(e.m_hWnd, u"Zz");
        EXPECT_EQ(TextOf(e.m_hWnd), CString(u"Zz"));

        // A read-only edit refuses typing with a beep; the password edit keeps its text.
        HWND ro = ::GetDlgItem(h, 1006);
        ui::TypeText(ro, u"x");
        EXPECT_EQ(TextOf(ro), CString(u"fixed"));
        EXPECT_EQ(ui::BeepCount(), 1);
        HWND pw = ::GetDlgItem(h, 1005);
        ui::TypeText(pw, u"Secret 1");
        EXPECT_EQ(TextOf(pw), CString(u"Secret 1"));
    });
}

// ---- painting ------------------------------------------------------------------------------

TEST_F(UiTest, OwnerDrawnStaticPaintsThroughDrawItemBeforeUpdateWindowReturns)
{
    CTestDlg dlg;
    RunModal(dlg, [&](HWND h) {
        COwnerStatic& p = dlg.m_prompt;
        ASSERT_TRUE(ui::RunUntil([&] { return p.m_nDrawn > 0; }));
        const int before = p.m_nDrawn;
        p.m_fill = RGB(0, 0, 0xFF);
        ::InvalidateRect(p.m_hWnd, nullptr, TRUE);
        ::UpdateWindow(p.m_hWnd);
        EXPECT_EQ(p.m_nDrawn, before + 1);
        EXPECT_EQ(p.m_bkSeen, GetSysColor(COLOR_BTNFACE)); // as the dialog prepares the DC
        const QImage shot = ui::WidgetOf(p.m_hWnd)->grab().toImage();
        EXPECT_EQ(shot.pixelColor(2, 2), QColor(0, 0, 0xFF)); // 0x00BBGGRR: blue
        // Outside a paint, a DC draws nothing and does not crash.
        CPaintDC outside(&dlg);
        outside.FillSolidRect(0, 0, 5, 5, 0);
        EXPECT_EQ(outside.GetBkColor(), COLORREF(0));
        EXPECT_EQ(CDC::FromHandle(reinterpret_cast<HDC>(0x1234))->GetBkColor(), 0xFFFFFFFFu);
    });
}

TEST_F(UiTest, BitmapsIconsAndFontsComeFromResourcesAndShowOnTheirControls)
{
    QImage ball(16, 16, QImage::Format_RGB32);
    ball.fill(QColor(0, 200, 0));
    ui::RegisterImageResource(9149, false, ball);
    QImage icon(16, 16, QImage::Format_ARGB32);
    icon.fill(QColor(200, 0, 0));
    ui::RegisterImageResource(9139, true, icon);

    CBitmap bmp;
    EXPECT_FALSE(bmp.LoadBitmap(1)); // no such resource
    ASSERT_TRUE(bmp.LoadBitmap(9149));
    BITMAP info;
    ASSERT_NE(bmp.GetBitmap(&info), 0);
    EXPECT_EQ(info.bmWidth, 16);
    HICON hIcon = ::LoadIcon(AfxGetInstanceHandle(), MAKEINTRESOURCE(9139));
    ASSERT_NE(hIcon, nullptr);
    EXPECT_EQ(hIcon, ::LoadIcon(nullptr, MAKEINTRESOURCE(9139))); // shared

    CTestDlg dlg;
    RunModal(dlg, [&](HWND h) {
        CStatic pic;
        ASSERT_TRUE(pic.SubclassWindow(::GetDlgItem(h, 1003)));
        EXPECT_EQ(pic.SetBitmap(bmp), nullptr);
        EXPECT_EQ(pic.GetBitmap(), static_cast<HBITMAP>(bmp));
        EXPECT_EQ(ui::WidgetOf(pic.m_hWnd)->size(), QSize(16, 16)); // takes its bitmap's size
        EXPECT_EQ(ui::WidgetOf(pic.m_hWnd)->grab().toImage().pixelColor(8, 8), QColor(0, 200, 0));
        pic.UnsubclassWindow();

        EXPECT_EQ(::SendMessageW(h, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(hIcon)), 0);
        EXPECT_EQ(reinterpret_cast<HICON>(::SendMessageW(h, WM_GETICON, ICON_BIG, 0)), hIcon);
        EXPECT_EQ(::SendMessageW(h, WM_GETICON, ICON_SMALL, 0), 0);

        CFont font;
        ASSERT_TRUE(font.CreatePointFont(160, u"宋体", nullptr));
        LOGFONTW lf;
        ASSERT_NE(font.GetLogFont(&lf), 0);
        EXPECT_EQ(lf.lfHeight, -21); // 16 pt at 96 dpi
    });
    EXPECT_TRUE(bmp.DeleteObject());
    EXPECT_TRUE(ui::ImageOfBitmap(bmp).isNull());
}

// ---- file dialog ---------------------------------------------------------------------------

TEST_F(UiTest, FileDialogAnswersThroughTheHookWithAWindowsShapedPath)
{
    std::vector<ui::FileDialogCall> calls;
    ui::SetFileDialogHook([&](const ui::FileDialogCall& c) -> std::optional<std::string> {
        calls.push_back(c);
        if (calls.size() == 1) return std::string("/tmp/images/Mouse.bimg");
        return std::nullopt;
    });
    CFileDialog dlg(TRUE, nullptr, nullptr, OFN_NOCHANGEDIR, u"QL40 Config File (*.bimg)|*.bimg|");
    ASSERT_EQ(dlg.DoModal(), IDOK);
    EXPECT_EQ(dlg.GetPathName(), CString(u"\\tmp\\images\\Mouse.bimg"));
    EXPECT_EQ(dlg.GetFileName(), CString(u"Mouse.bimg"));
    EXPECT_EQ(dlg.GetFileExt(), CString(u"bimg"));
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_TRUE(calls[0].bOpen);
    EXPECT_EQ(calls[0].strFilter, CString(u"QL40 Config File (*.bimg)|*.bimg|"));
    CFileDialog again(TRUE, nullptr, nullptr, OFN_NOCHANGEDIR, u"QL40 Config File (*.bimg)|*.bimg|");
    EXPECT_EQ(again.DoModal(), IDCANCEL);
}

// ---- waits ---------------------------------------------------------------------------------

TEST_F(UiTest, MsgWaitOnTheGuiThreadWakesOnAnotherThreadsSignal)
{
    // How much CPU such a wait uses is measured in bench_app, not here.
    HANDLE ev = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    ASSERT_NE(ev, nullptr);
    EXPECT_EQ(MsgWaitForSingleObject(ev, 0), WAIT_TIMEOUT);

    std::thread setter([&] { SetEvent(ev); });
    const DWORD r = MsgWaitForSingleObject(ev, INFINITE);
    setter.join();
    EXPECT_EQ(r, WAIT_OBJECT_0);

    // A posted message also ends the wait, and a bounded wait ends on its own.
    ResetEvent(ev); // the wait does not consume the signal
    CTestDlg dlg;
    RunModal(dlg, [&](HWND h) {
        std::thread poster([h, id = dlg.m_nRegistered] { ::PostMessageW(h, id, 5, 0); });
        poster.join();
        // The queue is looked at before any GUI processing, so the waiting message is reported.
        EXPECT_EQ(MsgWaitForSingleObject(ev, INFINITE), WAIT_OBJECT_0 + 1);
        EXPECT_TRUE(ui::RunUntil([&] { return !dlg.m_registered.empty(); }));
        EXPECT_EQ(MsgWaitForSingleObject(ev, 20), WAIT_TIMEOUT);
        dlg.EndDialog(IDOK);
    });
    CloseHandle(ev);
}
