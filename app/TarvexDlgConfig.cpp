// The configuration entry of the system menu: password, configuration dialog, and the new
// configuration taken over at once.
#include <cstdlib>
#include <cstring>

#include "app/TarvexDlg.h"
#include "config/PasswordDlg.h"
#include "config/SystemConfigDlg.h"

namespace {

// Ends the process after a configuration that cannot be used. The poll threads are stopped
// and the devices closed first (which also ends the reader thread), bootloader then
// application mode as the destructor would, so that nothing still runs against the objects
// that exit() tears down.
[[noreturn]] void EndProcess(CDunX4ISPUSBComm& isp, CQL40USBComm& app)
{
    isp.Stop();
    app.Stop();
    isp.Close();
    app.Close();
    std::exit(0);
}

} // namespace

void CTarvexDlg::OnSysCommand(UINT nID, LPARAM lParam)
{
    // Exactly this ID: the standard commands keep their low bits for the system's own use.
    // The configuration replaces the image a run is flashing: not while one is under way.
    if (nID == IDM_SYSTEM_CONFIG && !IsUpgrading()) {
        CString strPassword;
        CPasswordDlg dlgPassword(this);
        CSystemConfigDlg dlgConfig(this);

        if (dlgPassword.DoModal() == IDOK) {
            strPassword = dlgPassword.m_strPassword;
            // The stored field need not be terminated; compare at most its length.
            const CString strStored(m_Config.szPassword,
                                    static_cast<int>(WcsNLen(m_Config.szPassword, CONFIG_TEXT_UNITS)));
            if (strPassword != strStored) {
                MessageBoxW(u"访问权限验证失败！");
            } else {
                std::memcpy(&dlgConfig.m_Config, &m_Config, sizeof(SYSTEM_CONFIG));
                if (dlgConfig.DoModal() == IDOK) {
                    std::memcpy(&m_Config, &dlgConfig.m_Config, sizeof(SYSTEM_CONFIG));
                    m_bAppLoaded = LoadAppFile(m_Config);
                    if (!m_bAppLoaded) {
                        MessageBoxW(u"加载配置文件错误！");
                        EndProcess(m_ISPComm, m_AppComm);
                    }
                    if (!UpdateTitle()) {
                        MessageBoxW(u"配置界面错误！");
                        EndProcess(m_ISPComm, m_AppComm);
                    }
                    InvalidateRect(nullptr, TRUE);
                }
            }
        }
    }
    Default();
}
