// The control classes: each call is the control message the native class answers, sent
// through the window so that a subclass's map sees it.
#include "platform/ui/Controls.h"

// ---- CStatic -------------------------------------------------------------------------------

HBITMAP CStatic::SetBitmap(HBITMAP h)
{
    return reinterpret_cast<HBITMAP>(SendMessage(STM_SETIMAGE, IMAGE_BITMAP, reinterpret_cast<LPARAM>(h)));
}

HBITMAP CStatic::GetBitmap() const
{
    return reinterpret_cast<HBITMAP>(::SendMessageW(m_hWnd, STM_GETIMAGE, IMAGE_BITMAP, 0));
}

void CStatic::DrawItem(LPDRAWITEMSTRUCT) {}

BOOL CStatic::OnChildNotify(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* pResult)
{
    if (message != WM_DRAWITEM) return CWnd::OnChildNotify(message, wParam, lParam, pResult);
    DrawItem(reinterpret_cast<LPDRAWITEMSTRUCT>(lParam));
    if (pResult) *pResult = TRUE;
    return TRUE;
}

// ---- CEdit ---------------------------------------------------------------------------------

void CEdit::SetSel(int nStartChar, int nEndChar, BOOL bNoScroll)
{
    SendMessage(EM_SETSEL, static_cast<WPARAM>(static_cast<std::intptr_t>(nStartChar)), nEndChar);
    if (!bNoScroll) SendMessage(EM_SCROLLCARET, 0, 0);
}

void CEdit::GetSel(int& nStartChar, int& nEndChar) const
{
    DWORD s = 0, e = 0;
    ::SendMessageW(m_hWnd, EM_GETSEL, reinterpret_cast<WPARAM>(&s), reinterpret_cast<LPARAM>(&e));
    nStartChar = static_cast<int>(s);
    nEndChar = static_cast<int>(e);
}

DWORD CEdit::GetSel() const { return static_cast<DWORD>(::SendMessageW(m_hWnd, EM_GETSEL, 0, 0)); }
void CEdit::Clear() { SendMessage(WM_CLEAR, 0, 0); }
void CEdit::ReplaceSel(LPCWSTR text, BOOL bCanUndo) { SendMessage(EM_REPLACESEL, bCanUndo, reinterpret_cast<LPARAM>(text)); }
BOOL CEdit::SetReadOnly(BOOL b) { return static_cast<BOOL>(SendMessage(EM_SETREADONLY, b, 0)); }
void CEdit::SetLimitText(UINT nMax) { SendMessage(EM_LIMITTEXT, nMax, 0); }
UINT CEdit::GetLimitText() const { return static_cast<UINT>(::SendMessageW(m_hWnd, EM_GETLIMITTEXT, 0, 0)); }

// ---- CButton -------------------------------------------------------------------------------

int CButton::GetCheck() const { return static_cast<int>(::SendMessageW(m_hWnd, BM_GETCHECK, 0, 0)); }
void CButton::SetCheck(int nCheck) { SendMessage(BM_SETCHECK, static_cast<WPARAM>(nCheck), 0); }
UINT CButton::GetButtonStyle() const { return GetStyle() & 0xFF; }
void CButton::SetButtonStyle(UINT nStyle, BOOL bRedraw) { SendMessage(BM_SETSTYLE, nStyle, bRedraw); }
void CButton::DrawItem(LPDRAWITEMSTRUCT) {}

BOOL CButton::OnChildNotify(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* pResult)
{
    if (message != WM_DRAWITEM) return CWnd::OnChildNotify(message, wParam, lParam, pResult);
    DrawItem(reinterpret_cast<LPDRAWITEMSTRUCT>(lParam));
    if (pResult) *pResult = TRUE;
    return TRUE;
}

// ---- CComboBox -----------------------------------------------------------------------------

int CComboBox::AddString(LPCWSTR s) { return static_cast<int>(SendMessage(CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(s ? s : u""))); }
int CComboBox::InsertString(int i, LPCWSTR s)
{
    return static_cast<int>(SendMessage(CB_INSERTSTRING, static_cast<WPARAM>(static_cast<std::intptr_t>(i)), reinterpret_cast<LPARAM>(s ? s : u"")));
}
int CComboBox::DeleteString(UINT i) { return static_cast<int>(SendMessage(CB_DELETESTRING, i, 0)); }
void CComboBox::ResetContent() { SendMessage(CB_RESETCONTENT, 0, 0); }
int CComboBox::GetCount() const { return static_cast<int>(::SendMessageW(m_hWnd, CB_GETCOUNT, 0, 0)); }
int CComboBox::GetCurSel() const { return static_cast<int>(::SendMessageW(m_hWnd, CB_GETCURSEL, 0, 0)); }
int CComboBox::SetCurSel(int i) { return static_cast<int>(SendMessage(CB_SETCURSEL, static_cast<WPARAM>(static_cast<std::intptr_t>(i)), 0)); }

int CComboBox::GetLBText(int i, CString& r) const
{
    const WPARAM idx = static_cast<WPARAM>(static_cast<std::intptr_t>(i));
    const LRESULT len = ::SendMessageW(m_hWnd, CB_GETLBTEXTLEN, idx, 0);
    if (len < 0) {
        r.Empty();
        return static_cast<int>(CB_ERR);
    }
    std::u16string buf(static_cast<std::size_t>(len) + 1, u'\0');
    const LRESULT got = ::SendMessageW(m_hWnd, CB_GETLBTEXT, idx, reinterpret_cast<LPARAM>(buf.data()));
    buf.resize(got < 0 ? 0 : static_cast<std::size_t>(got));
    r = CString(std::move(buf));
    return r.GetLength();
}

// ---- CProgressCtrl -------------------------------------------------------------------------

int CProgressCtrl::SetPos(int n) { return static_cast<int>(SendMessage(PBM_SETPOS, static_cast<WPARAM>(n), 0)); }
int CProgressCtrl::GetPos() const { return static_cast<int>(::SendMessageW(m_hWnd, PBM_GETPOS, 0, 0)); }
void CProgressCtrl::SetRange(short lo, short hi)
{
    SendMessage(PBM_SETRANGE, 0, MAKELPARAM(static_cast<WORD>(lo), static_cast<WORD>(hi)));
}
void CProgressCtrl::SetRange32(int lo, int hi) { SendMessage(PBM_SETRANGE32, static_cast<WPARAM>(static_cast<std::intptr_t>(lo)), hi); }
void CProgressCtrl::GetRange(int& lo, int& hi) const
{
    lo = static_cast<int>(::SendMessageW(m_hWnd, PBM_GETRANGE, TRUE, 0));
    hi = static_cast<int>(::SendMessageW(m_hWnd, PBM_GETRANGE, FALSE, 0));
}
int CProgressCtrl::OffsetPos(int n) { return static_cast<int>(SendMessage(PBM_DELTAPOS, static_cast<WPARAM>(static_cast<std::intptr_t>(n)), 0)); }
int CProgressCtrl::SetStep(int n) { return static_cast<int>(SendMessage(PBM_SETSTEP, static_cast<WPARAM>(static_cast<std::intptr_t>(n)), 0)); }
int CProgressCtrl::StepIt() { return static_cast<int>(SendMessage(PBM_STEPIT, 0, 0)); }
