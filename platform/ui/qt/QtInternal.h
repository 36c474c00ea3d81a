// Private to the Qt dialog framework: the record behind every HWND and the helpers the Qt
// files share. Not for code above platform/ui.
#pragma once
#include <QFont>
#include <QImage>
#include <QPointer>
#include <QWidget>
#include <functional>
#include <memory>
#include <vector>

#include "platform/ui/core/Core.h"

class QPainter;

namespace platform::ui::detail {

// The core's seams and test hooks are called by their names.
using namespace core;

enum class Kind { Dialog, Static, Button, Edit, ComboBox, Progress, Other };

// One window: the core's record, with its class, styles and the Qt widget that shows it.
struct Window final : core::WindowRecord {
    Kind kind = Kind::Other;
    DWORD style = 0;
    DWORD exStyle = 0;
    QPointer<QWidget> widget;
    HICON staticIcon = nullptr;
    HFONT font = nullptr;
    int progressLow = 0, progressHigh = 100, progressPos = 0, progressStep = 10;
    QPainter* paintPainter = nullptr; // while WM_PAINT runs inside a Qt paint
    bool destroying = false;

    LRESULT ReceiveMessage(UINT message, WPARAM wParam, LPARAM lParam) override;
    bool IsDialog() const override { return kind == Kind::Dialog; }
    void AttachedCWndGone() override;
    void DestroyWithChildren(bool byAttachedCWnd) override;
};

Window* Find(HWND hwnd);
Window* FindByWidget(const QObject* widget);
// The dialog (top-level window) a window belongs to.
Window* TopLevelOf(Window* w);

// Creates the record and widget of a control inside a dialog; geometry in pixels.
Window* CreateControl(Window* dialog, const DialogItemData& item, const QRect& rect);
// Names every edit and list of a finished dialog after its label, for assistive technology.
void NameFieldsByLabels(Window* dialog);
// The Qt window flags for a dialog's template styles (owned: it has an owner window).
Qt::WindowFlags WindowFlagsOf(DWORD style, DWORD exStyle, bool owned);
// Creates the record of a dialog window with its Qt dialog.
Window* CreateDialogWindow(HWND hwndParent, const DialogTemplateData& t, const QFont& font, QSize clientSize);
// Unregisters the window and its children (no message reaches them afterwards), detaches
// their CWnds and deletes the widgets.
void DestroyWindowTree(HWND hwnd, bool deleteWidgetNow);

LRESULT DefProc(Window* w, UINT message, WPARAM wParam, LPARAM lParam);
void ApplyStyle(Window* w);
void OpenSystemMenu(Window* w, QPoint globalPos);
void EnsureSystemMenu(Window* w);
void NotifyParent(Window* w, WORD code);

// ---- GDI -----------------------------------------------------------------------------------
QColor ToQColor(COLORREF c);
QFont MakeFont(const CString& face, int pixelHeight, LONG weight = FW_NORMAL, bool italic = false);
QFont FontOf(HFONT h, const QFont& fallback);
QImage BitmapImage(HBITMAP h);
QImage IconImage(HICON h);
// A device context drawing with painter (null: draws nothing) for window hwnd.
HDC BeginDc(QPainter* painter, HWND hwnd, const QFont& defaultFont);
void EndDc(HDC hdc);
int PointsToPixels(int points);

// ---- hooks (QtApp.cpp; the test seams are the core's) ------------------------------------------
// True on the thread that runs the GUI (or when there is none yet).
bool OnGuiThread();
// Runs fn on the GUI thread and waits for its result: a message sent from another thread is
// handled by the window's own thread, as the native system does.
LRESULT RunOnGuiThread(const std::function<LRESULT()>& fn);
// Keyboard modifiers of the real key event being translated (for WM_KEYDOWN defaults).
Qt::KeyboardModifiers CurrentKeyModifiers();
void SetCurrentKeyModifiers(Qt::KeyboardModifiers m);

} // namespace platform::ui::detail
