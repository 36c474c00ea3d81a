// The JSON lines the product prints with TARVEX_EVENTS: what scripts read a run's outcome from.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "app/EventLines.h"
#include "app/TarvexDlg.h"
#include "platform/Clock.h"
#include "platform/Kernel.h"
#include "platform/ui/TestHooks.h"
#include "res/Resources.h"
#include "sim/World.h"
#include "tests/support/ImageFactory.h"

namespace {

std::size_t Count(const std::string& s, const std::string& what)
{
    std::size_t n = 0;
    for (auto p = s.find(what); p != std::string::npos; p = s.find(what, p + 1)) ++n;
    return n;
}

void SetEnv(const char* name, const char* value)
{
#ifdef _WIN32
    _putenv_s(name, value ? value : ""); // an empty value removes it there
#else
    if (value)
        ::setenv(name, value, 1);
    else
        ::unsetenv(name);
#endif
}

} // namespace

TEST(EventLines, WantedOnlyWithAValueOtherThanZero)
{
    SetEnv("TARVEX_EVENTS", nullptr);
    EXPECT_FALSE(EventLinesWanted());
    SetEnv("TARVEX_EVENTS", "");
    EXPECT_FALSE(EventLinesWanted());
    SetEnv("TARVEX_EVENTS", "0");
    EXPECT_FALSE(EventLinesWanted());
    SetEnv("TARVEX_EVENTS", "1");
    EXPECT_TRUE(EventLinesWanted());
    SetEnv("TARVEX_EVENTS", nullptr);
}

TEST(EventLines, ARunAndTheDeviceStateAsLines)
{
    platform::ui::EnsureGui();
    tarvex::res::RegisterResources();
    platform::SetTimeScale(0.01);
    auto& world = sim::World::Instance();
    world.Reset();
    sim::World::Install();
    platform::ClearMessageQueue();
    testsupport::TempDir dir;
    platform::OverrideModuleFileName((dir.Path() / "tarvex").string());
    const auto raw = testsupport::MakeRawImage(0x8000, 7);
    const auto header = testsupport::WriteImageFile(dir / "mouse.bimg", "mouse", raw);
    SYSTEM_CONFIG config = testsupport::MakeConfig(u"mouse.bimg", header);
    config.wProgramID = 0x5A3C;
    ASSERT_TRUE(testsupport::WriteConfigFile(dir.Path(), config));

    std::string out;
    {
        CTarvexDlg dlg;
        AttachEventLines(dlg);
        // Each wait below ends when the window has taken the change (and printed its line),
        // not when the device object alone has seen it.
        int appChanges = 0, ispChanges = 0;
        dlg.m_fnObserver = [&, print = dlg.m_fnObserver](CTarvexDlg::Change c) {
            print(c);
            appChanges += c == CTarvexDlg::Change::AppDevice;
            ispChanges += c == CTarvexDlg::Change::IspDevice;
        };
        bool ran = false;
        platform::ui::SetDialogShownHook([&](HWND hwnd) {
            if (hwnd != dlg.m_hWnd || ran) return;
            ran = true;
            testing::internal::CaptureStdout();
            world.PlugMouse();
            EXPECT_TRUE(platform::ui::RunUntil([&] { return dlg.m_AppComm.IsOpen() && appChanges == 1; }, 60000));
#ifndef _WIN32
            // A script follows the stream while the program runs: each line is out when it
            // happens, not when the buffer fills or the program ends.
            EXPECT_TRUE(platform::ui::RunUntil([&] {
                std::ifstream now("/proc/self/fd/1");
                const std::string sofar((std::istreambuf_iterator<char>(now)), std::istreambuf_iterator<char>());
                return Count(sofar, "\"notify\":\"app\",\"present\":true}") == 1;
            }, 60000));
#endif
            // A run that stops at once: the image is taken away first.
            dlg.m_bAppLoaded = FALSE;
            dlg.SendMessage(WM_COMMAND, MAKEWPARAM(1006, BN_CLICKED), reinterpret_cast<LPARAM>(dlg.m_btnUpgrade.m_hWnd));
            world.UnplugMouse();
            EXPECT_TRUE(platform::ui::RunUntil([&] { return !dlg.m_AppComm.IsOpen() && appChanges == 2; }, 60000));
            // A bootloader coming and going: the scripts that wait for it read these lines.
            const int isp = world.AddHidInterface(0x040B, 0x6876, 0xFF00, 65);
            EXPECT_TRUE(platform::ui::RunUntil([&] { return dlg.m_ISPComm.IsOpen() && ispChanges == 1; }, 60000));
            world.RemoveHidInterface(isp);
            EXPECT_TRUE(platform::ui::RunUntil([&] { return !dlg.m_ISPComm.IsOpen() && ispChanges == 2; }, 60000));
            out = testing::internal::GetCapturedStdout();
            dlg.EndDialog(IDCANCEL);
        });
        dlg.DoModal();
        platform::ui::SetDialogShownHook(nullptr);
        EXPECT_TRUE(ran);
    }
    platform::OverrideModuleFileName("");
    platform::SetTimeScale(1.0);

    EXPECT_EQ(Count(out, "\"notify\":\"app\",\"present\":true}"), 1u) << out;
    EXPECT_EQ(Count(out, "\"notify\":\"app\",\"present\":false}"), 1u) << out;
    EXPECT_EQ(Count(out, "\"notify\":\"isp\",\"present\":true}"), 1u) << out;
    EXPECT_EQ(Count(out, "\"notify\":\"isp\",\"present\":false}"), 1u) << out;
    EXPECT_EQ(Count(out, "\"run\":\"started\"}"), 1u) << out;
    EXPECT_EQ(Count(out, "\"run\":\"ended\"}"), 1u) << out;
    // The outcome with its colour, progress and picture, in the line the run ends on.
    const std::string last = "{\"text\":\"烧录数据错误！\",\"colour\":\"blue\",\"progress\":0,\"result\":\"failure\"}";
    const auto end = out.find("\"run\":\"ended\"");
    ASSERT_NE(end, std::string::npos);
    const auto line = out.rfind("\"text\"", end);
    ASSERT_NE(line, std::string::npos);
    EXPECT_EQ(out.substr(line, out.find('\n', line) - line), last.substr(1)) << out;
    // One line per change: the same state is not printed twice in a row.
    std::string prev;
    for (std::size_t p = 0, q; (q = out.find('\n', p)) != std::string::npos; p = q + 1) {
        std::string l = out.substr(p, q - p);
        auto body = l.find(",\"");
        std::string rest = body == std::string::npos ? l : l.substr(body);
        EXPECT_NE(rest, prev) << out;
        prev = rest;
    }
}
