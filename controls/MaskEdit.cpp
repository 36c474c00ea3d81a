#include "controls/MaskEdit.h"

namespace {

constexpr WCHAR kInputPos = u'_';

bool IsPrintable(UINT c) { return c >= 0x20 && c <= 0x7E; }
bool IsDigit(UINT c) { return c >= '0' && c <= '9'; }
bool IsLetter(UINT c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool IsHex(UINT c) { return IsDigit(c) || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f'); }

// Character at a position of an owner-set text, or 0 where the text is too short.
WCHAR CharAt(const CString& s, int nPos) { return nPos >= 0 && nPos < s.GetLength() ? s.GetAt(nPos) : 0; }

} // namespace

BEGIN_MESSAGE_MAP(CMaskEdit, CEdit)
    ON_WM_CHAR()
    ON_WM_KEYDOWN()
END_MESSAGE_MAP()

CMaskEdit::CMaskEdit()
    : m_bUseMask(FALSE), m_bDateMode(FALSE), m_strFirstMax(u"47"), m_strSecondMax(u"59"), m_bPassChar(FALSE)
{
}

CMaskEdit::~CMaskEdit() = default;

int CMaskEdit::CaretPos()
{
    const DWORD sel = static_cast<DWORD>(SendMessage(EM_GETSEL, 0, 0));
    return LOWORD(sel);
}

void CMaskEdit::WriteValue(int nPos, WCHAR ch)
{
    if (nPos < 0)
        return;
    while (m_strValue.GetLength() <= nPos)
        m_strValue += u' ';
    m_strValue.SetAt(nPos, ch);
}

BOOL CMaskEdit::DigitInRange(int nPos, WCHAR ch) const
{
    if (m_bDateMode) {
        switch (nPos) {
        case 0: return ch <= u'3';
        case 1: return CharAt(m_strValue, 0) == u'3' ? ch <= u'1' : TRUE;
        case 3: return ch <= u'1';
        case 4: return CharAt(m_strValue, 3) == u'1' ? ch <= u'2' : TRUE;
        default: return TRUE;
        }
    }
    // A bound the owner left out limits nothing (its second character is then 0 as well).
    auto upTo = [ch](WCHAR bound) { return bound == 0 || ch <= bound; };
    switch (nPos) {
    case 0: return upTo(CharAt(m_strFirstMax, 0));
    case 1:
        return CharAt(m_strValue, 0) == CharAt(m_strFirstMax, 0)
                   ? upTo(CharAt(m_strFirstMax, 1))
                   : TRUE;
    case 3: return upTo(CharAt(m_strSecondMax, 0));
    case 4:
        return CharAt(m_strValue, 3) == CharAt(m_strSecondMax, 0)
                   ? upTo(CharAt(m_strSecondMax, 1))
                   : TRUE;
    default: return TRUE;
    }
}

BOOL CMaskEdit::CheckChar(UINT nChar)
{
    if (!m_bUseMask || !IsPrintable(nChar))
        return TRUE;

    // Overwrite mode: a selection collapses to its start.
    const DWORD sel = static_cast<DWORD>(SendMessage(EM_GETSEL, 0, 0));
    const int nStart = LOWORD(sel);
    SendMessage(EM_SETSEL, static_cast<WPARAM>(-1), 0);
    SendMessage(EM_SCROLLCARET, 0, 0);
    SendMessage(EM_SETSEL, static_cast<WPARAM>(nStart), nStart);
    SendMessage(EM_SCROLLCARET, 0, 0);
    int nPos = CaretPos();

    if (nPos >= m_strMask.GetLength()) {
        MessageBeep(0xFFFFFFFF);
        return FALSE;
    }
    const WCHAR lit = CharAt(m_strLiteral, nPos);
    if (lit != 0 && lit != kInputPos) {
        SendCharToSelf(lit);
        nPos = CaretPos();
    }
    if (m_strValidChars.Find(static_cast<WCHAR>(nChar)) >= 0)
        return TRUE;

    BOOL bOk = FALSE;
    switch (CharAt(m_strMask, nPos)) {
    case u'0': bOk = IsDigit(nChar) && DigitInRange(nPos, static_cast<WCHAR>(nChar)); break;
    case u'9': bOk = IsDigit(nChar); break;
    case u'#': bOk = IsDigit(nChar) || nChar == ' '; break;
    case u'L': bOk = IsLetter(nChar); break;
    case u'?': bOk = IsLetter(nChar) || nChar == ' '; break;
    case u'A': bOk = IsLetter(nChar) || IsDigit(nChar); break;
    case u'a': bOk = IsLetter(nChar) || IsDigit(nChar) || nChar == ' '; break;
    case u'&': bOk = TRUE; break;
    case u'H': bOk = IsHex(nChar); break;
    default: bOk = FALSE; break;
    }
    if (!bOk)
        MessageBeep(0xFFFFFFFF);
    return bOk;
}

void CMaskEdit::SendCharToSelf(UINT nChar)
{
    const BOOL bWasPassing = m_bPassChar;
    m_bPassChar = TRUE;
    AfxCallWndProc(this, m_hWnd, WM_CHAR, nChar, 1);
    m_bPassChar = bWasPassing;
}

void CMaskEdit::OnChar(UINT nChar, UINT nRepCnt, UINT nFlags)
{
    if (!m_bPassChar && !CheckChar(nChar))
        return;

    if (m_bUseMask && IsPrintable(nChar)) {
        // Overwrite: take out the character under the caret, then let the edit insert.
        const DWORD sel = static_cast<DWORD>(SendMessage(EM_GETSEL, 0, 0));
        const int nStart = LOWORD(sel), nEnd = HIWORD(sel);
        SendMessage(EM_SETSEL, static_cast<WPARAM>(nStart), nEnd + 1);
        SendMessage(EM_SCROLLCARET, 0, 0);
        const BOOL bWasOverwriting = m_bOverwriting;
        m_bOverwriting = TRUE;
        SendMessage(WM_CLEAR, 0, 0);
        m_bOverwriting = bWasOverwriting;
        WriteValue(nEnd, static_cast<WCHAR>(nChar));
        Default();
    } else if (m_bUseMask && nChar == 8) {
        Backspace();
        return;
    } else {
        Default();
    }

    if (m_bPassChar || !m_bUseMask || m_strLiteral.IsEmpty())
        return;
    // Fill in a separator that follows the character just typed.
    const WCHAR lit = CharAt(m_strLiteral, CaretPos());
    if (lit != 0 && lit != kInputPos)
        SendCharToSelf(lit);
}

void CMaskEdit::Backspace()
{
    const DWORD sel = static_cast<DWORD>(SendMessage(EM_GETSEL, 0, 0));
    const int nStart = LOWORD(sel), nEnd = HIWORD(sel);
    if (nStart != nEnd || nStart == 0 || nStart > m_strValue.GetLength()) {
        MessageBeep(0xFFFFFFFF);
        return;
    }
    // The caret is placed, not moved with a Left key: the edit reads the keyboard itself, and
    // with Shift or Ctrl still held from this Backspace a Left key would select a character
    // or jump a word.
    CaretLeft();
    if (m_strRestore.IsEmpty())
        return;
    // Only a character a mask position could hold is put back; anything else would grow
    // the text instead of overwriting it.
    const WCHAR ch = CharAt(m_strRestore, CaretPos());
    if (!IsPrintable(ch))
        return;
    SendCharToSelf(ch);
    CaretLeft();
}

void CMaskEdit::CaretLeft()
{
    const int nPos = CaretPos();
    if (nPos > 0)
        SendMessage(EM_SETSEL, static_cast<WPARAM>(nPos - 1), nPos - 1);
}

void CMaskEdit::OnKeyDown(UINT nChar, UINT nRepCnt, UINT nFlags)
{
    // Inserting or deleting would shift the positions against the mask. Shift+Insert and
    // Ctrl+Insert are the clipboard's keys, and go the clipboard's way.
    if (m_bUseMask && (nChar == VK_INSERT || nChar == VK_DELETE)) {
        const bool bShift = GetKeyState(VK_SHIFT) < 0;
        const bool bCtrl = GetKeyState(VK_CONTROL) < 0;
        if (nChar == VK_INSERT && bShift)
            SendMessage(WM_PASTE, 0, 0);
        else if (nChar == VK_INSERT && bCtrl)
            SendMessage(WM_COPY, 0, 0);
        else if (nChar == VK_DELETE && bShift)
            SendMessage(WM_CUT, 0, 0);
        return;
    }
    Default();
}

LRESULT CMaskEdit::WindowProc(UINT message, WPARAM wParam, LPARAM lParam)
{
    if (m_bUseMask) {
        switch (message) {
        case WM_PASTE:
            Paste();
            return 0; // a message without a result
        case WM_CUT:
            // The copy is harmless; taking the characters out is not.
            SendMessage(WM_COPY, 0, 0);
            MessageBeep(0xFFFFFFFF);
            return 0; // a message without a result
        case WM_CLEAR:
            if (m_bOverwriting)
                break;
            MessageBeep(0xFFFFFFFF);
            return 0; // a message without a result
        case WM_UNDO:
        case EM_UNDO:
            MessageBeep(0xFFFFFFFF);
            return FALSE; // nothing was undone
        default:
            break;
        }
    }
    return CEdit::WindowProc(message, wParam, lParam);
}

void CMaskEdit::Paste()
{
    CString strText;
    if (!GetClipboardText(strText) || strText.IsEmpty())
        return;
    // Typed in as the keys would type it: each character checked at its position, literals
    // filled in; the first refusal (which beeps) ends the paste.
    for (int i = 0; i < strText.GetLength(); ++i) {
        const WCHAR ch = strText.GetAt(i);
        if (!IsPrintable(ch)) {
            MessageBeep(0xFFFFFFFF);
            return;
        }
        if (!CheckChar(ch))
            return;
        SendCharToSelf(ch);
        // SendCharToSelf skips the separator that follows; the keys would have typed it.
        const WCHAR lit = CharAt(m_strLiteral, CaretPos());
        if (lit != 0 && lit != kInputPos)
            SendCharToSelf(lit);
    }
}
