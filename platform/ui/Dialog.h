// CDialog: a window made from a template, run modally in a nested event loop, with data
// exchange binding controls to members.
#pragma once
#include "platform/ui/Controls.h"
#include "platform/ui/DialogTemplate.h"
#include "platform/ui/Wnd.h"

class CDataExchange
{
public:
    CDataExchange(CWnd* pDlgWnd, BOOL bSaveAndValidate) : m_bSaveAndValidate(bSaveAndValidate), m_pDlgWnd(pDlgWnd) {}
    BOOL m_bSaveAndValidate;
    CWnd* m_pDlgWnd;
    // Set when a control could not be bound; UpdateData then returns FALSE.
    bool m_bFailed = false;
};

// Subclasses control nIDC of the dialog with rControl (once; later exchanges leave it).
void DDX_Control(CDataExchange* pDX, int nIDC, CWnd& rControl);
void DDX_Text(CDataExchange* pDX, int nIDC, CString& value);

class CDialog : public CWnd
{
public:
    explicit CDialog(UINT nIDTemplate, CWnd* pParentWnd = nullptr);
    ~CDialog() override;

    // Creates the window from the template and runs it until EndDialog; returns the code
    // given to EndDialog, or -1 if the window could not be made (no such template).
    virtual INT_PTR DoModal();
    virtual BOOL OnInitDialog();
    virtual void OnOK();
    virtual void OnCancel();
    void EndDialog(int nResult);
    BOOL UpdateData(BOOL bSaveAndValidate = TRUE);
    virtual void DoDataExchange(CDataExchange* pDX);
    void NextDlgCtrl() const;
    void GotoDlgCtrl(CWnd* pWndCtrl);
    BOOL DestroyWindow() override;
    LRESULT DefWindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;

    UINT m_nIDHelp = 0;
    CWnd* m_pParentWnd = nullptr;

    DECLARE_MESSAGE_MAP()

protected:
    UINT m_nIDTemplate = 0;
    INT_PTR m_nModalResult = -1;
    bool m_bEnded = false;
    void* m_pLoop = nullptr; // the running QEventLoop

public:
    // For the framework: the dialog window of this object (created by DoModal).
    bool CreateFromTemplate(HWND hWndParent);
};

// Dialogs created by the framework (an HWND with a dialog template) answer these.
int GetDialogTemplateID(HWND hDlg);
