// The technician's configuration dialog: picks and checks the application image (copying it
// next to the executable), sets the program ID and version the mouse must match, the upgrade
// options, the window title and the access password, and saves Tarvex.cfg.
//
// The caller copies the configuration in force into m_Config before DoModal and takes it
// back only when DoModal returns IDOK; by then the file has been saved.
#pragma once
#include "controls/MaskEdit.h"
#include "encfile/SystemConfig.h"
#include "platform/ui/Afx.h"

class CSystemConfigDlg : public CDialog
{
public:
    enum { IDD = 129 };
    // Longest title and password the dialog accepts, in UTF-16 units.
    static constexpr int MAX_TEXT_LENGTH = 100;

    explicit CSystemConfigDlg(CWnd* pParent = nullptr);
    ~CSystemConfigDlg() override;

    CEdit m_editAppFile;      // 1032
    CStatic m_staticAppName;  // 1034
    CStatic m_staticAppCrc;   // 1035
    CMaskEdit m_editProgramID; // 1005
    CComboBox m_comboVerMajor; // 1006
    CComboBox m_comboVerMinor; // 1008
    CButton m_btnAutoUpgrade;  // 1001
    CButton m_btnAutoReset;    // 1000
    CButton m_btnVersionCheck; // 1009
    CButton m_btnSaveUserData; // 1015
    CEdit m_editTitle;         // 1014
    CEdit m_editPassword;      // 1036
    SYSTEM_CONFIG m_Config;

protected:
    void DoDataExchange(CDataExchange* pDX) override;
    BOOL OnInitDialog() override;
    void OnBnClickedSelectFile();
    void OnBnClickedOk();

    DECLARE_MESSAGE_MAP()
};
