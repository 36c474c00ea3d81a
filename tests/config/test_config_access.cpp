// The configuration entry of the main window end to end: system menu, password, the
// configuration dialog, and the new configuration in force at once (title, image, options),
// against the simulated mouse on a fast clock.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/TarvexDlg.h"
#include "platform/Clock.h"
#include "sim/World.h"
#include "tests/config/ConfigTestUtil.h"

using namespace cfgtest;

namespace {

const auto* const kEnv = ::testing::AddGlobalTestEnvironment(new GuiEnv);

constexpr double kScale = 0.1; // a 1000-ms wait lasts 100 ms: a reply time-out holds on a loaded machine
constexpr int kBound = 60000;   // real milliseconds; generous for a loaded machine
constexpr const char* kDefaultTitle = "DUN-X4游戏鼠标ROM升级工具";

void PressOk(HWND hDlg) { Click(hDlg, IDOK); }

class AccessTest : public ToolDirTest
{
protected:
    sim::World& world = sim::World::Instance();
    int m_passwordShown = 0;
    int m_configShown = 0;

    void SetUp() override
    {
        ToolDirTest::SetUp();
        platform::SetTimeScale(kScale);
        world.Reset();
        sim::World::Install();
        platform::ClearMessageQueue();
    }
    void TearDown() override
    {
        platform::ClearMessageQueue();
        platform::SetTimeScale(1.0);
        ToolDirTest::TearDown();
    }

    // Opens the main window; inside it runs main(dlg). The password and configuration
    // dialogs, whenever they come up, run password(hDlg) and config(hDlg).
    void WithMainWindow(const std::function<void(CTarvexDlg&)>& main, const std::function<void(HWND)>& password,
                        const std::function<void(HWND)>& config)
    {
        CTarvexDlg dlg;
        RunDialogs(dlg, {
            {102, [&](HWND) { main(dlg); }},
            {130, [&](HWND h) { ++m_passwordShown; if (password) password(h); }},
            {129, [&](HWND h) { ++m_configShown; if (config) config(h); }},
        });
    }

    static CString Title(CTarvexDlg& dlg)
    {
        CString s;
        dlg.GetWindowText(s);
        return s;
    }
    static bool OpenConfig(CTarvexDlg& dlg) { return ui::ChooseSystemMenuItem(dlg.m_hWnd, IDM_SYSTEM_CONFIG); }
};

TEST_F(AccessTest, FreshInstallationIsSetUpThroughTheEntryAndTakesEffectAtOnce)
{
    const std::vector<BYTE> raw = testsupport::MakeRawImage(0x6000, 21);
    const ENC_FILE_HEADER image = testsupport::WriteImageFile(m_src / "new.bimg", "NEWFW", raw);
    m_pick = (m_src / "new.bimg").string();

    WithMainWindow(
        [&](CTarvexDlg& dlg) {
            EXPECT_EQ(Boxes(), std::vector<std::string>{"打开配置文件失败！"});
            EXPECT_FALSE(dlg.m_bAppLoaded);
            EXPECT_EQ(Utf8(Title(dlg)), kDefaultTitle);
            ui::ClearMessageBoxLog();

            const auto items = ui::SystemMenuItems(dlg.m_hWnd);
            EXPECT_TRUE(std::any_of(items.begin(), items.end(), [](const ui::MenuItemInfo& i) {
                return i.nID == IDM_SYSTEM_CONFIG && Utf8(i.strText) == "系统配置";
            }));

            ASSERT_TRUE(OpenConfig(dlg));
            ASSERT_EQ(m_configShown, 1) << "an empty password must open a fresh installation";
            EXPECT_TRUE(ui::MessageBoxLog().empty()) << Boxes()[0];
            EXPECT_EQ(Utf8(Title(dlg)), "新工具");
            EXPECT_TRUE(dlg.m_bAppLoaded);
            EXPECT_EQ(dlg.m_AppHeader.dwDataCrc, image.dwDataCrc);
            ASSERT_NE(dlg.m_pAppData, nullptr);
            EXPECT_EQ(std::memcmp(dlg.m_pAppData, raw.data(), 0x3D00), 0);
            EXPECT_EQ(dlg.m_Config.wProgramID, 0x5A3C);
            // What is in force is what was saved.
            SYSTEM_CONFIG saved{};
            ASSERT_EQ(LoadSystemConfig(testsupport::WinPath(m_tool / "Tarvex.cfg"), &saved), 1);
            EXPECT_EQ(std::memcmp(&saved, &dlg.m_Config, sizeof(SYSTEM_CONFIG)), 0);

            // The next run flashes the new image with the new options (user data kept, reset).
            world.PlugMouse();
            ASSERT_TRUE(ui::RunUntil([&] { return dlg.m_AppComm.IsOpen(); }, kBound));
            world.ClearLogs();
            dlg.SendMessage(WM_COMMAND, MAKEWPARAM(1006, BN_CLICKED), reinterpret_cast<LPARAM>(dlg.m_btnUpgrade.m_hWnd));
            EXPECT_EQ(Utf8(dlg.GetStatusText()), "游戏鼠标应用升级成功！");
            const std::vector<BYTE> flash = world.Flash();
            ASSERT_GE(flash.size(), raw.size());
            EXPECT_EQ(std::memcmp(flash.data(), raw.data(), 0x3D00), 0);
            for (int o = 0; o < 256; ++o) // block 5, the first saved user-data block
                ASSERT_EQ(flash[0x3D00 + o], static_cast<BYTE>((5 * 37 + o) & 0xFF)) << o;
            EXPECT_EQ(world.GetCounters().leaveReports, 1);
        },
        [](HWND hDlg) { PressOk(hDlg); },
        [&](HWND hDlg) {
            Click(hDlg, 1033);
            HWND id = GetDlgItem(hDlg, 1005);
            SetFocus(id);
            SendMessageW(id, EM_SETSEL, 0, 0);
            ui::TypeText(id, u"5A3C");
            Click(hDlg, 1000); // auto reset
            Click(hDlg, 1015); // keep user data
            SetWindowTextW(GetDlgItem(hDlg, 1014), u"新工具");
            SetWindowTextW(GetDlgItem(hDlg, 1036), u"Pw1");
            PressOk(hDlg);
        });
    EXPECT_EQ(testsupport::ReadBytes(m_tool / "new.bimg"), testsupport::ReadBytes(m_src / "new.bimg"));
}

class ConfiguredAccessTest : public AccessTest
{
protected:
    SYSTEM_CONFIG m_config{};
    std::vector<BYTE> m_cfgBytes;

    void SetUp() override
    {
        AccessTest::SetUp();
        const ENC_FILE_HEADER image = MakeImage(m_tool, "mouse.bimg", "MOUSE", 2);
        m_config = testsupport::MakeConfig(u"mouse.bimg", image, u"Secret");
        WcsCopyField(m_config.szTitle, CONFIG_TEXT_UNITS, CString(u"车间一号"));
        ASSERT_TRUE(testsupport::WriteConfigFile(m_tool, m_config));
        m_cfgBytes = testsupport::ReadBytes(m_tool / "Tarvex.cfg");
    }

    // Nothing of the main window's configuration or the file changed.
    void ExpectNothingChanged(CTarvexDlg& dlg)
    {
        EXPECT_EQ(std::memcmp(&dlg.m_Config, &m_config, sizeof(SYSTEM_CONFIG)), 0);
        EXPECT_EQ(Utf8(Title(dlg)), "车间一号");
        EXPECT_TRUE(dlg.m_bAppLoaded);
        EXPECT_EQ(testsupport::ReadBytes(m_tool / "Tarvex.cfg"), m_cfgBytes);
    }
};

TEST_F(ConfiguredAccessTest, WrongPasswordCancelsAndOtherIdsChangeNothing)
{
    int pass = 0;
    WithMainWindow(
        [&](CTarvexDlg& dlg) {
            ASSERT_TRUE(ui::MessageBoxLog().empty()) << Boxes()[0];
            // 1: the password in another letter case
            ASSERT_TRUE(OpenConfig(dlg));
            EXPECT_EQ(Boxes(), std::vector<std::string>{"访问权限验证失败！"});
            EXPECT_EQ(ui::MessageBoxLog()[0].nType, MB_OK);
            EXPECT_EQ(m_configShown, 0);
            ExpectNothingChanged(dlg);
            ui::ClearMessageBoxLog();
            // 2: the password dialog cancelled
            ASSERT_TRUE(OpenConfig(dlg));
            // 3: the right password, the configuration dialog cancelled after edits
            ASSERT_TRUE(OpenConfig(dlg));
            EXPECT_EQ(m_passwordShown, 3);
            EXPECT_EQ(m_configShown, 1);
            EXPECT_TRUE(ui::MessageBoxLog().empty());
            ExpectNothingChanged(dlg);
            // Only the exact ID leads in.
            dlg.SendMessage(WM_SYSCOMMAND, IDM_SYSTEM_CONFIG | 0x1, 0);
            dlg.SendMessage(WM_SYSCOMMAND, IDM_SYSTEM_CONFIG & 0xFFF0, 0);
            EXPECT_EQ(m_passwordShown, 3);
        },
        [&](HWND hDlg) {
            ++pass;
            HWND edit = GetDlgItem(hDlg, 1036);
            if (pass == 1) {
                ui::TypeText(edit, u"secret");
                PressOk(hDlg);
            } else if (pass == 2) {
                ui::TypeText(edit, u"Secret");
                Click(hDlg, IDCANCEL);
            } else {
                ui::TypeText(edit, u"Secret");
                ui::SendKey(edit, VK_RETURN);
            }
        },
        [&](HWND hDlg) {
            SetWindowTextW(GetDlgItem(hDlg, 1014), u"改了");
            Click(hDlg, 1001);
            Click(hDlg, IDCANCEL);
        });
}

TEST_F(ConfiguredAccessTest, OnlyTheWholePasswordOpensTheConfiguration)
{
    // The stored password is "Secret": nothing shorter, longer or merely alike leads in,
    // the empty field least of all.
    const std::u16string tries[] = {u"", u"S", u"Secre", u"Secret ", u"SecretX", u" Secret", u"secret"};
    std::size_t next = 0;
    WithMainWindow(
        [&](CTarvexDlg& dlg) {
            for (const auto& t : tries) {
                SCOPED_TRACE(Utf8(CString(t.c_str(), static_cast<int>(t.size()))));
                ui::ClearMessageBoxLog();
                ASSERT_TRUE(OpenConfig(dlg));
                EXPECT_EQ(Boxes(), std::vector<std::string>{"访问权限验证失败！"});
                EXPECT_EQ(m_configShown, 0);
            }
            ExpectNothingChanged(dlg);
        },
        [&](HWND hDlg) {
            const std::u16string& t = tries[next++];
            HWND edit = GetDlgItem(hDlg, 1036);
            SetWindowTextW(edit, t.c_str());
            PressOk(hDlg);
        },
        nullptr);
    EXPECT_EQ(next, std::size(tries));
}

TEST_F(ConfiguredAccessTest, EmptyTitleGivesTheDefaultTitleAtOnce)
{
    WithMainWindow(
        [&](CTarvexDlg& dlg) {
            ASSERT_TRUE(OpenConfig(dlg));
            EXPECT_EQ(m_configShown, 1);
            EXPECT_TRUE(ui::MessageBoxLog().empty());
            EXPECT_EQ(Utf8(Title(dlg)), kDefaultTitle);
            EXPECT_EQ(dlg.m_Config.szTitle[0], 0);
            EXPECT_TRUE(dlg.m_bAppLoaded);
        },
        [](HWND hDlg) {
            ui::TypeText(GetDlgItem(hDlg, 1036), u"Secret");
            PressOk(hDlg);
        },
        [](HWND hDlg) {
            SetWindowTextW(GetDlgItem(hDlg, 1014), u"");
            PressOk(hDlg);
        });
}

TEST_F(ConfiguredAccessTest, AltSpaceAndRightClickOpenTheEntry)
{
    std::vector<std::vector<UINT>> menus;
    ui::SetSystemMenuHook([&](HWND, const std::vector<ui::MenuItemInfo>& items) {
        std::vector<UINT> ids;
        for (const auto& i : items) ids.push_back(i.nID);
        menus.push_back(ids);
        return IDM_SYSTEM_CONFIG;
    });
    WithMainWindow(
        [&](CTarvexDlg& dlg) {
            // The system's menu loop may take its time to open (a fresh Wine prefix draws its
            // first menu slowly): wait for the entry, boundedly.
            ui::SendKey(dlg.m_hWnd, VK_SPACE, false, false, true);
            EXPECT_TRUE(ui::RunUntil([&] { return m_passwordShown == 1; }, 10000));
            ui::ClickMouse(dlg.m_hWnd, true);
            EXPECT_TRUE(ui::RunUntil([&] { return m_passwordShown == 2; }, 10000));
        },
        [](HWND hDlg) { Click(hDlg, IDCANCEL); }, nullptr);
    ui::SetSystemMenuHook(nullptr);
    ASSERT_EQ(menus.size(), 2u);
    for (const auto& ids : menus)
        EXPECT_NE(std::find(ids.begin(), ids.end(), IDM_SYSTEM_CONFIG), ids.end());
    EXPECT_TRUE(ui::MessageBoxLog().empty());
}

TEST_F(ConfiguredAccessTest, StandardSystemCommandsStillWork)
{
    CTarvexDlg dlg;
    bool closed = false;
    const INT_PTR result = RunDialogs(dlg, {{102, [&](HWND hDlg) {
        const auto items = ui::SystemMenuItems(hDlg);
        EXPECT_TRUE(std::any_of(items.begin(), items.end(), [](const ui::MenuItemInfo& i) { return i.nID == SC_CLOSE; }));
        ASSERT_TRUE(ui::ChooseSystemMenuItem(hDlg, SC_CLOSE));
        // The dialog manager turns Close into a posted Cancel.
        closed = ui::RunUntil([hDlg] { return !IsWindowVisible(hDlg); }, 5000);
    }}});
    EXPECT_TRUE(closed);
    EXPECT_EQ(result, IDCANCEL);
    EXPECT_EQ(m_passwordShown, 0);
}

// ---- a configuration whose image cannot be loaded ends the process ---------------------------

// In the child: the entry, the right password, and OK after the named image has gone.
void RunUntilExit(const fs::path& tool)
{
    platform::SetTimeScale(kScale);
    auto& world = sim::World::Instance();
    world.Reset();
    sim::World::Install();
    platform::OverrideModuleFileName((tool / "tarvex").string());
    ui::SetMessageBoxHook([](const ui::MessageBoxCall& call) {
        std::fprintf(stderr, "box: %s\n", call.strText.ToUtf8().c_str());
        return IDOK;
    });
    CTarvexDlg dlg;
    RunDialogs(dlg, {
        {102, [&](HWND hDlg) { ui::ChooseSystemMenuItem(hDlg, IDM_SYSTEM_CONFIG); }},
        {130, [](HWND hDlg) {
             ui::TypeText(GetDlgItem(hDlg, 1036), u"Secret");
             PressOk(hDlg);
         }},
        {129, [&](HWND hDlg) {
             SetWindowTextW(GetDlgItem(hDlg, 1014), u"不会生效");
             fs::remove(tool / "mouse.bimg");
             PressOk(hDlg);
         }},
    });
    std::fprintf(stderr, "still running\n");
}

TEST(ConfigAccessExit, MissingImageAfterOkEndsTheProcessWithExitCodeZero)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // The child runs this test again from the start: it works in the directory the parent made.
    constexpr const char* kDirVar = "TARVEX_CONFIG_EXIT_DIR";
    std::optional<testsupport::TempDir> own;
    fs::path tool;
    if (const char* inherited = std::getenv(kDirVar)) {
        tool = inherited;
    } else {
        own.emplace();
        tool = own->Path();
        const ENC_FILE_HEADER image = testsupport::WriteImageFile(tool / "mouse.bimg", "MOUSE", testsupport::MakeRawImage(0x5000, 2));
        ASSERT_TRUE(testsupport::WriteConfigFile(tool, testsupport::MakeConfig(u"mouse.bimg", image, u"Secret")));
#ifdef _WIN32
        ::_putenv_s(kDirVar, tool.string().c_str());
#else
        ::setenv(kDirVar, tool.c_str(), 1);
#endif
    }
    EXPECT_EXIT(RunUntilExit(tool), ::testing::ExitedWithCode(0),
                "box: 无法找到鼠标应用文件！\nbox: 加载配置文件错误！\n");
#ifdef _WIN32
    ::_putenv_s(kDirVar, "");
#else
    ::unsetenv(kDirVar);
#endif
    // The configuration was saved before the load failed; the next start reads it.
    SYSTEM_CONFIG saved{};
    ASSERT_EQ(LoadSystemConfig(testsupport::WinPath(tool / "Tarvex.cfg"), &saved), 1);
    EXPECT_EQ(Utf8(CString(saved.szTitle)), "不会生效");
}

} // namespace
