// Private to the dialog framework: what the toolkit-free core (this folder) and a toolkit
// (qt/ or win32/) say to each other. The core holds everything both toolkits do the same way —
// message-map dispatch, CWnd's attach/subclass and its calls on handles, CMenu's items,
// data exchange, CDialog's map, the application object, the test seams, the GDI objects'
// common part — and asks the toolkit, through the functions under "the toolkit's part", for
// what only a toolkit can do. Each toolkit defines every one of them exactly once.
// Not for code above platform/ui.
#pragma once
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/Messages.h"
#include "platform/ui/Afx.h"
#include "platform/ui/TestHooks.h"

namespace platform::ui::core {

// What every toolkit keeps of one window: its handle from the message core, its place in the
// dialog, and the CWnd that handles its messages once subclassed. A toolkit's record adds
// what it shows the window with.
struct WindowRecord : IMessageTarget {
    HWND hwnd = nullptr;
    CString className;
    int id = 0;
    HWND parent = nullptr;
    std::vector<HWND> children; // template order
    CWnd* attached = nullptr;
    std::unique_ptr<CWnd> wrapper; // what FromHandle gives for an unattached window
    std::unique_ptr<CMenu> sysMenu;
    HICON iconBig = nullptr;
    HICON iconSmall = nullptr;
    HBITMAP image = nullptr; // SS_BITMAP

    // A top-level dialog, as opposed to one of its controls.
    virtual bool IsDialog() const = 0;
    // The CWnd attached to this window is being destroyed while the window still stands.
    virtual void AttachedCWndGone() = 0;
    // Destroys the window and its children; byAttachedCWnd: asked through CWnd::DestroyWindow
    // of the attached object, else through ::DestroyWindow on a window nobody has attached.
    virtual void DestroyWithChildren(bool byAttachedCWnd) = 0;
};

// ---- the toolkit's part ----------------------------------------------------------------------
// The live record of a handle; null for a handle that names no window (or one being destroyed).
WindowRecord* FindRecord(HWND hwnd);
// A menu's items as the toolkit shows them; the core keeps its own list as well. AppendMenu
// fails when the toolkit refuses the item.
bool MenuAppend(HMENU menu, UINT flags, UINT_PTR id, LPCWSTR text);
void MenuRemove(HMENU menu, UINT position, UINT flags);
void MenuEnable(HMENU menu, UINT item, UINT enable);
// The toolkit's file chooser for dlg (no test hook installed): the Windows-shaped path chosen,
// or nothing for Cancel.
std::optional<CString> RunFileChooser(HWND owner, const CFileDialog& dlg);
// Shows a message box that no test hook answered, and returns the button chosen.
int ShowMessageBox(HWND owner, const CString& text, const CString& caption, UINT type);
// The sound of MessageBeep (the core counts the beeps).
void Beep(UINT type);
// RunApp's start: the toolkit's application object for the command line, and EnsureGui.
void StartGui(int argc, char** argv);
// CWinApp::Run: the application's event loop, until the last window has gone.
void RunEventLoop();

// ---- the core's part, for the toolkits ---------------------------------------------------------
// The window a modal dialog belongs to: its parent, else the main window (unless it is the
// main window itself).
HWND ModalOwner(const CDialog& dlg);
// The installed test seams (TestHooks.h), read at the moment of use.
void ObserveMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
std::function<UINT(HWND, const std::vector<MenuItemInfo>&)> SystemMenuHook();
std::function<std::optional<std::string>(const FileDialogCall&)> FileDialogHook();
// Runs the dialog-shown hook for a window that still stands.
void DialogShown(HWND hwnd);
// The application's name: the caption of a message box that names none.
CString AppName();
// Logs a message box and lets the hook answer it; *answered says whether one did.
int AnswerMessageBox(HWND owner, const CString& text, const CString& caption, UINT type, bool* answered);

} // namespace platform::ui::core
