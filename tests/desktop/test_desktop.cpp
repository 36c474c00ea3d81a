// The tool's windows clicked the way a person clicks them. With TARVEX_XDOTOOL=1 on a real X
// server (scripts/test-desktop: Xvfb, with and without a window manager) every click is made
// by xdotool at the control's screen position, so the X server, the window manager and Qt's
// widget stacking all decide where it lands. Elsewhere (offscreen) the same click goes to
// the top-level window at the control's position.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QAbstractItemView>
#include <QClipboard>
#include <QFileInfo>
#include <QHeaderView>
#include <QMenu>
#include <QTreeView>
#include <QApplication>
#include <QFileDialog>
#include <QLabel>
#include <QTimer>
#include <QComboBox>
#include <QGuiApplication>
#include <QImage>
#include <QLineEdit>
#include <QPixmap>
#include <QProcess>
#include <QScreen>
#include <QWidget>
#include <QWindow>
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "app/TarvexDlg.h"
#include "config/SystemConfigDlg.h"
#include "platform/Clock.h"
#include "platform/Kernel.h"
#include "platform/ui/TestHooks.h"
#include "res/Resources.h"
#include "sim/World.h"
#include "tests/support/ImageFactory.h"

namespace ui = platform::ui;

namespace {

const bool g_platform = [] {
    if (!std::getenv("DISPLAY")) setenv("QT_QPA_PLATFORM", "offscreen", 0);
    return true;
}();

constexpr int kBound = 20000; // real milliseconds, for anything that should take far less

bool UseXdotool()
{
    const char* v = std::getenv("TARVEX_XDOTOOL");
    return v && std::string(v) == "1";
}

// Runs xdotool with args while the event loop keeps running; false on failure or time-out.
bool Xdotool(const QStringList& args)
{
    QProcess p;
    p.start(QStringLiteral("xdotool"), args);
    if (!ui::RunUntil([&] { return p.state() == QProcess::NotRunning; }, kBound)) {
        p.kill();
        p.waitForFinished(2000);
        ADD_FAILURE() << "xdotool did not finish: " << args.join(' ').toStdString();
        return false;
    }
    if (p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        ADD_FAILURE() << "xdotool failed: " << args.join(' ').toStdString() << ": "
                      << p.readAllStandardError().toStdString();
        return false;
    }
    return true;
}

// A click by xdotool at a screen position. "mousemove --sync" waits for the pointer to move,
// which it never does when it is already there: a step beside the point comes first.
bool XClick(QPoint onScreen, int button = 1)
{
    // xdotool counts device pixels; Qt's screen coordinates are scaled.
    const qreal ratio = QGuiApplication::primaryScreen() ? QGuiApplication::primaryScreen()->devicePixelRatio() : 1.0;
    onScreen = QPoint(qRound(onScreen.x() * ratio), qRound(onScreen.y() * ratio));
    return Xdotool({QStringLiteral("mousemove"), QString::number(onScreen.x() + 1), QString::number(onScreen.y() + 1),
                    QStringLiteral("mousemove"), QStringLiteral("--sync"), QString::number(onScreen.x()),
                    QString::number(onScreen.y()), QStringLiteral("click"), QString::number(button)});
}

// The window is on screen, where the X server (and the window manager) put it.
bool WaitOnScreen(QWidget* top)
{
    return ui::RunUntil([&] { return top->isVisible() && top->windowHandle() && top->windowHandle()->isExposed(); }, kBound);
}

// A click at the centre of control h.
void Click(HWND h, bool right = false)
{
    QWidget* w = ui::WidgetOf(h);
    ASSERT_NE(w, nullptr);
    QWidget* top = w->window();
    const QPoint inWindow = w->mapTo(top, w->rect().center());
    if (!UseXdotool()) {
        ASSERT_TRUE(ui::ClickAt(top, inWindow, right));
        return;
    }
    ASSERT_TRUE(WaitOnScreen(top));
    ASSERT_TRUE(XClick(top->mapToGlobal(inWindow), right ? 3 : 1));
}

// A key as the keyboard gives it, to the control with the focus: xdotool on X (the pointer
// rests on the window first, so the key reaches it with or without a window manager), else
// the framework's key input to the focused control.
void Key(QWidget* top, const QString& xkey, UINT vk, bool shift = false, bool ctrl = false)
{
    if (!UseXdotool()) {
        QWidget* focus = top->focusWidget() ? top->focusWidget() : top;
        const QVariant h = focus->property("tarvexHwnd");
        ASSERT_TRUE(h.isValid());
        ui::SendKey(reinterpret_cast<HWND>(static_cast<std::uintptr_t>(h.toULongLong())), vk, shift, ctrl);
        return;
    }
    ASSERT_TRUE(WaitOnScreen(top));
    ASSERT_TRUE(ui::RunUntil([&] { return top->isActiveWindow(); }, kBound)) << "the window never became active";
    ASSERT_TRUE(Xdotool({QStringLiteral("key"), QStringLiteral("--clearmodifiers"), xkey}));
    ui::ProcessPendingEvents();
}

// Ends a dialog that a failed step left open, so a failure cannot hang the run.
struct EndOnExit {
    CDialog& dlg;
    ~EndOnExit()
    {
        if (dlg.m_hWnd && ::IsWindowVisible(dlg.m_hWnd)) dlg.EndDialog(IDABORT);
    }
};

// With TARVEX_DESKTOP_SHOTS set (a directory), the whole screen as the user sees it.
void Shot(const char* name)
{
    const char* dir = std::getenv("TARVEX_DESKTOP_SHOTS");
    if (!dir || QGuiApplication::platformName() != QStringLiteral("xcb")) return;
    // Painted and on the server now, not at the next frame.
    for (QWidget* w : QApplication::topLevelWidgets())
        if (w->isVisible()) w->repaint();
    ui::ProcessPendingEvents();
    QScreen* screen = QGuiApplication::primaryScreen();
    if (!screen) return;
    screen->grabWindow(0).save(QString::fromLocal8Bit(dir) + QLatin1Char('/') + QLatin1String(name) + QStringLiteral(".png"));
}

class DesktopTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ui::EnsureGui();
        tarvex::res::RegisterResources();
        platform::OverrideModuleFileName((dir.Path() / "tarvex").string());
        ui::ClearMessageBoxLog();
        ui::SetMessageBoxHook([](const ui::MessageBoxCall&) { return IDOK; });
        ui::SetFileDialogHook([this](const ui::FileDialogCall&) -> std::optional<std::string> {
            ++fileDialogs;
            return std::nullopt;
        });
    }
    void TearDown() override
    {
        ui::SetMessageBoxHook(nullptr);
        ui::SetFileDialogHook(nullptr);
        ui::SetDialogShownHook(nullptr);
        ui::SetSystemMenuHook(nullptr);
        platform::OverrideModuleFileName("");
    }

    testsupport::TempDir dir;
    int fileDialogs = 0;
};

} // namespace

TEST_F(DesktopTest, EveryControlInsideTheConfigurationDialogsGroupBoxesTakesAClick)
{
    CSystemConfigDlg dlg;
    dlg.m_Config.wProgramVer = 0x0102;
    dlg.m_Config.bAutoUpgrade = TRUE;
    dlg.m_Config.bVersionCheck = TRUE;
    bool ran = false;
    ui::SetDialogShownHook([&](HWND h) {
        ui::SetDialogShownHook(nullptr);
        ran = true;
        QWidget* window = ui::WidgetOf(h);
        ASSERT_TRUE(WaitOnScreen(window));
        Shot("config-dialog");

        Click(::GetDlgItem(h, 1033)); // 选择文件
        EXPECT_TRUE(ui::RunUntil([&] { return fileDialogs == 1; }, kBound)) << "选择文件";

        QWidget* programId = ui::WidgetOf(::GetDlgItem(h, 1005)); // 程序ID
        ASSERT_NE(window->focusWidget(), programId);
        Click(::GetDlgItem(h, 1005));
        EXPECT_TRUE(ui::RunUntil([&] { return window->focusWidget() == programId; }, kBound)) << "程序ID";

        for (int id : {1006, 1008}) { // the two version lists
            auto* combo = qobject_cast<QComboBox*>(ui::WidgetOf(::GetDlgItem(h, id)));
            ASSERT_NE(combo, nullptr);
            Click(::GetDlgItem(h, id));
            EXPECT_TRUE(ui::RunUntil([&] { return combo->view()->isVisible(); }, kBound)) << "list " << id;
            combo->hidePopup();
            ASSERT_TRUE(ui::RunUntil([&] { return !combo->view()->isVisible(); }, kBound));
        }

        for (int id : {1001, 1000, 1009, 1015}) { // the four options
            const HWND box = ::GetDlgItem(h, id);
            const LRESULT before = ::SendMessageW(box, BM_GETCHECK, 0, 0);
            Click(box);
            EXPECT_TRUE(ui::RunUntil([&] { return ::SendMessageW(box, BM_GETCHECK, 0, 0) != before; }, kBound))
                << "option " << id;
        }

        Click(::GetDlgItem(h, IDCANCEL));
        EXPECT_TRUE(ui::RunUntil([&] { return !::IsWindowVisible(h); }, kBound)) << "取消";
        if (::IsWindowVisible(h)) dlg.EndDialog(IDABORT);
    });
    EXPECT_EQ(dlg.DoModal(), IDCANCEL);
    EXPECT_TRUE(ran);
}

TEST_F(DesktopTest, TheFileDialogSpeaksTheInterfacesLanguage)
{
    ui::SetFileDialogHook(nullptr); // Qt's own dialog, as the technician sees it
    QStringList buttons, labels;
    QTimer poll;
    poll.setInterval(10);
    QObject::connect(&poll, &QTimer::timeout, [&] {
        auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
        if (!dialog || !dialog->isVisible()) return;
        poll.stop();
        for (auto* b : dialog->findChildren<QAbstractButton*>())
            if (!b->text().isEmpty()) buttons << b->text();
        for (auto* l : dialog->findChildren<QLabel*>())
            if (!l->text().isEmpty()) labels << l->text();
        if (WaitOnScreen(dialog)) Shot("file-dialog");
        dialog->reject();
    });
    poll.start();
    CFileDialog dlg(TRUE, nullptr, nullptr, OFN_NOCHANGEDIR, u"QL40 Config File (*.bimg)|*.bimg|");
    EXPECT_EQ(dlg.DoModal(), IDCANCEL);
    EXPECT_TRUE(buttons.contains(QString::fromUtf16(u"打开(&O)")) || buttons.contains(QString::fromUtf16(u"打开")))
        << buttons.join(QLatin1Char('|')).toStdString();
    EXPECT_TRUE(buttons.contains(QString::fromUtf16(u"取消"))) << buttons.join(QLatin1Char('|')).toStdString();
    EXPECT_FALSE(buttons.contains(QStringLiteral("Cancel")) || buttons.contains(QStringLiteral("&Open")));
    EXPECT_FALSE(labels.contains(QStringLiteral("Look in:"))) << labels.join(QLatin1Char('|')).toStdString();
}

// The main window with the simulated mouse on a scaled clock.
class MainWindowTest : public DesktopTest
{
protected:
    void SetUp() override
    {
        DesktopTest::SetUp();
        platform::SetTimeScale(kScale);
        world.Reset();
        sim::World::Install();
        platform::ClearMessageQueue();
        const std::vector<BYTE> raw = testsupport::MakeRawImage(0x8000, 7);
        const ENC_FILE_HEADER header = testsupport::WriteImageFile(dir / "mouse.bimg", "mouse", raw);
        SYSTEM_CONFIG config = testsupport::MakeConfig(u"mouse.bimg", header);
        config.wProgramID = 0x5A3C; // the simulated mouse's
        config.wProgramVer = 0x0200;
        ASSERT_TRUE(testsupport::WriteConfigFile(dir.Path(), config));
    }
    void TearDown() override
    {
        if (world.GetMouseMode() != sim::MouseMode::Absent) world.UnplugMouse();
        platform::ClearMessageQueue();
        platform::SetTimeScale(1.0);
        DesktopTest::TearDown();
    }
    // The 90 s wait for a bootloader that never comes lasts 4.5 s.
    static constexpr double kScale = 0.05;
    sim::World& world = sim::World::Instance();
};

TEST_F(MainWindowTest, RightClickOnTheBackgroundOpensTheSystemMenuWithTheConfigurationEntry)
{
    CTarvexDlg dlg;
    std::vector<UINT> shown;
    ui::SetSystemMenuHook([&](HWND, const std::vector<ui::MenuItemInfo>& items) {
        for (const auto& i : items) shown.push_back(i.nID);
        return 0u;
    });
    ui::SetDialogShownHook([&](HWND h) {
        if (h != dlg.m_hWnd) return;
        ui::SetDialogShownHook(nullptr);
        QWidget* window = ui::WidgetOf(h);
        ASSERT_TRUE(WaitOnScreen(window));
        Shot("main-window");
        // Between the progress bar and the status line: the dialog's own background.
        QWidget* bar = ui::WidgetOf(::GetDlgItem(h, 1010));
        QWidget* line = ui::WidgetOf(::GetDlgItem(h, 1005));
        const QPoint gap((bar->geometry().left() + bar->geometry().right()) / 2,
                         (bar->geometry().bottom() + line->geometry().top()) / 2);
        if (UseXdotool()) {
            ASSERT_TRUE(XClick(window->mapToGlobal(gap), 3));
        } else {
            ASSERT_TRUE(ui::ClickAt(window, gap, true));
        }
        EXPECT_TRUE(ui::RunUntil([&] { return !shown.empty(); }, kBound));
        dlg.EndDialog(IDCANCEL);
    });
    dlg.DoModal();
    EXPECT_NE(std::find(shown.begin(), shown.end(), IDM_SYSTEM_CONFIG), shown.end());
}

TEST_F(MainWindowTest, ExitDuringARunShowsItWaitsAndAFailureStaysOnScreen)
{
    CTarvexDlg dlg;
    bool runEnded = false, exitClicked = false;
    int shownSteps = 0, hiddenSteps = 0, finalProgress = -1;
    CString finalStatus, pendingCaption;
    dlg.m_fnObserver = [&](CTarvexDlg::Change c) {
        if (c == CTarvexDlg::Change::RunEnded) runEnded = true;
        if (c == CTarvexDlg::Change::ExitPending && dlg.IsExitPending()) {
            dlg.GetDlgItem(IDCANCEL)->GetWindowText(pendingCaption);
            ui::RunLater([] { Shot("main-exit-pending"); });
        }
        if (exitClicked && (c == CTarvexDlg::Change::Status || c == CTarvexDlg::Change::Progress ||
                            c == CTarvexDlg::Change::RunEnded)) {
            QWidget* w = ui::WidgetOf(dlg.m_hWnd);
            const bool onScreen = w && w->isVisible() && w->windowHandle() && w->windowHandle()->isExposed();
            ++(onScreen ? shownSteps : hiddenSteps);
            if (c == CTarvexDlg::Change::RunEnded) {
                finalStatus = dlg.GetStatusText();
                finalProgress = dlg.GetProgress();
            }
        }
        if (c == CTarvexDlg::Change::Status && dlg.GetStatusText() == CString(u"检查到游戏鼠标设备，进入升级....")) {
            ui::RunLater([&] { // inside the wait for the bootloader
                Click(dlg.GetDlgItem(IDCANCEL)->m_hWnd);
                exitClicked = true;
            });
        }
    };
    bool closedByClick = false;
    ui::SetDialogShownHook([&](HWND h) {
        if (h != dlg.m_hWnd) return;
        ui::SetDialogShownHook(nullptr);
        EndOnExit guard{dlg};
        ASSERT_TRUE(WaitOnScreen(ui::WidgetOf(h)));
        world.SetFaults([] {
            sim::Faults f;
            f.bootloaderPresent = false;
            return f;
        }());
        world.PlugMouse();
        ASSERT_TRUE(ui::RunUntil([&] { return dlg.m_AppComm.IsOpen(); }, kBound));
        Click(::GetDlgItem(h, 1006)); // 升级
        ASSERT_TRUE(ui::RunUntil([&] { return runEnded || !::IsWindow(h); }, 4 * kBound));
        // The failure stays on screen, the exit dropped, until Exit is clicked again.
        ASSERT_TRUE(::IsWindowVisible(h));
        Shot("main-failure-after-exit");
        Click(::GetDlgItem(h, IDCANCEL));
        closedByClick = ui::RunUntil([&] { return !::IsWindowVisible(h); }, kBound);
        if (::IsWindowVisible(h)) dlg.EndDialog(IDABORT);
    });
    EXPECT_EQ(dlg.DoModal(), IDCANCEL);
    EXPECT_TRUE(exitClicked);
    EXPECT_TRUE(closedByClick);
    EXPECT_EQ(pendingCaption, CString(u"升级后退出"));
    EXPECT_GT(shownSteps, 0);
    EXPECT_EQ(hiddenSteps, 0);
    EXPECT_EQ(finalStatus, CString(u"没有检查到可升级设备！"));
    EXPECT_EQ(finalProgress, 20);
}

// Enter from the keyboard after a run that failed starts the next run; it never closes the
// window, and Shift+F10 opens the window's menu.
TEST_F(MainWindowTest, EnterAfterARunStartsTheNextAndShiftF10OpensTheMenu)
{
    // A mouse whose version is not older than the image's: each run is refused at once.
    SYSTEM_CONFIG config{};
    ASSERT_EQ(LoadSystemConfig(CString(platform::WindowsPath((dir.Path() / "Tarvex.cfg").string())), &config), 1);
    config.bVersionCheck = TRUE;
    config.wProgramVer = 0x0001;
    ASSERT_TRUE(testsupport::WriteConfigFile(dir.Path(), config));
    CTarvexDlg dlg;
    int runs = 0, ended = 0;
    dlg.m_fnObserver = [&](CTarvexDlg::Change c) {
        if (c == CTarvexDlg::Change::RunStarted) ++runs;
        if (c == CTarvexDlg::Change::RunEnded) ++ended;
    };
    std::vector<UINT> menu;
    ui::SetSystemMenuHook([&](HWND, const std::vector<ui::MenuItemInfo>& items) {
        for (const auto& i : items) menu.push_back(i.nID);
        return 0u;
    });
    ui::SetDialogShownHook([&](HWND h) {
        if (h != dlg.m_hWnd) return;
        ui::SetDialogShownHook(nullptr);
        EndOnExit guard{dlg};
        QWidget* window = ui::WidgetOf(h);
        ASSERT_TRUE(WaitOnScreen(window));
        world.PlugMouse();
        ASSERT_TRUE(ui::RunUntil([&] { return dlg.m_AppComm.IsOpen(); }, kBound));
        for (int n = 1; n <= 2; ++n) {
            Key(window, QStringLiteral("Return"), VK_RETURN);
            ASSERT_TRUE(ui::RunUntil([&] { return ended == n; }, kBound)) << "run " << n;
            EXPECT_TRUE(::IsWindowVisible(h));
            EXPECT_EQ(window->focusWidget(), ui::WidgetOf(::GetDlgItem(h, 1006)));
        }
        Shot("main-after-enter");
        Key(window, QStringLiteral("shift+F10"), VK_F1 + 9, true);
        EXPECT_TRUE(ui::RunUntil([&] { return !menu.empty(); }, kBound)) << "Shift+F10";
        dlg.EndDialog(IDCANCEL);
    });
    dlg.DoModal();
    EXPECT_EQ(runs, 2);
    EXPECT_NE(std::find(menu.begin(), menu.end(), IDM_SYSTEM_CONFIG), menu.end());
}

// The program ID field takes a paste by the keys and by its context menu only as far as its
// mask lets it.
TEST_F(DesktopTest, ProgramIdPastesKeepToTheMask)
{
    CSystemConfigDlg dlg;
    dlg.m_Config.wProgramID = 0x0000;
    CString afterKeys, afterMenu;
    ui::SetDialogShownHook([&](HWND h) {
        ui::SetDialogShownHook(nullptr);
        EndOnExit guard{dlg};
        QWidget* window = ui::WidgetOf(h);
        ASSERT_TRUE(WaitOnScreen(window));
        const HWND id = ::GetDlgItem(h, 1005);
        Click(id);
        ASSERT_TRUE(ui::RunUntil([&] { return window->focusWidget() == ui::WidgetOf(id); }, kBound));
        QGuiApplication::clipboard()->setText(QStringLiteral("12345678"));
        Key(window, QStringLiteral("Home"), VK_HOME);
        Key(window, QStringLiteral("ctrl+v"), 'V', false, true);
        ASSERT_TRUE(ui::RunUntil([&] { return dlg.m_editProgramID.m_strValue == CString(u"1234"); }, kBound));
        Key(window, QStringLiteral("ctrl+v"), 'V', false, true); // at the end: nothing more
        dlg.m_editProgramID.GetWindowText(afterKeys);

        // The context menu's 粘贴 at the start.
        QGuiApplication::clipboard()->setText(QStringLiteral("ab"));
        Key(window, QStringLiteral("Home"), VK_HOME);
        QMenu* menu = nullptr;
        QTimer poll;
        poll.setInterval(10);
        QObject::connect(&poll, &QTimer::timeout, [&] {
            menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
            if (!menu || !menu->isVisible()) return;
            poll.stop();
            QAction* paste = nullptr;
            for (QAction* a : menu->actions())
                if (a->text() == QString::fromUtf16(u"粘贴(&P)")) paste = a;
            ASSERT_NE(paste, nullptr);
            Shot("program-id-menu");
            const QPoint at = menu->actionGeometry(paste).center();
            if (UseXdotool()) {
                ASSERT_TRUE(WaitOnScreen(menu));
                ASSERT_TRUE(XClick(menu->mapToGlobal(at)));
            } else {
                ASSERT_TRUE(ui::ClickAt(menu, at));
            }
        });
        poll.start();
        Click(id, true);
        EXPECT_TRUE(ui::RunUntil([&] { return dlg.m_editProgramID.m_strValue == CString(u"ab34"); }, kBound));
        dlg.m_editProgramID.GetWindowText(afterMenu);
        Shot("program-id-after-paste");
        QGuiApplication::clipboard()->clear();
        dlg.EndDialog(IDCANCEL);
    });
    dlg.DoModal();
    EXPECT_EQ(afterKeys, CString(u"1234"));
    EXPECT_EQ(afterMenu, CString(u"ab34"));
}

// The image chooser opens in the tool directory, then where the last image was chosen; it
// stands whole on the screen with every column of its list readable.
TEST_F(DesktopTest, TheFileChooserStartsInTheToolDirectoryAndShowsItsColumns)
{
    ui::SetFileDialogHook(nullptr);
    const std::filesystem::path elsewhere = dir.Path() / "elsewhere";
    std::filesystem::create_directories(elsewhere);
    testsupport::WriteImageFile(elsewhere / "other.bimg", "other", testsupport::MakeRawImage(0x5000, 3));
    std::vector<QString> folders;
    int round = 0;
    QTimer poll;
    poll.setInterval(10);
    QObject::connect(&poll, &QTimer::timeout, [&] {
        auto* chooser = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
        if (!chooser || !chooser->isVisible() || !WaitOnScreen(chooser)) return;
        poll.stop();
        folders.push_back(QFileInfo(chooser->directory().absolutePath()).canonicalFilePath());
        const QRect screen = chooser->screen()->availableGeometry();
        EXPECT_TRUE(screen.contains(chooser->frameGeometry())) << "chooser off the screen";
        QTreeView* tree = nullptr;
        for (auto* t : chooser->findChildren<QTreeView*>())
            if (t->isVisible()) tree = t;
        EXPECT_NE(tree, nullptr) << "no list in detail";
        ui::RunUntil([&] { return false; }, 100); // let the list fill in and size its columns
        const QHeaderView* header = tree ? tree->header() : nullptr;
        for (int i = 0; header && i < header->count(); ++i) {
            if (header->isSectionHidden(i)) continue;
            EXPECT_LE(header->sectionViewportPosition(i) + header->sectionSize(i), tree->viewport()->width())
                << "column " << i << " cut off";
            EXPECT_GE(header->sectionSize(i), header->sectionSizeHint(i)) << "column " << i << " narrower than its title";
        }
        Shot(round == 0 ? "file-chooser" : "file-chooser-again");
        if (round++ == 0) {
            // An image from another folder, as if picked there (the chooser's own checks of
            // the name run against a folder it may not have listed yet).
            auto* name = chooser->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
            EXPECT_NE(name, nullptr);
            if (name) name->setText(QString::fromStdString((elsewhere / "other.bimg").string()));
            static_cast<QDialog*>(chooser)->done(QDialog::Accepted);
        } else {
            chooser->reject();
        }
    });
    CSystemConfigDlg dlg;
    ui::SetDialogShownHook([&](HWND h) {
        ui::SetDialogShownHook(nullptr);
        EndOnExit guard{dlg};
        ASSERT_TRUE(WaitOnScreen(ui::WidgetOf(h)));
        for (int n = 0; n < 2; ++n) {
            poll.start();
            Click(::GetDlgItem(h, 1033)); // 选择文件
            EXPECT_TRUE(ui::RunUntil([&] { return round > n && !QApplication::activeModalWidget()->inherits("QFileDialog"); }, kBound));
        }
        dlg.EndDialog(IDCANCEL);
    });
    dlg.DoModal();
    poll.stop();
    ASSERT_EQ(folders.size(), 2u);
    EXPECT_EQ(folders[0], QFileInfo(QString::fromStdString(dir.Path().string())).canonicalFilePath());
    EXPECT_EQ(folders[1], QFileInfo(QString::fromStdString(elsewhere.string())).canonicalFilePath());
}

TEST_F(DesktopTest, MoveFromTheSystemMenuHandsTheWindowToTheWindowManager)
{
    const char* wm = std::getenv("TARVEX_WINDOW_MANAGER");
    if (!UseXdotool() || !wm || std::string(wm) != "1") GTEST_SKIP() << "needs a window manager and xdotool";
    CDialog dlg(130);
    QPoint before, after;
    ui::SetDialogShownHook([&](HWND h) {
        ui::SetDialogShownHook(nullptr);
        QWidget* window = ui::WidgetOf(h);
        ASSERT_TRUE(WaitOnScreen(window));
        before = window->pos();
        const QPoint start = window->mapToGlobal(QPoint(10, 10));
        ASSERT_TRUE(Xdotool({QStringLiteral("mousemove"), QStringLiteral("--sync"), QString::number(start.x()),
                             QString::number(start.y())}));
        ASSERT_TRUE(ui::ChooseSystemMenuItem(h, SC_MOVE));
        // The window manager now carries the window with the pointer until a click puts it
        // down; when it starts doing so is its own affair, so the pointer keeps moving until
        // the window has followed.
        for (int step = 0; step < 40 && window->pos() == before; ++step) {
            ASSERT_TRUE(Xdotool({QStringLiteral("mousemove_relative"), QStringLiteral("--sync"), QStringLiteral("5"),
                                 QStringLiteral("4")}));
            ui::RunUntil([&] { return window->pos() != before; }, 50);
        }
        ASSERT_TRUE(Xdotool({QStringLiteral("click"), QStringLiteral("1")}));
        after = window->pos();
        dlg.EndDialog(IDCANCEL);
    });
    dlg.DoModal();
    EXPECT_GT(after.x(), before.x());
    EXPECT_GT(after.y(), before.y());
}
