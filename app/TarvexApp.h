// CTarvexApp: the application object. It runs the main dialog modally; when the dialog
// closes, the process ends.
#pragma once
#include "platform/ui/Afx.h"

class CTarvexDlg;

class CTarvexApp : public CWinApp
{
public:
    CTarvexApp();
    ~CTarvexApp() override;

    BOOL InitInstance() override;

protected:
    // Called with the dialog constructed, before it is shown (the demo wires it up here).
    virtual void OnDialogCreated(CTarvexDlg& dlg) {}

    DECLARE_MESSAGE_MAP()
};
