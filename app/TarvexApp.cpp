#include "app/TarvexApp.h"

#include "app/EventLines.h"
#include "app/TarvexDlg.h"

BEGIN_MESSAGE_MAP(CTarvexApp, CWinApp)
    ON_COMMAND(ID_HELP, &CWinApp::OnHelp)
END_MESSAGE_MAP()

CTarvexApp::CTarvexApp() = default;

CTarvexApp::~CTarvexApp() = default;

BOOL CTarvexApp::InitInstance()
{
    INITCOMMONCONTROLSEX initCtrls;
    initCtrls.dwSize = sizeof(initCtrls);
    initCtrls.dwICC = ICC_WIN95_CLASSES;
    InitCommonControlsEx(&initCtrls);

    CWinApp::InitInstance();
    AfxEnableControlContainer();
    SetRegistryKey(u"应用程序向导生成的本地应用程序");

    {
        CTarvexDlg dlg;
        m_pMainWnd = &dlg;
        if (EventLinesWanted()) AttachEventLines(dlg);
        OnDialogCreated(dlg);
        dlg.DoModal();
        m_pMainWnd = nullptr;
    }
    // The dialog has closed: no message loop to run, the process ends.
    return FALSE;
}
