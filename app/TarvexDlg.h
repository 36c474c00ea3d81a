// CTarvexDlg: the tool's one window. It shows the mouse's connection state, program ID and
// version, runs the upgrade (checks, identity carried into the image, switch to the
// bootloader, erase, write, read back, verify, reset) and leads to the configuration.
#pragma once
#include <cstddef>
#include <functional>

#include "controls/PromptInfoCtrl.h"
#include "device/DunX4ISPUSBComm.h"
#include "device/QL40USBComm.h"
#include "device/USBDeviceMonitor.h"
#include "encfile/EncFile.h"
#include "encfile/SystemConfig.h"
#include "platform/ui/Afx.h"
#include "upgrade/UpgradeProcedure.h"

#ifndef afx_msg
#define afx_msg // marks message handlers
#endif

// The system-menu item that leads to the configuration.
inline constexpr UINT IDM_SYSTEM_CONFIG = 0x8004;

// Status colours (0x00BBGGRR).
inline constexpr COLORREF TARVEX_COLOR_BLUE = UPGRADE_COLOR_BLUE;
inline constexpr COLORREF TARVEX_COLOR_RED = UPGRADE_COLOR_RED;
inline constexpr COLORREF TARVEX_COLOR_GREEN = UPGRADE_COLOR_GREEN;

class CTarvexDlg : public CDialog
{
public:
    enum { IDD = 102 };

    // Which picture the result static shows.
    enum class ResultPicture { None, Initial, Success, Failure };
    // What changed, for observers (the demo's log and screenshots, tests).
    enum class Change { Status, Progress, Result, AppDevice, IspDevice, RunStarted, RunEnded, ExitPending };

    explicit CTarvexDlg(CWnd* pParent = nullptr);
    ~CTarvexDlg() override;

    BOOL UpdateTitle();
    // Loads the image that config names into m_AppHeader/m_pAppData, with one message box per
    // failed check. m_bAppLoaded is FALSE from the start of the load until the caller stores
    // the result, so no run can use a half-loaded image.
    BOOL LoadAppFile(SYSTEM_CONFIG config);
    // m_bAppLoaded = LoadAppFile(m_Config).
    BOOL ReloadAppFile();

    // The waits of a run go through this (PumpWait unless replaced); tests count them.
    void (*m_pfnWait)(DWORD ms);
    // The read-back buffer's allocation (malloc unless replaced); tests make it fail.
    void* (*m_pfnAlloc)(std::size_t size);
    // Called after each visible change of the run or of the device state.
    std::function<void(Change)> m_fnObserver;

    // State as shown, for observers.
    BOOL IsUpgrading() const { return m_bUpgrading; }
    // An exit asked for during the run waits for its end (shown on the Exit button and title).
    BOOL IsExitPending() const { return m_bExitAfterRun; }
    ResultPicture GetResultPicture() const;
    CString GetStatusText() const { return m_promptInfo.GetPromptText(); }
    COLORREF GetStatusColor() const { return m_promptInfo.GetPromptColor(); }
    int GetProgress() const { return m_progressUpgrade.GetPos(); }

    HICON m_hIcon;
    HICON m_hIconConnected;
    HICON m_hIconDisconnected;
    CBitmap m_bmpConnected;
    CBitmap m_bmpDisconnected;
    CBitmap m_bmpInitial;
    CBitmap m_bmpSuccess;
    CBitmap m_bmpFailure;
    CStatic m_staticConnect;
    CStatic m_staticProgramID;
    CStatic m_staticProgramVer;
    CProgressCtrl m_progressUpgrade;
    CPromptInfoCtrl m_promptInfo;
    CStatic m_staticResult;
    CButton m_btnUpgrade;
    SYSTEM_CONFIG m_Config{};
    ENC_FILE_HEADER m_AppHeader{};
    BYTE* m_pAppData;
    BOOL m_bAppLoaded;
    CQL40USBComm m_AppComm;
    CDunX4ISPUSBComm m_ISPComm;
    CUSBDeviceMonitor m_USBMonitor;

protected:
    void DoDataExchange(CDataExchange* pDX) override;
    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;
    BOOL OnInitDialog() override;
    // Exit, Escape and the close box; during a run only after the run has ended, and then only
    // if it succeeded.
    void OnCancel() override;
    void OnOK() override;

    afx_msg void OnPaint();
    afx_msg HCURSOR OnQueryDragIcon();
    // Body in TarvexDlgConfig.cpp.
    afx_msg void OnSysCommand(UINT nID, LPARAM lParam);
    afx_msg void OnBnClickedUpgrade();
    // The shared upgrade procedure with the window as its face.
    UpgradeOutcome DoUpgrade();

    DECLARE_MESSAGE_MAP()

private:
    class CWindowFace;
    void OnIspDeviceChange();
    void OnAppDeviceChange();
    void SetStatus(COLORREF crText, const WCHAR* pszText);
    void SetProgress(int nPos);
    void SetResult(CBitmap& bmp);
    void Notify(Change change);
    void ShowExitPending(bool bPending);

    bool m_bUpgrading = false;
    bool m_bExitAfterRun = false;
    CString m_strExitCaption;
};
