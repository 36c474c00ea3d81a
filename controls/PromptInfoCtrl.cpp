#include "controls/PromptInfoCtrl.h"

BEGIN_MESSAGE_MAP(CPromptInfoCtrl, CStatic)
    ON_WM_CREATE()
END_MESSAGE_MAP()

CPromptInfoCtrl::CPromptInfoCtrl() : m_crText(GetSysColor(COLOR_BTNFACE)) {}

CPromptInfoCtrl::~CPromptInfoCtrl() = default;

void CPromptInfoCtrl::SetPromptInfo(COLORREF crText, CString strText)
{
    m_crText = crText;
    m_strText = strText;
    // The window text follows the line, so assistive technology reads what it shows (the
    // control draws m_strText itself).
    ::SetWindowTextW(m_hWnd, m_strText);
    ::InvalidateRect(m_hWnd, nullptr, TRUE);
    ::UpdateWindow(m_hWnd);
}

int CPromptInfoCtrl::OnCreate(LPCREATESTRUCT lpCreateStruct)
{
    if (Default() == -1)
        return -1;
    ModifyStyle(0, SS_OWNERDRAW, 0);
    return 0;
}

void CPromptInfoCtrl::PreSubclassWindow()
{
    // Statics from a dialog template come without owner drawing.
    ModifyStyle(0, SS_OWNERDRAW, 0);
    CStatic::PreSubclassWindow();
}

void CPromptInfoCtrl::DrawItem(LPDRAWITEMSTRUCT lpDrawItemStruct)
{
    CDC* pDC = CDC::FromHandle(lpDrawItemStruct->hDC);
    CRect rect;
    ::GetClientRect(m_hWnd, &rect);
    pDC->FillSolidRect(rect, pDC->GetBkColor());
    const COLORREF crOld = pDC->GetTextColor();

    // Created per paint: the line holds no GDI objects between paints.
    CFont font;
    font.CreatePointFont(160, u"宋体", pDC);
    CFont* pOldFont = pDC->SelectObject(&font);
    pDC->SetTextColor(m_crText);
    pDC->TextOut(0, 0, m_strText, m_strText.GetLength());

    pDC->SetTextColor(crOld);
    pDC->SelectObject(pOldFont);
    font.DeleteObject();
}
