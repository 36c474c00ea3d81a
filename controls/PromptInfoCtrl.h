// The one-line status line: a static that paints its text in a caller-chosen colour in a
// large fixed font, repainted before each change returns.
#pragma once
#include "platform/ui/Afx.h"

class CPromptInfoCtrl : public CStatic
{

public:
    CPromptInfoCtrl();
    ~CPromptInfoCtrl() override;

    // Stores colour and text and repaints at once, so the line stays current while long
    // steps run on the dialog's thread.
    void SetPromptInfo(COLORREF crText, CString strText);
    // What the line shows now.
    COLORREF GetPromptColor() const { return m_crText; }
    const CString& GetPromptText() const { return m_strText; }

protected:
    void PreSubclassWindow() override;
    void DrawItem(LPDRAWITEMSTRUCT lpDrawItemStruct) override;
    int OnCreate(LPCREATESTRUCT lpCreateStruct);
    DECLARE_MESSAGE_MAP()

private:
    COLORREF m_crText;
    CString m_strText;
};
