// tarvex-screens OUTDIR: renders the tool's dialogs from their templates on the offscreen
// platform and writes one PNG per dialog, framed with a title bar showing caption and icon
// (the offscreen platform draws no window decorations of its own). On Windows the system
// draws the dialogs, frame included, and the pictures are BMP files named win-*.bmp.
#ifdef _WIN32
#include <filesystem>
#include <string>
#else
#include <QDir>
#include <QFont>
#include <QImage>
#include <QPainter>
#include <QString>
#include <QWidget>
#endif

#include <cstdio>
#include <cstring>
#include <functional>

#include "controls/MaskEdit.h"
#include "controls/PromptInfoCtrl.h"
#include "config/SystemConfigDlg.h"
#include "platform/ui/Afx.h"
#include "platform/ui/TestHooks.h"
#include "res/Resources.h"

namespace {

namespace ui = platform::ui;

#ifdef _WIN32
using Path = std::string;
std::string g_outDir;
Path Out(std::string name) { return g_outDir + "/win-" + name.replace(name.rfind(".png"), 4, ".bmp"); }

// Shows dlg modally, lets prepare() set it up, and writes the picture of the whole window.
bool Shoot(CDialog& dlg, const Path& path, const std::function<void()>& prepare)
{
    bool ok = false;
    ui::SetDialogShownHook([&](HWND hDlg) {
        if (prepare)
            prepare();
        ui::ProcessPendingEvents();
        ok = ui::SavePictureBmp(ui::PictureOfWindow(hDlg, true), path);
        dlg.EndDialog(IDCANCEL);
    });
    dlg.DoModal();
    ui::SetDialogShownHook(nullptr);
    if (!ok)
        std::fprintf(stderr, "tarvex-screens: cannot write %s\n", path.c_str());
    return ok;
}
#else
using Path = QString;
QString g_outDir;
Path Out(const char* name) { return g_outDir + "/" + QString::fromLatin1(name); }

QString ToQString(const CString& s)
{
    return QString::fromUtf16(s.GetString(), s.GetLength());
}

// A plain title bar: icon (if any), caption, close box.
QImage Frame(const QImage& client, const QImage& icon, const QString& caption, const QFont& font)
{
    const int bar = 26, border = 1;
    QImage out(client.width() + 2 * border, client.height() + bar + border, QImage::Format_RGB32);
    out.fill(QColor(120, 130, 145));
    QPainter p(&out);
    p.fillRect(border, border, client.width(), bar - border, QColor(222, 230, 241));
    int x = border + 6;
    if (!icon.isNull()) {
        p.drawImage(QRect(x, border + (bar - 16) / 2, 16, 16), icon);
        x += 22;
    }
    p.setFont(font);
    p.setPen(QColor(20, 20, 20));
    p.drawText(QRect(x, border, client.width() - x - 30, bar - border), Qt::AlignVCenter | Qt::AlignLeft, caption);
    // Close box
    const int cx = out.width() - border - 20, cy = border + bar / 2 - 1;
    p.setPen(QPen(QColor(60, 60, 60), 1.5));
    p.drawLine(cx - 4, cy - 4, cx + 4, cy + 4);
    p.drawLine(cx + 4, cy - 4, cx - 4, cy + 4);
    p.drawImage(border, bar, client);
    p.end();
    return out;
}

// Shows dlg modally, lets prepare() set it up, and writes its picture to path.
bool Shoot(CDialog& dlg, const QString& path, const std::function<void()>& prepare)
{
    bool ok = false;
    ui::SetDialogShownHook([&](HWND hDlg) {
        if (prepare)
            prepare();
        ui::ProcessPendingEvents();
        if (QWidget* w = ui::WidgetOf(hDlg)) {
            CString caption;
            dlg.GetWindowText(caption);
            const HICON hIcon = reinterpret_cast<HICON>(dlg.SendMessage(WM_GETICON, ICON_SMALL, 0));
            const QImage icon = hIcon ? ui::ImageOfIcon(hIcon) : QImage();
            const QImage client = w->grab().toImage();
            ok = Frame(client, icon, ToQString(caption), w->font()).save(path, "PNG");
        }
        dlg.EndDialog(IDCANCEL);
    });
    dlg.DoModal();
    ui::SetDialogShownHook(nullptr);
    if (!ok)
        std::fprintf(stderr, "tarvex-screens: cannot write %s\n", path.toLocal8Bit().constData());
    return ok;
}

#endif

class CMainScreen : public CDialog
{
public:
    CMainScreen() : CDialog(102) {}
    CStatic m_staticConnect;
    CPromptInfoCtrl m_promptInfo;
    void DoDataExchange(CDataExchange* pDX) override
    {
        CDialog::DoDataExchange(pDX);
        DDX_Control(pDX, 1002, m_staticConnect);
        DDX_Control(pDX, 1005, m_promptInfo);
    }
};

class CConfigScreen : public CDialog
{
public:
    CConfigScreen() : CDialog(129) {}
    CMaskEdit m_editProgramID;
    void DoDataExchange(CDataExchange* pDX) override
    {
        CDialog::DoDataExchange(pDX);
        DDX_Control(pDX, 1005, m_editProgramID);
    }
};

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTDIR\n", argv[0]);
        return 2;
    }
#ifdef _WIN32
    ui::EnsureGui();
    tarvex::res::RegisterResources();
    g_outDir = argv[1];
    std::error_code ec;
    std::filesystem::create_directories(g_outDir, ec);
    if (ec) {
#else
    // Pictures are made without a display, the same on every machine.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    ui::EnsureGui();
    tarvex::res::RegisterResources();

    g_outDir = QString::fromLocal8Bit(argv[1]);
    if (!QDir().mkpath(g_outDir)) {
#endif
        std::fprintf(stderr, "tarvex-screens: cannot create %s\n", argv[1]);
        return 1;
    }

    bool ok = true;
    {
        // As the window stands with no mouse attached: nothing has been reported yet, so the
        // window keeps the application icon, the connection picture and the program texts
        // are empty and the status line is blank.
        CMainScreen dlg;
        ok &= Shoot(dlg, Out("dialog-102.png"), [&] {
            const HICON hIcon = LoadIcon(AfxGetInstanceHandle(), MAKEINTRESOURCE(128));
            dlg.SendMessage(WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(hIcon));
            dlg.SendMessage(WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(hIcon));
            dlg.m_promptInfo.SetPromptInfo(GetSysColor(COLOR_BTNFACE), u"");
            dlg.SetWindowText(u"DUN-X4游戏鼠标ROM升级工具"); // the title without a configured one
        });
    }
    {
        CConfigScreen dlg;
        ok &= Shoot(dlg, Out("dialog-129.png"), nullptr);
    }
    {
        CDialog dlg(130);
        ok &= Shoot(dlg, Out("dialog-130.png"), nullptr);
    }
    {
        // The configuration dialog itself, filled in as a technician leaves it.
        CSystemConfigDlg dlg;
        WcsCopyField(dlg.m_Config.szAppFile, CONFIG_TEXT_UNITS, CString(u"dunx4-v12.bimg"));
        std::memcpy(dlg.m_Config.szAppName, "DUNX4V12", 8);
        dlg.m_Config.dwAppCrc = 0x7C1E;
        dlg.m_Config.wProgramID = 0x5A3C;
        dlg.m_Config.wProgramVer = 0x0102;
        dlg.m_Config.bAutoUpgrade = TRUE;
        dlg.m_Config.bAutoReset = TRUE;
        dlg.m_Config.bSaveUserData = TRUE;
        WcsCopyField(dlg.m_Config.szTitle, CONFIG_TEXT_UNITS, CString(u"DUN-X4 产线升级 1号工位"));
        WcsCopyField(dlg.m_Config.szPassword, CONFIG_TEXT_UNITS, CString(u"line-1"));
        ok &= Shoot(dlg, Out("config-dialog.png"), nullptr);
    }
    return ok ? 0 : 1;
}
