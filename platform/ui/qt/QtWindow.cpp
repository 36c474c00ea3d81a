// Window records on Qt widgets, a message's arrival at its window (then the core's CWnd and
// message map), the default processing of each control class on its Qt widget, real input
// turned into the messages the code expects, and the CWnd calls that touch a widget.
#include <QAbstractButton>
#include <QAccessible>
#include <QAccessibleWidget>
#include <QAbstractItemView>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QCloseEvent>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QDialog>
#include <QGroupBox>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMenu>
#include <QPainter>
#include <QProgressBar>
#include <QProxyStyle>
#include <QPushButton>
#include <QRadioButton>
#include <QStyleOption>
#include <type_traits>
#include <QWindow>
#include <map>

#include "platform/ui/qt/QtInternal.h"

namespace platform::ui::detail {
namespace {

// Records stay allocated until no message handling is on the stack, so a window destroyed
// inside its own handler is never freed under it.
// Never freed: windows owned by objects with static storage may go away during exit.
auto& g_records = *new std::map<std::uintptr_t, std::unique_ptr<Window>>;
auto& g_graveyard = *new std::vector<std::unique_ptr<Window>>;
int g_dispatchDepth = 0;

const char* const kHwndProperty = "tarvexHwnd";

void Bury()
{
    if (g_dispatchDepth == 0) g_graveyard.clear();
}

HWND Register(std::unique_ptr<Window> w, QWidget* widget)
{
    Window* raw = w.get();
    raw->hwnd = platform::RegisterWindow(raw);
    raw->widget = widget;
    if (widget) widget->setProperty(kHwndProperty, QVariant::fromValue<qulonglong>(reinterpret_cast<std::uintptr_t>(raw->hwnd)));
    g_records.emplace(reinterpret_cast<std::uintptr_t>(raw->hwnd), std::move(w));
    return raw->hwnd;
}

QString ToQ(const CString& s) { return QString::fromUtf16(s.GetString(), s.GetLength()); }
QString ToQ(LPCWSTR s) { return s ? QString::fromUtf16(s) : QString(); }

UINT VkFromQtKey(int key)
{
    if (key >= Qt::Key_A && key <= Qt::Key_Z) return static_cast<UINT>('A' + (key - Qt::Key_A));
    if (key >= Qt::Key_0 && key <= Qt::Key_9) return static_cast<UINT>('0' + (key - Qt::Key_0));
    if (key >= Qt::Key_F1 && key <= Qt::Key_F12) return VK_F1 + static_cast<UINT>(key - Qt::Key_F1);
    switch (key) {
    case Qt::Key_Backspace: return VK_BACK;
    case Qt::Key_Tab: case Qt::Key_Backtab: return VK_TAB;
    case Qt::Key_Return: case Qt::Key_Enter: return VK_RETURN;
    case Qt::Key_Escape: return VK_ESCAPE;
    case Qt::Key_Space: return VK_SPACE;
    case Qt::Key_PageUp: return VK_PRIOR;
    case Qt::Key_PageDown: return VK_NEXT;
    case Qt::Key_End: return VK_END;
    case Qt::Key_Home: return VK_HOME;
    case Qt::Key_Left: return VK_LEFT;
    case Qt::Key_Up: return VK_UP;
    case Qt::Key_Right: return VK_RIGHT;
    case Qt::Key_Down: return VK_DOWN;
    case Qt::Key_Insert: return VK_INSERT;
    case Qt::Key_Delete: return VK_DELETE;
    case Qt::Key_Shift: return VK_SHIFT;
    case Qt::Key_Control: return VK_CONTROL;
    case Qt::Key_Alt: return VK_MENU;
    default: return 0;
    }
}

// ---- widgets -----------------------------------------------------------------------------

// The classic focus rectangle: a dotted line.
void DrawFocusRect(QPainter& p, const QRect& r)
{
    QPen pen(ToQColor(GetSysColor(COLOR_WINDOWTEXT)));
    pen.setStyle(Qt::DotLine);
    pen.setCosmetic(true);
    p.setPen(pen);
    p.setBrush(Qt::NoBrush);
    p.drawRect(r);
}

// Plain, bitmap, icon and owner-drawn statics paint themselves from the record's style.
class StaticWidget final : public QWidget
{
public:
    using QWidget::QWidget;

protected:
    void paintEvent(QPaintEvent*) override
    {
        Window* w = FindByWidget(this);
        if (!w) return;
        QPainter p(this);
        const DWORD type = w->style & SS_TYPEMASK;
        if (type == SS_OWNERDRAW) {
            const HWND self = w->hwnd;
            const HWND parent = w->parent;
            DRAWITEMSTRUCT dis;
            dis.CtlType = ODT_STATIC;
            dis.CtlID = static_cast<UINT>(w->id);
            dis.itemAction = ODA_DRAWENTIRE;
            dis.itemState = isEnabled() ? 0 : ODS_DISABLED;
            dis.hwndItem = self;
            dis.rcItem = RECT{0, 0, width(), height()};
            dis.hDC = BeginDc(&p, self, font());
            SendMessageW(parent, WM_DRAWITEM, static_cast<WPARAM>(dis.CtlID), reinterpret_cast<LPARAM>(&dis));
            EndDc(dis.hDC);
            return;
        }
        if (type == SS_BITMAP) {
            QImage img = BitmapImage(w->image);
            if (!img.isNull()) p.drawImage(QPoint(0, 0), img);
            return;
        }
        if (type == SS_ICON) {
            QImage img = IconImage(w->staticIcon);
            if (!img.isNull()) p.drawImage(QRect(0, 0, GetSystemMetrics(SM_CXICON), GetSystemMetrics(SM_CYICON)), img);
            return;
        }
        int align = Qt::AlignLeft;
        if (type == SS_CENTER) align = Qt::AlignHCenter;
        else if (type == SS_RIGHT || (w->exStyle & WS_EX_RIGHT)) align = Qt::AlignRight;
        p.setPen(ToQColor(GetSysColor(isEnabled() ? COLOR_WINDOWTEXT : COLOR_GRAYTEXT)));
        p.drawText(rect(), align | Qt::AlignTop | Qt::TextWordWrap | Qt::TextShowMnemonic, windowTitle());
    }
};


// The focus shows as a dotted rectangle inside the button, as on the classic dialog: the
// style's own focus look is the same as its default-button look, so the default button
// would show no focus at all.
class PushButtonWidget final : public QPushButton
{
public:
    using QPushButton::QPushButton;

protected:
    void paintEvent(QPaintEvent* e) override
    {
        QPushButton::paintEvent(e);
        if (!hasFocus()) return;
        QPainter p(this);
        DrawFocusRect(p, rect().adjusted(4, 4, -5, -5));
    }
};

// Text as an assistive technology reads it: without the mnemonic marks.
QString StripMnemonic(QString text)
{
    for (qsizetype i = 0; i < text.size(); ++i)
        if (text.at(i) == QLatin1Char('&')) text.remove(i, 1); // "&&" leaves one
    return text;
}

// A static tells assistive technology its text (the status line too: its window text follows
// what it shows); a picture is a graphic.
class StaticAccessible final : public QAccessibleWidget
{
public:
    explicit StaticAccessible(QWidget* w) : QAccessibleWidget(w, QAccessible::StaticText) {}
    QAccessible::Role role() const override
    {
        Window* w = FindByWidget(widget());
        const DWORD type = w ? (w->style & SS_TYPEMASK) : 0;
        return type == SS_BITMAP || type == SS_ICON ? QAccessible::Graphic : QAccessible::StaticText;
    }
    QString text(QAccessible::Text t) const override
    {
        if (t == QAccessible::Name && widget()->accessibleName().isEmpty()) return StripMnemonic(widget()->windowTitle());
        return QAccessibleWidget::text(t);
    }
};


// Check boxes and radio buttons: a click anywhere on the control counts, as the native button
// answers one, not only on the box and its text; the focus is a dotted rectangle around the
// text.
template <class Base>
class WholeRectButton final : public Base
{
public:
    using Base::Base;

protected:
    bool hitButton(const QPoint& pos) const override { return this->rect().contains(pos); }
    void paintEvent(QPaintEvent* e) override
    {
        Base::paintEvent(e);
        if (!this->hasFocus()) return;
        QStyleOptionButton opt;
        this->initStyleOption(&opt);
        const QStyle::SubElement se = std::is_same_v<Base, QCheckBox> ? QStyle::SE_CheckBoxContents : QStyle::SE_RadioButtonContents;
        QRect text = this->style()->subElementRect(se, &opt, this);
        const int w = this->fontMetrics().horizontalAdvance(opt.text.isEmpty() ? QStringLiteral(" ") : QString(opt.text).remove(QLatin1Char('&')));
        text.setWidth(std::min(text.width(), w + 4));
        QPainter p(this);
        DrawFocusRect(p, text.adjusted(0, 0, -1, -1));
    }
};

// A drop-down list laid out as the native one: the arrow as wide as a scroll bar (17 pixels),
// the rest for the text. The style's own arrow and padding take 25 pixels, and a list
// 26 dialog units wide then cuts a three-digit number.
class ComboStyle final : public QProxyStyle
{
public:
    QRect subControlRect(ComplexControl cc, const QStyleOptionComplex* opt, SubControl sc, const QWidget* w) const override
    {
        if (cc != CC_ComboBox || !opt) return QProxyStyle::subControlRect(cc, opt, sc, w);
        const QRect r = opt->rect;
        const int arrow = std::min(kScrollBarWidth, r.width() / 2);
        switch (sc) {
        case SC_ComboBoxArrow: return QRect(r.right() - arrow, r.top() + 1, arrow, r.height() - 2);
        case SC_ComboBoxEditField: return QRect(r.left() + 3, r.top() + 2, r.width() - arrow - 5, r.height() - 4);
        default: return QProxyStyle::subControlRect(cc, opt, sc, w);
        }
    }

private:
    static constexpr int kScrollBarWidth = 17;
};

QStyle* TheComboStyle()
{
    static ComboStyle* style = new ComboStyle; // lives as long as the process
    return style;
}

// A drop-down list showing its focus as the classic one does: a dotted rectangle around the
// text.
class ComboWidget final : public QComboBox
{
public:
    explicit ComboWidget(QWidget* parent) : QComboBox(parent) { setStyle(TheComboStyle()); }

protected:
    void paintEvent(QPaintEvent* e) override
    {
        QComboBox::paintEvent(e);
        if (!hasFocus()) return;
        QStyleOptionComboBox opt;
        initStyleOption(&opt);
        const QRect text = style()->subControlRect(QStyle::CC_ComboBox, &opt, QStyle::SC_ComboBoxEditField, this);
        QPainter p(this);
        DrawFocusRect(p, text.adjusted(0, 1, -1, -2));
    }
};

// A drop-down list is known by its label and tells its choice as its value (Qt on Linux would
// name it by its choice, and the label through a relation only a QLabel can give).
class ComboAccessible final : public QAccessibleWidget
{
public:
    explicit ComboAccessible(QComboBox* cb) : QAccessibleWidget(cb, QAccessible::ComboBox) {}
    QString text(QAccessible::Text t) const override
    {
        auto* cb = static_cast<QComboBox*>(widget());
        if (t == QAccessible::Value) return cb->currentText();
        if (t == QAccessible::Name && cb->accessibleName().isEmpty()) return cb->currentText();
        return QAccessibleWidget::text(t);
    }
    QStringList actionNames() const override { return QAccessibleWidget::actionNames() << showMenuAction(); }
    void doAction(const QString& name) override
    {
        if (name == showMenuAction()) static_cast<QComboBox*>(widget())->showPopup();
        else QAccessibleWidget::doAction(name);
    }
};

// An edit whose context menu sends the edit messages to the control itself, as the native
// edit's menu does, so a control that handles them (the masked edit) sees every paste, cut
// and delete; and that takes no drops, as the native edit takes none.
class EditWidget final : public QLineEdit
{
public:
    explicit EditWidget(QWidget* parent) : QLineEdit(parent)
    {
        setAcceptDrops(false);
        setDragEnabled(false);
    }

protected:
    void contextMenuEvent(QContextMenuEvent* e) override
    {
        Window* w = FindByWidget(this);
        if (!w) return;
        const HWND h = w->hwnd;
        setFocus(Qt::PopupFocusReason);
        const bool ro = isReadOnly();
        const bool sel = hasSelectedText();
        const bool secret = echoMode() != QLineEdit::Normal;
        struct Entry {
            const char16_t* text;
            UINT message;
            bool enabled;
        };
        const Entry entries[] = {
            {u"撤消(&U)", WM_UNDO, !ro && isUndoAvailable()},
            {nullptr, 0, false},
            {u"剪切(&T)", WM_CUT, !ro && sel && !secret},
            {u"复制(&C)", WM_COPY, sel && !secret},
            {u"粘贴(&P)", WM_PASTE, !ro && !QGuiApplication::clipboard()->text().isEmpty()},
            {u"删除(&D)", WM_CLEAR, !ro && sel},
            {nullptr, 0, false},
            {u"全选(&A)", EM_SETSEL, !text().isEmpty()},
        };
        // No parent: the chosen command may destroy the window (and this widget) first.
        QMenu menu;
        for (const Entry& it : entries) {
            if (!it.text) {
                menu.addSeparator();
                continue;
            }
            QAction* a = menu.addAction(QString::fromUtf16(it.text));
            a->setData(it.message);
            a->setEnabled(it.enabled);
        }
        QAction* chosen = menu.exec(e->globalPos());
        if (!chosen || !IsWindow(h)) return;
        const UINT message = chosen->data().toUInt();
        if (message == EM_SETSEL) SendMessageW(h, EM_SETSEL, 0, -1);
        else SendMessageW(h, message, 0, 0);
    }
};

// The framework's own controls' interfaces; every other widget keeps Qt's.
QAccessibleInterface* AccessibleFactory(const QString&, QObject* o)
{
    if (auto* sw = dynamic_cast<StaticWidget*>(o)) return new StaticAccessible(sw);
    if (auto* cb = dynamic_cast<ComboWidget*>(o)) return new ComboAccessible(cb);
    return nullptr;
}

class DialogWidget final : public QDialog
{
public:
    using QDialog::QDialog;

protected:
    void paintEvent(QPaintEvent* e) override
    {
        QDialog::paintEvent(e);
        Window* w = FindByWidget(this);
        if (!w) return;
        QPainter p(this);
        QPainter* old = w->paintPainter;
        w->paintPainter = &p;
        const HWND h = w->hwnd;
        SendMessageW(h, WM_PAINT, 0, 0);
        if (Window* again = Find(h)) again->paintPainter = old;
    }
    // The close box asks the window through WM_SYSCOMMAND; closing itself is the dialog's
    // decision (IDCANCEL through OnCancel).
    void closeEvent(QCloseEvent* e) override
    {
        Window* w = FindByWidget(this);
        if (!w || w->destroying) {
            e->accept();
            return;
        }
        e->ignore();
        SendMessageW(w->hwnd, WM_SYSCOMMAND, SC_CLOSE, 0);
    }
    void contextMenuEvent(QContextMenuEvent* e) override
    {
        if (Window* w = FindByWidget(this)) OpenSystemMenu(w, e->globalPos());
    }
    void reject() override {} // Escape is routed as IDCANCEL by the input filter
};

bool IsPushButton(const Window* w)
{
    if (w->kind != Kind::Button) return false;
    const DWORD t = w->style & BS_TYPEMASK;
    return t == BS_PUSHBUTTON || t == BS_DEFPUSHBUTTON;
}

void DialogCommand(Window* dlg, int id, HWND control)
{
    if (control && !IsWindowEnabled(control)) {
        MessageBeep(0);
        return;
    }
    SendMessageW(dlg->hwnd, WM_COMMAND, MAKEWPARAM(static_cast<WORD>(id), BN_CLICKED), reinterpret_cast<LPARAM>(control));
}

// Enter: a focused push button, else the default push button, else IDOK.
void DialogEnter(Window* dlg, Window* origin)
{
    Window* target = origin && IsPushButton(origin) ? origin : nullptr;
    if (!target) {
        for (HWND c : dlg->children) {
            Window* cw = Find(c);
            if (cw && cw->kind == Kind::Button && (cw->style & BS_TYPEMASK) == BS_DEFPUSHBUTTON) {
                target = cw;
                break;
            }
        }
    }
    if (target) DialogCommand(dlg, target->id, target->hwnd);
    else DialogCommand(dlg, IDOK, GetDlgItem(dlg->hwnd, IDOK));
}

// Keys the dialog manager takes before any control: Enter, Escape, Alt+Space, Alt+F4.
bool DialogKey(Window* origin, QKeyEvent* ke)
{
    Window* dlg = TopLevelOf(origin);
    if (!dlg || dlg->kind != Kind::Dialog) return false;
    const auto mods = ke->modifiers() & ~Qt::KeypadModifier;
    const int key = ke->key();
    if (key == Qt::Key_Space && mods == Qt::AltModifier) {
        QWidget* wd = dlg->widget;
        OpenSystemMenu(dlg, wd ? wd->mapToGlobal(QPoint(0, 0)) : QPoint());
        return true;
    }
    // Shift+F10 is the Menu key's twin: the context menu of the control with the focus (an
    // edit's own menu), or the window's system menu from anywhere else.
    if (key == Qt::Key_F10 && mods == Qt::ShiftModifier) {
        QWidget* target = origin->widget ? origin->widget.data() : dlg->widget.data();
        if (!target) return true;
        const QPoint local = target->rect().center();
        QContextMenuEvent menuEvent(QContextMenuEvent::Keyboard, local, target->mapToGlobal(local), ke->modifiers());
        QApplication::sendEvent(target, &menuEvent);
        return true;
    }
    if (key == Qt::Key_F4 && mods == Qt::AltModifier) {
        SendMessageW(dlg->hwnd, WM_SYSCOMMAND, SC_CLOSE, 0);
        return true;
    }
    if ((key == Qt::Key_Return || key == Qt::Key_Enter) && !(mods & Qt::AltModifier)) {
        if (auto* cb = qobject_cast<QComboBox*>(origin->widget.data()); cb && cb->view() && cb->view()->isVisible()) return false;
        DialogEnter(dlg, origin);
        return true;
    }
    if (key == Qt::Key_Escape && mods == Qt::NoModifier) {
        DialogCommand(dlg, IDCANCEL, GetDlgItem(dlg->hwnd, IDCANCEL));
        return true;
    }
    return false;
}

// Key presses in an edit become WM_KEYDOWN and WM_CHAR through the control's WindowProc;
// only the default processing changes the text.
bool EditKey(Window* w, QKeyEvent* ke)
{
    const int key = ke->key();
    if (key == Qt::Key_Tab || key == Qt::Key_Backtab) return false; // focus moves natively
    const HWND h = w->hwnd;
    const LPARAM lp = 1 | (ke->isAutoRepeat() ? (LPARAM{1} << 30) : 0);
    const Qt::KeyboardModifiers old = CurrentKeyModifiers();
    // The modifiers belong to this key's own WM_KEYDOWN only: keys a control sends itself
    // while handling the character (the masked edit's VK_LEFT) must not pick up Shift or Ctrl.
    SetCurrentKeyModifiers(ke->modifiers());
    if (UINT vk = VkFromQtKey(key)) SendMessageW(h, WM_KEYDOWN, vk, lp);
    SetCurrentKeyModifiers(old);
    QString text = ke->text();
    if (text.isEmpty() && (ke->modifiers() & Qt::ControlModifier) && key >= Qt::Key_A && key <= Qt::Key_Z)
        text = QChar(static_cast<char16_t>(key - Qt::Key_A + 1));
    for (QChar c : text) {
        if (!IsWindow(h)) break;
        SendMessageW(h, WM_CHAR, c.unicode(), lp);
    }
    return true;
}

class InputFilter final : public QObject
{
public:
    bool eventFilter(QObject* obj, QEvent* ev) override
    {
        switch (ev->type()) {
        case QEvent::KeyPress: {
            Window* w = FindByWidget(obj);
            if (!w) return false;
            auto* ke = static_cast<QKeyEvent*>(ev);
            if (DialogKey(w, ke)) return true;
            if (w->kind == Kind::Edit) return EditKey(w, ke);
            return false;
        }
        case QEvent::InputMethod: {
            Window* w = FindByWidget(obj);
            if (!w || w->kind != Kind::Edit) return false;
            auto* ie = static_cast<QInputMethodEvent*>(ev);
            const HWND h = w->hwnd;
            for (QChar c : ie->commitString()) {
                if (!IsWindow(h)) break;
                SendMessageW(h, WM_CHAR, c.unicode(), 1);
            }
            return true;
        }
        default:
            return false;
        }
    }
};

InputFilter* Filter()
{
    static InputFilter* f = new InputFilter; // lives as long as the process
    return f;
}

Kind KindOfClass(const CString& cls)
{
    CString c = cls;
    c.MakeLower();
    if (c == u"static") return Kind::Static;
    if (c == u"button") return Kind::Button;
    if (c == u"edit") return Kind::Edit;
    if (c == u"combobox") return Kind::ComboBox;
    if (c == u"msctls_progress32") return Kind::Progress;
    return Kind::Other;
}

} // namespace

// ---- records -----------------------------------------------------------------------------

Window* Find(HWND hwnd)
{
    auto it = g_records.find(reinterpret_cast<std::uintptr_t>(hwnd));
    return it == g_records.end() || it->second->destroying ? nullptr : it->second.get();
}

Window* FindByWidget(const QObject* widget)
{
    if (!widget) return nullptr;
    QVariant v = widget->property(kHwndProperty);
    if (!v.isValid()) return nullptr;
    return Find(reinterpret_cast<HWND>(static_cast<std::uintptr_t>(v.toULongLong())));
}

Window* TopLevelOf(Window* w)
{
    while (w && w->parent && w->kind != Kind::Dialog) w = Find(w->parent);
    return w;
}

LRESULT Window::ReceiveMessage(UINT message, WPARAM wParam, LPARAM lParam)
{
    if (!OnGuiThread()) {
        const HWND self = hwnd;
        return RunOnGuiThread([self, message, wParam, lParam] { return SendMessageW(self, message, wParam, lParam); });
    }
    ObserveMessage(hwnd, message, wParam, lParam);
    ++g_dispatchDepth;
    LRESULT r = attached ? AfxCallWndProc(attached, hwnd, message, wParam, lParam) : DefProc(this, message, wParam, lParam);
    --g_dispatchDepth;
    Bury();
    return r;
}

// A dialog's widget is deleted at once, a control's once the handlers on the stack return.
void Window::AttachedCWndGone() { DestroyWindowTree(hwnd, kind == Kind::Dialog); }

void Window::DestroyWithChildren(bool byAttachedCWnd)
{
    // A dialog destroyed by its object outside any message handler is deleted at once; else
    // Qt deletes the widget once the handlers on the stack have returned.
    DestroyWindowTree(hwnd, byAttachedCWnd && kind == Kind::Dialog && g_dispatchDepth == 0);
}

Qt::WindowFlags WindowFlagsOf(DWORD style, DWORD exStyle, bool owned)
{
    // A window of its own on the task bar, or a dialog that stays above its owner.
    Qt::WindowFlags flags = (exStyle & WS_EX_APPWINDOW) || !owned ? Qt::Window : Qt::Dialog;
    // Only the decorations the styles ask for: without CustomizeWindowHint Qt (and the
    // window manager) would add minimise and maximise boxes of their own.
    flags |= Qt::CustomizeWindowHint;
    if (!(style & WS_THICKFRAME)) flags |= Qt::MSWindowsFixedSizeDialogHint;
    if ((style & WS_CAPTION) == WS_CAPTION) flags |= Qt::WindowTitleHint;
    if (style & WS_SYSMENU) {
        flags |= Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint;
        if (style & WS_MINIMIZEBOX) flags |= Qt::WindowMinimizeButtonHint;
        if (style & WS_MAXIMIZEBOX) flags |= Qt::WindowMaximizeButtonHint;
    }
    return flags;
}

Window* CreateDialogWindow(HWND hwndParent, const DialogTemplateData& t, const QFont& font, QSize clientSize)
{
    QWidget* parentWidget = nullptr;
    if (Window* p = Find(hwndParent)) parentWidget = p->widget ? p->widget->window() : nullptr;
    auto* dlg = new DialogWidget(parentWidget);
    dlg->setWindowFlags(WindowFlagsOf(t.dwStyle, t.dwExStyle, parentWidget != nullptr));
    dlg->setFont(font);
    dlg->setAutoFillBackground(true);
    QPalette pal = dlg->palette();
    pal.setColor(QPalette::Window, ToQColor(GetSysColor(COLOR_BTNFACE)));
    dlg->setPalette(pal);
    dlg->setFixedSize(clientSize);
    dlg->setWindowTitle(ToQ(t.pszCaption));
    dlg->installEventFilter(Filter());

    auto rec = std::make_unique<Window>();
    rec->kind = Kind::Dialog;
    rec->style = t.dwStyle;
    rec->exStyle = t.dwExStyle;
    rec->id = t.nID;
    rec->parent = hwndParent;
    Window* raw = rec.get();
    Register(std::move(rec), dlg);
    return raw;
}

Window* CreateControl(Window* dialog, const DialogItemData& item, const QRect& rect)
{
    auto rec = std::make_unique<Window>();
    rec->className = CString(item.pszClass);
    rec->kind = KindOfClass(rec->className);
    rec->style = item.dwStyle;
    rec->exStyle = item.dwExStyle;
    rec->id = item.nID;
    rec->parent = dialog->hwnd;
    QWidget* parent = dialog->widget;
    const QString text = ToQ(item.pszText);
    QWidget* w = nullptr;
    static const bool s_accessible = [] {
        QAccessible::installFactory(&AccessibleFactory);
        return true;
    }();
    (void)s_accessible;
    switch (rec->kind) {
    case Kind::Static:
        w = new StaticWidget(parent);
        w->setWindowTitle(text);
        break;
    case Kind::Button: {
        const DWORD type = item.dwStyle & BS_TYPEMASK;
        if (type == BS_GROUPBOX) {
            w = new QGroupBox(text, parent);
        } else if (type == BS_CHECKBOX || type == BS_AUTOCHECKBOX) {
            w = new WholeRectButton<QCheckBox>(text, parent);
        } else if (type == BS_RADIOBUTTON || type == BS_AUTORADIOBUTTON) {
            w = new WholeRectButton<QRadioButton>(text, parent);
        } else {
            auto* pb = new PushButtonWidget(text, parent);
            pb->setAutoDefault(false);
            w = pb;
        }
        break;
    }
    case Kind::Edit: {
        auto* le = new EditWidget(parent);
        le->setText(text);
        le->setMaxLength(32767);
        w = le;
        break;
    }
    case Kind::ComboBox:
        w = new ComboWidget(parent);
        break;
    case Kind::Progress: {
        auto* pb = new QProgressBar(parent);
        pb->setRange(0, 100);
        pb->setValue(0);
        pb->setTextVisible(false);
        w = pb;
        break;
    }
    default:
        w = new QWidget(parent);
        break;
    }
    QRect r = rect;
    if (rec->kind == Kind::ComboBox) r.setHeight(w->sizeHint().height()); // the height holds the list
    w->setGeometry(r);
    w->installEventFilter(Filter());
    Window* raw = rec.get();
    HWND h = Register(std::move(rec), w);
    dialog->children.push_back(h);
    ApplyStyle(raw);

    // The first control of a template lies on top, as the dialog manager stacks them.
    w->lower();

    if (auto* btn = qobject_cast<QAbstractButton*>(w)) {
        QObject::connect(btn, &QAbstractButton::clicked, [h]() {
            if (Window* cw = Find(h)) NotifyParent(cw, BN_CLICKED);
        });
    } else if (auto* cb = qobject_cast<QComboBox*>(w)) {
        QObject::connect(cb, &QComboBox::activated, [h](int) {
            if (Window* cw = Find(h)) NotifyParent(cw, CBN_SELCHANGE);
        });
    } else if (auto* le = qobject_cast<QLineEdit*>(w)) {
        QObject::connect(le, &QLineEdit::textChanged, [h](const QString&) {
            if (Window* cw = Find(h)) NotifyParent(cw, EN_CHANGE);
        });
    }
    return raw;
}

void NameFieldsByLabels(Window* dialog)
{
    // An edit or list has no text of its own to be known by: assistive technology names it
    // after the label left of it on its row (a static ending in a colon), as a reader of the
    // dialog would. Fields that share one label are numbered in order.
    auto isLabel = [](Window* lw) {
        if (!lw || lw->kind != Kind::Static || !lw->widget) return false;
        const QString t = lw->widget->windowTitle().trimmed();
        return t.endsWith(QLatin1Char(':')) || t.endsWith(QChar(0xFF1A));
    };
    std::vector<std::pair<QWidget*, QWidget*>> named; // field, label
    for (HWND c : dialog->children) {
        Window* field = Find(c);
        if (!field || !field->widget || (field->kind != Kind::Edit && field->kind != Kind::ComboBox)) continue;
        const QRect fr = field->widget->geometry();
        QWidget* label = nullptr;
        for (HWND l : dialog->children) {
            Window* lw = Find(l);
            if (!isLabel(lw)) continue;
            const QRect lr = lw->widget->geometry();
            if (lr.center().y() < fr.top() || lr.center().y() > fr.bottom() || lr.left() >= fr.left()) continue;
            if (!label || lr.left() > label->geometry().left()) label = lw->widget;
        }
        if (label) named.emplace_back(field->widget, label);
    }
    std::map<QWidget*, int> count, seen;
    for (const auto& [field, label] : named) ++count[label];
    for (const auto& [field, label] : named) {
        QString name = StripMnemonic(label->windowTitle().trimmed());
        name.chop(1);
        if (count[label] > 1) name += QStringLiteral(" %1").arg(++seen[label]);
        field->setAccessibleName(name);
    }
}

void NotifyParent(Window* w, WORD code)
{
    if (w->parent) SendMessageW(w->parent, WM_COMMAND, MAKEWPARAM(static_cast<WORD>(w->id), code), reinterpret_cast<LPARAM>(w->hwnd));
}

void ApplyStyle(Window* w)
{
    QWidget* wd = w->widget;
    if (!wd) return;
    wd->setEnabled(!(w->style & WS_DISABLED));
    // A group box, and a static that does not ask for notifications, let the mouse through
    // to whatever lies under them, as the native controls answer HTTRANSPARENT to the hit
    // test: the group box is stacked above the controls it frames.
    const bool seeThrough = (w->kind == Kind::Button && (w->style & BS_TYPEMASK) == BS_GROUPBOX) ||
                            (w->kind == Kind::Static && !(w->style & SS_NOTIFY));
    wd->setAttribute(Qt::WA_TransparentForMouseEvents, seeThrough);
    if (w->kind != Kind::Dialog) wd->setVisible((w->style & WS_VISIBLE) != 0);
    switch (w->kind) {
    case Kind::Edit: {
        auto* le = static_cast<QLineEdit*>(wd);
        const bool ro = (w->style & ES_READONLY) != 0;
        le->setReadOnly(ro);
        le->setEchoMode((w->style & ES_PASSWORD) ? QLineEdit::Password : QLineEdit::Normal);
        le->setFrame((w->style & WS_BORDER) || (w->exStyle & WS_EX_CLIENTEDGE));
        if (w->style & ES_CENTER) le->setAlignment(Qt::AlignHCenter);
        else if ((w->style & ES_RIGHT) || (w->exStyle & WS_EX_RIGHT)) le->setAlignment(Qt::AlignRight);
        else le->setAlignment(Qt::AlignLeft);
        QPalette pal = le->palette();
        pal.setColor(QPalette::Base, ro ? ToQColor(GetSysColor(COLOR_BTNFACE)) : ToQColor(GetSysColor(COLOR_WINDOW)));
        le->setPalette(pal);
        break;
    }
    case Kind::Button:
        if (auto* pb = qobject_cast<QPushButton*>(wd)) pb->setDefault((w->style & BS_TYPEMASK) == BS_DEFPUSHBUTTON);
        break;
    default:
        break;
    }
    wd->update();
}

namespace {
enum class WidgetFate { DeleteNow, DeleteLater, WithParent };

void DestroyOne(HWND hwnd, WidgetFate fate);
} // namespace

void DestroyWindowTree(HWND hwnd, bool deleteWidgetNow)
{
    DestroyOne(hwnd, deleteWidgetNow ? WidgetFate::DeleteNow : WidgetFate::DeleteLater);
}

namespace {
void DestroyOne(HWND hwnd, WidgetFate fate)
{
    Window* w = Find(hwnd);
    if (!w) return;
    for (HWND c : std::vector<HWND>(w->children)) DestroyOne(c, WidgetFate::WithParent);
    if (IsWindow(hwnd)) SendMessageW(hwnd, WM_DESTROY, 0, 0);
    w = Find(hwnd);
    if (!w) return;
    w->destroying = true;
    platform::UnregisterWindow(hwnd);
    if (w->attached) {
        w->attached->m_hWnd = nullptr;
        w->attached = nullptr;
    }
    if (w->wrapper) w->wrapper->m_hWnd = nullptr;
    if (Window* p = Find(w->parent)) {
        auto& ch = p->children;
        ch.erase(std::remove(ch.begin(), ch.end(), hwnd), ch.end());
    }
    if (QWidget* wd = w->widget) {
        wd->setProperty(kHwndProperty, QVariant());
        if (fate == WidgetFate::DeleteNow) {
            delete wd;
        } else if (fate == WidgetFate::DeleteLater) {
            wd->hide();
            wd->deleteLater();
        }
    }
    auto it = g_records.find(reinterpret_cast<std::uintptr_t>(hwnd));
    if (it != g_records.end()) {
        g_graveyard.push_back(std::move(it->second));
        g_records.erase(it);
    }
    Bury();
}
} // namespace

// ---- system menu ---------------------------------------------------------------------------

void EnsureSystemMenu(Window* w)
{
    if (w->sysMenu) return;
    w->sysMenu = std::make_unique<CMenu>();
    w->sysMenu->m_hMenu = reinterpret_cast<HMENU>(w->hwnd);
    // What a fixed-size dialog's system menu holds; moving is the window manager's job.
    w->sysMenu->AppendMenu(MF_STRING, SC_MOVE, u"移动(&M)");
    w->sysMenu->AppendMenu(MF_SEPARATOR);
    w->sysMenu->AppendMenu(MF_STRING, SC_CLOSE, u"关闭(&C)\tAlt+F4");
}

void OpenSystemMenu(Window* w, QPoint globalPos)
{
    w = TopLevelOf(w);
    if (!w || !(w->style & WS_SYSMENU)) return;
    const HWND h = w->hwnd;
    std::vector<MenuItemInfo> items = SystemMenuItems(h);
    UINT chosen = 0;
    if (auto hook = SystemMenuHook()) {
        chosen = hook(h, items);
    } else {
        // No parent: a handler run inside exec() may destroy the dialog, and a child menu
        // would then be deleted under its own stack frame.
        QMenu menu;
        for (const MenuItemInfo& it : items) {
            if (it.bSeparator) {
                menu.addSeparator();
                continue;
            }
            QAction* a = menu.addAction(ToQ(it.strText));
            a->setData(it.nID);
            a->setEnabled(it.bEnabled);
        }
        if (QAction* a = menu.exec(globalPos)) chosen = a->data().toUInt();
    }
    if (chosen && IsWindow(h)) ChooseSystemMenuItem(h, chosen);
}

// ---- default processing ------------------------------------------------------------------

namespace {

LRESULT CopyText(const QString& text, WPARAM cch, LPARAM buf)
{
    auto* out = reinterpret_cast<WCHAR*>(buf);
    if (!out || cch == 0) return 0;
    const std::size_t n = std::min<std::size_t>(static_cast<std::size_t>(text.size()), cch - 1);
    for (std::size_t i = 0; i < n; ++i) out[i] = text.at(static_cast<qsizetype>(i)).unicode();
    out[n] = 0;
    return static_cast<LRESULT>(n);
}

QString TextOf(Window* w)
{
    QWidget* wd = w->widget;
    if (!wd) return {};
    if (auto* le = qobject_cast<QLineEdit*>(wd)) return le->text();
    if (auto* b = qobject_cast<QAbstractButton*>(wd)) return b->text();
    if (auto* g = qobject_cast<QGroupBox*>(wd)) return g->title();
    if (auto* cb = qobject_cast<QComboBox*>(wd)) return cb->currentText();
    return wd->windowTitle();
}

void SetTextOf(Window* w, const QString& s)
{
    QWidget* wd = w->widget;
    if (!wd) return;
    if (auto* le = qobject_cast<QLineEdit*>(wd)) le->setText(s);
    else if (auto* b = qobject_cast<QAbstractButton*>(wd)) b->setText(s);
    else if (auto* g = qobject_cast<QGroupBox*>(wd)) g->setTitle(s);
    else {
        if (wd->windowTitle() == s) return;
        wd->setWindowTitle(s);
        wd->update();
        if (w->kind == Kind::Static) {
            QAccessibleEvent changed(wd, QAccessible::NameChanged);
            QAccessible::updateAccessibility(&changed);
        }
    }
}

// Selection as the edit control reports it: start <= end, caret position when none.
void EditSel(QLineEdit* le, int& start, int& end)
{
    if (le->hasSelectedText()) {
        start = le->selectionStart();
        end = start + static_cast<int>(le->selectedText().size());
    } else {
        start = end = le->cursorPosition();
    }
}

LRESULT EditProc(Window* w, QLineEdit* le, UINT message, WPARAM wParam, LPARAM lParam, bool& handled)
{
    handled = true;
    switch (message) {
    case EM_GETSEL: {
        int s = 0, e = 0;
        EditSel(le, s, e);
        if (wParam) *reinterpret_cast<DWORD*>(wParam) = static_cast<DWORD>(s);
        if (lParam) *reinterpret_cast<DWORD*>(lParam) = static_cast<DWORD>(e);
        return static_cast<LRESULT>(MAKELPARAM(static_cast<WORD>(s), static_cast<WORD>(e)));
    }
    case EM_SETSEL: {
        const int len = static_cast<int>(le->text().size());
        int s = static_cast<int>(static_cast<std::intptr_t>(wParam));
        int e = static_cast<int>(lParam);
        if (s == -1) { // remove the selection, caret stays
            const int caret = le->cursorPosition();
            le->deselect();
            le->setCursorPosition(caret);
            return 0;
        }
        if (e < 0 || e > len) e = len;
        s = std::clamp(s, 0, len);
        if (s == e) le->setCursorPosition(s);
        else le->setSelection(s, e - s); // the caret ends at e
        return 0;
    }
    case EM_SCROLLCARET:
        return TRUE; // the line edit always keeps its caret in view
    case EM_REPLACESEL:
        if (!le->isReadOnly()) le->insert(ToQ(reinterpret_cast<LPCWSTR>(lParam)));
        return 0;
    case EM_SETREADONLY:
        w->style = wParam ? (w->style | ES_READONLY) : (w->style & ~ES_READONLY);
        ApplyStyle(w);
        return TRUE;
    case EM_LIMITTEXT:
        le->setMaxLength(wParam == 0 || wParam > 32767 ? 32767 : static_cast<int>(wParam));
        return 0;
    case EM_GETLIMITTEXT:
        return le->maxLength();
    case WM_CLEAR:
        if (!le->isReadOnly() && le->hasSelectedText()) le->del();
        return 0;
    case WM_CUT:
        if (!le->isReadOnly()) le->cut();
        return 0;
    case WM_COPY:
        if (le->echoMode() == QLineEdit::Normal) le->copy();
        return 0;
    case WM_PASTE:
        if (!le->isReadOnly()) le->paste();
        return 0;
    case WM_UNDO:
        le->undo();
        return TRUE;
    case WM_KEYDOWN: {
        const auto mods = CurrentKeyModifiers();
        const bool shift = mods & Qt::ShiftModifier;
        const bool ctrl = mods & Qt::ControlModifier;
        switch (wParam) {
        case VK_LEFT: ctrl ? le->cursorWordBackward(shift) : le->cursorBackward(shift, 1); break;
        case VK_RIGHT: ctrl ? le->cursorWordForward(shift) : le->cursorForward(shift, 1); break;
        case VK_HOME: le->home(shift); break;
        case VK_END: le->end(shift); break;
        case VK_DELETE:
            if (le->isReadOnly()) break;
            if (shift) SendMessageW(w->hwnd, WM_CUT, 0, 0);
            else if (le->hasSelectedText()) SendMessageW(w->hwnd, WM_CLEAR, 0, 0);
            else le->del();
            break;
        case VK_INSERT:
            if (shift) SendMessageW(w->hwnd, WM_PASTE, 0, 0);
            else if (ctrl) SendMessageW(w->hwnd, WM_COPY, 0, 0);
            break;
        default: break;
        }
        return 0;
    }
    case WM_CHAR: {
        const auto ch = static_cast<char16_t>(wParam);
        switch (ch) {
        // The clipboard keys reach the control as its messages, as the native edit sends them
        // to itself.
        case 0x01: le->selectAll(); return 0;
        case 0x03: SendMessageW(w->hwnd, WM_COPY, 0, 0); return 0;
        case 0x16: if (!le->isReadOnly()) SendMessageW(w->hwnd, WM_PASTE, 0, 0); return 0;
        case 0x18: if (!le->isReadOnly()) SendMessageW(w->hwnd, WM_CUT, 0, 0); return 0;
        case 0x1A: SendMessageW(w->hwnd, WM_UNDO, 0, 0); return 0;
        case 0x08:
            if (le->isReadOnly()) MessageBeep(0);
            else le->backspace();
            return 0;
        default: break;
        }
        if (ch < 0x20 || ch == 0x7F) return 0;
        if (le->isReadOnly()) {
            MessageBeep(0);
            return 0;
        }
        const int before = static_cast<int>(le->text().size()) - static_cast<int>(le->selectedText().size());
        if (before >= le->maxLength()) {
            MessageBeep(0); // full: refused, nothing replaced
            return 0;
        }
        le->insert(QString(QChar(ch)));
        return 0;
    }
    default:
        handled = false;
        return 0;
    }
}

LRESULT ComboProc(QComboBox* cb, UINT message, WPARAM wParam, LPARAM lParam, bool& handled)
{
    handled = true;
    const int count = cb->count();
    switch (message) {
    case CB_ADDSTRING:
    case CB_INSERTSTRING: {
        int i = message == CB_ADDSTRING ? count : static_cast<int>(static_cast<std::intptr_t>(wParam));
        if (i < 0) i = count;
        if (i > count) return CB_ERR;
        // The native list starts with nothing selected; Qt would select the first item.
        const bool none = cb->currentIndex() < 0;
        cb->insertItem(i, ToQ(reinterpret_cast<LPCWSTR>(lParam)));
        if (none) cb->setCurrentIndex(-1);
        return i;
    }
    case CB_DELETESTRING: {
        const int i = static_cast<int>(static_cast<std::intptr_t>(wParam));
        if (i < 0 || i >= count) return CB_ERR;
        cb->removeItem(i);
        return count - 1;
    }
    case CB_RESETCONTENT:
        cb->clear();
        return 0;
    case CB_GETCOUNT:
        return count;
    case CB_GETCURSEL:
        return cb->currentIndex() < 0 ? CB_ERR : cb->currentIndex();
    case CB_SETCURSEL: {
        const int i = static_cast<int>(static_cast<std::intptr_t>(wParam));
        if (i < 0 || i >= count) {
            cb->setCurrentIndex(-1);
            return CB_ERR;
        }
        cb->setCurrentIndex(i);
        return i;
    }
    case CB_GETLBTEXTLEN: {
        const int i = static_cast<int>(static_cast<std::intptr_t>(wParam));
        return i < 0 || i >= count ? CB_ERR : static_cast<LRESULT>(cb->itemText(i).size());
    }
    case CB_GETLBTEXT: {
        // The caller's buffer holds CB_GETLBTEXTLEN + 1 units, as the contract says.
        const int i = static_cast<int>(static_cast<std::intptr_t>(wParam));
        if (i < 0 || i >= count || !lParam) return CB_ERR;
        const QString s = cb->itemText(i);
        return CopyText(s, static_cast<WPARAM>(s.size()) + 1, lParam);
    }
    default:
        handled = false;
        return 0;
    }
}

LRESULT ProgressProc(Window* w, QProgressBar* pb, UINT message, WPARAM wParam, LPARAM lParam, bool& handled)
{
    handled = true;
    const int old = w->progressPos;
    auto setPos = [&](int p) {
        w->progressPos = std::clamp(p, w->progressLow, std::max(w->progressLow, w->progressHigh));
        pb->setValue(w->progressPos);
        return static_cast<LRESULT>(old);
    };
    switch (message) {
    case PBM_SETPOS: return setPos(static_cast<int>(wParam));
    case PBM_GETPOS: return old;
    case PBM_DELTAPOS: return setPos(old + static_cast<int>(static_cast<std::intptr_t>(wParam)));
    case PBM_SETSTEP: {
        const int prev = w->progressStep;
        w->progressStep = static_cast<int>(static_cast<std::intptr_t>(wParam));
        return prev;
    }
    case PBM_STEPIT: {
        int p = old + w->progressStep;
        if (p > w->progressHigh) p = w->progressLow + (p - w->progressHigh); // wraps as the control does
        return setPos(p);
    }
    case PBM_SETRANGE:
    case PBM_SETRANGE32: {
        const LRESULT prev = MAKELPARAM(static_cast<WORD>(w->progressLow), static_cast<WORD>(w->progressHigh));
        if (message == PBM_SETRANGE) {
            w->progressLow = LOWORD(static_cast<std::uintptr_t>(lParam));
            w->progressHigh = HIWORD(static_cast<std::uintptr_t>(lParam));
        } else {
            w->progressLow = static_cast<int>(static_cast<std::intptr_t>(wParam));
            w->progressHigh = static_cast<int>(lParam);
        }
        pb->setRange(w->progressLow, std::max(w->progressLow, w->progressHigh));
        setPos(w->progressPos);
        return prev;
    }
    case PBM_GETRANGE:
        return wParam ? w->progressLow : w->progressHigh;
    default:
        handled = false;
        return 0;
    }
}

} // namespace

LRESULT DefProc(Window* w, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (!w) return 0;
    QWidget* wd = w->widget;
    bool handled = false;
    LRESULT r = 0;
    if (wd) {
        if (w->kind == Kind::Edit) r = EditProc(w, static_cast<QLineEdit*>(wd), message, wParam, lParam, handled);
        else if (w->kind == Kind::ComboBox) r = ComboProc(static_cast<QComboBox*>(wd), message, wParam, lParam, handled);
        else if (w->kind == Kind::Progress) r = ProgressProc(w, static_cast<QProgressBar*>(wd), message, wParam, lParam, handled);
        if (handled) return r;
    }
    switch (message) {
    case WM_SETTEXT:
        SetTextOf(w, ToQ(reinterpret_cast<LPCWSTR>(lParam)));
        return TRUE;
    case WM_GETTEXT:
        return CopyText(TextOf(w), wParam, lParam);
    case WM_GETTEXTLENGTH:
        return TextOf(w).size();
    case WM_SETFONT:
        w->font = reinterpret_cast<HFONT>(wParam);
        if (wd) wd->setFont(FontOf(w->font, wd->font()));
        return 0;
    case WM_GETFONT:
        return reinterpret_cast<LRESULT>(w->font);
    case WM_SETICON: {
        HICON& slot = wParam == ICON_BIG ? w->iconBig : w->iconSmall;
        HICON old = slot;
        slot = reinterpret_cast<HICON>(lParam);
        if (wd && wParam == ICON_BIG) wd->setWindowIcon(QIcon(QPixmap::fromImage(IconImage(slot))));
        return reinterpret_cast<LRESULT>(old);
    }
    case WM_GETICON:
        return reinterpret_cast<LRESULT>(wParam == ICON_BIG ? w->iconBig : w->iconSmall);
    case STM_SETIMAGE:
    case STM_SETICON: {
        if (w->kind != Kind::Static) return 0;
        const bool icon = message == STM_SETICON || wParam == IMAGE_ICON;
        if (icon) {
            HICON old = w->staticIcon;
            w->staticIcon = reinterpret_cast<HICON>(message == STM_SETICON ? wParam : static_cast<WPARAM>(lParam));
            if (wd) wd->update();
            return reinterpret_cast<LRESULT>(old);
        }
        HBITMAP old = w->image;
        w->image = reinterpret_cast<HBITMAP>(lParam);
        if (wd) {
            // A bitmap static takes the size of its bitmap, as the native control does.
            QImage img = BitmapImage(w->image);
            if ((w->style & SS_TYPEMASK) == SS_BITMAP && !img.isNull() && !(w->style & SS_CENTERIMAGE))
                wd->resize(img.size());
            wd->update();
        }
        return reinterpret_cast<LRESULT>(old);
    }
    case STM_GETIMAGE:
        return wParam == IMAGE_ICON ? reinterpret_cast<LRESULT>(w->staticIcon) : reinterpret_cast<LRESULT>(w->image);
    case STM_GETICON:
        return reinterpret_cast<LRESULT>(w->staticIcon);
    case BM_GETCHECK:
        if (auto* b = qobject_cast<QAbstractButton*>(wd); b && b->isCheckable()) return b->isChecked() ? BST_CHECKED : BST_UNCHECKED;
        return BST_UNCHECKED;
    case BM_SETCHECK:
        if (auto* b = qobject_cast<QAbstractButton*>(wd); b && b->isCheckable()) b->setChecked(wParam == BST_CHECKED);
        return 0;
    case BM_CLICK:
        if (auto* b = qobject_cast<QAbstractButton*>(wd); b && b->isEnabled()) b->click();
        return 0;
    case BM_SETSTYLE:
        w->style = (w->style & ~BS_TYPEMASK) | (static_cast<DWORD>(wParam) & BS_TYPEMASK);
        ApplyStyle(w);
        return 0;
    case DM_GETDEFID:
        for (HWND c : w->children)
            if (Window* cw = Find(c); cw && cw->kind == Kind::Button && (cw->style & BS_TYPEMASK) == BS_DEFPUSHBUTTON)
                return MAKELPARAM(static_cast<WORD>(cw->id), DC_HASDEFID);
        return MAKELPARAM(static_cast<WORD>(IDOK), DC_HASDEFID);
    case WM_SYSCOMMAND:
        switch (wParam & 0xFFF0) {
        case SC_CLOSE: SendMessageW(w->hwnd, WM_CLOSE, 0, 0); break;
        case SC_MINIMIZE: if (wd) wd->showMinimized(); break;
        case SC_RESTORE: if (wd) wd->showNormal(); break;
        case SC_KEYMENU: OpenSystemMenu(w, wd ? wd->mapToGlobal(QPoint(0, 0)) : QPoint()); break;
        case SC_MOVE:
            // The window manager moves the window; without one the request is refused and
            // nothing happens.
            if (wd && wd->isWindow() && wd->windowHandle()) wd->windowHandle()->startSystemMove();
            break;
        default: break; // sizing belongs to the window manager
        }
        return 0;
    case WM_CLOSE:
        if (w->kind == Kind::Dialog) {
            // A dialog closes by cancelling, unless its Cancel button is disabled.
            HWND cancel = GetDlgItem(w->hwnd, IDCANCEL);
            if (!cancel || IsWindowEnabled(cancel))
                SendMessageW(w->hwnd, WM_COMMAND, MAKEWPARAM(static_cast<WORD>(IDCANCEL), BN_CLICKED), reinterpret_cast<LPARAM>(cancel));
        } else {
            DestroyWindow(w->hwnd);
        }
        return 0;
    case WM_DRAWITEM: {
        // Reflected to the owner-drawn control's own object.
        auto* dis = reinterpret_cast<DRAWITEMSTRUCT*>(lParam);
        if (!dis) return FALSE;
        if (CWnd* child = CWnd::FromHandlePermanent(dis->hwndItem)) {
            LRESULT cr = 0;
            return child->OnChildNotify(message, wParam, lParam, &cr) ? TRUE : FALSE;
        }
        return FALSE;
    }
    case WM_ERASEBKGND:
    case WM_ICONERASEBKGND:
        if (HDC hdc = reinterpret_cast<HDC>(wParam)) {
            RECT rc;
            GetClientRect(w->hwnd, &rc);
            CDC::FromHandle(hdc)->FillSolidRect(&rc, GetSysColor(COLOR_BTNFACE));
        }
        return TRUE;
    case WM_INITDIALOG:
        return TRUE;
    case WM_CREATE:
        return 0;
    default:
        return 0;
    }
}

} // namespace platform::ui::detail

using namespace platform::ui::detail;

// ---- the toolkit's part of the core ---------------------------------------------------------

namespace platform::ui::core {

WindowRecord* FindRecord(HWND hwnd) { return Find(hwnd); }

// The only menus are system menus, whose items the core's CMenu holds itself.
bool MenuAppend(HMENU, UINT, UINT_PTR, LPCWSTR) { return true; }
void MenuRemove(HMENU, UINT, UINT) {}
void MenuEnable(HMENU, UINT, UINT) {}

} // namespace platform::ui::core

// ---- CWnd ----------------------------------------------------------------------------------

BOOL CWnd::ModifyStyle(DWORD dwRemove, DWORD dwAdd, UINT)
{
    Window* w = Find(m_hWnd);
    if (!w) return FALSE;
    const DWORD style = (w->style & ~dwRemove) | dwAdd;
    if (style == w->style) return FALSE;
    w->style = style;
    ApplyStyle(w);
    return TRUE;
}

BOOL CWnd::ModifyStyleEx(DWORD dwRemove, DWORD dwAdd, UINT)
{
    Window* w = Find(m_hWnd);
    if (!w) return FALSE;
    const DWORD ex = (w->exStyle & ~dwRemove) | dwAdd;
    if (ex == w->exStyle) return FALSE;
    w->exStyle = ex;
    ApplyStyle(w);
    return TRUE;
}

void CWnd::GetWindowRect(LPRECT r) const
{
    Window* w = Find(m_hWnd);
    if (!r) return;
    *r = RECT{};
    if (!w || !w->widget) return;
    const QRect g = w->widget->frameGeometry();
    const QPoint tl = w->widget->isWindow() ? g.topLeft() : w->widget->mapToGlobal(QPoint(0, 0));
    *r = RECT{tl.x(), tl.y(), tl.x() + g.width(), tl.y() + g.height()};
}

void CWnd::MoveWindow(int x, int y, int nWidth, int nHeight, BOOL)
{
    if (Window* w = Find(m_hWnd); w && w->widget) w->widget->setGeometry(x, y, nWidth, nHeight);
}

void CWnd::SetFont(CFont* pFont, BOOL) { SendMessage(WM_SETFONT, reinterpret_cast<WPARAM>(pFont ? pFont->m_hObject : nullptr), TRUE); }

CMenu* CWnd::GetSystemMenu(BOOL bRevert) const
{
    Window* w = Find(m_hWnd);
    if (!w || !(w->style & WS_SYSMENU)) return nullptr;
    if (bRevert) {
        w->sysMenu.reset();
        EnsureSystemMenu(w);
        return nullptr;
    }
    EnsureSystemMenu(w);
    return w->sysMenu.get();
}

// ---- API on handles --------------------------------------------------------------------------

LRESULT DefWindowProcW(HWND h, UINT m, WPARAM wp, LPARAM lp) { return DefProc(Find(h), m, wp, lp); }

BOOL EnableWindow(HWND h, BOOL bEnable)
{
    Window* w = Find(h);
    if (!w) return FALSE;
    const BOOL wasDisabled = (w->style & WS_DISABLED) ? TRUE : FALSE;
    w->style = bEnable ? (w->style & ~WS_DISABLED) : (w->style | WS_DISABLED);
    if (QWidget* wd = w->widget) {
        // A disabled window cannot keep the focus: the system takes it away (to no window, so
        // keys go to the dialog, whose Enter then finds no enabled default button). Qt would
        // hand it to the next control instead, where Enter presses whatever button that is;
        // the dialog itself takes it here.
        Window* top = w->kind == Kind::Dialog ? nullptr : TopLevelOf(w);
        QWidget* topWidget = top ? top->widget.data() : nullptr;
        if (!bEnable && topWidget && topWidget->focusWidget() == wd) topWidget->setFocus(Qt::OtherFocusReason);
        wd->setEnabled(bEnable != FALSE);
    }
    if (wasDisabled != (bEnable ? FALSE : TRUE)) SendMessageW(h, WM_ENABLE, bEnable ? TRUE : FALSE, 0);
    return wasDisabled;
}

BOOL IsWindowEnabled(HWND h)
{
    Window* w = Find(h);
    return w && !(w->style & WS_DISABLED) ? TRUE : FALSE;
}

BOOL IsWindowVisible(HWND h)
{
    Window* w = Find(h);
    return w && w->widget && w->widget->isVisible() ? TRUE : FALSE;
}

BOOL ShowWindow(HWND h, int n)
{
    Window* w = Find(h);
    if (!w || !w->widget) return FALSE;
    const BOOL was = w->widget->isVisible() ? TRUE : FALSE;
    switch (n) {
    case SW_HIDE: w->widget->hide(); w->style &= ~WS_VISIBLE; break;
    case SW_MINIMIZE: w->widget->showMinimized(); break;
    case SW_RESTORE: w->widget->showNormal(); w->style |= WS_VISIBLE; break;
    default: w->widget->show(); w->style |= WS_VISIBLE; break;
    }
    return was;
}

BOOL IsIconic(HWND h)
{
    Window* w = Find(h);
    return w && w->widget && w->widget->isMinimized() ? TRUE : FALSE;
}

BOOL InvalidateRect(HWND h, LPCRECT r, BOOL)
{
    Window* w = Find(h);
    if (!w || !w->widget) return FALSE;
    if (r) w->widget->update(QRect(r->left, r->top, r->right - r->left, r->bottom - r->top));
    else w->widget->update();
    return TRUE;
}

BOOL UpdateWindow(HWND h)
{
    Window* w = Find(h);
    if (!w || !w->widget) return FALSE;
    // Paints now, before returning, so a long step on this thread still shows its state.
    if (w->widget->isVisible()) w->widget->repaint();
    return TRUE;
}

BOOL GetClientRect(HWND h, LPRECT r)
{
    if (!r) return FALSE;
    *r = RECT{};
    Window* w = Find(h);
    if (!w || !w->widget) return FALSE;
    *r = RECT{0, 0, w->widget->width(), w->widget->height()};
    return TRUE;
}

int GetDlgCtrlID(HWND h)
{
    Window* w = Find(h);
    return w ? w->id : 0;
}

HWND GetFocus()
{
    Window* w = FindByWidget(QApplication::focusWidget());
    return w ? w->hwnd : nullptr;
}

HWND SetFocus(HWND h)
{
    HWND old = GetFocus();
    if (Window* w = Find(h); w && w->widget) w->widget->setFocus(Qt::OtherFocusReason);
    return old;
}

LONG_PTR GetWindowLongPtrW(HWND h, int nIndex)
{
    Window* w = Find(h);
    if (!w) return 0;
    switch (nIndex) {
    case GWL_STYLE: return static_cast<LONG_PTR>(w->style);
    case GWL_EXSTYLE: return static_cast<LONG_PTR>(w->exStyle);
    case GWL_ID: return w->id;
    default: return 0;
    }
}

CString GetClassNameOf(HWND h)
{
    Window* w = Find(h);
    return w ? w->className : CString();
}

HMENU GetSystemMenu(HWND h, BOOL bRevert)
{
    CWnd* w = CWnd::FromHandle(h);
    CMenu* m = w ? w->GetSystemMenu(bRevert) : nullptr;
    return m ? m->m_hMenu : nullptr;
}

BOOL AppendMenuW(HMENU hMenu, UINT uFlags, UINT_PTR id, LPCWSTR text)
{
    // System menus are the only menus; their handle is their window's.
    Window* w = Find(reinterpret_cast<HWND>(hMenu));
    if (!w || !w->sysMenu) return FALSE;
    return w->sysMenu->AppendMenu(uFlags, id, text);
}

namespace platform::ui {

std::vector<MenuItemInfo> SystemMenuItems(HWND hWnd)
{
    std::vector<MenuItemInfo> out;
    Window* w = Find(hWnd);
    if (!w || !(w->style & WS_SYSMENU)) return out;
    EnsureSystemMenu(w);
    for (const CMenu::Item& it : w->sysMenu->Items()) {
        const bool sep = (it.nFlags & MF_SEPARATOR) != 0;
        out.push_back(MenuItemInfo{static_cast<UINT>(it.nID), it.strText, sep, !sep && !(it.nFlags & (MF_GRAYED | MF_DISABLED))});
    }
    return out;
}

QWidget* WidgetOf(HWND hWnd)
{
    Window* w = Find(hWnd);
    return w ? w->widget.data() : nullptr;
}

} // namespace platform::ui

namespace platform::ui {

RECT PositionInParent(HWND hWnd)
{
    QWidget* w = WidgetOf(hWnd);
    if (!w) return RECT{};
    const QRect g = w->isWindow() ? w->geometry() : QRect(w->mapTo(w->window(), QPoint(0, 0)), w->size());
    return RECT{g.left(), g.top(), g.left() + g.width(), g.top() + g.height()};
}

Picture PictureOfWindow(HWND hWnd, bool bWithFrame)
{
    Picture p;
    QWidget* w = WidgetOf(hWnd);
    if (!w || !w->isVisible()) return p;
    // Qt draws no frame of its own; the client area is what the window shows.
    (void)bWithFrame;
    const QImage img = w->grab().toImage().convertToFormat(QImage::Format_ARGB32);
    p.cx = img.width();
    p.cy = img.height();
    p.argb.resize(static_cast<std::size_t>(p.cx) * static_cast<std::size_t>(p.cy));
    for (int y = 0; y < p.cy; ++y) {
        const auto* line = reinterpret_cast<const QRgb*>(img.constScanLine(y));
        for (int x = 0; x < p.cx; ++x) p.argb[static_cast<std::size_t>(y) * static_cast<std::size_t>(p.cx) + static_cast<std::size_t>(x)] = line[x];
    }
    return p;
}

} // namespace platform::ui
