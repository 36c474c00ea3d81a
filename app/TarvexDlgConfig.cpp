// The configuration entry of the system menu.
#include "app/TarvexDlg.h"

void CTarvexDlg::OnSysCommand(UINT nID, LPARAM lParam)
{
    Default();
}
