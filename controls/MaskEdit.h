// A single-line edit that is filled position by position in overwrite mode, each position
// admitting only the characters of its mask class.
//
// Mask characters: '0' digit (range-limited at positions 0, 1, 3, 4), '9' digit, '#' digit
// or space, 'L' letter, '?' letter or space, 'A' letter or digit, 'a' letter, digit or
// space, '&' any printable character, 'H' hexadecimal digit; any other mask character
// admits nothing. Classes are ASCII only.
//
// The owner keeps m_strValue (and m_strRestore, if used) as long as m_strMask and shows the
// same text in the window. Should m_strValue be shorter all the same, a character typed
// beyond its end pads it with spaces up to that position, so the value always holds every
// character the control let in, at its position. Settings shorter than the mask (layout,
// bounds, restore text) read as "nothing there" past their end. Backspace puts back only a
// printable ASCII character of the restore text; anything else would not fit a mask
// position, so then it only moves the caret.
//
// With the mask on, text that arrives other than by typing keeps to it too: a paste (keys,
// context menu, WM_PASTE) is typed in character by character from the caret and stops at the
// first character its position refuses or at the mask's end; cut copies and deletes nothing,
// a selection is not deleted (Delete, WM_CLEAR), and undo is refused, since each of these
// would shift or drop positions. The window then always shows m_strValue.
#pragma once
#include "platform/ui/Afx.h"

class CMaskEdit : public CEdit
{

public:
    CMaskEdit();
    ~CMaskEdit() override;

    BOOL m_bUseMask;
    BOOL m_bDateMode;
    CString m_strValue;
    CString m_strMask;
    CString m_strLiteral;
    CString m_strValidChars;
    CString m_strFirstMax;
    CString m_strSecondMax;
    CString m_strRestore;

protected:
    BOOL m_bPassChar;

    // Admit or refuse a typed character; refusals beep. May type a literal in first.
    BOOL CheckChar(UINT nChar);
    // Runs a character through this control's own OnChar, bypassing the check.
    void SendCharToSelf(UINT nChar);

    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;
    void OnChar(UINT nChar, UINT nRepCnt, UINT nFlags);
    void OnKeyDown(UINT nChar, UINT nRepCnt, UINT nFlags);
    DECLARE_MESSAGE_MAP()

private:
    void Backspace();
    BOOL DigitInRange(int nPos, WCHAR ch) const;
    int CaretPos();
    // One position to the left, as a caret (no selection).
    void CaretLeft();
    void WriteValue(int nPos, WCHAR ch);
    void Paste();

    // Set while OnChar overwrites a position through WM_CLEAR.
    BOOL m_bOverwriting = FALSE;
};
