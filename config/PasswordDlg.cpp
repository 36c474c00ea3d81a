#include "config/PasswordDlg.h"

BEGIN_MESSAGE_MAP(CPasswordDlg, CDialog)
    ON_BN_CLICKED(IDOK, &CPasswordDlg::OnBnClickedOk)
END_MESSAGE_MAP()

CPasswordDlg::CPasswordDlg(CWnd* pParent) : CDialog(IDD, pParent) {}

CPasswordDlg::~CPasswordDlg() = default;

void CPasswordDlg::DoDataExchange(CDataExchange* pDX)
{
    CDialog::DoDataExchange(pDX);
    DDX_Control(pDX, 1036, m_editPassword);
}

void CPasswordDlg::OnBnClickedOk()
{
    // No trimming: the comparison is on the whole text as typed.
    m_editPassword.GetWindowText(m_strPassword);
    CDialog::OnOK();
}
