// The small dialog guarding the configuration entry. It only collects the typed password;
// the caller compares it with the one in force.
#pragma once
#include "platform/ui/Afx.h"

class CPasswordDlg : public CDialog
{
public:
    enum { IDD = 130 };

    explicit CPasswordDlg(CWnd* pParent = nullptr);
    ~CPasswordDlg() override;

    CEdit m_editPassword;
    // The text of the password edit exactly as typed, taken when OK is pressed.
    CString m_strPassword;

protected:
    void DoDataExchange(CDataExchange* pDX) override;
    void OnBnClickedOk();

    DECLARE_MESSAGE_MAP()
};
