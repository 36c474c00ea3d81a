// Seams for tests and the demo: answering message boxes, file dialogs and the system menu
// without a person, counting beeps, observing every message, driving real input, and running
// the event loop until a condition holds.
#pragma once
#include <functional>
#include <optional>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/CString.h"
#include "platform/ui/Gdi.h"
#include "platform/ui/WinUser.h"

class QWidget;
class QImage;
class QPoint;

namespace platform::ui {

struct MessageBoxCall {
    HWND hOwner;
    CString strText;
    CString strCaption; // as shown (the application's name when the caller passed none)
    UINT nType;
};
// With a hook installed, message boxes are not shown: the hook returns the answer (IDOK,
// IDYES, ...). Every box is recorded either way.
void SetMessageBoxHook(std::function<int(const MessageBoxCall&)> hook);
std::vector<MessageBoxCall> MessageBoxLog();
void ClearMessageBoxLog();

struct FileDialogCall {
    HWND hOwner;
    bool bOpen;
    CString strFilter;  // as given ("Desc (*.x)|*.x|")
    CString strFileName;
    CString strInitialDir;
};
// Returns the chosen native path, or nothing for Cancel.
void SetFileDialogHook(std::function<std::optional<std::string>(const FileDialogCall&)> hook);

// The system menu as shown: items with their IDs (0 for separators).
struct MenuItemInfo {
    UINT nID;
    CString strText;
    bool bSeparator;
    bool bEnabled;
};
std::vector<MenuItemInfo> SystemMenuItems(HWND hWnd);
// Chooses an item as the user would (WM_SYSCOMMAND with its ID); false when the window has
// no such enabled item.
bool ChooseSystemMenuItem(HWND hWnd, UINT nID);
// With a hook installed, opening the system menu (Alt+Space, right click on the background;
// on Windows a right click on the title bar) asks the hook instead of showing it: it returns
// the chosen ID or 0 for none.
void SetSystemMenuHook(std::function<UINT(HWND, const std::vector<MenuItemInfo>&)> hook);

// MessageBeep calls since the last reset, and the type the last one asked for.
int BeepCount();
void ResetBeepCount();
UINT LastBeepType();

// Called for every message any window receives, before it is handled.
void SetMessageObserver(std::function<void(HWND, UINT, WPARAM, LPARAM)> observer);

// Called once each time a modal dialog has been initialised and shown, from inside its
// modal loop (so the test can drive it and end it).
void SetDialogShownHook(std::function<void(HWND)> hook);

// Runs the GUI event loop (posted messages included) until cond() holds or timeoutMs
// passes (real time); returns cond().
bool RunUntil(const std::function<bool()>& cond, int timeoutMs = 5000);
// Processes what is pending without waiting.
void ProcessPendingEvents();
// Runs fn on the GUI thread from the event loop, after the current work (for driving modal
// loops from a test).
void RunLater(std::function<void()> fn);

// Real input, delivered to the control's widget as the windowing system would.
void SendKey(HWND hWnd, UINT vk, bool bShift = false, bool bCtrl = false, bool bAlt = false);
void TypeText(HWND hWnd, const CString& text);
// A click at the centre of the control, delivered to its top-level window at that point:
// whatever lies on top there takes it, as with a real mouse. A right click on a dialog lands
// where that window's system menu opens: the background with Qt, the title bar on Windows.
void ClickMouse(HWND hWnd, bool bRight = false);
// A click at pos (window coordinates) of a top-level widget; false when it has no window.
bool ClickAt(QWidget* topLevel, QPoint pos, bool bRight = false);

// What a window shows now, as 0xAARRGGBB words (top row first): its client area, or with
// bWithFrame the whole window. Empty for a window that is gone or not shown.
struct Picture {
    int cx = 0;
    int cy = 0;
    std::vector<std::uint32_t> argb;
    std::uint32_t At(int x, int y) const { return argb[static_cast<std::size_t>(y) * static_cast<std::size_t>(cx) + static_cast<std::size_t>(x)]; }
};
Picture PictureOfWindow(HWND hWnd, bool bWithFrame = false);
// Where a window lies in its parent's client area (a dialog: on the screen), in pixels.
RECT PositionInParent(HWND hWnd);
// Writes a picture as a 32-bit BMP file; false when it cannot.
bool SavePictureBmp(const Picture& picture, const std::string& path);

// The Qt widget behind a window (null for none), for pictures and inspection.
QWidget* WidgetOf(HWND hWnd);
// Image behind a bitmap or icon handle (null image if none).
QImage ImageOfBitmap(HBITMAP hBitmap);
QImage ImageOfIcon(HICON hIcon);

} // namespace platform::ui
