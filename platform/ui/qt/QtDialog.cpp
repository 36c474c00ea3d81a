// CDialog on Qt (template instantiation in dialog units, the modal loop), Qt's file chooser
// and message box.
#include <QApplication>
#include <QDialog>
#include <QEventLoop>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QHeaderView>
#include <QTreeView>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QShowEvent>
#include <optional>
#include <QTimer>

#include "platform/Kernel.h"
#include "platform/ui/qt/QtInternal.h"

using namespace platform::ui::detail;

namespace {
QString ToQ(const CString& s) { return QString::fromUtf16(s.GetString(), s.GetLength()); }

// A message box centred on its owner while the owner is on screen, else on the screen (the
// start-up message comes before the main window is shown, and Qt would centre it on the
// owner's unshown geometry: the corner of the screen).
class CenteredMessageBox final : public QMessageBox
{
public:
    using QMessageBox::QMessageBox;

protected:
    void showEvent(QShowEvent* e) override
    {
        QMessageBox::showEvent(e); // takes its final size here
        QWidget* owner = parentWidget() ? parentWidget()->window() : nullptr;
        QRect area;
        if (owner && owner->isVisible() && !owner->isMinimized()) area = owner->frameGeometry();
        else if (QScreen* screen = QGuiApplication::primaryScreen()) area = screen->availableGeometry();
        if (area.isValid()) move(area.center() - QPoint(width() / 2, height() / 2));
    }
};
} // namespace

// ---- CDialog -------------------------------------------------------------------------------

bool CDialog::CreateFromTemplate(HWND hWndParent)
{
    const platform::ui::DialogTemplateData* t = platform::ui::FindDialogTemplate(static_cast<int>(m_nIDTemplate));
    if (!t || m_hWnd) return false;
    const WCHAR* face = (t->dwStyle & DS_SETFONT) && t->pszFace ? t->pszFace : u"MS Shell Dlg";
    const int points = (t->dwStyle & DS_SETFONT) && t->wPointSize ? t->wPointSize : 8;
    const platform::ui::DialogBaseUnits units = platform::ui::GetDialogBaseUnits(face, points);
    const QFont font = MakeFont(CString(face), PointsToPixels(points));
    const QSize client(platform::ui::DluToPixelsX(t->cx, units), platform::ui::DluToPixelsY(t->cy, units));
    Window* dlg = CreateDialogWindow(hWndParent, *t, font, client);
    Attach(dlg->hwnd);
    for (std::size_t i = 0; t->pItems && i < t->nItems; ++i) {
        const platform::ui::DialogItemData& it = t->pItems[i];
        const QRect r(platform::ui::DluToPixelsX(it.x, units), platform::ui::DluToPixelsY(it.y, units),
                      platform::ui::DluToPixelsX(it.cx, units), platform::ui::DluToPixelsY(it.cy, units));
        CreateControl(dlg, it, r);
    }
    NameFieldsByLabels(dlg);
    return true;
}

INT_PTR CDialog::DoModal()
{
    platform::ui::EnsureGui();
    const HWND parent = platform::ui::core::ModalOwner(*this);
    m_bEnded = false;
    m_nModalResult = -1;
    if (!CreateFromTemplate(parent)) return -1;
    const HWND self = m_hWnd;

    const LRESULT setFocus = SendMessage(WM_INITDIALOG, 0, 0);
    Window* w = Find(self);
    if (!m_bEnded && w && w->widget) {
        QWidget* wd = w->widget;
        wd->setWindowModality(Qt::ApplicationModal);
        wd->show(); // a modal dialog is shown whatever its template says
        wd->activateWindow();
        if (setFocus) {
            // The first enabled tab stop takes the focus, as the dialog manager does.
            for (HWND c : w->children) {
                Window* cw = Find(c);
                if (cw && (cw->style & WS_TABSTOP) && !(cw->style & WS_DISABLED) && cw->widget) {
                    cw->widget->setFocus(Qt::TabFocusReason);
                    break;
                }
            }
        }
        QTimer::singleShot(0, [self] { DialogShown(self); });
        QEventLoop loop;
        m_pLoop = &loop;
        if (!m_bEnded) loop.exec(QEventLoop::DialogExec);
        m_pLoop = nullptr;
    }
    if (m_hWnd == self) CDialog::DestroyWindow();
    return m_nModalResult;
}

BOOL CDialog::DestroyWindow()
{
    if (!m_hWnd) return FALSE;
    if (Window* w = Find(m_hWnd); w && w->widget) w->widget->hide();
    if (m_pLoop) {
        m_bEnded = true;
        static_cast<QEventLoop*>(m_pLoop)->exit();
    }
    return CWnd::DestroyWindow();
}

void CDialog::EndDialog(int nResult)
{
    m_nModalResult = nResult;
    m_bEnded = true;
    if (Window* w = Find(m_hWnd); w && w->widget) w->widget->hide();
    if (m_pLoop) static_cast<QEventLoop*>(m_pLoop)->exit();
}

void CDialog::NextDlgCtrl() const
{
    if (QWidget* f = QApplication::focusWidget()) f->nextInFocusChain()->setFocus(Qt::TabFocusReason);
}

// ---- CFileDialog ---------------------------------------------------------------------------


namespace {
// "Desc (*.x)|*.x|Other|*.y;*.z|" -> "Desc (*.x);;Other (*.y *.z)"
QString QtFilter(const CString& filter)
{
    const QStringList parts = ToQ(filter).split(QLatin1Char('|'));
    QStringList out;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        const QString desc = parts[i].trimmed();
        QString patterns = parts[i + 1];
        patterns.replace(QLatin1Char(';'), QLatin1Char(' '));
        if (desc.isEmpty() && patterns.trimmed().isEmpty()) continue;
        // Qt reads the patterns from the last parentheses of the entry.
        if (desc.endsWith(QLatin1Char(')')) && desc.contains(QStringLiteral("(") + patterns.trimmed() + QStringLiteral(")")))
            out << desc;
        else
            out << desc + QStringLiteral(" (") + patterns.trimmed() + QStringLiteral(")");
    }
    return out.join(QStringLiteral(";;"));
}
} // namespace

namespace {
// The folder the last file was chosen from, for the next chooser of this run.
QString& LastFolder()
{
    static QString* folder = new QString; // lives as long as the process
    return *folder;
}

// Qt's own chooser, laid out to be read: on the screen whole (a scaled screen is small), the
// list in detail with every column wide enough for its entries and the name taking the rest.
QString RunFileDialog(QWidget* parent, bool open, const QString& folder, const QString& filter)
{
    QFileDialog dlg(parent, QString(), folder, filter);
    dlg.setOption(QFileDialog::DontUseNativeDialog);
    dlg.setAcceptMode(open ? QFileDialog::AcceptOpen : QFileDialog::AcceptSave);
    dlg.setFileMode(open ? QFileDialog::ExistingFile : QFileDialog::AnyFile);
    dlg.setViewMode(QFileDialog::Detail);
    QScreen* screen = parent && parent->window()->screen() ? parent->window()->screen() : QGuiApplication::primaryScreen();
    if (screen) {
        const QRect area = screen->availableGeometry();
        // Room for the frame a window manager adds.
        const QSize most(area.width() * 9 / 10, area.height() * 85 / 100);
        dlg.resize(QSize(760, 480).boundedTo(most));
        dlg.setMaximumSize(most.expandedTo(QSize(1, 1)).boundedTo(area.size()));
    }
    if (auto* tree = dlg.findChild<QTreeView*>()) {
        QHeaderView* header = tree->header();
        header->setStretchLastSection(false);
        header->setSectionResizeMode(0, QHeaderView::Stretch);
        for (int i = 1; i < header->count(); ++i) header->setSectionResizeMode(i, QHeaderView::ResizeToContents);
    }
    if (dlg.exec() != QDialog::Accepted || dlg.selectedFiles().isEmpty()) return {};
    return dlg.selectedFiles().front();
}
} // namespace

std::optional<CString> platform::ui::core::RunFileChooser(HWND owner, const CFileDialog& dlg)
{
    QWidget* parent = platform::ui::WidgetOf(owner);
    const QString filter = QtFilter(dlg.m_strFilter);
    QString folder = LastFolder();
    if (folder.isEmpty() && !dlg.m_strInitialDir.IsEmpty()) folder = QString::fromStdString(platform::NativePath(dlg.m_strInitialDir));
    QString start = folder;
    if (!dlg.m_strFileName.IsEmpty()) {
        const QString name = QString::fromStdString(platform::NativePath(dlg.m_strFileName));
        start = folder.isEmpty() || QDir::isAbsolutePath(name) ? name : QDir(folder).filePath(name);
    }
    const QString path = RunFileDialog(parent, dlg.m_bOpenFileDialog != FALSE, start, filter);
    if (path.isEmpty()) return std::nullopt;
    LastFolder() = QFileInfo(path).absolutePath();
    return platform::WindowsPath(path.toStdString());
}

// ---- message boxes -------------------------------------------------------------------------

int platform::ui::core::ShowMessageBox(HWND hWnd, const CString& strText, const CString& strCaption, UINT type)
{
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    switch (type & MB_ICONMASK) {
    case MB_ICONHAND: icon = QMessageBox::Critical; break;
    case MB_ICONQUESTION: icon = QMessageBox::Question; break;
    case MB_ICONEXCLAMATION: icon = QMessageBox::Warning; break;
    case MB_ICONASTERISK: icon = QMessageBox::Information; break;
    default: break;
    }
    QWidget* parent = platform::ui::WidgetOf(hWnd);
    // An owner not yet on screen (the start-up message) cannot anchor the box: a window
    // manager places a box that belongs to an unmapped window where it likes.
    if (parent && !parent->window()->isVisible()) parent = nullptr;
    CenteredMessageBox box(icon, ToQ(strCaption), ToQ(strText), QMessageBox::NoButton, parent);
    struct Choice {
        QPushButton* button;
        int id;
    };
    std::vector<Choice> choices;
    auto add = [&](const char16_t* label, QMessageBox::ButtonRole role, int id) {
        choices.push_back(Choice{box.addButton(QString::fromUtf16(label), role), id});
    };
    int escapeId = IDOK;
    switch (type & MB_TYPEMASK) {
    case MB_OKCANCEL:
        add(u"确定", QMessageBox::AcceptRole, IDOK);
        add(u"取消", QMessageBox::RejectRole, IDCANCEL);
        escapeId = IDCANCEL;
        break;
    case MB_YESNOCANCEL:
        add(u"是(&Y)", QMessageBox::YesRole, IDYES);
        add(u"否(&N)", QMessageBox::NoRole, IDNO);
        add(u"取消", QMessageBox::RejectRole, IDCANCEL);
        escapeId = IDCANCEL;
        break;
    case MB_YESNO:
        // No Cancel: closing the box is taken as No, the answer that changes nothing.
        add(u"是(&Y)", QMessageBox::YesRole, IDYES);
        add(u"否(&N)", QMessageBox::NoRole, IDNO);
        escapeId = IDNO;
        break;
    default:
        add(u"确定", QMessageBox::AcceptRole, IDOK);
        escapeId = IDOK;
        break;
    }
    box.setDefaultButton(choices.front().button);
    for (const Choice& c : choices)
        if (c.id == escapeId) box.setEscapeButton(c.button);
    box.exec();
    for (const Choice& c : choices)
        if (box.clickedButton() == c.button) return c.id;
    return escapeId;
}
