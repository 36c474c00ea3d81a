// The user32/comctl32/GDI calls the Win32 dialog framework needs, behind plain types. This
// header includes neither <windows.h> nor the framework's own Windows-shaped headers (the two
// define the same names differently); Native.cpp is the only file that sees <windows.h>.
// Handles here are the system's own (real HWND, HDC, HFONT ...), passed as void*.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace platform::ui::native {

using Handle = void*;
using Wp = std::uintptr_t;
using Lp = std::intptr_t;
using Lr = std::intptr_t;

// Every message a subclassed window receives goes to this function with the window's record.
using DispatchFn = Lr (*)(void* record, unsigned message, Wp wParam, Lp lParam);
// WM_INITDIALOG of a dialog made by CreateDialogFromTemplate: the framework makes its
// records (subclassing the dialog and its controls) and handles the message.
using InitDialogFn = Lr (*)(void* context, Handle dialog, Wp wParam, Lp lParam);

// Registers the common control classes and the framework's callbacks.
void Init(DispatchFn dispatch, InitDialogFn initDialog);

// ---- windows -------------------------------------------------------------------------------
// tmpl is a DLGTEMPLATE in memory; the dialog is modeless (the framework runs the loop).
Handle CreateDialogFromTemplate(const void* tmpl, Handle parent, void* context);
void Subclass(Handle h, void* record);
void Unsubclass(Handle h);
// The window's own processing (the procedure that was there before Subclass).
Lr CallDefault(Handle h, unsigned message, Wp wParam, Lp lParam);
Lr Send(Handle h, unsigned message, Wp wParam, Lp lParam);
bool Post(Handle h, unsigned message, Wp wParam, Lp lParam);
std::vector<Handle> Children(Handle h);
int CtrlId(Handle h);
std::u16string ClassName(Handle h);
std::uint32_t Style(Handle h);
std::uint32_t ExStyle(Handle h);
void SetStyle(Handle h, std::uint32_t style);
void SetExStyle(Handle h, std::uint32_t exStyle);
bool IsWindowAlive(Handle h);
bool Destroy(Handle h);
bool Enable(Handle h, bool enable);
bool IsEnabled(Handle h);
bool Show(Handle h, int cmd);
bool IsVisible(Handle h);
bool IsIconic(Handle h);
struct Rect {
    int left = 0, top = 0, right = 0, bottom = 0;
};
Rect ClientRect(Handle h);
// In screen coordinates.
Rect WindowRect(Handle h);
// The client rectangle of h in the client coordinates of its parent.
Rect RectInParent(Handle h);
void Move(Handle h, int x, int y, int cx, int cy, bool repaint);
Handle Focus();
Handle SetFocusTo(Handle h);
void NextDialogControl(Handle dlg, Handle from, bool previous);
void Invalidate(Handle h, const Rect* r, bool erase);
void Update(Handle h);
void SetForeground(Handle h);
Handle Parent(Handle h);
// The window that owns a top-level window (GW_OWNER); null for none.
Handle Owner(Handle h);

// ---- the loop ------------------------------------------------------------------------------
// Set from any thread to wake a Wait.
void Wake();
// Work queued for the GUI thread must run in every loop that dispatches window messages, not
// only in ours: the device code's PumpWait and the system's own modal loops dispatch too.
// PostWork posts (once until it is handled) a message to a hidden window whose procedure
// calls the handler given here, on the GUI thread.
void SetWorkHandler(void (*handler)());
void PostWork();
// Blocks until a window message, a Wake or maxMs passes (0: no blocking).
void Wait(std::uint32_t maxMs);
// Dispatches the window messages waiting now, the dialog manager's keys included.
void PumpPending();
bool OnGuiThread();
void SetGuiThread();

// ---- boxes, menus ----------------------------------------------------------------------------
int ShowMessageBox(Handle owner, const char16_t* text, const char16_t* caption, unsigned type);
// filter: "Desc\0*.x\0...\0\0". Returns false for Cancel.
bool FileDialog(Handle owner, bool open, const std::u16string& filter, const std::u16string& initial,
                const std::u16string& initialDir, const std::u16string& defExt, std::uint32_t flags, std::u16string& chosen);
void Beep(unsigned type);
// GetKeyState of the calling thread's input.
short KeyState(int vk);
// The clipboard's CF_UNICODETEXT; false when it holds none.
bool ClipboardText(std::u16string& text);
Handle SystemMenu(Handle h, bool revert);
bool AppendMenuItem(Handle menu, unsigned flags, std::uintptr_t id, const char16_t* text);
bool RemoveMenuItem(Handle menu, unsigned position, unsigned flags);
int EnableMenuItem(Handle menu, unsigned item, unsigned flags);
struct MenuItem {
    unsigned id = 0;
    std::u16string text;
    bool separator = false;
    bool enabled = true;
};
std::vector<MenuItem> MenuItems(Handle menu);

// ---- drawing ---------------------------------------------------------------------------------
struct Paint {
    Handle hdc = nullptr;
    bool erase = false;
    Rect rc;
    unsigned char opaque[64] = {}; // the system's PAINTSTRUCT tail
};
Handle BeginPaint(Handle h, Paint& ps);
void EndPaint(Handle h, Paint& ps);
std::uint32_t GetBkColor(Handle hdc);
std::uint32_t SetBkColor(Handle hdc, std::uint32_t c);
std::uint32_t GetTextColor(Handle hdc);
std::uint32_t SetTextColor(Handle hdc, std::uint32_t c);
int SetBkMode(Handle hdc, int mode);
int GetBkMode(Handle hdc);
Handle SelectObject(Handle hdc, Handle obj);
int GetDeviceCaps(Handle hdc, int index);
void FillSolid(Handle hdc, const Rect& r, std::uint32_t colour);
bool DrawTextAt(Handle hdc, int x, int y, const char16_t* s, int n);
bool TextExtent(Handle hdc, const char16_t* s, int n, int& cx, int& cy);
bool DrawIcon(Handle hdc, int x, int y, Handle icon);
bool DeleteObject(Handle obj);
struct Font {
    int height = 0, width = 0, escapement = 0, orientation = 0, weight = 0;
    unsigned char italic = 0, underline = 0, strikeOut = 0, charSet = 0, outPrecision = 0, clipPrecision = 0, quality = 0,
                  pitchAndFamily = 0;
    char16_t face[32] = {};
};
Handle MakeFont(const Font& f);
bool GetFont(Handle font, Font& f);
// From 32-bit pixels (0xAARRGGBB, top row first).
Handle CreateBitmap(int cx, int cy, const std::uint32_t* argb);
Handle CreateIcon(int cx, int cy, const std::uint32_t* argb);
bool BitmapSize(Handle bmp, int& cx, int& cy);
// Icon resource of the executable (the application icon), or null.
Handle LoadIconResource(int id);
// Dialog base units of a font as the dialog manager computes them.
void DialogBaseUnits(const char16_t* face, int points, int& cx, int& cy);
// What the window shows now (its client area drawn through WM_PRINT, or the screen).
bool Capture(Handle h, bool withFrame, int& cx, int& cy, std::vector<std::uint32_t>& argb);
std::uint32_t SysColor(int index);
int SystemMetric(int index);

// ---- input, as a user gives it ----------------------------------------------------------------
void KeyInput(Handle target, unsigned vk, bool shift, bool ctrl, bool alt);
void CharInput(Handle target, char16_t ch);
void ClickInput(Handle target, bool right);
// Returns once the input given so far has been read and dispatched (bounded).
void SettleInput();

} // namespace platform::ui::native
