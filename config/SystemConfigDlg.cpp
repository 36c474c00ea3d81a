#include "config/SystemConfigDlg.h"

#include <cstring>
#include <filesystem>
#include <system_error>

#include "encfile/AppImage.h"

namespace {

constexpr const WCHAR* kReservedImageName = u"cdboot.bimg";
constexpr const WCHAR* kImageFilter = u"QL40 Config File (*.bimg)|*.bimg|";

CString FieldText(const WCHAR* field)
{
    // A record read from a file need not be terminated within its field.
    return CString(field, static_cast<int>(WcsNLen(field, CONFIG_TEXT_UNITS)));
}

// Clears the whole field first, so no remnant of an earlier, longer text (an old password)
// stays behind the terminator in the saved record.
bool SetField(WCHAR* field, const CString& text)
{
    if (text.GetLength() >= static_cast<int>(CONFIG_TEXT_UNITS))
        return false;
    std::memset(field, 0, CONFIG_TEXT_UNITS * sizeof(WCHAR));
    return WcsCopyField(field, CONFIG_TEXT_UNITS, text);
}

CString AnsiName(const char (&name)[8])
{
    std::size_t n = 0;
    while (n < sizeof(name) && name[n] != 0)
        ++n;
    return CString::FromAnsi(name, n);
}

CString HexWord(DWORD value) { return CString::Formatted(u"%04X", static_cast<unsigned>(value)); }

// Names compare ignoring letter case, as on the tool's home file system. Where names do
// keep letter case, two spellings that differ only in case can be two directories; then the
// image must still be copied, or the main window would not find it.
bool IsModuleDir(const CString& dir, const CString& moduleDir)
{
    if (dir.CompareNoCase(moduleDir) != 0)
        return false;
    if (dir == moduleDir)
        return true;
    std::error_code ec;
    const bool same = std::filesystem::equivalent(platform::NativePath(dir), platform::NativePath(moduleDir), ec);
    return !ec && same;
}

} // namespace

BEGIN_MESSAGE_MAP(CSystemConfigDlg, CDialog)
    ON_BN_CLICKED(1033, &CSystemConfigDlg::OnBnClickedSelectFile)
    ON_BN_CLICKED(IDOK, &CSystemConfigDlg::OnBnClickedOk)
END_MESSAGE_MAP()

CSystemConfigDlg::CSystemConfigDlg(CWnd* pParent) : CDialog(IDD, pParent)
{
    std::memset(&m_Config, 0, sizeof(m_Config));
}

CSystemConfigDlg::~CSystemConfigDlg() = default;

void CSystemConfigDlg::DoDataExchange(CDataExchange* pDX)
{
    CDialog::DoDataExchange(pDX);
    DDX_Control(pDX, 1032, m_editAppFile);
    DDX_Control(pDX, 1034, m_staticAppName);
    DDX_Control(pDX, 1035, m_staticAppCrc);
    DDX_Control(pDX, 1005, m_editProgramID);
    DDX_Control(pDX, 1006, m_comboVerMajor);
    DDX_Control(pDX, 1008, m_comboVerMinor);
    DDX_Control(pDX, 1001, m_btnAutoUpgrade);
    DDX_Control(pDX, 1000, m_btnAutoReset);
    DDX_Control(pDX, 1009, m_btnVersionCheck);
    DDX_Control(pDX, 1015, m_btnSaveUserData);
    DDX_Control(pDX, 1014, m_editTitle);
    DDX_Control(pDX, 1036, m_editPassword);
}

BOOL CSystemConfigDlg::OnInitDialog()
{
    CDialog::OnInitDialog();

    m_editAppFile.SetWindowText(FieldText(m_Config.szAppFile));
    m_staticAppName.SetWindowText(AnsiName(m_Config.szAppName));
    m_staticAppCrc.SetWindowText(HexWord(m_Config.dwAppCrc));

    m_editProgramID.m_bUseMask = TRUE;
    m_editProgramID.m_bDateMode = FALSE;
    m_editProgramID.m_strMask = u"HHHH";
    m_editProgramID.m_strLiteral = u"____";
    m_editProgramID.m_strValue = HexWord(m_Config.wProgramID);
    m_editProgramID.m_strRestore = m_editProgramID.m_strValue;
    m_editProgramID.SetWindowText(m_editProgramID.m_strValue);

    // An entry's index is its value.
    for (int i = 0; i < 256; ++i) {
        const CString number = CString::Formatted(u"%d", i);
        m_comboVerMajor.AddString(number);
        m_comboVerMinor.AddString(number);
    }
    m_comboVerMajor.SetCurSel(HIBYTE(m_Config.wProgramVer));
    m_comboVerMinor.SetCurSel(LOBYTE(m_Config.wProgramVer));

    m_btnAutoUpgrade.SetCheck(m_Config.bAutoUpgrade ? BST_CHECKED : BST_UNCHECKED);
    m_btnAutoReset.SetCheck(m_Config.bAutoReset ? BST_CHECKED : BST_UNCHECKED);
    m_btnVersionCheck.SetCheck(m_Config.bVersionCheck ? BST_CHECKED : BST_UNCHECKED);
    m_btnSaveUserData.SetCheck(m_Config.bSaveUserData ? BST_CHECKED : BST_UNCHECKED);

    // The title is shown too, so that saving keeps a title the technician did not touch.
    m_editTitle.SetWindowText(FieldText(m_Config.szTitle));
    m_editPassword.SetWindowText(FieldText(m_Config.szPassword));
    return TRUE;
}

void CSystemConfigDlg::OnBnClickedSelectFile()
{
    CFileDialog dlg(TRUE, nullptr, nullptr, OFN_NOCHANGEDIR, kImageFilter, nullptr, 0, TRUE);
    // The images live beside the tool: the chooser starts there (then where the last was found).
    dlg.m_strInitialDir = GetModuleDir();
    if (dlg.DoModal() != IDOK)
        return;
    const CString strPath = dlg.GetPathName();

    // The container checks; the decoded bytes are not kept, only the header.
    ENC_FILE_HEADER header{};
    const AppImageCheck check = ReadAppImage(strPath, nullptr, &header, nullptr);
    if (check != AppImageCheck::Ok) {
        const WCHAR* text = PickAppImageText(check);
        MessageBoxW(text ? text : u"无效的鼠标应用文件！");
        return;
    }

    const int nSep = strPath.ReverseFind(u'\\');
    const CString strDir = strPath.Left(nSep + 1);
    const CString strName = strPath.Mid(nSep + 1);
    // The record keeps a plain name of at most 259 units; anything else could never be
    // loaded again by the main window.
    if (!IsPlainFileName(strName) || strName.GetLength() >= static_cast<int>(CONFIG_TEXT_UNITS)) {
        MessageBoxW(LoadAppImageText(AppImageCheck::BadFileName));
        return;
    }
    if (strName.CompareNoCase(kReservedImageName) == 0) {
        MessageBoxW(u"鼠标应用文件不能是cdboot.bimg！");
        return;
    }

    const CString strModuleDir = GetModuleDir();
    if (!IsModuleDir(strDir, strModuleDir)) {
        const CString strTarget = strModuleDir + strName;
        if (IsFileExist(strTarget)) {
            const int answer = MessageBoxW(u"程序目录下存在同名文件，是否覆盖该文件？\n是：覆盖文件，继续 否：取消操作",
                                           u"操作提示", MB_YESNO);
            if (answer != IDYES)
                return;
        }
        // The copy is what the main window will load: it must be the image just checked,
        // even if the source changed in between.
        ENC_FILE_HEADER copied{};
        if (!CopyFileW(strPath, strTarget, FALSE) || ReadAppImage(strTarget, nullptr, &copied, nullptr) != AppImageCheck::Ok ||
            copied.dwDataCrc != header.dwDataCrc || std::memcmp(copied.szName, header.szName, sizeof(header.szName)) != 0) {
            MessageBoxW(u"配置文件复制失败！");
            return;
        }
    }

    m_editAppFile.SetWindowText(strName);
    SetField(m_Config.szAppFile, strName);
    m_staticAppName.SetWindowText(AnsiName(header.szName));
    std::memcpy(m_Config.szAppName, header.szName, sizeof(m_Config.szAppName));
    m_staticAppCrc.SetWindowText(HexWord(header.dwDataCrc));
    m_Config.dwAppCrc = header.dwDataCrc;
}

namespace {
bool IsHexWord(const CString& s)
{
    if (s.GetLength() != 4) return false;
    for (int i = 0; i < 4; ++i) {
        const WCHAR c = s.GetAt(i);
        if (!((c >= u'0' && c <= u'9') || (c >= u'A' && c <= u'F') || (c >= u'a' && c <= u'f'))) return false;
    }
    return true;
}
} // namespace

void CSystemConfigDlg::OnBnClickedOk()
{
    // Only the edit is tested: an image chosen in an earlier session counts.
    if (m_editAppFile.GetWindowTextLength() == 0) {
        MessageBoxW(u"请选择设备配置文件！");
        return;
    }

    // What the field shows is what is saved. The mask keeps it four hexadecimal digits and
    // equal to m_strValue; should anything have got past it, nothing is saved.
    CString strProgramID;
    m_editProgramID.GetWindowText(strProgramID);
    if (!IsHexWord(strProgramID)) {
        MessageBeep(0xFFFFFFFF);
        GotoDlgCtrl(&m_editProgramID);
        return;
    }
    m_Config.wProgramID = static_cast<WORD>(WcsToULong16(strProgramID) & 0xFFFF);
    const int nMajor = m_comboVerMajor.GetCurSel();
    const int nMinor = m_comboVerMinor.GetCurSel();
    m_Config.wProgramVer = static_cast<WORD>(((nMajor < 0 ? 0 : nMajor) & 0xFF) << 8 | ((nMinor < 0 ? 0 : nMinor) & 0xFF));

    m_Config.bAutoUpgrade = m_btnAutoUpgrade.GetCheck() == BST_CHECKED ? 1 : 0;
    m_Config.bAutoReset = m_btnAutoReset.GetCheck() == BST_CHECKED ? 1 : 0;
    m_Config.bVersionCheck = m_btnVersionCheck.GetCheck() == BST_CHECKED ? 1 : 0;
    m_Config.bSaveUserData = m_btnSaveUserData.GetCheck() == BST_CHECKED ? 1 : 0;

    CString strTitle;
    m_editTitle.GetWindowText(strTitle);
    if (strTitle.GetLength() > MAX_TEXT_LENGTH) {
        MessageBoxW(u"程序标题过长，请重新设置！");
        return;
    }
    SetField(m_Config.szTitle, strTitle);

    CString strPassword;
    m_editPassword.GetWindowText(strPassword);
    if (strPassword.IsEmpty()) {
        MessageBoxW(u"请设置访问密码！");
        return;
    }
    if (strPassword.GetLength() > MAX_TEXT_LENGTH) {
        MessageBoxW(u"访问密码太长，请重新设置！");
        return;
    }
    SetField(m_Config.szPassword, strPassword);

    // Under the lock every other writer of the file takes (tarvexctl cfg set), so neither
    // save can land in the middle of the other's.
    const CString strConfigPath = GetModuleDir() + SYSTEM_CONFIG_FILE_NAME;
    HANDLE hLock = LockSystemConfig(strConfigPath);
    const BOOL bSaved = hLock != INVALID_HANDLE_VALUE && SaveSystemConfig(strConfigPath, &m_Config);
    if (hLock != INVALID_HANDLE_VALUE) CloseHandle(hLock);
    if (!bSaved) {
        MessageBoxW(u"保存配置文件失败！");
        return;
    }
    CDialog::OnOK();
}
