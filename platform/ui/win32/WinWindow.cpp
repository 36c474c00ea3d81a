// The dialog framework on real user32: every window is a system window made by the dialog
// manager from the in-memory template, subclassed so that its messages pass through the
// attached CWnd and its message map before the system's own processing. Handles given to the
// application are the message core's (so that posted messages, the observer and the window
// lifetime rules are the same as everywhere else); each record holds the system handle. The
// message maps and CWnd's common part are the core's (core/Wnd.cpp).
#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>

#include "platform/Kernel.h"
#include "platform/ui/Afx.h"
#include "platform/ui/TestHooks.h"
#include "platform/ui/win32/Native.h"
#include "platform/ui/win32/WinInternal.h"

namespace nat = platform::ui::native;

namespace platform::ui::w32 {
namespace {

// Never destroyed: a window still open when the process ends keeps its record, so a message
// reaching it from another static object's destructor finds a live record, not freed memory.
auto& g_windows = *new std::map<HWND, std::unique_ptr<Window>>;
auto& g_byNative = *new std::map<void*, Window*>;
auto& g_dead = *new std::vector<std::unique_ptr<Window>>; // records of destroyed windows, freed at the end of a dispatch
int g_dispatchDepth = 0;

struct DialogCreation {
    CDialog* dialog;
    int templateId;
};

Window* NewRecord(void* real, Window* parent)
{
    auto w = std::make_unique<Window>();
    Window* raw = w.get();
    raw->real = real;
    raw->hwnd = platform::RegisterWindow(raw);
    raw->parent = parent ? parent->hwnd : nullptr;
    raw->id = nat::CtrlId(real);
    raw->className = CString(nat::ClassName(real));
    g_byNative[real] = raw;
    g_windows[raw->hwnd] = std::move(w);
    nat::Subclass(real, raw);
    return raw;
}

void ForgetRecord(Window* w)
{
    if (!w || w->dead) return;
    w->dead = true;
    platform::UnregisterWindow(w->hwnd);
    g_byNative.erase(w->real);
    if (w->attached && w->attached->m_hWnd == w->hwnd) w->attached->m_hWnd = nullptr;
    w->attached = nullptr;
    auto it = g_windows.find(w->hwnd);
    if (it != g_windows.end()) {
        g_dead.push_back(std::move(it->second));
        g_windows.erase(it);
    }
}

void FreeDead()
{
    if (g_dispatchDepth == 0) g_dead.clear();
}

HWND Ours(void* real)
{
    auto it = g_byNative.find(real);
    return it == g_byNative.end() ? nullptr : it->second->hwnd;
}

void* Real(HWND h)
{
    Window* w = Find(h);
    return w ? w->real : nullptr;
}

// The system's DRAWITEMSTRUCT has the same members as ours; only the window handle differs.
struct NativeDrawItem {
    UINT CtlType, CtlID, itemID, itemAction, itemState;
    void* hwndItem;
    void* hDC;
    RECT rcItem;
    std::uintptr_t itemData;
};
static_assert(sizeof(NativeDrawItem) == sizeof(DRAWITEMSTRUCT));

bool IsCtlColor(UINT m) { return m >= 0x0132 && m <= 0x0138; }

nat::Lr DispatchFromSystem(void* record, unsigned message, nat::Wp wParam, nat::Lp lParam)
{
    Window* w = static_cast<Window*>(record);
    if (w->dead) return nat::CallDefault(w->real, message, wParam, lParam);
    ++g_dispatchDepth;
    LRESULT r = 0;
    if (message == WM_COMMAND) {
        r = w->ReceiveMessage(message, wParam, reinterpret_cast<LPARAM>(Ours(reinterpret_cast<void*>(lParam))));
    } else if (message == WM_DRAWITEM && lParam) {
        const auto* n = reinterpret_cast<const NativeDrawItem*>(lParam);
        DRAWITEMSTRUCT d;
        d.CtlType = n->CtlType;
        d.CtlID = n->CtlID;
        d.itemID = n->itemID;
        d.itemAction = n->itemAction;
        d.itemState = n->itemState;
        d.hwndItem = Ours(n->hwndItem);
        d.hDC = static_cast<HDC>(n->hDC);
        d.rcItem = n->rcItem;
        d.itemData = n->itemData;
        r = w->ReceiveMessage(message, wParam, reinterpret_cast<LPARAM>(&d));
    } else if (IsCtlColor(message)) {
        r = w->ReceiveMessage(message, wParam, reinterpret_cast<LPARAM>(Ours(reinterpret_cast<void*>(lParam))));
    } else if (message == WM_NCDESTROY) {
        w->ReceiveMessage(message, wParam, lParam);
        ForgetRecord(w);
    } else {
        r = w->ReceiveMessage(message, wParam, lParam);
    }
    --g_dispatchDepth;
    FreeDead();
    return r;
}

nat::Lr InitDialogFromSystem(void* context, nat::Handle real, nat::Wp, nat::Lp)
{
    auto* c = static_cast<DialogCreation*>(context);
    Window* dlg = NewRecord(real, nullptr);
    dlg->kind = Kind::Dialog;
    dlg->id = c->templateId;
    c->dialog->Attach(dlg->hwnd);
    for (void* child : nat::Children(real)) {
        Window* cw = NewRecord(child, dlg);
        dlg->children.push_back(cw->hwnd);
    }
    ++g_dispatchDepth;
    const LRESULT r = dlg->ReceiveMessage(WM_INITDIALOG, 0, 0);
    --g_dispatchDepth;
    return r;
}

// ---- the loop ------------------------------------------------------------------------------

std::mutex g_laterMu;
std::deque<std::function<void()>> g_later;

void RunLaters()
{
    std::deque<std::function<void()>> now;
    {
        std::lock_guard<std::mutex> lk(g_laterMu);
        now.swap(g_later);
    }
    for (auto& fn : now) fn();
}

void Wake() { nat::Wake(); }

} // namespace

void PumpOnce()
{
    // Posted messages of the message core are in the same system queue (their windows are
    // the system's too), so one pump takes everything.
    nat::PumpPending();
    RunLaters();
}

Window* Find(HWND hwnd)
{
    auto it = g_windows.find(hwnd);
    return it == g_windows.end() ? nullptr : it->second.get();
}

Window* FindNative(void* real)
{
    auto it = g_byNative.find(real);
    return it == g_byNative.end() ? nullptr : it->second;
}

void* RealOf(HWND hwnd) { return Real(hwnd); }
HWND OursOf(void* real) { return Ours(real); }

LRESULT Window::ReceiveMessage(UINT message, WPARAM wParam, LPARAM lParam)
{
    ObserveMessage(hwnd, message, wParam, lParam);
    if (attached) return AfxCallWndProc(attached, hwnd, message, wParam, lParam);
    return DefProc(this, message, wParam, lParam);
}

void Window::AttachedCWndGone()
{
    // A control stays with the system's dialog; a dialog goes with its object.
    attached = nullptr;
    if (kind == Kind::Dialog) DestroyRecordTree(hwnd);
}

void Window::DestroyWithChildren(bool) { DestroyRecordTree(hwnd); }

namespace {
constexpr UINT kWmContextMenu = 0x007B;

// With a system menu hook installed (tests, the demo), opening the menu asks the hook
// instead of running the system's menu loop; the chosen item is then sent as the system
// would send it. True when the hook answered.
bool AskSystemMenuHook(Window* w)
{
    auto hook = SystemMenuHook();
    if (!hook || w->kind != Kind::Dialog) return false;
    const HWND self = w->hwnd;
    const UINT id = hook(self, platform::ui::SystemMenuItems(self));
    if (id != 0 && Find(self)) SendMessageW(self, WM_SYSCOMMAND, id, 0);
    return true;
}
} // namespace

LRESULT DefProc(Window* w, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (!w || w->dead) return 0;
    // Alt+Space, and a right click on the title bar.
    if (message == WM_SYSCOMMAND && (wParam & 0xFFF0) == SC_KEYMENU && lParam == ' ' && AskSystemMenuHook(w)) return 0;
    if (message == kWmContextMenu && AskSystemMenuHook(w)) return 0;
    // The message core's own registered messages mean nothing to the system's classes.
    if (message >= REGISTERED_MESSAGE_FIRST) return 0;
    switch (message) {
    case WM_INITDIALOG: return TRUE; // the dialog manager gives the focus to the first tab stop
    case WM_COMMAND:
        return nat::CallDefault(w->real, message, wParam, reinterpret_cast<nat::Lp>(Real(reinterpret_cast<HWND>(lParam))));
    case WM_DRAWITEM: {
        auto* d = reinterpret_cast<DRAWITEMSTRUCT*>(lParam);
        if (!d) return FALSE;
        // Reflected to the control's own object first, as the framework does.
        if (Window* c = Find(d->hwndItem); c && c->attached) {
            LRESULT r = 0;
            if (c->attached->OnChildNotify(message, wParam, lParam, &r)) return TRUE;
        }
        NativeDrawItem n{d->CtlType, d->CtlID,   d->itemID, d->itemAction, d->itemState, Real(d->hwndItem),
                         d->hDC,     d->rcItem, d->itemData};
        return nat::CallDefault(w->real, message, wParam, reinterpret_cast<nat::Lp>(&n));
    }
    case WM_SETICON:
        if (wParam == ICON_BIG) w->iconBig = reinterpret_cast<HICON>(lParam);
        else w->iconSmall = reinterpret_cast<HICON>(lParam);
        break;
    case STM_SETIMAGE:
        if (wParam == IMAGE_BITMAP) w->image = reinterpret_cast<HBITMAP>(lParam);
        break;
    default:
        if (IsCtlColor(message))
            return nat::CallDefault(w->real, message, wParam, reinterpret_cast<nat::Lp>(Real(reinterpret_cast<HWND>(lParam))));
        break;
    }
    return nat::CallDefault(w->real, message, wParam, lParam);
}

HWND CreateDialogFromData(CDialog* dlg, const DialogTemplateData& t, HWND parent)
{
    EnsureInit();
    const std::vector<std::uint32_t> bytes = BuildDialogTemplate(t);
    DialogCreation c{dlg, t.nID};
    ++g_dispatchDepth;
    void* real = nat::CreateDialogFromTemplate(bytes.data(), Real(parent), &c);
    --g_dispatchDepth;
    if (!real) return nullptr;
    return Ours(real);
}

void EnsureInit()
{
    static bool s_done = false;
    if (s_done) return;
    s_done = true;
    nat::SetGuiThread();
    nat::Init(&DispatchFromSystem, &InitDialogFromSystem);
    nat::SetWorkHandler(&RunLaters);
    // A message sent from another thread is the system's business: it runs on the window's
    // thread when that thread next looks at its queue. The wake hook ends a Wait of the
    // framework's own loops early.
    platform::SetWakeHook(&Wake);
}

void RunLater(std::function<void()> fn)
{
    {
        std::lock_guard<std::mutex> lk(g_laterMu);
        g_later.push_back(std::move(fn));
    }
    nat::Wake();
    nat::PostWork();
}

void DestroyRecordTree(HWND hwnd)
{
    Window* w = Find(hwnd);
    if (!w) return;
    nat::Destroy(w->real); // WM_NCDESTROY of each window forgets its record
    if (Find(hwnd)) {
        // A window the system no longer knows: forget it and its children here.
        for (HWND c : std::vector<HWND>(w->children)) ForgetRecord(Find(c));
        ForgetRecord(w);
    }
    FreeDead();
}

// ---- the template in memory ----------------------------------------------------------------

namespace {
void PutWord(std::vector<std::uint16_t>& out, std::uint16_t v) { out.push_back(v); }
void PutDword(std::vector<std::uint16_t>& out, std::uint32_t v)
{
    out.push_back(static_cast<std::uint16_t>(v & 0xFFFF));
    out.push_back(static_cast<std::uint16_t>(v >> 16));
}
void PutString(std::vector<std::uint16_t>& out, const WCHAR* s)
{
    for (; s && *s; ++s) out.push_back(static_cast<std::uint16_t>(*s));
    out.push_back(0);
}
void AlignDword(std::vector<std::uint16_t>& out)
{
    if (out.size() % 2) out.push_back(0);
}
} // namespace

// An extended template (DLGTEMPLATEEX): only there does the dialog manager read the font's
// weight, italic flag and character set, and only there does DS_SHELLFONT with the face
// "MS Shell Dlg" make it use the system's shell dialog font, as a resource compiler's
// DIALOGEX does. Its items are DLGITEMTEMPLATEEX.
std::vector<std::uint32_t> BuildDialogTemplate(const DialogTemplateData& t)
{
    std::vector<std::uint16_t> w;
    PutWord(w, 1);      // dlgVer
    PutWord(w, 0xFFFF); // signature: extended
    PutDword(w, 0);     // helpID
    PutDword(w, t.dwExStyle);
    // Shown by the modal loop once initialised, not by the dialog manager before.
    PutDword(w, t.dwStyle & ~WS_VISIBLE);
    PutWord(w, static_cast<std::uint16_t>(t.pItems ? t.nItems : 0));
    PutWord(w, 0); // x, y: centred by the modal loop
    PutWord(w, 0);
    PutWord(w, static_cast<std::uint16_t>(t.cx));
    PutWord(w, static_cast<std::uint16_t>(t.cy));
    PutWord(w, 0); // no menu
    PutWord(w, 0); // the dialog class
    PutString(w, t.pszCaption);
    if (t.dwStyle & DS_SETFONT) {
        PutWord(w, t.wPointSize ? t.wPointSize : 8);
        PutWord(w, t.wWeight);
        PutWord(w, static_cast<std::uint16_t>(t.bItalic | (t.bCharSet << 8))); // italic, then charset
        PutString(w, t.pszFace ? t.pszFace : u"MS Shell Dlg");
    }
    for (std::size_t i = 0; t.pItems && i < t.nItems; ++i) {
        const DialogItemData& it = t.pItems[i];
        AlignDword(w);
        PutDword(w, 0); // helpID
        PutDword(w, it.dwExStyle);
        PutDword(w, it.dwStyle);
        PutWord(w, static_cast<std::uint16_t>(it.x));
        PutWord(w, static_cast<std::uint16_t>(it.y));
        PutWord(w, static_cast<std::uint16_t>(it.cx));
        PutWord(w, static_cast<std::uint16_t>(it.cy));
        PutDword(w, static_cast<std::uint32_t>(it.nID)); // -1 stays 0xFFFFFFFF, as rc writes it
        PutString(w, it.pszClass);
        PutString(w, it.pszText);
        PutWord(w, 0); // no creation data
    }
    AlignDword(w);
    std::vector<std::uint32_t> out(w.size() / 2);
    std::memcpy(out.data(), w.data(), out.size() * 4);
    return out;
}

} // namespace platform::ui::w32

using namespace platform::ui::w32;

// ---- the toolkit's part of the core ---------------------------------------------------------

namespace platform::ui::core {

WindowRecord* FindRecord(HWND hwnd) { return Find(hwnd); }

// Items are kept in the system's menu as well, so that it shows what the core's CMenu holds.
bool MenuAppend(HMENU menu, UINT flags, UINT_PTR id, LPCWSTR text) { return nat::AppendMenuItem(menu, flags, id, text); }
void MenuRemove(HMENU menu, UINT position, UINT flags) { nat::RemoveMenuItem(menu, position, flags); }
void MenuEnable(HMENU menu, UINT item, UINT enable) { nat::EnableMenuItem(menu, item, enable); }

} // namespace platform::ui::core

// ---- CWnd ----------------------------------------------------------------------------------

BOOL CWnd::ModifyStyle(DWORD dwRemove, DWORD dwAdd, UINT)
{
    void* real = Real(m_hWnd);
    if (!real) return FALSE;
    const DWORD old = nat::Style(real);
    const DWORD now = (old & ~dwRemove) | dwAdd;
    if (now == old) return FALSE;
    nat::SetStyle(real, now);
    nat::Invalidate(real, nullptr, true);
    return TRUE;
}

BOOL CWnd::ModifyStyleEx(DWORD dwRemove, DWORD dwAdd, UINT)
{
    void* real = Real(m_hWnd);
    if (!real) return FALSE;
    const DWORD old = nat::ExStyle(real);
    const DWORD now = (old & ~dwRemove) | dwAdd;
    if (now == old) return FALSE;
    nat::SetExStyle(real, now);
    return TRUE;
}

void CWnd::GetWindowRect(LPRECT r) const
{
    if (!r) return;
    *r = RECT{};
    if (void* real = Real(m_hWnd)) {
        const nat::Rect n = nat::WindowRect(real);
        *r = RECT{n.left, n.top, n.right, n.bottom};
    }
}

void CWnd::MoveWindow(int x, int y, int nWidth, int nHeight, BOOL bRepaint)
{
    if (void* real = Real(m_hWnd)) nat::Move(real, x, y, nWidth, nHeight, bRepaint != FALSE);
}

void CWnd::SetFont(CFont* pFont, BOOL bRedraw)
{
    SendMessage(WM_SETFONT, reinterpret_cast<WPARAM>(pFont ? pFont->m_hObject : nullptr), bRedraw);
}

CMenu* CWnd::GetSystemMenu(BOOL bRevert) const
{
    Window* w = Find(m_hWnd);
    if (!w) return nullptr;
    if (bRevert) {
        nat::SystemMenu(w->real, true);
        w->sysMenu.reset();
        return nullptr;
    }
    if (!w->sysMenu) {
        void* menu = nat::SystemMenu(w->real, false);
        if (!menu) return nullptr;
        w->sysMenu = std::make_unique<CMenu>();
        std::vector<CMenu::Item> items;
        for (const nat::MenuItem& it : nat::MenuItems(menu)) {
            CMenu::Item i;
            i.nFlags = it.separator ? MF_SEPARATOR : (MF_STRING | (it.enabled ? 0u : MF_GRAYED));
            i.nID = it.id;
            i.strText = CString(it.text);
            items.push_back(i);
        }
        w->sysMenu->ResetItems(std::move(items));
        w->sysMenu->m_hMenu = static_cast<HMENU>(menu);
    }
    return w->sysMenu.get();
}

// ---- API on handles --------------------------------------------------------------------------

LRESULT DefWindowProcW(HWND h, UINT m, WPARAM wp, LPARAM lp) { return DefProc(Find(h), m, wp, lp); }

BOOL EnableWindow(HWND h, BOOL bEnable)
{
    void* real = Real(h);
    // The result is whether the window was disabled before.
    return real && nat::Enable(real, bEnable != FALSE) ? TRUE : FALSE;
}

BOOL IsWindowEnabled(HWND h)
{
    void* real = Real(h);
    return real && nat::IsEnabled(real) ? TRUE : FALSE;
}

BOOL IsWindowVisible(HWND h)
{
    void* real = Real(h);
    return real && nat::IsVisible(real) ? TRUE : FALSE;
}

BOOL ShowWindow(HWND h, int n)
{
    void* real = Real(h);
    return real && nat::Show(real, n) ? TRUE : FALSE;
}

BOOL IsIconic(HWND h)
{
    void* real = Real(h);
    return real && nat::IsIconic(real) ? TRUE : FALSE;
}

BOOL InvalidateRect(HWND h, LPCRECT r, BOOL erase)
{
    void* real = Real(h);
    if (!real) return FALSE;
    nat::Rect nr;
    if (r) nr = nat::Rect{r->left, r->top, r->right, r->bottom};
    nat::Invalidate(real, r ? &nr : nullptr, erase != FALSE);
    return TRUE;
}

BOOL UpdateWindow(HWND h)
{
    void* real = Real(h);
    if (!real) return FALSE;
    nat::Update(real);
    return TRUE;
}

BOOL GetClientRect(HWND h, LPRECT r)
{
    if (!r) return FALSE;
    *r = RECT{};
    void* real = Real(h);
    if (!real) return FALSE;
    const nat::Rect n = nat::ClientRect(real);
    *r = RECT{n.left, n.top, n.right, n.bottom};
    return TRUE;
}

int GetDlgCtrlID(HWND h)
{
    Window* w = Find(h);
    return w && w->kind != Kind::Dialog ? w->id : 0;
}

HWND GetFocus() { return Ours(nat::Focus()); }

HWND SetFocus(HWND h)
{
    void* real = Real(h);
    return real ? Ours(nat::SetFocusTo(real)) : nullptr;
}

LONG_PTR GetWindowLongPtrW(HWND h, int nIndex)
{
    Window* w = Find(h);
    if (!w) return 0;
    switch (nIndex) {
    case GWL_STYLE: return static_cast<LONG_PTR>(nat::Style(w->real));
    case GWL_EXSTYLE: return static_cast<LONG_PTR>(nat::ExStyle(w->real));
    case GWL_ID: return w->kind == Kind::Dialog ? 0 : w->id;
    default: return 0;
    }
}

CString GetClassNameOf(HWND h)
{
    Window* w = Find(h);
    if (!w || w->kind == Kind::Dialog) return CString();
    return w->className;
}

HMENU GetSystemMenu(HWND h, BOOL bRevert)
{
    CWnd* c = CWnd::FromHandle(h);
    if (!c) return nullptr;
    CMenu* m = c->GetSystemMenu(bRevert);
    return m ? reinterpret_cast<HMENU>(m) : nullptr;
}

BOOL AppendMenuW(HMENU hMenu, UINT uFlags, UINT_PTR id, LPCWSTR text)
{
    return hMenu ? reinterpret_cast<CMenu*>(hMenu)->AppendMenu(uFlags, id, text) : FALSE;
}

namespace platform::ui {

std::vector<MenuItemInfo> SystemMenuItems(HWND hWnd)
{
    std::vector<MenuItemInfo> out;
    Window* w = Find(hWnd);
    if (!w) return out;
    void* menu = nat::SystemMenu(w->real, false);
    for (const nat::MenuItem& it : nat::MenuItems(menu))
        out.push_back(MenuItemInfo{it.id, CString(it.text), it.separator, it.enabled});
    return out;
}

RECT PositionInParent(HWND hWnd)
{
    Window* w = Find(hWnd);
    if (!w) return RECT{};
    const nat::Rect r = nat::RectInParent(w->real);
    return RECT{r.left, r.top, r.right, r.bottom};
}

Picture PictureOfWindow(HWND hWnd, bool bWithFrame)
{
    Picture p;
    Window* w = Find(hWnd);
    if (!w) return p;
    PumpOnce(); // what is shown is what has been painted
    if (!nat::Capture(w->real, bWithFrame, p.cx, p.cy, p.argb)) p = Picture{};
    return p;
}

} // namespace platform::ui
