// Private to the Win32 dialog framework: the record behind every handle the application sees.
#pragma once
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/Messages.h"
#include "platform/ui/Afx.h"
#include "platform/ui/TestHooks.h"

namespace platform::ui::w32 {

enum class Kind { Dialog, Control };

// One system window: the message core's handle for it, the system's handle, and the CWnd
// that handles its messages once subclassed.
struct Window final : IMessageTarget {
    HWND hwnd = nullptr;
    void* real = nullptr;
    Kind kind = Kind::Control;
    CString className;
    int id = 0;
    HWND parent = nullptr;
    std::vector<HWND> children; // template order
    CWnd* attached = nullptr;
    std::unique_ptr<CWnd> wrapper; // what FromHandle gives for an unattached window
    std::unique_ptr<CMenu> sysMenu;
    HICON iconBig = nullptr;
    HICON iconSmall = nullptr;
    HBITMAP image = nullptr;
    bool dead = false;

    LRESULT ReceiveMessage(UINT message, WPARAM wParam, LPARAM lParam) override;
};

Window* Find(HWND hwnd);
Window* FindNative(void* real);
void* RealOf(HWND hwnd);
HWND OursOf(void* real);
LRESULT DefProc(Window* w, UINT message, WPARAM wParam, LPARAM lParam);
// Makes the system dialog from the template; WM_INITDIALOG has run when it returns.
HWND CreateDialogFromData(CDialog* dlg, const DialogTemplateData& t, HWND parent);
// The template as the dialog manager reads it (DLGTEMPLATEEX and DLGITEMTEMPLATEEXs).
std::vector<std::uint32_t> BuildDialogTemplate(const DialogTemplateData& t);
void DestroyRecordTree(HWND hwnd);
void EnsureInit();
// Dispatches waiting system messages, functions given to RunLater and posted messages.
void PumpOnce();
void RunLater(std::function<void()> fn);

// ---- hooks (WinApp.cpp) ----------------------------------------------------------------------
void ObserveMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
std::function<std::optional<std::string>(const FileDialogCall&)> FileDialogHook();
std::function<UINT(HWND, const std::vector<MenuItemInfo>&)> SystemMenuHook();
void DialogShown(HWND hwnd);
CString AppName();
int AnswerMessageBox(HWND owner, const CString& text, const CString& caption, UINT type, bool* answered);

} // namespace platform::ui::w32
