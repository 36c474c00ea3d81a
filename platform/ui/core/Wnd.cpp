// Message-map dispatch, CMenu's items and CWnd on any toolkit: attaching and subclassing, the
// message path from WindowProc through the map to the default processing, and the calls on
// handles that only read the records or send messages.
#include <algorithm>

#include "platform/ui/core/Core.h"

using namespace platform::ui::core;

// ---- CCmdTarget / message maps ---------------------------------------------------------------

const AFX_MSGMAP* CCmdTarget::GetThisMessageMap()
{
    static const AFX_MSGMAP_ENTRY entries[] = {{0, 0, 0, 0, nullptr}};
    static const AFX_MSGMAP map = {nullptr, &entries[0]};
    return &map;
}

const AFX_MSGMAP* CCmdTarget::GetMessageMap() const { return GetThisMessageMap(); }

bool CCmdTarget::DispatchMapEntry(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* pResult)
{
    const UINT code = HIWORD(wParam);
    const UINT id = LOWORD(wParam);
    for (const AFX_MSGMAP* map = GetMessageMap(); map; map = map->pfnGetBaseMap ? map->pfnGetBaseMap() : nullptr) {
        for (const AFX_MSGMAP_ENTRY* e = map->lpEntries; e && e->pfn; ++e) {
            if (e->nMessage != message) continue;
            if (message == WM_COMMAND && (e->nCode != code || id < e->nID || id > e->nLastID)) continue;
            if (e->pfn(this, wParam, lParam, pResult)) return true;
        }
    }
    return false;
}

// ---- CMenu ---------------------------------------------------------------------------------
// Items are kept here as well as in the toolkit's menu, so that the menu reads back the same
// whichever side asks.

BOOL CMenu::AppendMenu(UINT nFlags, UINT_PTR nIDNewItem, LPCWSTR lpszNewItem)
{
    if (m_hMenu && !MenuAppend(m_hMenu, nFlags, nIDNewItem, (nFlags & MF_SEPARATOR) ? nullptr : lpszNewItem)) return FALSE;
    Item it;
    it.nFlags = nFlags;
    it.nID = (nFlags & MF_SEPARATOR) ? 0 : nIDNewItem;
    it.strText = (nFlags & MF_SEPARATOR) ? CString() : CString(lpszNewItem);
    m_items.push_back(std::move(it));
    return TRUE;
}

int CMenu::FindItem(UINT nItem, UINT nFlags) const
{
    if (nFlags & MF_BYPOSITION) return nItem < m_items.size() ? static_cast<int>(nItem) : -1;
    for (std::size_t i = 0; i < m_items.size(); ++i)
        if (!(m_items[i].nFlags & MF_SEPARATOR) && m_items[i].nID == nItem) return static_cast<int>(i);
    return -1;
}

BOOL CMenu::RemoveMenu(UINT nPosition, UINT nFlags)
{
    const int i = FindItem(nPosition, nFlags);
    if (i < 0) return FALSE;
    if (m_hMenu) MenuRemove(m_hMenu, nPosition, nFlags);
    m_items.erase(m_items.begin() + i);
    return TRUE;
}

UINT CMenu::EnableMenuItem(UINT nIDEnableItem, UINT nEnable)
{
    const int i = FindItem(nIDEnableItem, nEnable);
    if (i < 0) return static_cast<UINT>(-1);
    if (m_hMenu) MenuEnable(m_hMenu, nIDEnableItem, nEnable);
    const UINT prev = m_items[static_cast<std::size_t>(i)].nFlags & (MF_GRAYED | MF_DISABLED);
    auto& f = m_items[static_cast<std::size_t>(i)].nFlags;
    f = (f & ~(MF_GRAYED | MF_DISABLED)) | (nEnable & (MF_GRAYED | MF_DISABLED));
    return prev;
}

UINT CMenu::GetMenuItemID(int nPos) const
{
    if (nPos < 0 || static_cast<std::size_t>(nPos) >= m_items.size()) return static_cast<UINT>(-1);
    return static_cast<UINT>(m_items[static_cast<std::size_t>(nPos)].nID);
}

int CMenu::GetMenuString(UINT nIDItem, CString& rString, UINT nFlags) const
{
    const int i = FindItem(nIDItem, nFlags);
    rString = i < 0 ? CString() : m_items[static_cast<std::size_t>(i)].strText;
    return rString.GetLength();
}

// ---- CWnd ----------------------------------------------------------------------------------

namespace {
struct CurrentMessage {
    HWND hwnd = nullptr;
    UINT message = 0;
    WPARAM wParam = 0;
    LPARAM lParam = 0;
};
thread_local CurrentMessage t_current;
} // namespace

LRESULT AfxCallWndProc(CWnd* pWnd, HWND hWnd, UINT nMsg, WPARAM wParam, LPARAM lParam)
{
    if (!pWnd) return 0;
    const CurrentMessage saved = t_current;
    t_current = CurrentMessage{hWnd, nMsg, wParam, lParam};
    LRESULT r = pWnd->WindowProc(nMsg, wParam, lParam);
    t_current = saved;
    return r;
}

CWnd::CWnd() = default;

CWnd::~CWnd()
{
    if (m_hWnd) {
        WindowRecord* w = FindRecord(m_hWnd);
        if (w && w->attached == this) w->AttachedCWndGone();
        m_hWnd = nullptr;
    }
}

CWnd* CWnd::FromHandlePermanent(HWND hWnd)
{
    WindowRecord* w = FindRecord(hWnd);
    return w ? w->attached : nullptr;
}

CWnd* CWnd::FromHandle(HWND hWnd)
{
    WindowRecord* w = FindRecord(hWnd);
    if (!w) return nullptr;
    if (w->attached) return w->attached;
    if (!w->wrapper) {
        w->wrapper = std::make_unique<CWnd>();
        w->wrapper->m_hWnd = hWnd;
    }
    return w->wrapper.get();
}

LRESULT CWnd::WindowProc(UINT message, WPARAM wParam, LPARAM lParam)
{
    LRESULT r = 0;
    if (!OnWndMsg(message, wParam, lParam, &r)) r = DefWindowProc(message, wParam, lParam);
    return r;
}

BOOL CWnd::OnWndMsg(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* pResult)
{
    if (message == WM_COMMAND) {
        if (!OnCommand(wParam, lParam)) return FALSE;
        *pResult = 1;
        return TRUE;
    }
    return DispatchMapEntry(message, wParam, lParam, pResult) ? TRUE : FALSE;
}

BOOL CWnd::OnCommand(WPARAM wParam, LPARAM lParam)
{
    LRESULT r = 0;
    return DispatchMapEntry(WM_COMMAND, wParam, lParam, &r) ? TRUE : FALSE;
}

LRESULT CWnd::DefWindowProc(UINT message, WPARAM wParam, LPARAM lParam) { return ::DefWindowProcW(m_hWnd, message, wParam, lParam); }

LRESULT CWnd::Default()
{
    if (t_current.hwnd != m_hWnd) return DefWindowProc(WM_NULL, 0, 0);
    return DefWindowProc(t_current.message, t_current.wParam, t_current.lParam);
}

BOOL CWnd::OnChildNotify(UINT, WPARAM, LPARAM, LRESULT*) { return FALSE; }

LRESULT CWnd::SendMessage(UINT message, WPARAM wParam, LPARAM lParam) { return ::SendMessageW(m_hWnd, message, wParam, lParam); }
BOOL CWnd::PostMessage(UINT message, WPARAM wParam, LPARAM lParam) { return ::PostMessageW(m_hWnd, message, wParam, lParam); }

BOOL CWnd::Attach(HWND hWndNew)
{
    WindowRecord* w = FindRecord(hWndNew);
    if (!w || m_hWnd || (w->attached && w->attached != this)) return FALSE;
    w->attached = this;
    m_hWnd = hWndNew;
    return TRUE;
}

HWND CWnd::Detach()
{
    HWND h = m_hWnd;
    if (WindowRecord* w = FindRecord(h); w && w->attached == this) w->attached = nullptr;
    m_hWnd = nullptr;
    return h;
}

BOOL CWnd::SubclassWindow(HWND hWnd)
{
    if (!Attach(hWnd)) return FALSE;
    PreSubclassWindow();
    return TRUE;
}

BOOL CWnd::SubclassDlgItem(UINT nID, CWnd* pParent)
{
    if (!pParent) return FALSE;
    HWND h = ::GetDlgItem(pParent->m_hWnd, static_cast<int>(nID));
    return h ? SubclassWindow(h) : FALSE;
}

HWND CWnd::UnsubclassWindow() { return Detach(); }
void CWnd::PreSubclassWindow() {}

BOOL CWnd::DestroyWindow()
{
    if (!m_hWnd) return FALSE;
    if (WindowRecord* w = FindRecord(m_hWnd)) w->DestroyWithChildren(true);
    m_hWnd = nullptr;
    return TRUE;
}

void CWnd::SetWindowText(LPCWSTR s) { ::SetWindowTextW(m_hWnd, s); }
int CWnd::GetWindowText(LPWSTR buf, int n) const { return ::GetWindowTextW(m_hWnd, buf, n); }
void CWnd::GetWindowText(CString& r) const
{
    const int n = GetWindowTextLength();
    std::u16string buf(static_cast<std::size_t>(n) + 1, u'\0');
    const int got = ::GetWindowTextW(m_hWnd, buf.data(), n + 1);
    buf.resize(static_cast<std::size_t>(std::max(got, 0)));
    r = CString(std::move(buf));
}
int CWnd::GetWindowTextLength() const { return ::GetWindowTextLengthW(m_hWnd); }
BOOL CWnd::EnableWindow(BOOL b) { return ::EnableWindow(m_hWnd, b); }
BOOL CWnd::IsWindowEnabled() const { return ::IsWindowEnabled(m_hWnd); }
BOOL CWnd::ShowWindow(int n) { return ::ShowWindow(m_hWnd, n); }
BOOL CWnd::IsWindowVisible() const { return ::IsWindowVisible(m_hWnd); }
BOOL CWnd::IsIconic() const { return ::IsIconic(m_hWnd); }
DWORD CWnd::GetStyle() const { return static_cast<DWORD>(GetWindowLongPtrW(m_hWnd, GWL_STYLE)); }
DWORD CWnd::GetExStyle() const { return static_cast<DWORD>(GetWindowLongPtrW(m_hWnd, GWL_EXSTYLE)); }
void CWnd::GetClientRect(LPRECT r) const { ::GetClientRect(m_hWnd, r); }

int CWnd::GetDlgCtrlID() const { return ::GetDlgCtrlID(m_hWnd); }
CWnd* CWnd::GetDlgItem(int nID) const { return FromHandle(::GetDlgItem(m_hWnd, nID)); }
CWnd* CWnd::GetParent() const { return FromHandle(::GetParent(m_hWnd)); }
CWnd* CWnd::SetFocus() { return FromHandle(::SetFocus(m_hWnd)); }
CWnd* CWnd::GetFocus() { return FromHandle(::GetFocus()); }
CFont* CWnd::GetFont() const
{
    HFONT h = reinterpret_cast<HFONT>(::SendMessageW(m_hWnd, WM_GETFONT, 0, 0));
    return h ? CFont::FromHandle(h) : nullptr;
}
HICON CWnd::SetIcon(HICON hIcon, BOOL bBig)
{
    return reinterpret_cast<HICON>(SendMessage(WM_SETICON, bBig ? ICON_BIG : ICON_SMALL, reinterpret_cast<LPARAM>(hIcon)));
}
HICON CWnd::GetIcon(BOOL bBig) const
{
    return reinterpret_cast<HICON>(::SendMessageW(m_hWnd, WM_GETICON, bBig ? ICON_BIG : ICON_SMALL, 0));
}
void CWnd::SetDlgItemText(int nID, LPCWSTR s) { ::SetWindowTextW(::GetDlgItem(m_hWnd, nID), s); }
int CWnd::GetDlgItemText(int nID, CString& r) const
{
    CWnd* c = GetDlgItem(nID);
    if (!c) {
        r.Empty();
        return 0;
    }
    c->GetWindowText(r);
    return r.GetLength();
}
void CWnd::CheckDlgButton(int nIDButton, UINT nCheck) { ::SendMessageW(::GetDlgItem(m_hWnd, nIDButton), BM_SETCHECK, nCheck, 0); }
UINT CWnd::IsDlgButtonChecked(int nIDButton) const
{
    return static_cast<UINT>(::SendMessageW(::GetDlgItem(m_hWnd, nIDButton), BM_GETCHECK, 0, 0));
}

void CWnd::Invalidate(BOOL bErase) { ::InvalidateRect(m_hWnd, nullptr, bErase); }
void CWnd::InvalidateRect(LPCRECT r, BOOL bErase) { ::InvalidateRect(m_hWnd, r, bErase); }
void CWnd::UpdateWindow() { ::UpdateWindow(m_hWnd); }
BOOL CWnd::InvalidateRect(HWND h, LPCRECT r, BOOL e) { return ::InvalidateRect(h, r, e); }
BOOL CWnd::UpdateWindow(HWND h) { return ::UpdateWindow(h); }
BOOL CWnd::GetClientRect(HWND h, LPRECT r) { return ::GetClientRect(h, r); }

int CWnd::MessageBox(LPCWSTR text, LPCWSTR caption, UINT type) { return ::MessageBoxW(m_hWnd, text, caption, type); }

// ---- API on handles --------------------------------------------------------------------------

BOOL SetWindowTextW(HWND h, LPCWSTR s)
{
    return IsWindow(h) ? static_cast<BOOL>(SendMessageW(h, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(s ? s : u""))) : FALSE;
}

int GetWindowTextW(HWND h, LPWSTR buf, int n)
{
    if (n <= 0 || !buf) return 0;
    buf[0] = 0;
    return static_cast<int>(SendMessageW(h, WM_GETTEXT, static_cast<WPARAM>(n), reinterpret_cast<LPARAM>(buf)));
}

int GetWindowTextLengthW(HWND h) { return static_cast<int>(SendMessageW(h, WM_GETTEXTLENGTH, 0, 0)); }

HWND GetDlgItem(HWND hDlg, int id)
{
    WindowRecord* w = FindRecord(hDlg);
    if (!w) return nullptr;
    for (HWND c : w->children)
        if (WindowRecord* cw = FindRecord(c); cw && cw->id == id) return c;
    return nullptr;
}

HWND GetParent(HWND h)
{
    WindowRecord* w = FindRecord(h);
    return w ? w->parent : nullptr;
}

BOOL DestroyWindow(HWND h)
{
    WindowRecord* w = FindRecord(h);
    if (!w) return FALSE;
    if (w->attached) return w->attached->DestroyWindow();
    w->DestroyWithChildren(false);
    return TRUE;
}


namespace platform::ui {

bool ChooseSystemMenuItem(HWND hWnd, UINT nID)
{
    for (const MenuItemInfo& it : SystemMenuItems(hWnd)) {
        if (!it.bSeparator && it.bEnabled && it.nID == nID) {
            SendMessageW(hWnd, WM_SYSCOMMAND, nID, 0);
            return true;
        }
    }
    return false;
}

} // namespace platform::ui
