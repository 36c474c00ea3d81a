// The tool's three dialogs as a person meets them, at the scale the environment sets
// (QT_SCALE_FACTOR; ctest runs this at 1, 1.5 and 2): every text whole inside its control, the
// focus visible on every control that takes it, and every control named for assistive
// technology. With TARVEX_LOOK_SHOTS set (a directory) each dialog is saved as a picture.
#include <gtest/gtest.h>

#include <QAccessible>
#include <QAccessibleValueInterface>
#include <QApplication>
#include <QGuiApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QImage>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QStyleOption>
#include <QWindow>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "app/TarvexDlg.h"
#include "config/PasswordDlg.h"
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

constexpr int kBound = 20000;

QString Plain(QString text) { return text.remove(QLatin1Char('&')); }

HWND HandleOf(QWidget* w) { return reinterpret_cast<HWND>(static_cast<std::uintptr_t>(w->property("tarvexHwnd").toULongLong())); }

// The controls of a dialog in template order.
std::vector<QWidget*> Controls(HWND dlg)
{
    std::vector<QWidget*> out;
    for (QWidget* c : ui::WidgetOf(dlg)->findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
        if (c->property("tarvexHwnd").isValid()) out.push_back(c);
    return out;
}

// Width a control needs for its text, and what it has: the text must fit in one line where
// the control draws it.
struct Fit {
    QString text;
    int need = 0;
    int have = 0;
};

std::vector<Fit> Fits(QWidget* c)
{
    const QFontMetrics fm(c->font());
    std::vector<Fit> out;
    auto add = [&](const QString& text, int have) {
        if (!text.isEmpty()) out.push_back(Fit{text, fm.horizontalAdvance(Plain(text)), have});
    };
    const HWND h = HandleOf(c);
    const DWORD style = static_cast<DWORD>(::GetWindowLongPtrW(h, GWL_STYLE));
    if (auto* b = qobject_cast<QCheckBox*>(c)) {
        QStyleOptionButton opt;
        opt.initFrom(b);
        opt.text = b->text();
        add(b->text(), c->style()->subElementRect(QStyle::SE_CheckBoxContents, &opt, b).width());
    } else if (auto* p = qobject_cast<QPushButton*>(c)) {
        add(p->text(), p->width() - 8); // inside the focus rectangle
    } else if (auto* g = qobject_cast<QGroupBox*>(c)) {
        add(g->title(), g->width() - 16);
    } else if (auto* cb = qobject_cast<QComboBox*>(c)) {
        QStyleOptionComboBox opt;
        opt.initFrom(cb);
        opt.editable = false;
        const int have = c->style()->subControlRect(QStyle::CC_ComboBox, &opt, QStyle::SC_ComboBoxEditField, cb).width();
        QString widest;
        for (int i = 0; i < cb->count(); ++i)
            if (fm.horizontalAdvance(cb->itemText(i)) > fm.horizontalAdvance(widest)) widest = cb->itemText(i);
        add(widest, have);
    } else if (auto* le = qobject_cast<QLineEdit*>(c)) {
        if (le->echoMode() == QLineEdit::Normal) add(le->text(), le->width() - 8); // frame and margins
    } else if (!qobject_cast<QProgressBar*>(c) && (style & SS_TYPEMASK) <= SS_RIGHT) {
        add(c->windowTitle(), c->width());
        if (!c->windowTitle().isEmpty()) out.push_back(Fit{QStringLiteral("(height) ") + c->windowTitle(), fm.height(), c->height()});
    }
    return out;
}

// Every text of every control of dlg, whole.
void ExpectTextsFit(HWND dlg, const char* name)
{
    for (QWidget* c : Controls(dlg))
        for (const Fit& f : Fits(c))
            EXPECT_LE(f.need, f.have) << name << ", control " << ::GetDlgCtrlID(HandleOf(c)) << ": \"" << f.text.toStdString()
                                      << "\" needs " << f.need << " px, has " << f.have;
}

// Each control that takes the focus looks different with it.
void ExpectFocusVisible(HWND dlg, const char* name)
{
    QWidget* top = ui::WidgetOf(dlg);
    for (QWidget* c : Controls(dlg)) {
        const HWND h = HandleOf(c);
        const DWORD style = static_cast<DWORD>(::GetWindowLongPtrW(h, GWL_STYLE));
        if (!(style & WS_TABSTOP) || !c->isEnabled() || !c->isVisible()) continue;
        // Away on another control first, then on this one.
        for (QWidget* o : Controls(dlg))
            if (o != c && o->focusPolicy() != Qt::NoFocus && o->isEnabled()) {
                o->setFocus();
                break;
            }
        ui::ProcessPendingEvents();
        const QImage without = c->grab().toImage();
        c->setFocus();
        ASSERT_TRUE(ui::RunUntil([&] { return top->focusWidget() == c; }, kBound));
        ui::ProcessPendingEvents();
        const QImage with = c->grab().toImage();
        EXPECT_NE(with, without) << name << ", control " << ::GetDlgCtrlID(h) << ": focus not visible";
    }
}

void Shot(HWND dlg, const char* name)
{
    const char* dir = std::getenv("TARVEX_LOOK_SHOTS");
    if (!dir) return;
    const char* scale = std::getenv("QT_SCALE_FACTOR");
    ui::WidgetOf(dlg)->grab().save(QString::fromLocal8Bit(dir) + QLatin1Char('/') + QLatin1String(name) + QLatin1Char('@') +
                                   QLatin1String(scale ? scale : "1") + QStringLiteral(".png"));
}

QString NameOf(HWND h)
{
    QAccessibleInterface* a = QAccessible::queryAccessibleInterface(ui::WidgetOf(h));
    return a ? a->text(QAccessible::Name) : QString();
}

class LookTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ui::EnsureGui();
        tarvex::res::RegisterResources();
        platform::SetTimeScale(0.05);
        sim::World::Instance().Reset();
        sim::World::Install();
        platform::ClearMessageQueue();
        platform::OverrideModuleFileName((dir.Path() / "tarvex").string());
        ui::SetMessageBoxHook([](const ui::MessageBoxCall&) { return IDOK; });
    }
    void TearDown() override
    {
        ui::SetMessageBoxHook(nullptr);
        ui::SetDialogShownHook(nullptr);
        platform::OverrideModuleFileName("");
        platform::ClearMessageQueue();
        platform::SetTimeScale(1.0);
    }
    // Runs body while dlg is on screen, then ends it.
    void Shown(CDialog& dlg, const std::function<void(HWND)>& body)
    {
        bool ran = false;
        ui::SetDialogShownHook([&](HWND h) {
            if (ran || h != dlg.m_hWnd) return;
            ran = true;
            QWidget* w = ui::WidgetOf(h);
            ASSERT_TRUE(ui::RunUntil([w] { return w->windowHandle() && w->windowHandle()->isExposed(); }, kBound));
            body(h);
            dlg.EndDialog(IDCANCEL);
        });
        dlg.DoModal();
        ui::SetDialogShownHook(nullptr);
        EXPECT_TRUE(ran);
    }
    // The widest values each dialog shows.
    void FillMain(CTarvexDlg& dlg)
    {
        dlg.m_staticProgramID.SetWindowText(u"FFFF");
        dlg.m_staticProgramVer.SetWindowText(u"v188.0");
    }
    static void FillConfig(CSystemConfigDlg& dlg)
    {
        dlg.m_Config.wProgramID = 0xBEEF;
        dlg.m_Config.wProgramVer = 0xBCFF; // 188.255
        std::memcpy(dlg.m_Config.szAppName, "DUNX4APP", 8);
        dlg.m_Config.dwAppCrc = 0xD0D0;
        const char16_t file[] = u"DUNX4_V188.bimg";
        std::copy(std::begin(file), std::end(file), dlg.m_Config.szAppFile);
    }
    testsupport::TempDir dir;
};

} // namespace

TEST_F(LookTest, EveryTextIsWholeInItsControl)
{
    CTarvexDlg main;
    Shown(main, [&](HWND h) {
        FillMain(main);
        ExpectTextsFit(h, "main window");
        Shot(h, "main");
        // The Exit button's text while an exit waits for the run's end.
        main.GetDlgItem(IDCANCEL)->SetWindowText(u"升级后退出");
        ExpectTextsFit(h, "main window, exit pending");
    });
    CSystemConfigDlg config;
    FillConfig(config);
    Shown(config, [&](HWND h) {
        ExpectTextsFit(h, "configuration");
        Shot(h, "config");
    });
    CPasswordDlg password;
    Shown(password, [&](HWND h) {
        ExpectTextsFit(h, "password");
        Shot(h, "password");
    });
}

TEST_F(LookTest, FocusIsVisibleOnEveryControlThatTakesIt)
{
    CTarvexDlg main;
    Shown(main, [&](HWND h) { ExpectFocusVisible(h, "main window"); });
    CSystemConfigDlg config;
    FillConfig(config);
    Shown(config, [&](HWND h) { ExpectFocusVisible(h, "configuration"); });
    CPasswordDlg password;
    Shown(password, [&](HWND h) { ExpectFocusVisible(h, "password"); });
}

TEST_F(LookTest, ControlsAreNamedForAssistiveTechnology)
{
    CTarvexDlg main;
    Shown(main, [&](HWND h) {
        FillMain(main);
        EXPECT_EQ(NameOf(::GetDlgItem(h, 1003)), QStringLiteral("FFFF"));
        EXPECT_EQ(NameOf(::GetDlgItem(h, 1004)), QStringLiteral("v188.0"));
        EXPECT_EQ(NameOf(::GetDlgItem(h, 1006)), QString::fromUtf16(u"升级(U)"));
        QAccessibleInterface* upgrade = QAccessible::queryAccessibleInterface(ui::WidgetOf(::GetDlgItem(h, 1006)));
        ASSERT_NE(upgrade, nullptr);
        EXPECT_EQ(upgrade->role(), QAccessible::Button);
        for (QWidget* c : Controls(h)) { // the labels
            QAccessibleInterface* a = QAccessible::queryAccessibleInterface(c);
            ASSERT_NE(a, nullptr);
            if (c->windowTitle().endsWith(QLatin1Char(':'))) {
                EXPECT_EQ(a->role(), QAccessible::StaticText);
                EXPECT_EQ(a->text(QAccessible::Name), c->windowTitle());
            }
        }

        // The status line: its current text, and each change announced.
        std::vector<QString> announced;
        QAccessible::installUpdateHandler([](QAccessibleEvent* e) {
            if (e->type() == QAccessible::NameChanged && e->accessibleInterface())
                static_cast<std::vector<QString>*>(qApp->property("tarvexAnnounced").value<void*>())
                    ->push_back(e->accessibleInterface()->text(QAccessible::Name));
        });
        qApp->setProperty("tarvexAnnounced", QVariant::fromValue<void*>(&announced));
        QAccessible::setActive(true);
        main.m_promptInfo.SetPromptInfo(TARVEX_COLOR_RED, u"写Flash失败！");
        QAccessible::installUpdateHandler(nullptr);
        EXPECT_EQ(NameOf(main.m_promptInfo.m_hWnd), QString::fromUtf16(u"写Flash失败！"));
        // Events flow only while an accessibility bridge is up: on X11 with
        // QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 (the desktop ground), not on the offscreen platform.
        if (QAccessible::isActive())
            EXPECT_NE(std::find(announced.begin(), announced.end(), QString::fromUtf16(u"写Flash失败！")), announced.end());
        else
            std::printf("note: no accessibility bridge on %s, announcements not seen\n", qPrintable(QGuiApplication::platformName()));

        // The progress bar: its value.
        main.m_progressUpgrade.SetPos(60);
        QAccessibleInterface* bar = QAccessible::queryAccessibleInterface(ui::WidgetOf(main.m_progressUpgrade.m_hWnd));
        ASSERT_NE(bar, nullptr);
        ASSERT_NE(bar->valueInterface(), nullptr);
        EXPECT_EQ(bar->valueInterface()->currentValue().toInt(), 60);
    });

    CSystemConfigDlg config;
    FillConfig(config);
    Shown(config, [&](HWND h) {
        const std::map<int, const char16_t*> names = {
            {1032, u"应用文件"}, {1005, u"程序ID"}, {1006, u"程序版本 1"}, {1008, u"程序版本 2"},
            {1014, u"程序标题"}, {1036, u"访问密码"}, {1035, u"D0D0"},
        };
        for (const auto& [id, name] : names)
            EXPECT_EQ(NameOf(::GetDlgItem(h, id)), QString::fromUtf16(name)) << "control " << id;
    });
    CPasswordDlg password;
    Shown(password, [&](HWND h) { EXPECT_EQ(NameOf(::GetDlgItem(h, 1036)), QString::fromUtf16(u"访问密码")); });
}
