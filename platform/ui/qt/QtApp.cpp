// The GUI start-up on Qt, the bridge between the message core and Qt's event loop (posted
// messages, waits), the input the tests send, and the application's event loop and beep.
#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QElapsedTimer>
#include <QEvent>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPalette>
#include <QThread>
#include <QTimer>
#include <QTranslator>
#include <QLibraryInfo>
#include <QWindow>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <mutex>

#include "platform/ui/qt/QtInternal.h"

namespace {

Qt::KeyboardModifiers g_keyMods = Qt::NoModifier;

// ---- posted messages in Qt's loop ----------------------------------------------------------
const QEvent::Type kDrainEvent = static_cast<QEvent::Type>(QEvent::User + 0x7A4);
std::atomic<bool> g_drainPending{false};
std::mutex g_offThreadMu;
std::condition_variable g_offThreadCv;

// Receives the "messages were posted" event on the GUI thread and dispatches them.
class Pump final : public QObject
{
public:
    void customEvent(QEvent* e) override
    {
        if (e->type() != kDrainEvent) return;
        g_drainPending.store(false);
        // Only what is queued now; messages posted meanwhile get their own event, so a
        // handler that keeps posting cannot starve painting and input.
        std::size_t n = platform::PendingMessageCount();
        MSG msg;
        while (n-- > 0 && PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
        if (platform::PendingMessageCount() > 0 && !g_drainPending.exchange(true))
            QCoreApplication::postEvent(this, new QEvent(kDrainEvent));
    }
};
Pump* g_pump = nullptr;

void Wake()
{
    {
        std::lock_guard<std::mutex> lk(g_offThreadMu);
    }
    g_offThreadCv.notify_all();
    // postEvent is thread-safe and wakes the GUI thread's dispatcher from any wait.
    if (g_pump && !g_drainPending.exchange(true)) QCoreApplication::postEvent(g_pump, new QEvent(kDrainEvent));
}

void GuiWait(std::chrono::nanoseconds maxWait)
{
    auto* app = QCoreApplication::instance();
    if (!app || QThread::currentThread() != app->thread()) {
        // Another thread: a bounded wait for the next wake, then the caller checks again.
        std::unique_lock<std::mutex> lk(g_offThreadMu);
        g_offThreadCv.wait_for(lk, std::min<std::chrono::nanoseconds>(maxWait, std::chrono::milliseconds(20)));
        return;
    }
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(maxWait).count();
    QTimer bound;
    bound.setSingleShot(true);
    bound.start(static_cast<int>(std::clamp<long long>(ms, 0, 24LL * 3600 * 1000)));
    // Blocks in the dispatcher until a GUI event, a posted message, a wake or the bound.
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
}

// Qt's own dialogs and standard buttons (the file dialog above all) speak the interface's
// language. A missing translation leaves them in English; nothing else depends on it.
void InstallQtTranslations()
{
    static QTranslator* translator = nullptr; // lives as long as the process
    if (translator) return;
    translator = new QTranslator;
    const QString dir = QLibraryInfo::path(QLibraryInfo::TranslationsPath);
    if (translator->load(QStringLiteral("qtbase_zh_CN"), dir))
        QCoreApplication::installTranslator(translator);
}

void InstallPalette()
{
    QPalette pal = QApplication::palette();
    const QColor face = platform::ui::detail::ToQColor(GetSysColor(COLOR_BTNFACE));
    pal.setColor(QPalette::Window, face);
    pal.setColor(QPalette::Button, face);
    QApplication::setPalette(pal);
    QApplication::setFont(platform::ui::detail::MakeFont(CString(u"MS Shell Dlg"), platform::ui::detail::PointsToPixels(9)));
}

} // namespace

namespace platform::ui {

void EnsureGui()
{
    if (!QCoreApplication::instance()) {
        static int argc = 1;
        static char arg0[] = "tarvex";
        static char* argv[] = {arg0, nullptr};
        new QApplication(argc, argv); // lives as long as the process
    }
    if (g_pump) return;
    g_pump = new Pump;
    InstallPalette();
    InstallQtTranslations();
    platform::SetWakeHook(&Wake);
    platform::SetGuiWaitHook(&GuiWait);
    platform::SetCrossThreadSendHook([](HWND h, UINT m, WPARAM w, LPARAM l, LRESULT& r) {
        if (detail::OnGuiThread()) return false;
        r = detail::RunOnGuiThread([h, m, w, l] { return SendMessageW(h, m, w, l); });
        return true;
    });
    if (platform::PendingMessageCount() > 0) Wake();
}

void core::StartGui(int argc, char** argv)
{
    static int s_argc = 0;
    s_argc = argc;
    if (!QCoreApplication::instance()) new QApplication(s_argc, argv);
    EnsureGui();
}

bool RunUntil(const std::function<bool()>& cond, int timeoutMs)
{
    EnsureGui();
    QElapsedTimer t;
    t.start();
    while (!cond()) {
        const qint64 left = timeoutMs - t.elapsed();
        if (left <= 0) return cond();
        // Wakes on any event; the short bound re-checks conditions that change without one.
        GuiWait(std::chrono::milliseconds(std::min<qint64>(left, 10)));
    }
    return true;
}

void ProcessPendingEvents()
{
    EnsureGui();
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void RunLater(std::function<void()> fn)
{
    EnsureGui();
    QTimer::singleShot(0, g_pump, std::move(fn));
}

namespace {
int QtKeyFromVk(UINT vk)
{
    if (vk >= 'A' && vk <= 'Z') return Qt::Key_A + static_cast<int>(vk - 'A');
    if (vk >= '0' && vk <= '9') return Qt::Key_0 + static_cast<int>(vk - '0');
    if (vk >= VK_F1 && vk < VK_F1 + 12) return Qt::Key_F1 + static_cast<int>(vk - VK_F1);
    switch (vk) {
    case VK_BACK: return Qt::Key_Backspace;
    case VK_TAB: return Qt::Key_Tab;
    case VK_RETURN: return Qt::Key_Return;
    case VK_ESCAPE: return Qt::Key_Escape;
    case VK_SPACE: return Qt::Key_Space;
    case VK_PRIOR: return Qt::Key_PageUp;
    case VK_NEXT: return Qt::Key_PageDown;
    case VK_END: return Qt::Key_End;
    case VK_HOME: return Qt::Key_Home;
    case VK_LEFT: return Qt::Key_Left;
    case VK_UP: return Qt::Key_Up;
    case VK_RIGHT: return Qt::Key_Right;
    case VK_DOWN: return Qt::Key_Down;
    case VK_INSERT: return Qt::Key_Insert;
    case VK_DELETE: return Qt::Key_Delete;
    default: return Qt::Key_unknown;
    }
}

void DeliverKey(QWidget* w, int key, Qt::KeyboardModifiers mods, const QString& text)
{
    QKeyEvent press(QEvent::KeyPress, key, mods, text);
    QCoreApplication::sendEvent(w, &press);
    QKeyEvent release(QEvent::KeyRelease, key, mods, text);
    QCoreApplication::sendEvent(w, &release);
}
} // namespace

void SendKey(HWND hWnd, UINT vk, bool bShift, bool bCtrl, bool bAlt)
{
    QWidget* w = WidgetOf(hWnd);
    if (!w) return;
    Qt::KeyboardModifiers mods;
    if (bShift) mods |= Qt::ShiftModifier;
    if (bCtrl) mods |= Qt::ControlModifier;
    if (bAlt) mods |= Qt::AltModifier;
    QString text;
    if (bCtrl && vk >= 'A' && vk <= 'Z') text = QChar(static_cast<char16_t>(vk - 'A' + 1));
    else if (!bCtrl && !bAlt && vk >= 'A' && vk <= 'Z') text = QChar(static_cast<char16_t>(bShift ? vk : vk + 32));
    else if (!bCtrl && !bAlt && vk >= '0' && vk <= '9') text = QChar(static_cast<char16_t>(vk));
    else if (vk == VK_BACK) text = QStringLiteral("\b");
    else if (vk == VK_RETURN) text = QStringLiteral("\r");
    else if (vk == VK_ESCAPE) text = QStringLiteral("\x1b");
    else if (vk == VK_TAB) text = QStringLiteral("\t");
    else if (vk == VK_SPACE && !bAlt) text = QStringLiteral(" ");
    DeliverKey(w, QtKeyFromVk(vk), mods, text);
}

void TypeText(HWND hWnd, const CString& text)
{
    for (int i = 0; i < text.GetLength(); ++i) {
        QWidget* w = WidgetOf(hWnd);
        if (!w) return;
        const char16_t ch = text[i];
        int key = Qt::Key_unknown;
        if (ch >= u'a' && ch <= u'z') key = Qt::Key_A + (ch - u'a');
        else if (ch >= u'A' && ch <= u'Z') key = Qt::Key_A + (ch - u'A');
        else if (ch >= u'0' && ch <= u'9') key = Qt::Key_0 + (ch - u'0');
        else if (ch == u' ') key = Qt::Key_Space;
        else if (ch == 8) key = Qt::Key_Backspace;
        const Qt::KeyboardModifiers mods = (ch >= u'A' && ch <= u'Z') ? Qt::ShiftModifier : Qt::NoModifier;
        DeliverKey(w, key, mods, QString(QChar(ch)));
    }
}

void ClickMouse(HWND hWnd, bool bRight)
{
    QWidget* w = WidgetOf(hWnd);
    if (!w) return;
    const QPoint local(w->width() / 2, w->height() / 2);
    ClickAt(w->window(), w->mapTo(w->window(), local), bRight);
}

bool ClickAt(QWidget* topLevel, QPoint pos, bool bRight)
{
    if (!topLevel || !topLevel->isWindow()) return false;
    topLevel->winId(); // the native window the windowing system delivers to
    QPointer<QWindow> win(topLevel->windowHandle());
    if (!win) return false;
    const QPointF local(pos);
    const QPointF global(topLevel->mapToGlobal(pos));
    const Qt::MouseButton b = bRight ? Qt::RightButton : Qt::LeftButton;
    // To the window, not to a widget: Qt picks the receiver under the point through the
    // widget stacking (and modality), and follows a right click with a context-menu
    // request, as for a click from the windowing system.
    QMouseEvent press(QEvent::MouseButtonPress, local, local, global, b, b, Qt::NoModifier);
    QCoreApplication::sendEvent(win, &press);
    if (!win) return true;
    QMouseEvent release(QEvent::MouseButtonRelease, local, local, global, b, Qt::NoButton, Qt::NoModifier);
    QCoreApplication::sendEvent(win, &release);
    return true;
}

} // namespace platform::ui

namespace platform::ui::detail {

bool OnGuiThread()
{
    auto* app = QCoreApplication::instance();
    return !app || QThread::currentThread() == app->thread();
}

LRESULT RunOnGuiThread(const std::function<LRESULT()>& fn)
{
    if (OnGuiThread() || !g_pump) return fn();
    LRESULT r = 0;
    QMetaObject::invokeMethod(g_pump, [&r, &fn] { r = fn(); }, Qt::BlockingQueuedConnection);
    return r;
}

Qt::KeyboardModifiers CurrentKeyModifiers() { return g_keyMods; }
void SetCurrentKeyModifiers(Qt::KeyboardModifiers m) { g_keyMods = m; }

} // namespace platform::ui::detail

// ---- the toolkit's part of the core ---------------------------------------------------------

void platform::ui::core::RunEventLoop() { QApplication::exec(); }

void platform::ui::core::Beep(UINT)
{
    if (QCoreApplication::instance()) QApplication::beep();
}

// ---- the system ----------------------------------------------------------------------------

BOOL InitCommonControlsEx(const INITCOMMONCONTROLSEX* picce)
{
    return picce && picce->dwSize == sizeof(INITCOMMONCONTROLSEX) ? TRUE : FALSE;
}

std::int16_t GetKeyState(int nVirtKey)
{
    using platform::ui::detail::CurrentKeyModifiers;
    Qt::KeyboardModifier m = Qt::NoModifier;
    switch (nVirtKey) {
    case VK_SHIFT: m = Qt::ShiftModifier; break;
    case VK_CONTROL: m = Qt::ControlModifier; break;
    case VK_MENU: m = Qt::AltModifier; break;
    default: return 0;
    }
    return (CurrentKeyModifiers() & m) ? static_cast<std::int16_t>(0x8000) : 0;
}

BOOL GetClipboardText(CString& strText)
{
    strText.Empty();
    if (!QCoreApplication::instance()) return FALSE;
    const QString text = QGuiApplication::clipboard()->text();
    if (text.isNull()) return FALSE;
    strText = CString(reinterpret_cast<const WCHAR*>(text.utf16()), static_cast<int>(text.size()));
    return TRUE;
}
