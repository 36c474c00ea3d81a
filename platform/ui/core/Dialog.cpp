// Data exchange, CDialog's message map and the parts of CDialog, CFileDialog and the message
// box that do not depend on the toolkit; the modal loop and the windows themselves are the
// toolkit's (qt/QtDialog.cpp, win32/WinApp.cpp).
#include "platform/Kernel.h"
#include "platform/ui/core/Core.h"

using namespace platform::ui::core;

// ---- data exchange -------------------------------------------------------------------------

void DDX_Control(CDataExchange* pDX, int nIDC, CWnd& rControl)
{
    if (!pDX || !pDX->m_pDlgWnd || rControl.m_hWnd) return; // bound once per window
    HWND h = ::GetDlgItem(pDX->m_pDlgWnd->m_hWnd, nIDC);
    if (!h || !rControl.SubclassWindow(h)) pDX->m_bFailed = true;
}

void DDX_Text(CDataExchange* pDX, int nIDC, CString& value)
{
    if (!pDX || !pDX->m_pDlgWnd) return;
    HWND h = ::GetDlgItem(pDX->m_pDlgWnd->m_hWnd, nIDC);
    if (!h) {
        pDX->m_bFailed = true;
        return;
    }
    if (pDX->m_bSaveAndValidate) CWnd::FromHandle(h)->GetWindowText(value);
    else ::SetWindowTextW(h, value);
}

// ---- CDialog -------------------------------------------------------------------------------

BEGIN_MESSAGE_MAP(CDialog, CWnd)
    {WM_INITDIALOG, 0, 0, 0, [](CCmdTarget* p, WPARAM, LPARAM, LRESULT* r) -> bool {
         *r = static_cast<CDialog*>(p)->OnInitDialog();
         return true;
     }},
    ON_COMMAND(IDOK, &CDialog::OnOK)
    ON_COMMAND(IDCANCEL, &CDialog::OnCancel)
END_MESSAGE_MAP()

CDialog::CDialog(UINT nIDTemplate, CWnd* pParentWnd) : m_pParentWnd(pParentWnd), m_nIDTemplate(nIDTemplate) {}

CDialog::~CDialog()
{
    if (m_hWnd) CDialog::DestroyWindow();
}

LRESULT CDialog::DefWindowProc(UINT message, WPARAM wParam, LPARAM lParam) { return CWnd::DefWindowProc(message, wParam, lParam); }

BOOL CDialog::OnInitDialog()
{
    UpdateData(FALSE);
    return TRUE;
}

void CDialog::OnOK()
{
    if (!UpdateData(TRUE)) return;
    EndDialog(IDOK);
}

void CDialog::OnCancel() { EndDialog(IDCANCEL); }

BOOL CDialog::UpdateData(BOOL bSaveAndValidate)
{
    CDataExchange dx(this, bSaveAndValidate);
    DoDataExchange(&dx);
    return dx.m_bFailed ? FALSE : TRUE;
}

void CDialog::DoDataExchange(CDataExchange*) {}

HWND platform::ui::core::ModalOwner(const CDialog& dlg)
{
    HWND parent = dlg.m_pParentWnd ? dlg.m_pParentWnd->m_hWnd : nullptr;
    if (!parent) {
        CWnd* main = AfxGetMainWnd();
        if (main && main != &dlg) parent = main->m_hWnd;
    }
    return parent;
}

void CDialog::GotoDlgCtrl(CWnd* pWndCtrl)
{
    if (pWndCtrl) pWndCtrl->SetFocus();
}

int GetDialogTemplateID(HWND hDlg)
{
    WindowRecord* w = FindRecord(hDlg);
    return w && w->IsDialog() ? w->id : 0;
}

// ---- CFileDialog ---------------------------------------------------------------------------

CFileDialog::CFileDialog(BOOL bOpenFileDialog, LPCWSTR lpszDefExt, LPCWSTR lpszFileName, DWORD dwFlags,
                         LPCWSTR lpszFilter, CWnd* pParentWnd, DWORD, BOOL)
    : CDialog(0, pParentWnd), m_bOpenFileDialog(bOpenFileDialog), m_strDefExt(lpszDefExt), m_strFileName(lpszFileName),
      m_dwFlags(dwFlags), m_strFilter(lpszFilter)
{
}

INT_PTR CFileDialog::DoModal()
{
    platform::ui::EnsureGui();
    CWnd* owner = m_pParentWnd ? m_pParentWnd : AfxGetMainWnd();
    const HWND hOwner = owner ? owner->m_hWnd : nullptr;
    std::optional<CString> chosen;
    if (auto hook = FileDialogHook()) {
        if (auto p = hook(platform::ui::FileDialogCall{hOwner, m_bOpenFileDialog != FALSE, m_strFilter, m_strFileName, m_strInitialDir}))
            if (!p->empty()) chosen = platform::WindowsPath(*p);
    } else {
        chosen = RunFileChooser(hOwner, *this);
    }
    if (!chosen) {
        m_nModalResult = IDCANCEL;
        return IDCANCEL;
    }
    m_strPathName = *chosen;
    m_nModalResult = IDOK;
    return IDOK;
}

CString CFileDialog::GetPathName() const { return m_strPathName; }

CString CFileDialog::GetFileName() const
{
    const int slash = m_strPathName.ReverseFind(u'\\');
    return slash < 0 ? m_strPathName : m_strPathName.Mid(slash + 1);
}

CString CFileDialog::GetFileExt() const
{
    const CString name = GetFileName();
    const int dot = name.ReverseFind(u'.');
    return dot < 0 ? CString() : name.Mid(dot + 1);
}

CString CFileDialog::GetFileTitle() const
{
    const CString name = GetFileName();
    const int dot = name.ReverseFind(u'.');
    return dot < 0 ? name : name.Left(dot);
}

// ---- message boxes -------------------------------------------------------------------------

int MessageBoxW(HWND hWnd, LPCWSTR text, LPCWSTR caption, UINT type)
{
    const CString strText(text);
    const CString strCaption = caption ? CString(caption) : AppName();
    bool answered = false;
    const int hooked = AnswerMessageBox(hWnd, strText, strCaption, type, &answered);
    if (answered) return hooked;
    platform::ui::EnsureGui();
    return ShowMessageBox(hWnd, strText, strCaption, type);
}
