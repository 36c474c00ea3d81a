// Private to the Win32 dialog framework: the record behind every handle the application sees.
#pragma once
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/ui/core/Core.h"

namespace platform::ui::w32 {

// The core's seams and test hooks are called by their names.
using namespace core;

enum class Kind { Dialog, Control };

// One system window: the core's record, with the system's handle for it.
struct Window final : core::WindowRecord {
    void* real = nullptr;
    bool dead = false; // the system's window is gone
    Kind kind = Kind::Control;

    LRESULT ReceiveMessage(UINT message, WPARAM wParam, LPARAM lParam) override;
    bool IsDialog() const override { return kind == Kind::Dialog; }
    void AttachedCWndGone() override;
    void DestroyWithChildren(bool byAttachedCWnd) override;
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

} // namespace platform::ui::w32
