#include "app/TarvexDlg.h"

#include <cstdlib>
#include <cstring>

#include "device/PumpWait.h"
#include "encfile/AppImage.h"
#include "upgrade/RecoveryJournal.h"
#include "upgrade/RunLog.h"
#include "upgrade/ToolDir.h"

namespace {

constexpr UINT IDI_APP = 128;
constexpr UINT IDI_DISCONNECTED = 138;
constexpr UINT IDI_CONNECTED = 139;
constexpr UINT IDB_INITIAL = 132;
constexpr UINT IDB_FAILURE = 133;
constexpr UINT IDB_SUCCESS = 135;
constexpr UINT IDB_CONNECTED = 149;
constexpr UINT IDB_DISCONNECTED = 150;

constexpr int IDC_CONNECT = 1002;
constexpr int IDC_PROGRAM_ID = 1003;
constexpr int IDC_PROGRAM_VER = 1004;
constexpr int IDC_PROMPT_INFO = 1005;
constexpr int IDC_UPGRADE = 1006;
constexpr int IDC_RESULT = 1007;
constexpr int IDC_PROGRESS = 1010;

constexpr const WCHAR* kDefaultTitle = u"DUN-X4游戏鼠标ROM升级工具";

// What the window shows while an exit asked for during a run waits for the run's end: the
// status line belongs to the run, so the Exit button and the title carry it.
constexpr const WCHAR* kExitPendingCaption = u"升级后退出";
constexpr const WCHAR* kExitPendingTitle = u"（升级结束后退出）";


} // namespace

BEGIN_MESSAGE_MAP(CTarvexDlg, CDialog)
    ON_WM_PAINT()
    ON_WM_QUERYDRAGICON()
    ON_WM_SYSCOMMAND()
    ON_BN_CLICKED(IDC_UPGRADE, &CTarvexDlg::OnBnClickedUpgrade)
END_MESSAGE_MAP()

CTarvexDlg::CTarvexDlg(CWnd* pParent)
    : CDialog(IDD, pParent), m_pfnWait(&PumpWait), m_pfnAlloc(&std::malloc), m_hIcon(nullptr), m_hIconConnected(nullptr),
      m_hIconDisconnected(nullptr), m_pAppData(nullptr), m_bAppLoaded(FALSE)
{
    m_hIcon = AfxGetApp() ? AfxGetApp()->LoadIcon(IDI_APP) : ::LoadIcon(nullptr, MAKEINTRESOURCE(IDI_APP));
}

CTarvexDlg::~CTarvexDlg()
{
    // The device objects, the monitor, the controls and the bitmaps go in reverse member
    // order after this body: monitor, bootloader poll, application poll, controls, bitmaps.
    std::free(m_pAppData);
}

void CTarvexDlg::DoDataExchange(CDataExchange* pDX)
{
    CDialog::DoDataExchange(pDX);
    DDX_Control(pDX, IDC_CONNECT, m_staticConnect);
    DDX_Control(pDX, IDC_PROGRAM_ID, m_staticProgramID);
    DDX_Control(pDX, IDC_PROGRAM_VER, m_staticProgramVer);
    DDX_Control(pDX, IDC_PROGRESS, m_progressUpgrade);
    DDX_Control(pDX, IDC_PROMPT_INFO, m_promptInfo);
    DDX_Control(pDX, IDC_RESULT, m_staticResult);
    DDX_Control(pDX, IDC_UPGRADE, m_btnUpgrade);
}

BOOL CTarvexDlg::OnInitDialog()
{
    CDialog::OnInitDialog();

    SendMessage(WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_hIcon));
    SendMessage(WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_hIcon));

    m_hIconConnected = ::LoadIcon(AfxGetInstanceHandle(), MAKEINTRESOURCE(IDI_CONNECTED));
    m_hIconDisconnected = ::LoadIcon(AfxGetInstanceHandle(), MAKEINTRESOURCE(IDI_DISCONNECTED));

    m_bmpConnected.LoadBitmap(IDB_CONNECTED);
    m_bmpDisconnected.LoadBitmap(IDB_DISCONNECTED);
    m_bmpInitial.LoadBitmap(IDB_INITIAL);
    m_bmpSuccess.LoadBitmap(IDB_SUCCESS);
    m_bmpFailure.LoadBitmap(IDB_FAILURE);

    if (CMenu* pSysMenu = GetSystemMenu(FALSE)) {
        pSysMenu->AppendMenu(MF_SEPARATOR);
        pSysMenu->AppendMenu(MF_STRING, IDM_SYSTEM_CONFIG, u"系统配置");
    }

    const CString strConfigPath = GetModuleDir() + SYSTEM_CONFIG_FILE_NAME;
    if (!LoadSystemConfig(strConfigPath, &m_Config)) {
        std::memset(&m_Config, 0, sizeof(m_Config));
        MessageBoxW(u"打开配置文件失败！");
    }

    m_bAppLoaded = LoadAppFile(m_Config);

    UpdateTitle();

    // The owner window is in place before each poll thread can post to it.
    m_AppComm.m_hOwnerWnd = m_hWnd;
    m_AppComm.Start();
    m_ISPComm.m_hOwnerWnd = m_hWnd;
    m_ISPComm.Start();

    m_promptInfo.SetPromptInfo(GetSysColor(COLOR_BTNFACE), u"");
    return TRUE;
}

BOOL CTarvexDlg::UpdateTitle()
{
    if (m_Config.szTitle[0] != 0) {
        // The stored field need not be terminated: a terminated copy, read up to its first zero.
        const std::u16string title(m_Config.szTitle, CONFIG_TEXT_UNITS);
        SetWindowText(title.c_str());
    } else {
        SetWindowText(kDefaultTitle);
    }
    return TRUE;
}

void CTarvexDlg::OnPaint()
{
    if (IsIconic()) {
        CPaintDC dc(this);
        SendMessage(WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc.GetSafeHdc()), 0);
        const int cxIcon = GetSystemMetrics(SM_CXICON);
        const int cyIcon = GetSystemMetrics(SM_CYICON);
        CRect rect;
        GetClientRect(&rect);
        const int x = (rect.Width() - cxIcon + 1) / 2;
        const int y = (rect.Height() - cyIcon + 1) / 2;
        dc.DrawIcon(x, y, m_hIcon);
    } else {
        CDialog::OnPaint();
    }
}

HCURSOR CTarvexDlg::OnQueryDragIcon()
{
    return static_cast<HCURSOR>(m_hIcon);
}

// ---- image ---------------------------------------------------------------------------------

BOOL CTarvexDlg::LoadAppFile(SYSTEM_CONFIG config)
{
    // The message boxes below run a message loop that may dispatch a device notification and
    // with it an automatic run: until the caller stores the result, no run may start.
    m_bAppLoaded = FALSE;

    ENC_FILE_HEADER header{};
    BYTE* pData = nullptr;
    const AppImageCheck check = LoadAppImage(config, &header, &pData);
    if (check != AppImageCheck::Ok) {
        if (const WCHAR* pszText = LoadAppImageText(check)) MessageBoxW(pszText);
        return FALSE;
    }
    // Header and block are replaced together, so they always belong to each other.
    std::free(m_pAppData);
    m_pAppData = pData;
    m_AppHeader = header;
    return TRUE;
}

BOOL CTarvexDlg::ReloadAppFile()
{
    m_bAppLoaded = LoadAppFile(m_Config);
    return m_bAppLoaded;
}

// ---- device notifications ------------------------------------------------------------------

LRESULT CTarvexDlg::WindowProc(UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == RegisterWindowMessageW(u"DUNX4_ISP_DEVICE_CHANGE")) {
        OnIspDeviceChange();
        return 1;
    }
    if (message == RegisterWindowMessageW(u"QL40_DEVICE_CHANGE")) {
        OnAppDeviceChange();
        return 1;
    }
    return CDialog::WindowProc(message, wParam, lParam);
}

void CTarvexDlg::OnIspDeviceChange()
{
    const HICON hIcon = m_ISPComm.IsOpen() ? m_hIconConnected : m_hIconDisconnected;
    SendMessage(WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(hIcon));
    SendMessage(WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(hIcon));
    Notify(Change::IspDevice);
}

void CTarvexDlg::OnAppDeviceChange()
{
    if (!m_AppComm.IsOpen()) {
        SendMessage(WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_hIconDisconnected));
        SendMessage(WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_hIconDisconnected));
        // The last mouse's program ID and version stay on screen.
        m_staticConnect.SendMessage(STM_SETIMAGE, IMAGE_BITMAP,
                                    reinterpret_cast<LPARAM>(static_cast<HBITMAP>(m_bmpDisconnected)));
        Notify(Change::AppDevice);
        return;
    }

    SendMessage(WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_hIconConnected));
    SendMessage(WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_hIconConnected));
    m_staticConnect.SendMessage(STM_SETIMAGE, IMAGE_BITMAP,
                                reinterpret_cast<LPARAM>(static_cast<HBITMAP>(m_bmpConnected)));
    BYTE version = 0;
    DWORD programId = 0;
    if (m_AppComm.GetProgramInfo(version, programId)) {
        CString strText;
        strText.Format(u"%04X", static_cast<unsigned>(programId & 0xFFFF));
        m_staticProgramID.SetWindowText(strText);
        strText.Format(u"v%d.0", static_cast<int>(version));
        m_staticProgramVer.SetWindowText(strText);
    }
    Notify(Change::AppDevice);

    if (m_Config.bAutoUpgrade) OnBnClickedUpgrade();
}

// ---- upgrade -------------------------------------------------------------------------------

void CTarvexDlg::OnBnClickedUpgrade()
{
    // One run at a time. A run waits for the bootloader inside PumpWait, which dispatches
    // messages: an arrival with bAutoUpgrade set, or the configuration entry (refused in
    // WindowProc), would otherwise start a second run on the same image and devices, or
    // replace the image under the first. Such requests are ignored until this run has ended.
    if (m_bUpgrading) return;
    m_bUpgrading = true;
    m_btnUpgrade.EnableWindow(FALSE);
    Notify(Change::RunStarted);
    const UpgradeOutcome outcome = DoUpgrade();
    m_btnUpgrade.EnableWindow(TRUE);
    m_bUpgrading = false;
    if (m_bExitAfterRun) {
        m_bExitAfterRun = false;
        ShowExitPending(false);
        // Only a success closes the window; a failure stays on screen until the user has
        // seen it and exits again (after a failure past the switch the mouse may sit in its
        // bootloader, and the status line says what happened).
        if (outcome == UpgradeOutcome::Success) {
            Notify(Change::RunEnded);
            CDialog::OnCancel();
            return;
        }
    }
    // Enter after a run starts the next one, as the default button says, whichever button
    // held the focus during the run.
    if (::IsWindowVisible(m_hWnd)) GotoDlgCtrl(&m_btnUpgrade);
    Notify(Change::RunEnded);
}

void CTarvexDlg::OnCancel()
{
    // A run cannot be stopped halfway: the mouse may be in its bootloader with its flash
    // erased. Hiding the window would let the user believe it had stopped and unplug the
    // mouse mid-write, so the window stays, showing the run, and says that the exit waits.
    if (m_bUpgrading) {
        if (!m_bExitAfterRun) {
            m_bExitAfterRun = true;
            ShowExitPending(true);
        }
        return;
    }
    CDialog::OnCancel();
}

void CTarvexDlg::OnOK()
{
    // The window has no OK button: Enter that finds no enabled default button (Upgrade
    // during a run) does nothing rather than end the dialog.
}

void CTarvexDlg::ShowExitPending(bool bPending)
{
    CWnd* pExit = GetDlgItem(IDCANCEL);
    if (pExit) {
        if (bPending) {
            pExit->GetWindowText(m_strExitCaption);
            pExit->SetWindowText(kExitPendingCaption);
        } else if (!m_strExitCaption.IsEmpty()) {
            pExit->SetWindowText(m_strExitCaption);
        }
        // Asked once is enough; the close box and Escape still reach OnCancel.
        pExit->EnableWindow(bPending ? FALSE : TRUE);
    }
    UpdateTitle();
    if (bPending) {
        CString strTitle;
        GetWindowText(strTitle);
        SetWindowText(strTitle + kExitPendingTitle);
    }
    Notify(Change::ExitPending);
}

void CTarvexDlg::SetStatus(COLORREF crText, const WCHAR* pszText)
{
    m_promptInfo.SetPromptInfo(crText, pszText);
    Notify(Change::Status);
}

void CTarvexDlg::SetProgress(int nPos)
{
    m_progressUpgrade.SetPos(nPos);
    Notify(Change::Progress);
}

void CTarvexDlg::SetResult(CBitmap& bmp)
{
    m_staticResult.SendMessage(STM_SETIMAGE, IMAGE_BITMAP, reinterpret_cast<LPARAM>(static_cast<HBITMAP>(bmp)));
    Notify(Change::Result);
}

void CTarvexDlg::Notify(Change change)
{
    if (m_fnObserver) m_fnObserver(change);
}

CTarvexDlg::ResultPicture CTarvexDlg::GetResultPicture() const
{
    const HBITMAP h = m_staticResult.GetBitmap();
    if (!h) return ResultPicture::None;
    if (h == static_cast<HBITMAP>(m_bmpInitial)) return ResultPicture::Initial;
    if (h == static_cast<HBITMAP>(m_bmpSuccess)) return ResultPicture::Success;
    if (h == static_cast<HBITMAP>(m_bmpFailure)) return ResultPicture::Failure;
    return ResultPicture::None;
}

// The window's face of the upgrade procedure: the status line, the progress bar, the result
// picture, and waits that keep the window's messages flowing.
class CTarvexDlg::CWindowFace : public IUpgradeFace
{
public:
    explicit CWindowFace(CTarvexDlg& dlg) : m_dlg(dlg) {}
    void ClearStatus() override { m_dlg.SetStatus(GetSysColor(COLOR_BTNFACE), u""); }
    void SetStatus(COLORREF crText, const WCHAR* pszText) override { m_dlg.SetStatus(crText, pszText); }
    void SetProgress(int nPos) override { m_dlg.SetProgress(nPos); }
    void SetResult(UpgradePicture picture) override
    {
        switch (picture) {
        case UpgradePicture::Initial: m_dlg.SetResult(m_dlg.m_bmpInitial); break;
        case UpgradePicture::Success: m_dlg.SetResult(m_dlg.m_bmpSuccess); break;
        case UpgradePicture::Failure: m_dlg.SetResult(m_dlg.m_bmpFailure); break;
        }
    }
    void Wait(UpgradeWait, DWORD ms) override { m_dlg.m_pfnWait(ms); }

private:
    CTarvexDlg& m_dlg;
};

UpgradeOutcome CTarvexDlg::DoUpgrade()
{
    CWindowFace face(*this);
    UpgradeTarget target;
    target.pConfig = &m_Config;
    target.pHeader = &m_AppHeader;
    target.pAppData = m_pAppData;
    target.bAppLoaded = m_bAppLoaded != FALSE;
    target.pAppComm = &m_AppComm;
    target.pISPComm = &m_ISPComm;
    target.pMonitor = &m_USBMonitor;

    const CString strToolDir = GetToolDir();
    CRecoveryJournal journal(strToolDir);
    CRunLog log(strToolDir, "window");
    CUpgradeProcedure procedure(face, target);
    procedure.m_pfnAlloc = m_pfnAlloc;
    procedure.m_pJournal = &journal;
    // The window keeps its own outcomes: a journal that cannot be written is logged, and the
    // run goes on.
    procedure.m_bJournalRequired = false;
    procedure.m_pLog = &log;
    return procedure.Run().outcome;
}
