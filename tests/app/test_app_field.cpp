// The window as one face of the shared procedure: its runs write the recovery journal and
// the run log in the tool directory, and a journal that cannot be written does not stop it.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "app/TarvexDlg.h"
#include "platform/Clock.h"
#include "platform/Kernel.h"
#include "platform/ui/TestHooks.h"
#include "res/Resources.h"
#include "sim/World.h"
#include "tests/support/ImageFactory.h"
#include "upgrade/RecoveryJournal.h"

namespace fs = std::filesystem;

namespace {

constexpr int kBound = 60000;

std::string Slurp(const fs::path& p)
{
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

class WindowFace : public ::testing::Test
{
protected:
    void SetUp() override
    {
        platform::ui::EnsureGui();
        tarvex::res::RegisterResources();
        platform::SetTimeScale(0.01);
        world.Reset();
        sim::World::Install();
        platform::ClearMessageQueue();
        platform::OverrideModuleFileName((dir.Path() / "tarvex").string());
        platform::ui::SetMessageBoxHook([](const platform::ui::MessageBoxCall&) { return IDOK; });
        const std::vector<BYTE> raw = testsupport::MakeRawImage(0x8000, 9);
        const ENC_FILE_HEADER header = testsupport::WriteImageFile(dir / "mouse.bimg", "mouse", raw);
        SYSTEM_CONFIG config = testsupport::MakeConfig(u"mouse.bimg", header);
        config.wProgramID = 0x5A3C;
        config.wProgramVer = 0x0200;
        config.bSaveUserData = 1;
        ASSERT_TRUE(testsupport::WriteConfigFile(dir.Path(), config));
    }
    void TearDown() override
    {
        platform::ui::SetMessageBoxHook(nullptr);
        platform::ui::SetDialogShownHook(nullptr);
        platform::OverrideModuleFileName("");
        platform::ClearMessageQueue();
        platform::SetTimeScale(1.0);
    }
    // Opens the window, plugs the mouse, clicks Upgrade once the mouse shows, and closes.
    void OneRun(const sim::Faults& faults, const std::function<void(CTarvexDlg&)>& check)
    {
        CTarvexDlg dlg;
        bool ran = false;
        platform::ui::SetDialogShownHook([&](HWND hwnd) {
            if (hwnd != dlg.m_hWnd || ran) return;
            ran = true;
            world.SetFaults(faults);
            world.PlugMouse();
            ASSERT_TRUE(platform::ui::RunUntil([&] { return dlg.m_AppComm.IsOpen(); }, kBound));
            dlg.SendMessage(WM_COMMAND, MAKEWPARAM(1006, BN_CLICKED), reinterpret_cast<LPARAM>(dlg.m_btnUpgrade.m_hWnd));
            check(dlg);
            dlg.EndDialog(IDCANCEL);
        });
        dlg.DoModal();
        platform::ui::SetDialogShownHook(nullptr);
        EXPECT_TRUE(ran);
    }

    sim::World& world = sim::World::Instance();
    testsupport::TempDir dir;
};

TEST_F(WindowFace, AFailedWriteLeavesTheJournalEntryAndTheLogTellsTheStory)
{
    sim::Faults f;
    f.failWriteChunk = 2;
    OneRun(f, [&](CTarvexDlg& dlg) {
        EXPECT_EQ(dlg.GetStatusText(), CString(u"写Flash失败！"));
        EXPECT_EQ(dlg.GetProgress(), 50);
    });
    CRecoveryJournal journal(platform::WindowsPath(dir.Path().string()) + u"\\");
    std::vector<JournalEntry> entries;
    std::string error;
    ASSERT_TRUE(journal.Load(entries, error)) << error;
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].deviceId, sim::MouseSettings().deviceId);
    ASSERT_TRUE(entries[0].bHasUserData);
    EXPECT_EQ(entries[0].userData[0], (5 * 37) & 0xFF); // block 5, byte 0 of the mouse
    const std::string log = Slurp(dir / "tarvex.log");
    EXPECT_NE(log.find(" window run started"), std::string::npos) << log;
    EXPECT_NE(log.find(" window request failed: write: "), std::string::npos) << log;
    EXPECT_NE(log.find(" window outcome write (after-switch)"), std::string::npos) << log;
}

TEST_F(WindowFace, AJournalThatCannotBeWrittenIsLoggedAndTheRunGoesOn)
{
    fs::create_directory(dir / "tarvex.journal");
    OneRun({}, [&](CTarvexDlg& dlg) {
        EXPECT_EQ(dlg.GetStatusText(), CString(u"游戏鼠标应用升级成功！"));
        EXPECT_EQ(dlg.GetProgress(), 100);
        EXPECT_EQ(dlg.GetResultPicture(), CTarvexDlg::ResultPicture::Success);
    });
    const std::string log = Slurp(dir / "tarvex.log");
    EXPECT_NE(log.find(" window journal write failed"), std::string::npos) << log;
    EXPECT_NE(log.find(" window outcome success (upgraded)"), std::string::npos) << log;
}

} // namespace
