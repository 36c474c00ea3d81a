// The password dialog and the system configuration dialog on the offscreen platform, driven
// through clicks, keys and the file dialog as a technician would.
#include <cstring>
#ifndef _WIN32
#include <QClipboard>
#include <QGuiApplication>
#endif
#include <fstream>
#include <new>

#include "config/PasswordDlg.h"
#include "platform/Clock.h"
#include "platform/Kernel.h"
#include "config/SystemConfigDlg.h"
#include "tests/config/ConfigTestUtil.h"

using namespace cfgtest;

namespace {

const auto* const kEnv = ::testing::AddGlobalTestEnvironment(new GuiEnv);

// ---- password dialog ----------------------------------------------------------------------

TEST(PasswordDlg, TakesTheTextExactlyOnOkAndNothingOnCancel)
{
    ui::ClearMessageBoxLog();
    {
        CPasswordDlg dlg;
        CString shownAtStart = u"?";
        const INT_PTR result = RunDialogs(dlg, {{130, [&](HWND hDlg) {
            shownAtStart = Text(GetDlgItem(hDlg, 1036));
            ui::RunUntil([] { return GetFocus() != nullptr; }, 2000);
            EXPECT_EQ(GetFocus(), GetDlgItem(hDlg, 1036)); // typing goes into the password at once
            SetWindowTextW(GetDlgItem(hDlg, 1036), u" Pass 密码 ");
            ui::SendKey(GetDlgItem(hDlg, 1036), VK_RETURN); // Enter is OK
        }}});
        EXPECT_EQ(result, IDOK);
        EXPECT_TRUE(shownAtStart.IsEmpty());
        EXPECT_EQ(Utf8(dlg.m_strPassword), " Pass 密码 "); // no trimming
    }
    {
        CPasswordDlg dlg;
        const INT_PTR result = RunDialogs(dlg, {{130, [&](HWND hDlg) {
            ui::TypeText(GetDlgItem(hDlg, 1036), u"abc");
            ui::SendKey(GetDlgItem(hDlg, 1036), VK_ESCAPE);
        }}});
        EXPECT_EQ(result, IDCANCEL);
        EXPECT_TRUE(dlg.m_strPassword.IsEmpty());
    }
    {
        CPasswordDlg dlg;
        const INT_PTR result = RunDialogs(dlg, {{130, [&](HWND hDlg) {
            ui::TypeText(GetDlgItem(hDlg, 1036), u"Typed1");
            Click(hDlg, IDOK);
        }}});
        EXPECT_EQ(result, IDOK);
        EXPECT_EQ(Utf8(dlg.m_strPassword), "Typed1");
    }
    EXPECT_TRUE(ui::MessageBoxLog().empty());
}

// ---- configuration dialog ------------------------------------------------------------------

class ConfigDlgTest : public ToolDirTest
{
protected:
    ENC_FILE_HEADER m_oldImage{};
    SYSTEM_CONFIG m_start{};

    void SetUp() override
    {
        ToolDirTest::SetUp();
        m_oldImage = MakeImage(m_tool, "old.bimg", "OLDIMG", 7);
        m_start = testsupport::MakeConfig(u"old.bimg", m_oldImage, u"secret");
        m_start.wProgramID = 0x0A5C;
        m_start.wProgramVer = 0x0203;
        m_start.bAutoUpgrade = 1;
        m_start.bVersionCheck = 1;
        WcsCopyField(m_start.szTitle, CONFIG_TEXT_UNITS, CString(u"老标题"));
    }

    struct Shown {
        CString appFile, appName, appCrc;
    };
    static Shown ShownImage(HWND hDlg)
    {
        return {Text(GetDlgItem(hDlg, 1032)), Text(GetDlgItem(hDlg, 1034)), Text(GetDlgItem(hDlg, 1035))};
    }

    // Picks path with the file dialog inside an open dialog and returns what it then shows.
    Shown Pick(CSystemConfigDlg& dlg, const fs::path& path)
    {
        Shown shown;
        m_pick = path.string();
        dlg.m_Config = m_start;
        RunDialogs(dlg, {{129, [&](HWND hDlg) {
            Click(hDlg, 1033);
            shown = ShownImage(hDlg);
        }}});
        return shown;
    }

    void ExpectUnchanged(const CSystemConfigDlg& dlg, const Shown& shown)
    {
        EXPECT_EQ(std::memcmp(&dlg.m_Config, &m_start, sizeof(SYSTEM_CONFIG)), 0);
        EXPECT_EQ(Utf8(shown.appFile), "old.bimg");
        EXPECT_EQ(Utf8(shown.appName), "OLDIMG");
        EXPECT_EQ(Utf8(shown.appCrc), Utf8(CString::Formatted(u"%04X", m_oldImage.dwDataCrc)));
    }
};

TEST_F(ConfigDlgTest, OpensWithEveryFieldOfTheRecordShown)
{
    CSystemConfigDlg dlg;
    dlg.m_Config = m_start;
    dlg.m_Config.wProgramID = 0x00A0;
    RunDialogs(dlg, {{129, [&](HWND hDlg) {
        EXPECT_EQ(Utf8(Text(hDlg)), "系统配置");
        // The keyboard starts on the first tab stop, the image's name.
        ui::RunUntil([] { return GetFocus() != nullptr; }, 2000);
        EXPECT_EQ(GetFocus(), GetDlgItem(hDlg, 1032));
        EXPECT_EQ(Utf8(Text(GetDlgItem(hDlg, 1032))), "old.bimg");
        EXPECT_EQ(Utf8(Text(GetDlgItem(hDlg, 1034))), "OLDIMG");
        EXPECT_EQ(Utf8(Text(GetDlgItem(hDlg, 1035))), Utf8(CString::Formatted(u"%04X", m_oldImage.dwDataCrc)));
        EXPECT_EQ(Utf8(Text(GetDlgItem(hDlg, 1005))), "00A0");
        EXPECT_EQ(Utf8(dlg.m_editProgramID.m_strValue), "00A0");
        EXPECT_EQ(Utf8(dlg.m_editProgramID.m_strRestore), "00A0");
        EXPECT_EQ(Utf8(dlg.m_editProgramID.m_strMask), "HHHH");
        EXPECT_EQ(Utf8(dlg.m_editProgramID.m_strLiteral), "____");
        ASSERT_EQ(dlg.m_comboVerMajor.GetCount(), 256);
        ASSERT_EQ(dlg.m_comboVerMinor.GetCount(), 256);
        CString entry;
        dlg.m_comboVerMinor.GetLBText(255, entry);
        EXPECT_EQ(Utf8(entry), "255");
        EXPECT_EQ(dlg.m_comboVerMajor.GetCurSel(), 2);
        EXPECT_EQ(dlg.m_comboVerMinor.GetCurSel(), 3);
        EXPECT_EQ(dlg.m_btnAutoUpgrade.GetCheck(), static_cast<int>(BST_CHECKED));
        EXPECT_EQ(dlg.m_btnAutoReset.GetCheck(), static_cast<int>(BST_UNCHECKED));
        EXPECT_EQ(dlg.m_btnVersionCheck.GetCheck(), static_cast<int>(BST_CHECKED));
        EXPECT_EQ(dlg.m_btnSaveUserData.GetCheck(), static_cast<int>(BST_UNCHECKED));
        EXPECT_EQ(Utf8(Text(GetDlgItem(hDlg, 1014))), "老标题");
        EXPECT_EQ(Utf8(Text(GetDlgItem(hDlg, 1036))), "secret");
    }}});
}

// A dialog given no record opens on an empty one, whatever its memory held before.
TEST_F(ConfigDlgTest, OpensOnAnEmptyRecordWhenGivenNone)
{
    alignas(CSystemConfigDlg) unsigned char place[sizeof(CSystemConfigDlg)];
    std::memset(place, 0xA5, sizeof place);
    auto* dlg = new (place) CSystemConfigDlg;
    const SYSTEM_CONFIG empty{};
    EXPECT_EQ(std::memcmp(&dlg->m_Config, &empty, sizeof empty), 0);
    RunDialogs(*dlg, {{129, [&](HWND hDlg) {
        EXPECT_EQ(Utf8(Text(GetDlgItem(hDlg, 1032))), "");
        EXPECT_EQ(Utf8(Text(GetDlgItem(hDlg, 1005))), "0000");
        EXPECT_EQ(dlg->m_comboVerMajor.GetCurSel(), 0);
        EXPECT_EQ(dlg->m_btnAutoUpgrade.GetCheck(), static_cast<int>(BST_UNCHECKED));
        EXPECT_EQ(Utf8(Text(GetDlgItem(hDlg, 1036))), "");
    }}});
    dlg->~CSystemConfigDlg();
}

// Each switch of the record reaches its own box, by the box's place in the template.
TEST_F(ConfigDlgTest, EachSwitchIsShownInItsOwnBox)
{
    const int boxes[] = {1001, 1000, 1009, 1015}; // upgrade on arrival, reset, version, user data
    for (int on = 0; on < 4; ++on) {
        SCOPED_TRACE(boxes[on]);
        CSystemConfigDlg dlg;
        dlg.m_Config = m_start;
        dlg.m_Config.bAutoUpgrade = on == 0;
        dlg.m_Config.bAutoReset = on == 1;
        dlg.m_Config.bVersionCheck = on == 2;
        dlg.m_Config.bSaveUserData = on == 3;
        RunDialogs(dlg, {{129, [&](HWND hDlg) {
            for (int i = 0; i < 4; ++i)
                EXPECT_EQ(SendMessageW(GetDlgItem(hDlg, boxes[i]), BM_GETCHECK, 0, 0),
                          static_cast<LRESULT>(i == on ? BST_CHECKED : BST_UNCHECKED))
                    << boxes[i];
        }}});
    }
}

TEST_F(ConfigDlgTest, FieldsWithoutTerminatorAreShownWithinTheirBounds)
{
    // A record from a damaged file: text fields filled to the last unit, a full 8-byte name.
    CSystemConfigDlg dlg;
    for (auto& ch : m_start.szTitle) ch = u'T';
    std::memcpy(m_start.szAppName, "ABCDEFGH", 8);
    dlg.m_Config = m_start;
    RunDialogs(dlg, {{129, [&](HWND hDlg) {
        EXPECT_EQ(Text(GetDlgItem(hDlg, 1014)).GetLength(), static_cast<int>(CONFIG_TEXT_UNITS));
        EXPECT_EQ(Utf8(Text(GetDlgItem(hDlg, 1034))), "ABCDEFGH");
        // Saving then refuses the over-long title instead of storing it.
        Click(hDlg, IDOK);
    }}});
    EXPECT_EQ(Boxes(), std::vector<std::string>{"程序标题过长，请重新设置！"});
}

TEST_F(ConfigDlgTest, EveryRefusedImageKeepsTheRecordAndTheControls)
{
    const std::vector<BYTE> valid = testsupport::EncodeImage("NEWIMG", testsupport::MakeRawImage(0x5000, 3));
    std::vector<BYTE> flipped = valid;
    flipped[100] ^= 0x01;
    std::vector<BYTE> shortData(valid.begin(), valid.end() - 1);
    std::vector<BYTE> garbage(64, 0x5A);
    testsupport::WriteBytes(m_src / "short-header.bimg", std::vector<BYTE>(valid.begin(), valid.begin() + 31));
    testsupport::WriteBytes(m_src / "garbage.bimg", garbage);
    testsupport::WriteBytes(m_src / "flipped.bimg", flipped);
    testsupport::WriteBytes(m_src / "short-data.bimg", shortData);
    testsupport::WriteBytes(m_src / "CDBOOT.BIMG", valid);
#ifndef _WIN32
    testsupport::WriteBytes(m_src / "fw:1.bimg", valid); // a stream or drive mark on Windows
#endif
    testsupport::WriteBytes(m_src / "cdboot.bimg", garbage); // invalid: container text first
    testsupport::WriteBytes(m_src / "tiny.bimg", testsupport::EncodeImage("TINY", testsupport::MakeRawImage(16, 1)));
    SYSTEM_CONFIG other{};
    ASSERT_TRUE(testsupport::WriteConfigFile(m_src, other)); // a valid container of type 4

    const std::vector<std::pair<std::string, std::string>> cases = {
        {"missing.bimg", "打开鼠标文件失败！"},
        {"short-header.bimg", "读鼠标应用文件信息失败！"},
        {"garbage.bimg", "无效的鼠标应用文件！"},
        {"Tarvex.cfg", "不是DUN-X4游戏鼠标应用文件！"},
        {"short-data.bimg", "读鼠标应用文件数据失败！"},
        {"flipped.bimg", "鼠标应用文件解码验证失败！"},
        {"tiny.bimg", "鼠标应用文件的大小无效！"},
        {"cdboot.bimg", "无效的鼠标应用文件！"},
#ifndef _WIN32
        // A file of its own only where names keep their letter case.
        {"CDBOOT.BIMG", "鼠标应用文件不能是cdboot.bimg！"},
        // A sound image whose name the record could not hold as a plain name.
        {"fw:1.bimg", "鼠标应用文件名无效！"},
#endif
    };
    for (const auto& [file, text] : cases) {
        SCOPED_TRACE(file);
        ui::ClearMessageBoxLog();
        CSystemConfigDlg dlg;
        const Shown shown = Pick(dlg, m_src / file);
        EXPECT_EQ(Boxes(), std::vector<std::string>{text});
        for (const auto& call : ui::MessageBoxLog())
            EXPECT_EQ(call.nType, MB_OK);
        ExpectUnchanged(dlg, shown);
        EXPECT_FALSE(fs::exists(m_tool / file));
    }
    // A valid image named cdboot.bimg in any case is refused even in the tool's directory.
    testsupport::WriteBytes(m_tool / "CdBoot.bimg", valid);
    ui::ClearMessageBoxLog();
    CSystemConfigDlg dlg;
    ExpectUnchanged(dlg, Pick(dlg, m_tool / "CdBoot.bimg"));
    EXPECT_EQ(Boxes(), std::vector<std::string>{"鼠标应用文件不能是cdboot.bimg！"});
}

TEST_F(ConfigDlgTest, CancelledFileDialogChangesNothingAndSaysNothing)
{
    CSystemConfigDlg dlg;
    m_pick.reset();
    dlg.m_Config = m_start;
    Shown shown;
    RunDialogs(dlg, {{129, [&](HWND hDlg) {
        Click(hDlg, 1033);
        shown = ShownImage(hDlg);
    }}});
    EXPECT_EQ(m_fileDialogs, 1);
    ExpectUnchanged(dlg, shown);
    EXPECT_TRUE(ui::MessageBoxLog().empty());
}

TEST_F(ConfigDlgTest, ImageFromElsewhereIsCopiedWithoutQuestion)
{
    const ENC_FILE_HEADER image = MakeImage(m_src, "new.bimg", "NEWIMG", 3);
    CSystemConfigDlg dlg;
    const Shown shown = Pick(dlg, m_src / "new.bimg");
    EXPECT_TRUE(ui::MessageBoxLog().empty());
    EXPECT_EQ(testsupport::ReadBytes(m_tool / "new.bimg"), testsupport::ReadBytes(m_src / "new.bimg"));
    EXPECT_EQ(Utf8(shown.appFile), "new.bimg");
    EXPECT_EQ(Utf8(shown.appName), "NEWIMG");
    EXPECT_EQ(Utf8(shown.appCrc), Utf8(CString::Formatted(u"%04X", image.dwDataCrc)));
    EXPECT_EQ(Utf8(CString(dlg.m_Config.szAppFile)), "new.bimg"); // no directory
    EXPECT_EQ(std::memcmp(dlg.m_Config.szAppName, image.szName, 8), 0);
    EXPECT_EQ(dlg.m_Config.dwAppCrc, image.dwDataCrc);
    // The rest of the record is untouched until saving.
    EXPECT_EQ(dlg.m_Config.wProgramID, m_start.wProgramID);
    EXPECT_EQ(std::memcmp(dlg.m_Config.szPassword, m_start.szPassword, sizeof(m_start.szPassword)), 0);
}

TEST_F(ConfigDlgTest, ImageAlreadyInTheToolDirectoryIsNeitherAskedForNorCopied)
{
    MakeImage(m_tool, "here.bimg", "HERE", 4);
    const std::uint64_t before = Inode(m_tool / "here.bimg");
    CSystemConfigDlg dlg;
    const Shown shown = Pick(dlg, m_tool / "here.bimg");
    EXPECT_TRUE(ui::MessageBoxLog().empty());
    EXPECT_EQ(Inode(m_tool / "here.bimg"), before); // a copy would have replaced the file
    EXPECT_EQ(Utf8(shown.appFile), "here.bimg");
    EXPECT_EQ(Utf8(CString(dlg.m_Config.szAppFile)), "here.bimg");
}

TEST_F(ConfigDlgTest, DirectoriesDifferingOnlyInLetterCaseAreTwoDirectoriesHere)
{
    // On a file system that keeps letter case, ".../TOOL/" is not the tool's directory.
#ifdef _WIN32
    GTEST_SKIP() << "Windows file names ignore letter case: TOOL and tool are one directory";
#endif
    fs::create_directories(m_root / "TOOL");
    MakeImage(m_root / "TOOL", "twin.bimg", "TWIN", 5);
    CSystemConfigDlg dlg;
    Pick(dlg, m_root / "TOOL" / "twin.bimg");
    EXPECT_TRUE(ui::MessageBoxLog().empty());
    EXPECT_EQ(testsupport::ReadBytes(m_tool / "twin.bimg"), testsupport::ReadBytes(m_root / "TOOL" / "twin.bimg"));
    EXPECT_EQ(Utf8(CString(dlg.m_Config.szAppFile)), "twin.bimg");
}

TEST_F(ConfigDlgTest, OverwriteQuestionYesReplacesNoKeepsEverything)
{
    const ENC_FILE_HEADER image = MakeImage(m_src, "same.bimg", "NEWER", 8);
    MakeImage(m_tool, "same.bimg", "OLDER", 9);
    const std::vector<BYTE> oldBytes = testsupport::ReadBytes(m_tool / "same.bimg");
    const std::string question = "程序目录下存在同名文件，是否覆盖该文件？\n是：覆盖文件，继续 否：取消操作";

    m_yesNo = IDNO;
    {
        CSystemConfigDlg dlg;
        const Shown shown = Pick(dlg, m_src / "same.bimg");
        ASSERT_EQ(Boxes(), std::vector<std::string>{question});
        EXPECT_EQ(Utf8(ui::MessageBoxLog()[0].strCaption), "操作提示");
        EXPECT_EQ(ui::MessageBoxLog()[0].nType, MB_YESNO);
        ExpectUnchanged(dlg, shown);
        EXPECT_EQ(testsupport::ReadBytes(m_tool / "same.bimg"), oldBytes);
    }
    ui::ClearMessageBoxLog();
    m_yesNo = IDYES;
    {
        CSystemConfigDlg dlg;
        const Shown shown = Pick(dlg, m_src / "same.bimg");
        EXPECT_EQ(Boxes(), std::vector<std::string>{question});
        EXPECT_EQ(testsupport::ReadBytes(m_tool / "same.bimg"), testsupport::ReadBytes(m_src / "same.bimg"));
        EXPECT_EQ(Utf8(shown.appName), "NEWER");
        EXPECT_EQ(dlg.m_Config.dwAppCrc, image.dwDataCrc);
    }
}

TEST_F(ConfigDlgTest, FailedCopyKeepsThePreviousChoice)
{
    MakeImage(m_src, "held.bimg", "HELD", 10);
    MakeImage(m_tool, "held.bimg", "OLDHELD", 11);
    const std::vector<BYTE> oldBytes = testsupport::ReadBytes(m_tool / "held.bimg");
    // Another part of this process holds the target without sharing.
    HANDLE h = CreateFileW(testsupport::WinPath(m_tool / "held.bimg"), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    CSystemConfigDlg dlg;
    const Shown shown = Pick(dlg, m_src / "held.bimg");
    CloseHandle(h);
    ASSERT_FALSE(Boxes().empty());
    EXPECT_EQ(Boxes().back(), "配置文件复制失败！");
    ExpectUnchanged(dlg, shown);
    EXPECT_EQ(testsupport::ReadBytes(m_tool / "held.bimg"), oldBytes);
}

// File modes and symbolic links as POSIX has them.
#ifndef _WIN32
TEST_F(ConfigDlgTest, CopyReplacesTheTargetOfALinkAndKeepsItsMode)
{
    MakeImage(m_src, "fw.bimg", "NEWER", 12);
    MakeImage(m_root.Path(), "kept.bimg", "OLDER", 13);
    ASSERT_EQ(::chmod((m_root / "kept.bimg").c_str(), 0640), 0);
    fs::create_symlink(m_root / "kept.bimg", m_tool / "fw.bimg");
    CSystemConfigDlg dlg;
    Pick(dlg, m_src / "fw.bimg");
    EXPECT_TRUE(fs::is_symlink(m_tool / "fw.bimg"));
    EXPECT_EQ(testsupport::ReadBytes(m_root / "kept.bimg"), testsupport::ReadBytes(m_src / "fw.bimg"));
    struct stat st {};
    ASSERT_EQ(::stat((m_root / "kept.bimg").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(Utf8(CString(dlg.m_Config.szAppFile)), "fw.bimg");
}
#endif

// ---- saving ------------------------------------------------------------------------------

class ConfigSaveTest : public ConfigDlgTest
{
protected:
    fs::path Cfg() const { return m_tool / "Tarvex.cfg"; }

    // Opens the dialog on m_start, runs body, presses OK; returns DoModal's result.
    INT_PTR SaveWith(CSystemConfigDlg& dlg, const std::function<void(HWND)>& body)
    {
        dlg.m_Config = m_start;
        return RunDialogs(dlg, {{129, [&](HWND hDlg) {
            if (body)
                body(hDlg);
            Click(hDlg, IDOK);
            EXPECT_TRUE(ui::RunUntil([&] { return !IsWindowVisible(hDlg) || !ui::MessageBoxLog().empty(); }, 5000));
        }}});
    }

    static SYSTEM_CONFIG Saved(const fs::path& cfg)
    {
        SYSTEM_CONFIG c{};
        EXPECT_EQ(LoadSystemConfig(testsupport::WinPath(cfg), &c), 1);
        return c;
    }
};

// Each box, cleared alone, clears its own switch of the saved record and no other.
TEST_F(ConfigSaveTest, EachBoxClearedAloneClearsItsOwnSwitch)
{
    const int boxes[] = {1001, 1000, 1009, 1015}; // upgrade on arrival, reset, version, user data
    m_start.bAutoUpgrade = m_start.bAutoReset = m_start.bVersionCheck = m_start.bSaveUserData = 1;
    for (int off = 0; off < 4; ++off) {
        SCOPED_TRACE(boxes[off]);
        CSystemConfigDlg dlg;
        ASSERT_EQ(SaveWith(dlg, [&](HWND hDlg) { Click(hDlg, boxes[off]); }), IDOK);
        const SYSTEM_CONFIG saved = Saved(Cfg());
        EXPECT_EQ(saved.bAutoUpgrade, off == 0 ? 0 : 1);
        EXPECT_EQ(saved.bAutoReset, off == 1 ? 0 : 1);
        EXPECT_EQ(saved.bVersionCheck, off == 2 ? 0 : 1);
        EXPECT_EQ(saved.bSaveUserData, off == 3 ? 0 : 1);
    }
}

TEST_F(ConfigSaveTest, SavesWhatTheTechnicianSet)
{
    CSystemConfigDlg dlg;
    const INT_PTR result = SaveWith(dlg, [&](HWND hDlg) {
        // Real keys into the masked edit: four hexadecimal digits over "0A5C".
        HWND id = GetDlgItem(hDlg, 1005);
        SetFocus(id);
        SendMessageW(id, EM_SETSEL, 0, 0);
        ui::TypeText(id, u"00ff");
        dlg.m_comboVerMajor.SetCurSel(1);
        dlg.m_comboVerMinor.SetCurSel(20);
        Click(hDlg, 1001); // off
        Click(hDlg, 1000); // on
        Click(hDlg, 1015); // on
        SetWindowTextW(GetDlgItem(hDlg, 1014), u"新标题");
        SetWindowTextW(GetDlgItem(hDlg, 1036), u"NewPass");
    });
    ASSERT_EQ(result, IDOK) << (Boxes().empty() ? "" : Boxes()[0]);
    EXPECT_TRUE(ui::MessageBoxLog().empty());
    EXPECT_EQ(dlg.m_Config.wProgramID, 0x00FF);
    EXPECT_EQ(dlg.m_Config.wProgramVer, 0x0114);
    EXPECT_EQ(dlg.m_Config.bAutoUpgrade, 0);
    EXPECT_EQ(dlg.m_Config.bAutoReset, 1);
    EXPECT_EQ(dlg.m_Config.bVersionCheck, 1);
    EXPECT_EQ(dlg.m_Config.bSaveUserData, 1);
    EXPECT_EQ(Utf8(CString(dlg.m_Config.szTitle)), "新标题");
    EXPECT_EQ(Utf8(CString(dlg.m_Config.szPassword)), "NewPass");
    // An image chosen in an earlier session is enough; the file holds exactly the record.
    EXPECT_EQ(Utf8(CString(dlg.m_Config.szAppFile)), "old.bimg");
    const SYSTEM_CONFIG saved = Saved(Cfg());
    EXPECT_EQ(std::memcmp(&saved, &dlg.m_Config, sizeof(SYSTEM_CONFIG)), 0);
}

#ifndef _WIN32
// What the program ID field shows is what is saved: a paste past the mask's end and a cut
// change nothing, a paste from the start overwrites; and a field that shows anything but
// four hexadecimal digits is not saved at all.
TEST_F(ConfigSaveTest, SavesTheProgramIdTheFieldShows)
{
    CSystemConfigDlg dlg;
    CString shown;
    const INT_PTR result = SaveWith(dlg, [&](HWND hDlg) {
        HWND id = GetDlgItem(hDlg, 1005);
        SetFocus(id);
        SendMessageW(id, EM_SETSEL, 0, 0);
        ui::TypeText(id, u"abcd");
        QGuiApplication::clipboard()->setText(QStringLiteral("FFFF"));
        ui::SendKey(id, 'V', false, true); // at the end: refused
        SendMessageW(id, EM_SETSEL, 0, 4);
        ui::SendKey(id, 'X', false, true); // copies, deletes nothing
        SendMessageW(id, EM_SETSEL, 2, 2);
        QGuiApplication::clipboard()->setText(QStringLiteral("12"));
        ui::SendKey(id, VK_INSERT, true);
        shown = Text(id);
    });
    QGuiApplication::clipboard()->clear();
    ASSERT_EQ(result, IDOK);
    EXPECT_EQ(Utf8(shown), "ab12");
    EXPECT_EQ(dlg.m_Config.wProgramID, 0xAB12);
    EXPECT_EQ(Saved(Cfg()).wProgramID, 0xAB12);

    // Texts put past the mask, as no key can: too long, too short, not hexadecimal.
    for (const WCHAR* text : {u"12345", u"123", u"12G4", u"g123", u"12 4", u"@1AF", u"`1af", u"1:2/", u"123G"}) {
        CSystemConfigDlg odd;
        odd.m_Config = Saved(Cfg());
        bool stayed = false, onTheField = false;
        const INT_PTR refused = RunDialogs(odd, {{129, [&](HWND hDlg) {
            ui::ResetBeepCount();
            SetWindowTextW(GetDlgItem(hDlg, 1005), text);
            Click(hDlg, IDOK);
            stayed = IsWindowVisible(hDlg) && ui::BeepCount() == 1 && ui::LastBeepType() == 0xFFFFFFFF; // the simple beep
            // The keyboard is taken back to the field to mend.
            onTheField = ui::RunUntil([hDlg] { return GetFocus() == GetDlgItem(hDlg, 1005); }, 2000);
        }}});
        EXPECT_EQ(refused, IDCANCEL) << Utf8(CString(text));
        EXPECT_TRUE(stayed) << Utf8(CString(text));
        EXPECT_TRUE(onTheField) << Utf8(CString(text));
        EXPECT_EQ(Saved(Cfg()).wProgramID, 0xAB12) << Utf8(CString(text));
    }
    // The digits at the ends of each range are taken, in either case.
    for (const auto& [text, id] : {std::pair{u"09AF", 0x09AF}, std::pair{u"a0f9", 0xA0F9}}) {
        CSystemConfigDlg taken;
        taken.m_Config = Saved(Cfg());
        const INT_PTR saved = RunDialogs(taken, {{129, [&, text = text](HWND hDlg) {
            SetWindowTextW(GetDlgItem(hDlg, 1005), text);
            Click(hDlg, IDOK);
        }}});
        EXPECT_EQ(saved, IDOK) << Utf8(CString(text));
        EXPECT_EQ(Saved(Cfg()).wProgramID, id) << Utf8(CString(text));
    }
}
#endif

TEST_F(ConfigSaveTest, UntouchedTitleIsKeptAndNoOldPasswordRemainsInTheRecord)
{
    WcsCopyField(m_start.szPassword, CONFIG_TEXT_UNITS, CString(u"a-long-old-password"));
    CSystemConfigDlg dlg;
    ASSERT_EQ(SaveWith(dlg, [&](HWND hDlg) { SetWindowTextW(GetDlgItem(hDlg, 1036), u"pw"); }), IDOK);
    const SYSTEM_CONFIG saved = Saved(Cfg());
    EXPECT_EQ(Utf8(CString(saved.szTitle)), "老标题");
    EXPECT_EQ(Utf8(CString(saved.szPassword)), "pw");
    for (std::size_t i = 2; i < CONFIG_TEXT_UNITS; ++i)
        ASSERT_EQ(saved.szPassword[i], 0) << "unit " << i;
}

TEST_F(ConfigSaveTest, LimitsOfTitleAndPassword)
{
    const CString s100(u'题', 100), s101(u'题', 101), p100(u'p', 100), p101(u'p', 101);
    struct Case {
        CString title, password;
        const char* refusal; // null: saved
    };
    const Case cases[] = {
        {s100, p100, nullptr},
        {u"", u"x", nullptr}, // an empty title is allowed
        {s101, u"x", "程序标题过长，请重新设置！"},
        {u"t", u"", "请设置访问密码！"},
        {u"t", p101, "访问密码太长，请重新设置！"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.title.GetLength()) + "/" + std::to_string(c.password.GetLength()));
        ui::ClearMessageBoxLog();
        fs::remove(Cfg());
        CSystemConfigDlg dlg;
        bool openAfterRefusal = false;
        const INT_PTR result = SaveWith(dlg, [&](HWND hDlg) {
            SetWindowTextW(GetDlgItem(hDlg, 1014), c.title);
            SetWindowTextW(GetDlgItem(hDlg, 1036), c.password);
            if (c.refusal) {
                Click(hDlg, IDOK);
                openAfterRefusal = IsWindowVisible(hDlg) != FALSE;
                ui::ClearMessageBoxLog();
            }
        });
        if (!c.refusal) {
            EXPECT_EQ(result, IDOK);
            EXPECT_TRUE(ui::MessageBoxLog().empty());
            const SYSTEM_CONFIG saved = Saved(Cfg());
            EXPECT_EQ(CString(saved.szTitle), c.title);
            EXPECT_EQ(CString(saved.szPassword), c.password);
        } else {
            EXPECT_TRUE(openAfterRefusal);
            EXPECT_EQ(result, IDCANCEL);
            EXPECT_EQ(Boxes(), std::vector<std::string>{c.refusal});
            EXPECT_FALSE(fs::exists(Cfg()));
        }
    }
}

TEST_F(ConfigSaveTest, NoImageChosenIsRefused)
{
    m_start.szAppFile[0] = 0;
    CSystemConfigDlg dlg;
    bool open = false;
    SaveWith(dlg, [&](HWND hDlg) {
        Click(hDlg, IDOK);
        open = IsWindowVisible(hDlg) != FALSE;
    });
    EXPECT_TRUE(open);
    ASSERT_FALSE(Boxes().empty());
    EXPECT_EQ(Boxes()[0], "请选择设备配置文件！");
    EXPECT_FALSE(fs::exists(Cfg()));
}

TEST_F(ConfigSaveTest, FailedSaveKeepsTheDialogOpenAndTheOldFile)
{
    SYSTEM_CONFIG old = m_start;
    ASSERT_TRUE(testsupport::WriteConfigFile(m_tool, old));
    const std::vector<BYTE> oldBytes = testsupport::ReadBytes(Cfg());
    HANDLE h = CreateFileW(testsupport::WinPath(Cfg()), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    CSystemConfigDlg dlg;
    bool open = false;
    const INT_PTR result = SaveWith(dlg, [&](HWND hDlg) {
        SetWindowTextW(GetDlgItem(hDlg, 1036), u"another");
        Click(hDlg, IDOK);
        open = IsWindowVisible(hDlg) != FALSE;
        EXPECT_EQ(Boxes(), std::vector<std::string>{"保存配置文件失败！"});
        // Read once the handle that refuses sharing is closed (on Windows it refuses readers too).
        CloseHandle(h);
        EXPECT_EQ(testsupport::ReadBytes(Cfg()), oldBytes);
        ui::ClearMessageBoxLog();
        // Once the file is free again the same dialog saves.
    });
    EXPECT_TRUE(open);
    EXPECT_EQ(result, IDOK);
    EXPECT_EQ(Utf8(CString(Saved(Cfg()).szPassword)), "another");
    EXPECT_NE(testsupport::ReadBytes(Cfg()), oldBytes);
}

// File modes and symbolic links as POSIX has them.
#ifndef _WIN32
TEST_F(ConfigSaveTest, SaveWaitsForOtherWritersAndKeepsModeAndLink)
{
    ASSERT_TRUE(testsupport::WriteConfigFile(m_root.Path(), m_start));
    ASSERT_EQ(::chmod((m_root / "Tarvex.cfg").c_str(), 0600), 0);
    fs::create_symlink(m_root / "Tarvex.cfg", Cfg());
    const std::vector<BYTE> oldBytes = testsupport::ReadBytes(m_root / "Tarvex.cfg");
    // Another writer (tarvexctl cfg set) is in the middle of its read-change-write and
    // keeps it: the dialog's save waits its bounded time, then says it failed.
    HANDLE hLock = LockSystemConfig(testsupport::WinPath(Cfg()));
    ASSERT_NE(hLock, INVALID_HANDLE_VALUE);
    const double scale = platform::GetTimeScale();
    CSystemConfigDlg dlg;
    bool refused = false;
    const INT_PTR result = SaveWith(dlg, [&](HWND hDlg) {
        SetWindowTextW(GetDlgItem(hDlg, 1036), u"newpass");
        platform::SetTimeScale(0.001);
        Click(hDlg, IDOK);
        platform::SetTimeScale(scale);
        refused = IsWindowVisible(hDlg) && Boxes() == std::vector<std::string>{"保存配置文件失败！"};
        EXPECT_EQ(testsupport::ReadBytes(m_root / "Tarvex.cfg"), oldBytes);
        CloseHandle(hLock);
        ui::ClearMessageBoxLog();
    });
    EXPECT_TRUE(refused);
    EXPECT_EQ(result, IDOK);
    EXPECT_TRUE(fs::is_symlink(Cfg()));
    struct stat st {};
    ASSERT_EQ(::stat((m_root / "Tarvex.cfg").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(Utf8(CString(Saved(m_root / "Tarvex.cfg").szPassword)), "newpass");
}
#endif

TEST_F(ConfigSaveTest, CancelSavesNothing)
{
    CSystemConfigDlg dlg;
    dlg.m_Config = m_start;
    const INT_PTR result = RunDialogs(dlg, {{129, [&](HWND hDlg) {
        SetWindowTextW(GetDlgItem(hDlg, 1036), u"changed");
        ui::SendKey(GetDlgItem(hDlg, 1036), VK_ESCAPE);
    }}});
    EXPECT_EQ(result, IDCANCEL);
    EXPECT_FALSE(fs::exists(Cfg()));
    EXPECT_TRUE(ui::MessageBoxLog().empty());
}

} // namespace
