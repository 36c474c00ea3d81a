// CCmdTarget, CWnd and CMenu. Every window has an HWND from the message core; a message sent
// to it reaches the attached CWnd's WindowProc, then its message map (most derived class
// first), then the default processing of the window's class, which drives the Qt widget.
#pragma once
#include <memory>
#include <vector>

#include "platform/CString.h"
#include "platform/ui/Gdi.h"
#include "platform/ui/MessageMap.h"
#include "platform/ui/WinUser.h"

struct CREATESTRUCTW {
    LPVOID lpCreateParams = nullptr;
    HINSTANCE hInstance = nullptr;
    HMENU hMenu = nullptr;
    HWND hwndParent = nullptr;
    int cy = 0;
    int cx = 0;
    int y = 0;
    int x = 0;
    LONG style = 0;
    LPCWSTR lpszName = nullptr;
    LPCWSTR lpszClass = nullptr;
    DWORD dwExStyle = 0;
};
using CREATESTRUCT = CREATESTRUCTW;

class CCmdTarget
{
public:
    CCmdTarget() = default;
    CCmdTarget(const CCmdTarget&) = delete;
    CCmdTarget& operator=(const CCmdTarget&) = delete;
    virtual ~CCmdTarget() = default;

    static const AFX_MSGMAP* GetThisMessageMap();
    virtual const AFX_MSGMAP* GetMessageMap() const;
    // Runs the first map entry (this class, then its bases) that takes the message;
    // false when none does.
    bool DispatchMapEntry(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* pResult);
};

// A window's menu (the system menu is the one the code uses). Items are kept here; the layer
// shows them as a pop-up menu when asked.
class CMenu
{
public:
    struct Item {
        UINT nFlags = 0;
        UINT_PTR nID = 0;
        CString strText;
    };
    CMenu() = default;
    CMenu(const CMenu&) = delete;
    CMenu& operator=(const CMenu&) = delete;
    HMENU m_hMenu = nullptr;
    BOOL AppendMenu(UINT nFlags, UINT_PTR nIDNewItem = 0, LPCWSTR lpszNewItem = nullptr);
    BOOL AppendMenuW(UINT nFlags, UINT_PTR nIDNewItem = 0, LPCWSTR lpszNewItem = nullptr)
    {
        return AppendMenu(nFlags, nIDNewItem, lpszNewItem);
    }
    BOOL RemoveMenu(UINT nPosition, UINT nFlags);
    UINT EnableMenuItem(UINT nIDEnableItem, UINT nEnable);
    UINT GetMenuItemCount() const { return static_cast<UINT>(m_items.size()); }
    // The command ID at a position; 0 for a separator, -1 (as UINT) outside the menu.
    UINT GetMenuItemID(int nPos) const;
    int GetMenuString(UINT nIDItem, CString& rString, UINT nFlags) const;
    const std::vector<Item>& Items() const { return m_items; }
    void ResetItems(std::vector<Item> items) { m_items = std::move(items); }

private:
    int FindItem(UINT nItem, UINT nFlags) const;
    std::vector<Item> m_items;
};

class CWnd : public CCmdTarget
{
public:
    CWnd();
    ~CWnd() override;

    HWND m_hWnd = nullptr;
    HWND GetSafeHwnd() const { return m_hWnd; }
    operator HWND() const { return m_hWnd; }

    // The CWnd attached to hWnd, or else a wrapper owned by the window (valid while it lives).
    static CWnd* FromHandle(HWND hWnd);
    // The CWnd attached to hWnd, or null.
    static CWnd* FromHandlePermanent(HWND hWnd);

    // ---- message path ------------------------------------------------------------------
    virtual LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam);
    virtual BOOL OnWndMsg(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* pResult);
    virtual BOOL OnCommand(WPARAM wParam, LPARAM lParam);
    // Default processing of the window's class (what the native window would do).
    virtual LRESULT DefWindowProc(UINT message, WPARAM wParam, LPARAM lParam);
    // Default processing of the message being handled right now.
    LRESULT Default();
    // Messages the parent reflects to the control (WM_DRAWITEM); true when handled.
    virtual BOOL OnChildNotify(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* pResult);

    LRESULT SendMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0);
    LRESULT SendMessageW(UINT message, WPARAM wParam = 0, LPARAM lParam = 0) { return SendMessage(message, wParam, lParam); }
    BOOL PostMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0);
    BOOL PostMessageW(UINT message, WPARAM wParam = 0, LPARAM lParam = 0) { return PostMessage(message, wParam, lParam); }

    // ---- attaching ---------------------------------------------------------------------
    BOOL Attach(HWND hWndNew);
    HWND Detach();
    // Routes the window's messages through this object; PreSubclassWindow runs first.
    BOOL SubclassWindow(HWND hWnd);
    BOOL SubclassDlgItem(UINT nID, CWnd* pParent);
    HWND UnsubclassWindow();
    virtual void PreSubclassWindow();
    virtual BOOL DestroyWindow();

    // ---- state -------------------------------------------------------------------------
    void SetWindowText(LPCWSTR lpszString);
    void SetWindowTextW(LPCWSTR lpszString) { SetWindowText(lpszString); }
    int GetWindowText(LPWSTR lpszStringBuf, int nMaxCount) const;
    void GetWindowText(CString& rString) const;
    int GetWindowTextLength() const;
    BOOL EnableWindow(BOOL bEnable = TRUE);
    BOOL IsWindowEnabled() const;
    BOOL ShowWindow(int nCmdShow);
    BOOL IsWindowVisible() const;
    BOOL IsIconic() const;
    DWORD GetStyle() const;
    DWORD GetExStyle() const;
    BOOL ModifyStyle(DWORD dwRemove, DWORD dwAdd, UINT nFlags = 0);
    BOOL ModifyStyleEx(DWORD dwRemove, DWORD dwAdd, UINT nFlags = 0);
    void GetClientRect(LPRECT lpRect) const;
    void GetWindowRect(LPRECT lpRect) const;
    void MoveWindow(int x, int y, int nWidth, int nHeight, BOOL bRepaint = TRUE);
    int GetDlgCtrlID() const;
    CWnd* GetDlgItem(int nID) const;
    CWnd* GetParent() const;
    CWnd* SetFocus();
    static CWnd* GetFocus();
    void SetFont(CFont* pFont, BOOL bRedraw = TRUE);
    CFont* GetFont() const;
    HICON SetIcon(HICON hIcon, BOOL bBigIcon);
    HICON GetIcon(BOOL bBigIcon) const;
    void SetDlgItemText(int nID, LPCWSTR lpszString);
    int GetDlgItemText(int nID, CString& rString) const;
    void CheckDlgButton(int nIDButton, UINT nCheck);
    UINT IsDlgButtonChecked(int nIDButton) const;

    // ---- painting ----------------------------------------------------------------------
    void Invalidate(BOOL bErase = TRUE);
    void InvalidateRect(LPCRECT lpRect, BOOL bErase = TRUE);
    // Paints what is invalid before returning.
    void UpdateWindow();
    // The API forms, so that code inside a window class may call them on a handle as it
    // would call the global functions.
    static BOOL InvalidateRect(HWND hWnd, LPCRECT lpRect, BOOL bErase);
    static BOOL UpdateWindow(HWND hWnd);
    static BOOL GetClientRect(HWND hWnd, LPRECT lpRect);

    // ---- system menu and message boxes -------------------------------------------------
    // bRevert FALSE: the window's system menu (created on first use with Move and Close);
    // TRUE: back to the standard items, returns null.
    CMenu* GetSystemMenu(BOOL bRevert) const;
    // A null caption shows the application's name.
    int MessageBox(LPCWSTR lpszText, LPCWSTR lpszCaption = nullptr, UINT nType = MB_OK);
    int MessageBoxW(LPCWSTR lpszText, LPCWSTR lpszCaption = nullptr, UINT nType = MB_OK)
    {
        return MessageBox(lpszText, lpszCaption, nType);
    }

protected:
    // Handlers that default to the window's own processing.
    void OnPaint() { Default(); }
    void OnSysCommand(UINT nID, LPARAM lParam) { Default(); }
    void OnChar(UINT nChar, UINT nRepCnt, UINT nFlags) { Default(); }
    void OnKeyDown(UINT nChar, UINT nRepCnt, UINT nFlags) { Default(); }
    int OnCreate(LPCREATESTRUCT lpCreateStruct) { return static_cast<int>(Default()); }
    void OnDestroy() { Default(); }
    void OnClose() { Default(); }
};

// Calls pWnd's WindowProc as the message being handled, so that Default() inside it refers
// to this message; the previous one is restored afterwards.
LRESULT AfxCallWndProc(CWnd* pWnd, HWND hWnd, UINT nMsg, WPARAM wParam = 0, LPARAM lParam = 0);

// ---- API functions on handles --------------------------------------------------------------
BOOL SetWindowTextW(HWND hWnd, LPCWSTR lpString);
int GetWindowTextW(HWND hWnd, LPWSTR lpString, int nMaxCount);
int GetWindowTextLengthW(HWND hWnd);
BOOL EnableWindow(HWND hWnd, BOOL bEnable);
BOOL IsWindowEnabled(HWND hWnd);
BOOL IsWindowVisible(HWND hWnd);
BOOL ShowWindow(HWND hWnd, int nCmdShow);
BOOL IsIconic(HWND hWnd);
BOOL InvalidateRect(HWND hWnd, LPCRECT lpRect, BOOL bErase);
BOOL UpdateWindow(HWND hWnd);
BOOL GetClientRect(HWND hWnd, LPRECT lpRect);
HWND GetDlgItem(HWND hDlg, int nIDDlgItem);
int GetDlgCtrlID(HWND hWnd);
HWND GetParent(HWND hWnd);
HWND GetFocus();
HWND SetFocus(HWND hWnd);
LONG_PTR GetWindowLongPtrW(HWND hWnd, int nIndex);
inline constexpr int GWL_STYLE = -16;
inline constexpr int GWL_EXSTYLE = -20;
inline constexpr int GWL_ID = -12;
// Window class name as the templates give it ("button", "edit", ...); empty for a dialog.
CString GetClassNameOf(HWND hWnd);
BOOL DestroyWindow(HWND hWnd);
LRESULT DefWindowProcW(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam);
int MessageBoxW(HWND hWnd, LPCWSTR lpText, LPCWSTR lpCaption, UINT uType);
// 0xFFFFFFFF is the simple beep. Counted (see TestHooks.h) and rung on the display.
BOOL MessageBeep(UINT uType);
// Whether a modifier key (VK_SHIFT, VK_CONTROL, VK_MENU) is down for the input being
// handled: the high bit of the result, as the system reports it.
std::int16_t GetKeyState(int nVirtKey);
// The clipboard's text (CF_UNICODETEXT); FALSE when it holds none.
BOOL GetClipboardText(CString& strText);
HMENU GetSystemMenu(HWND hWnd, BOOL bRevert);
BOOL AppendMenuW(HMENU hMenu, UINT uFlags, UINT_PTR uIDNewItem, LPCWSTR lpNewItem);
