// The main window end to end: real widgets on the offscreen platform, the simulated mouse
// on a fast clock, the configuration and image in a scratch directory.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <QImage>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/TarvexApp.h"
#include "app/TarvexDlg.h"
#include "device/PumpWait.h"
#include "platform/Clock.h"
#include "platform/Kernel.h"
#include "platform/ui/TestHooks.h"
#include "res/Resources.h"
#include "sim/World.h"
#include "tests/support/ImageFactory.h"

using platform::ui::MessageBoxCall;
using Picture = CTarvexDlg::ResultPicture;

namespace {

constexpr COLORREF kBlue = 0x00FF0000;
constexpr COLORREF kRed = 0x000000FF;
constexpr COLORREF kGreen = 0x0000FF00;
constexpr WORD kProgramID = 0x5A3C; // low 16 bits of the simulated mouse's program ID
constexpr int kBound = 60000;       // real milliseconds; generous for a loaded machine

// The clock runs at a tenth of real time, so a request's 1000-ms reply time-out lasts 100 ms:
// enough for the reader thread on a loaded machine. The run's long waits (up to 600 x 100 ms
// and 30 s) are cut to a tenth once more by the window's wait function.
void ShortPumpWait(DWORD ms) { PumpWait(std::max<DWORD>(1, ms / 10)); }

std::vector<DWORD> g_waits;
void RecordingWait(DWORD ms)
{
    g_waits.push_back(ms);
    Sleep(std::max<DWORD>(1, ms / 10)); // on the scaled clock; the run needs no messages from these waits
}
void* FailingAlloc(std::size_t) { return nullptr; }

class AppTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        platform::ui::EnsureGui();
        tarvex::res::RegisterResources();
        platform::SetTimeScale(kScale);
        world.Reset();
        sim::World::Install();
        platform::ClearMessageQueue();
        platform::OverrideModuleFileName((dir.Path() / "tarvex").string());
        platform::ui::ClearMessageBoxLog();
        platform::ui::SetMessageBoxHook([this](const MessageBoxCall& call) {
            if (onMessageBox) onMessageBox(call);
            return IDOK;
        });
        raw = testsupport::MakeRawImage(0x8000, 7);
        header = testsupport::WriteImageFile(dir / "mouse.bimg", "mouse", raw);
        config = testsupport::MakeConfig(u"mouse.bimg", header);
        config.wProgramID = kProgramID;
        config.wProgramVer = 0x0200;
        g_waits.clear();
    }
    void TearDown() override
    {
        platform::ui::SetMessageBoxHook(nullptr);
        platform::ui::SetDialogShownHook(nullptr);
        platform::OverrideModuleFileName("");
        platform::ClearMessageQueue();
        platform::SetTimeScale(1.0);
    }

    void SaveConfig() { ASSERT_TRUE(testsupport::WriteConfigFile(dir.Path(), config)); }

    // Opens the main dialog and runs body inside its modal loop, then closes it.
    void WithDialog(const std::function<void(CTarvexDlg&)>& body)
    {
        CTarvexDlg dlg;
        dlg.m_pfnWait = &ShortPumpWait;
        dlg.m_fnObserver = [&](CTarvexDlg::Change c) { OnChange(dlg, c); };
        bool ran = false;
        platform::ui::SetDialogShownHook([&](HWND hwnd) {
            if (hwnd != dlg.m_hWnd || ran) return;
            ran = true;
            body(dlg);
            dlg.EndDialog(IDCANCEL);
        });
        EXPECT_EQ(dlg.DoModal(), IDCANCEL);
        platform::ui::SetDialogShownHook(nullptr);
        EXPECT_TRUE(ran);
    }

    void OnChange(CTarvexDlg& dlg, CTarvexDlg::Change c)
    {
        if (c == CTarvexDlg::Change::RunStarted) ++runsStarted;
        if (c == CTarvexDlg::Change::RunEnded) ++runsEnded;
        if (c == CTarvexDlg::Change::Progress) progress.push_back(dlg.GetProgress());
        if (c == CTarvexDlg::Change::Status && dlg.IsUpgrading()) buttonEnabledInRun.push_back(dlg.m_btnUpgrade.IsWindowEnabled());
        if (onChange) onChange(dlg, c);
    }

    static HBITMAP Pic(const CBitmap& bmp) { return static_cast<HBITMAP>(bmp); }

    bool WaitConnected(CTarvexDlg& dlg)
    {
        return platform::ui::RunUntil(
            [&] {
                return dlg.m_AppComm.IsOpen() && !dlg.m_ISPComm.IsOpen() &&
                       dlg.m_staticConnect.GetBitmap() == Pic(dlg.m_bmpConnected) &&
                       dlg.GetIcon(TRUE) == dlg.m_hIconConnected;
            },
            kBound);
    }
    bool WaitDisconnected(CTarvexDlg& dlg)
    {
        return platform::ui::RunUntil(
            [&] {
                return !dlg.m_AppComm.IsOpen() && !dlg.m_ISPComm.IsOpen() &&
                       dlg.m_staticConnect.GetBitmap() == Pic(dlg.m_bmpDisconnected) &&
                       dlg.GetIcon(TRUE) == dlg.m_hIconDisconnected;
            },
            kBound);
    }
    // Back to a mouse in application mode, whatever mode the last run left it in.
    void Replug(CTarvexDlg& dlg, const sim::Faults& faults = {})
    {
        if (world.GetMouseMode() != sim::MouseMode::Absent) {
            world.UnplugMouse();
            ASSERT_TRUE(WaitDisconnected(dlg));
        } else {
            // A mouse that left in bootloader mode may not be noticed yet: its notification
            // must be handled before the new arrival, or it would set the icon after it.
            ASSERT_TRUE(platform::ui::RunUntil(
                [&] {
                    return !dlg.m_AppComm.IsOpen() && !dlg.m_ISPComm.IsOpen() && platform::PendingMessageCount() == 0;
                },
                kBound));
        }
        world.SetFaults(faults);
        world.PlugMouse();
        ASSERT_TRUE(WaitConnected(dlg));
    }
    void ClickUpgrade(CTarvexDlg& dlg)
    {
        progress.clear();
        dlg.SendMessage(WM_COMMAND, MAKEWPARAM(1006, BN_CLICKED), reinterpret_cast<LPARAM>(dlg.m_btnUpgrade.m_hWnd));
    }
    std::vector<CString> BoxTexts() const
    {
        std::vector<CString> r;
        for (auto& b : platform::ui::MessageBoxLog()) r.push_back(b.strText);
        return r;
    }
    // The image the flash must hold after a run: the raw image with the device's identity.
    std::vector<BYTE> Patched(bool withUserData) const
    {
        std::vector<BYTE> img = raw;
        const sim::MouseSettings s = sim::MouseSettings();
        for (int i = 0; i < 6; ++i) img[0x4100 + i] = static_cast<BYTE>(s.deviceId >> (8 * i));
        if (withUserData)
            for (int b = 5; b <= 8; ++b)
                for (int o = 0; o < 256; ++o) img[0x3D00 + (b - 5) * 256 + o] = static_cast<BYTE>((b * 37 + o) & 0xFF);
        return img;
    }

    // A 1000-ms wait lasts 100 ms; with ShortPumpWait the 90 s of a run without bootloader
    // take under a second.
    static constexpr double kScale = 0.1;
    sim::World& world = sim::World::Instance();
    testsupport::TempDir dir;
    std::vector<BYTE> raw;
    ENC_FILE_HEADER header{};
    SYSTEM_CONFIG config{};
    int runsStarted = 0;
    int runsEnded = 0;
    std::vector<int> progress;
    std::vector<BOOL> buttonEnabledInRun;
    std::function<void(CTarvexDlg&, CTarvexDlg::Change)> onChange;
    std::function<void(const MessageBoxCall&)> onMessageBox;
};

struct Outcome {
    const char* name;
    sim::Faults faults;
    const WCHAR* text;
    COLORREF colour;
    int progress;
    Picture picture;
    bool autoReset = true;
    bool failAlloc = false;
};

sim::Faults F(void (*set)(sim::Faults&))
{
    sim::Faults f;
    set(f);
    return f;
}

} // namespace

// ---- start-up, title, menu -------------------------------------------------------------------

TEST_F(AppTest, StartWithoutConfigShowsOneMessageAndDefaultTitle)
{
    WithDialog([&](CTarvexDlg& dlg) {
        EXPECT_EQ(BoxTexts(), std::vector<CString>{CString(u"打开配置文件失败！")});
        EXPECT_EQ(platform::ui::MessageBoxLog()[0].nType, MB_OK);
        CString title;
        dlg.GetWindowText(title);
        EXPECT_EQ(title, CString(u"DUN-X4游戏鼠标ROM升级工具"));
        EXPECT_FALSE(dlg.m_bAppLoaded);
        // Before any notification: application icon, empty pictures and texts, blank line.
        EXPECT_NE(dlg.m_hIcon, nullptr); // the application's own icon resource
        EXPECT_EQ(dlg.GetIcon(TRUE), dlg.m_hIcon);
        EXPECT_EQ(dlg.GetIcon(FALSE), dlg.m_hIcon);
        EXPECT_EQ(dlg.m_staticConnect.GetBitmap(), nullptr);
        EXPECT_EQ(dlg.m_staticResult.GetBitmap(), nullptr);
        EXPECT_EQ(dlg.m_staticProgramID.GetWindowTextLength(), 0);
        EXPECT_EQ(dlg.GetStatusText(), CString(u""));
        EXPECT_EQ(dlg.GetStatusColor(), GetSysColor(COLOR_BTNFACE));
        EXPECT_TRUE(dlg.m_btnUpgrade.IsWindowEnabled());

        // The menu ends with a separator and the configuration item.
        auto items = platform::ui::SystemMenuItems(dlg.m_hWnd);
        ASSERT_GE(items.size(), 2u);
        EXPECT_TRUE(items[items.size() - 2].bSeparator);
        EXPECT_EQ(items.back().nID, IDM_SYSTEM_CONFIG);
        EXPECT_EQ(items.back().strText, CString(u"系统配置"));

        ClickUpgrade(dlg);
        EXPECT_EQ(dlg.GetStatusText(), CString(u"烧录数据错误！"));
        EXPECT_EQ(dlg.GetStatusColor(), kBlue);
        EXPECT_EQ(dlg.GetProgress(), 0);
        EXPECT_EQ(dlg.GetResultPicture(), Picture::Failure);
    });
    EXPECT_EQ(platform::ui::MessageBoxLog().size(), 1u);
}

// The application object hands its dialog to its hook before showing it (the demo wires
// itself up there), and returns once the dialog has closed.
TEST_F(AppTest, TheApplicationHandsItsDialogToItsHookBeforeShowingIt)
{
    struct App : CTarvexApp {
        CTarvexDlg* seen = nullptr;
        bool visibleThen = false;
        void OnDialogCreated(CTarvexDlg& d) override
        {
            seen = &d;
            visibleThen = d.m_hWnd != nullptr;
        }
    } app;
    HWND shown = nullptr;
    platform::ui::SetDialogShownHook([&](HWND h) {
        auto* main = static_cast<CTarvexDlg*>(AfxGetMainWnd());
        if (shown || !main || h != main->m_hWnd) return;
        shown = h;
        main->EndDialog(IDCANCEL);
    });
    EXPECT_FALSE(app.InitInstance());
    platform::ui::SetDialogShownHook(nullptr);
    ASSERT_NE(shown, nullptr);
    ASSERT_NE(app.seen, nullptr);
    EXPECT_FALSE(app.visibleThen);
    EXPECT_EQ(AfxGetMainWnd(), nullptr);
}

#ifndef _WIN32
// Every picture and icon of the window is its own resource: none missing, no two alike.
TEST_F(AppTest, EveryPictureAndIconIsLoadedAndDistinct)
{
    WithDialog([&](CTarvexDlg& dlg) {
        const std::vector<QImage> pictures = {
            platform::ui::ImageOfBitmap(dlg.m_bmpConnected), platform::ui::ImageOfBitmap(dlg.m_bmpDisconnected),
            platform::ui::ImageOfBitmap(dlg.m_bmpInitial),   platform::ui::ImageOfBitmap(dlg.m_bmpSuccess),
            platform::ui::ImageOfBitmap(dlg.m_bmpFailure),   platform::ui::ImageOfIcon(dlg.m_hIcon),
            platform::ui::ImageOfIcon(dlg.m_hIconConnected), platform::ui::ImageOfIcon(dlg.m_hIconDisconnected),
        };
        for (std::size_t i = 0; i < pictures.size(); ++i) {
            EXPECT_FALSE(pictures[i].isNull()) << i;
            for (std::size_t j = i + 1; j < pictures.size(); ++j) EXPECT_NE(pictures[i], pictures[j]) << i << " " << j;
        }
    });
}
#endif

// FIFOs are POSIX; Windows refuses device names in their place (platform suites).
#ifndef _WIN32
TEST_F(AppTest, StartWithFifosInPlaceOfItsFilesDoesNotWait)
{
    // The dialog runs on this (the GUI) thread; a partner thread plays the FIFO's other end
    // if the start-up has not gone on after the bound, so a wait fails the test, not hangs it.
    auto startWith = [&](const std::filesystem::path& fifo, const char16_t* message) {
        ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
        std::mutex mu;
        std::condition_variable cv;
        bool done = false;
        std::atomic<bool> waited{false};
        std::thread partner([&] {
            std::unique_lock<std::mutex> lk(mu);
            while (!cv.wait_for(lk, waited ? std::chrono::milliseconds(10)
                                           : std::chrono::milliseconds(20000),
                                [&] { return done; })) {
                waited = true;
                int r = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
                int w = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
                if (w >= 0) ::close(w);
                if (r >= 0) ::close(r);
            }
        });
        WithDialog([&](CTarvexDlg& dlg) { EXPECT_FALSE(dlg.m_bAppLoaded); });
        {
            std::lock_guard<std::mutex> lk(mu);
            done = true;
        }
        cv.notify_all();
        partner.join();
        EXPECT_FALSE(waited) << fifo << " was waited on";
        EXPECT_EQ(BoxTexts(), std::vector<CString>{CString(message)});
        std::filesystem::remove(fifo);
    };
    startWith(dir / "Tarvex.cfg", u"打开配置文件失败！");
    platform::ui::ClearMessageBoxLog();
    SaveConfig();
    std::filesystem::remove(dir / "mouse.bimg");
    startWith(dir / "mouse.bimg", u"无法找到鼠标应用文件！");
}
#endif

TEST_F(AppTest, TitleFromConfigurationExactlyAsStored)
{
    const std::u16string title = u"产线 A  (no suffix)";
    std::memcpy(config.szTitle, title.c_str(), (title.size() + 1) * sizeof(WCHAR));
    SaveConfig();
    WithDialog([&](CTarvexDlg& dlg) {
        CString shown;
        dlg.GetWindowText(shown);
        EXPECT_EQ(shown, CString(title.c_str()));
        EXPECT_TRUE(dlg.m_bAppLoaded);
        EXPECT_TRUE(BoxTexts().empty());
        EXPECT_EQ(std::vector<BYTE>(dlg.m_pAppData, dlg.m_pAppData + dlg.m_AppHeader.dwDataSize), raw);
    });
}

// ---- device notifications ---------------------------------------------------------------------

TEST_F(AppTest, NotificationsShowIconPictureAndTextsAndKeepTextsAfterUnplug)
{
    SaveConfig();
    sim::MouseSettings s;
    s.programId = 0x12A3B;
    s.version = 3;
    world.SetMouseSettings(s);
    WithDialog([&](CTarvexDlg& dlg) {
        world.PlugMouse();
        ASSERT_TRUE(WaitConnected(dlg));
        ASSERT_TRUE(platform::ui::RunUntil([&] { return dlg.m_staticProgramVer.GetWindowTextLength() > 0; }, kBound));
        CString id, ver;
        dlg.m_staticProgramID.GetWindowText(id);
        dlg.m_staticProgramVer.GetWindowText(ver);
        EXPECT_EQ(id, CString(u"2A3B"));
        EXPECT_EQ(ver, CString(u"v3.0"));
        EXPECT_EQ(dlg.GetIcon(FALSE), dlg.m_hIconConnected);

        world.UnplugMouse();
        ASSERT_TRUE(WaitDisconnected(dlg));
        EXPECT_EQ(dlg.GetIcon(FALSE), dlg.m_hIconDisconnected);
        dlg.m_staticProgramID.GetWindowText(id);
        dlg.m_staticProgramVer.GetWindowText(ver);
        EXPECT_EQ(id, CString(u"2A3B"));
        EXPECT_EQ(ver, CString(u"v3.0"));

        // A bootloader coming and going changes the icon only.
        const int isp = world.AddHidInterface(0x040B, 0x6876, 0xFF00, 65);
        ASSERT_TRUE(platform::ui::RunUntil([&] { return dlg.GetIcon(TRUE) == dlg.m_hIconConnected; }, kBound));
        EXPECT_EQ(dlg.m_staticConnect.GetBitmap(), Pic(dlg.m_bmpDisconnected));
        world.RemoveHidInterface(isp);
        ASSERT_TRUE(platform::ui::RunUntil([&] { return dlg.GetIcon(TRUE) == dlg.m_hIconDisconnected; }, kBound));

        // Four zero-padded digits of the low 16 bits.
        s.programId = 5;
        s.version = 12;
        world.SetMouseSettings(s);
        world.PlugMouse();
        ASSERT_TRUE(WaitConnected(dlg));
        ASSERT_TRUE(platform::ui::RunUntil([&] {
            CString t;
            dlg.m_staticProgramID.GetWindowText(t);
            return t == CString(u"0005");
        }, kBound));
        dlg.m_staticProgramVer.GetWindowText(ver);
        EXPECT_EQ(ver, CString(u"v12.0"));
        EXPECT_EQ(runsStarted, 0); // no automatic upgrade without bAutoUpgrade
    });
}

// ---- the outcome table ------------------------------------------------------------------------

TEST_F(AppTest, EveryOutcomeOfARunWithTextColourProgressAndPicture)
{
    config.bSaveUserData = TRUE;
    SaveConfig();
    const Outcome rows[] = {
        {"program-info", F([](sim::Faults& f) { f.silentFromRequest = 1; }), u"获取设备程序ID失败！", kRed, 10, Picture::Initial},
        {"device-id", F([](sim::Faults& f) { f.deviceIdWrongEcho = true; }), u"获取设备ID失败！", kRed, 10, Picture::Initial},
        {"user-data", F([](sim::Faults& f) { f.wrongOffsetEcho = true; }), u"读取用户数据失败！", kRed, 10, Picture::Initial},
        {"no-bootloader", F([](sim::Faults& f) { f.bootloaderPresent = false; }), u"没有检查到可升级设备！", kBlue, 20, Picture::Failure},
        {"erase", F([](sim::Faults& f) { f.failErase = true; }), u"擦除Flash失败！", kRed, 30, Picture::Failure},
        {"write", F([](sim::Faults& f) { f.failWriteChunk = 3; }), u"写Flash失败！", kRed, 50, Picture::Failure},
        {"memory", {}, u"申请内存失败！", kRed, 60, Picture::Failure, true, true},
        {"read", F([](sim::Faults& f) { f.failReadChunk = 2; }), u"读Flash失败！", kRed, 70, Picture::Failure},
        {"verify", F([](sim::Faults& f) { f.corruptReadBack = true; }), u"校验Flash失败！", kRed, 80, Picture::Failure},
        {"unplug-isp", F([](sim::Faults& f) { f.unplugAfterIspReport = 5; }), u"写Flash失败！", kRed, 50, Picture::Failure},
        {"reset", F([](sim::Faults& f) { f.failLeave = true; }), u"升级成功，请重新拔插设备！", kGreen, 90, Picture::Failure},
        {"success", {}, u"游戏鼠标应用升级成功！", kGreen, 100, Picture::Success},
        {"success-no-reset", {}, u"游戏鼠标应用升级成功！", kGreen, 100, Picture::Success, false},
    };
    WithDialog([&](CTarvexDlg& dlg) {
        for (const Outcome& row : rows) {
            SCOPED_TRACE(row.name);
            Replug(dlg);
            world.SetFaults(row.faults);
            world.ClearLogs();
            dlg.m_Config.bAutoReset = row.autoReset;
            dlg.m_pfnAlloc = row.failAlloc ? &FailingAlloc : &std::malloc;
            buttonEnabledInRun.clear();
            ClickUpgrade(dlg);
            EXPECT_EQ(dlg.GetStatusText(), CString(row.text));
            // ... and on the template's status line (control 1005), not on a neighbour.
            CString shown;
            dlg.GetDlgItem(1005)->GetWindowText(shown);
            EXPECT_EQ(shown, CString(row.text));
            EXPECT_EQ(dlg.GetStatusColor(), row.colour);
            EXPECT_EQ(dlg.GetProgress(), row.progress);
            EXPECT_EQ(dlg.GetResultPicture(), row.picture);
            EXPECT_TRUE(dlg.m_btnUpgrade.IsWindowEnabled());
            ASSERT_FALSE(buttonEnabledInRun.empty());
            for (BOOL b : buttonEnabledInRun) EXPECT_FALSE(b);
            // The bar only ever takes the step values, rising.
            for (std::size_t i = 1; i < progress.size(); ++i) EXPECT_GE(progress[i], progress[i - 1]);
            const auto c = world.GetCounters();
            EXPECT_EQ(c.leaveReports, row.autoReset && row.progress >= 90 ? 1 : 0);
            if (row.progress == 100) {
                // The device's identity and user data reached the flash; the read-back checked them.
                const std::vector<BYTE> flash = world.Flash();
                ASSERT_GE(flash.size(), raw.size());
                const std::vector<BYTE> expected = Patched(true);
                EXPECT_TRUE(std::equal(expected.begin(), expected.end(), flash.begin()));
                EXPECT_EQ(0, std::memcmp(flash.data(), dlg.m_pAppData, raw.size()));
            }
            if (row.progress <= 10) {
                EXPECT_EQ(c.switchRequests, 0) << "the mouse must stay in application mode";
            }
        }
        dlg.m_pfnAlloc = &std::malloc;
    });
}

TEST_F(AppTest, RefusalsBeforeTheDeviceIsTouched)
{
    SaveConfig();
    WithDialog([&](CTarvexDlg& dlg) {
        // Mouse absent, also while a bootloader device is present.
        const int isp = world.AddHidInterface(0x040B, 0x6876, 0xFF00, 65);
        ASSERT_TRUE(platform::ui::RunUntil([&] { return dlg.m_ISPComm.IsOpen(); }, kBound));
        ClickUpgrade(dlg);
        EXPECT_EQ(dlg.GetStatusText(), CString(u"没有发现可升级设备！"));
        EXPECT_EQ(dlg.GetStatusColor(), kBlue);
        EXPECT_EQ(dlg.GetProgress(), 10);
        EXPECT_EQ(dlg.GetResultPicture(), Picture::Failure);
        EXPECT_EQ(progress, (std::vector<int>{0, 10}));
        world.RemoveHidInterface(isp);
        ASSERT_TRUE(platform::ui::RunUntil([&] { return !dlg.m_ISPComm.IsOpen() && dlg.GetIcon(TRUE) == dlg.m_hIconDisconnected; }, kBound));

        // Another product: only the low 16 bits count, and these differ.
        sim::MouseSettings s;
        s.programId = 0x00015A3D;
        world.SetMouseSettings(s);
        Replug(dlg);
        ClickUpgrade(dlg);
        EXPECT_EQ(dlg.GetStatusText(), CString(u"升级程序ID与设备程序ID不符！"));
        EXPECT_EQ(dlg.GetStatusColor(), kRed);
        EXPECT_EQ(dlg.GetProgress(), 10);
        EXPECT_EQ(dlg.GetResultPicture(), Picture::Initial);

        // High bits differ, low bits match: accepted (stopped later by a device-ID fault).
        s.programId = 0xABCD0000u | kProgramID;
        world.SetMouseSettings(s);
        Replug(dlg);
        world.SetFaults(F([](sim::Faults& f) { f.deviceIdWrongEcho = true; }));
        ClickUpgrade(dlg);
        EXPECT_EQ(dlg.GetStatusText(), CString(u"获取设备ID失败！"));

        // No image: refused before any request goes out.
        world.SetFaults({});
        dlg.m_Config.szAppFile[0] = 0;
        EXPECT_FALSE(dlg.ReloadAppFile());
        world.ClearLogs();
        ClickUpgrade(dlg);
        EXPECT_EQ(dlg.GetStatusText(), CString(u"烧录数据错误！"));
        EXPECT_EQ(dlg.GetStatusColor(), kBlue);
        EXPECT_EQ(dlg.GetProgress(), 0);
        EXPECT_EQ(dlg.GetResultPicture(), Picture::Failure);
        EXPECT_EQ(world.GetCounters().outputReports, 0);
    });
    EXPECT_TRUE(BoxTexts().empty());
}

TEST_F(AppTest, VersionCheck)
{
    SaveConfig();
    struct Case {
        BOOL check;
        WORD programVer;
        bool accepted;
    };
    // The simulated mouse reports version 1, taken as 1.0.
    const Case cases[] = {{TRUE, 0x0100, false}, {TRUE, 0x00FF, false}, {TRUE, 0x0101, true},
                          {TRUE, 0x0200, true},  {FALSE, 0x0001, true}, {FALSE, 0x0100, true}};
    WithDialog([&](CTarvexDlg& dlg) {
        Replug(dlg);
        for (const Case& c : cases) {
            SCOPED_TRACE(testing::Message() << "check " << c.check << " version 0x" << std::hex << c.programVer);
            dlg.m_Config.bVersionCheck = c.check;
            dlg.m_Config.wProgramVer = c.programVer;
            // An accepted version goes on to the device ID, which this fault stops.
            world.SetFaults(F([](sim::Faults& f) { f.deviceIdWrongEcho = true; }));
            ClickUpgrade(dlg);
            if (c.accepted) {
                EXPECT_EQ(dlg.GetStatusText(), CString(u"获取设备ID失败！"));
            } else {
                EXPECT_EQ(dlg.GetStatusText(), CString(u"设备程序版本高于升级程序版本，不需要升级！"));
                EXPECT_EQ(dlg.GetStatusColor(), kBlue);
                EXPECT_EQ(dlg.GetProgress(), 10);
                EXPECT_EQ(dlg.GetResultPicture(), Picture::Initial);
            }
        }
    });
}

TEST_F(AppTest, WithoutSavedUserDataTheImagesOwnBytesAreFlashed)
{
    config.bAutoReset = TRUE;
    SaveConfig();
    WithDialog([&](CTarvexDlg& dlg) {
        Replug(dlg);
        ClickUpgrade(dlg);
        ASSERT_EQ(dlg.GetStatusText(), CString(u"游戏鼠标应用升级成功！"));
        const std::vector<BYTE> flash = world.Flash();
        const std::vector<BYTE> expected = Patched(false);
        ASSERT_GE(flash.size(), expected.size());
        EXPECT_TRUE(std::equal(expected.begin(), expected.end(), flash.begin()));
        EXPECT_EQ(world.GetCounters().readReports * 32u, raw.size()); // read back in full
    });
}

// ---- waits, re-entry, automatic upgrade ------------------------------------------------------

TEST_F(AppTest, WaitsForTheBootloader)
{
    SaveConfig();
    WithDialog([&](CTarvexDlg& dlg) {
        dlg.m_pfnWait = &RecordingWait;
        // A bootloader that never comes: 600 waits of 100 ms, then 30 s.
        Replug(dlg);
        world.SetFaults(F([](sim::Faults& f) { f.bootloaderPresent = false; }));
        ClickUpgrade(dlg);
        EXPECT_EQ(dlg.GetStatusText(), CString(u"没有检查到可升级设备！"));
        ASSERT_EQ(g_waits.size(), 601u);
        EXPECT_EQ(std::count(g_waits.begin(), g_waits.end(), 100u), 600);
        EXPECT_EQ(g_waits.back(), 30000u);

        // A bootloader already present on the mouse's own port: no 100-ms waits, still the
        // 30-s wait.
        world.SetFaults({});
        Replug(dlg);
        const int isp = world.AddHidInterface(0x040B, 0x6876, 0xFF00, 65, world.MousePortPath());
        ASSERT_TRUE(platform::ui::RunUntil([&] { return dlg.m_ISPComm.IsOpen(); }, kBound));
        g_waits.clear();
        const double start = platform::ScaledNowMs();
        ClickUpgrade(dlg);
        const double elapsed = platform::ScaledNowMs() - start;
        EXPECT_EQ(g_waits, std::vector<DWORD>{30000u});
        EXPECT_GE(elapsed, 3000.0); // the recorded 30 s, cut to a tenth by RecordingWait
        EXPECT_GE(dlg.GetProgress(), 30); // past the bootloader check
        world.RemoveHidInterface(isp);
    });
}

TEST_F(AppTest, AnotherDevicesBootloaderIsNeverWritten)
{
    // Another device sits in its bootloader on port 4 while this mouse (port 1) is upgraded:
    // the window's run waits for the mouse's own, flashes it, and leaves the other untouched.
    SaveConfig();
    WithDialog([&](CTarvexDlg& dlg) {
        const int other = world.AddHidInterface(0x040B, 0x6876, 0xFF00, 65, "1-4");
        ASSERT_TRUE(platform::ui::RunUntil([&] { return dlg.m_ISPComm.IsOpen(); }, kBound));
        world.PlugMouse();
        ASSERT_TRUE(platform::ui::RunUntil([&] { return dlg.m_AppComm.IsOpen(); }, kBound));
        ClickUpgrade(dlg);
        EXPECT_EQ(dlg.GetStatusText(), CString(u"游戏鼠标应用升级成功！"));
        EXPECT_EQ(world.GetCounters().writeReports, static_cast<int>((raw.size() + 31) / 32));
        const std::vector<BYTE> untouched = world.HidInterfaceFlash(other);
        EXPECT_TRUE(std::all_of(untouched.begin(), untouched.end(), [](BYTE b) { return b == 0xFF; }));
        world.RemoveHidInterface(other);
    });
}

// Exit during a run: acknowledged at once on the Exit button and in the title (the status line
// stays the run's), the window on screen until the run has ended; then a success closes it,
// and a failure stays shown, the exit dropped, until the user exits again.
TEST_F(AppTest, ExitDuringARunWaitsForItsEndAndOnlyASuccessCloses)
{
    struct Case {
        const char* name;
        bool bootloader;
        const char16_t* lastStatus;
        bool closes;
    };
    const Case cases[] = {
        {"no bootloader", false, u"没有检查到可升级设备！", false},
        {"success", true, u"游戏鼠标应用升级成功！", true},
    };
    SaveConfig();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CTarvexDlg dlg;
        dlg.m_pfnWait = &ShortPumpWait;
        bool clicked = false, endedByHook = false;
        bool pendingShown = false;
        CString titleBefore, titlePending, exitPending;
        std::vector<bool> visibleAfterClick; // at each step the run showed after the click
        dlg.m_fnObserver = [&](CTarvexDlg::Change ch) {
            OnChange(dlg, ch);
            if (clicked && ch != CTarvexDlg::Change::AppDevice && ch != CTarvexDlg::Change::IspDevice)
                visibleAfterClick.push_back(::IsWindowVisible(dlg.m_hWnd) != FALSE);
            if (ch == CTarvexDlg::Change::ExitPending && dlg.IsExitPending()) {
                pendingShown = true;
                dlg.GetWindowText(titlePending);
                dlg.GetDlgItem(IDCANCEL)->GetWindowText(exitPending);
                EXPECT_FALSE(dlg.GetDlgItem(IDCANCEL)->IsWindowEnabled());
            }
            if (ch == CTarvexDlg::Change::Status && dlg.GetStatusText() == CString(u"检查到游戏鼠标设备，进入升级....")) {
                // Inside the wait for the bootloader.
                platform::ui::RunLater([&] {
                    platform::ui::ClickMouse(dlg.GetDlgItem(IDCANCEL)->m_hWnd);
                    clicked = true;
                    // Escape once more changes nothing.
                    platform::ui::SendKey(dlg.m_hWnd, VK_ESCAPE);
                });
            }
        };
        platform::ui::SetDialogShownHook([&](HWND hwnd) {
            if (hwnd != dlg.m_hWnd) return;
            platform::ui::SetDialogShownHook(nullptr);
            dlg.GetWindowText(titleBefore);
            Replug(dlg);
            sim::Faults faults;
            faults.bootloaderPresent = c.bootloader;
            world.SetFaults(faults);
            ClickUpgrade(dlg);
            EXPECT_EQ(::IsWindowVisible(dlg.m_hWnd) == FALSE, c.closes);
            if (!::IsWindowVisible(dlg.m_hWnd)) return;
            // A failure: shown, the exit dropped, the Exit button and title back as they were.
            CString title, exitText;
            dlg.GetWindowText(title);
            dlg.GetDlgItem(IDCANCEL)->GetWindowText(exitText);
            EXPECT_EQ(title, titleBefore);
            EXPECT_EQ(exitText, CString(u"退出(&E)"));
            EXPECT_TRUE(dlg.GetDlgItem(IDCANCEL)->IsWindowEnabled());
            EXPECT_FALSE(dlg.IsExitPending());
            EXPECT_EQ(dlg.GetResultPicture(), Picture::Failure);
            // Asked again without a run, Exit ends the dialog at once.
            platform::ui::ClickMouse(dlg.GetDlgItem(IDCANCEL)->m_hWnd);
            if (::IsWindowVisible(dlg.m_hWnd)) {
                endedByHook = true;
                dlg.EndDialog(IDOK);
            }
        });
        EXPECT_EQ(dlg.DoModal(), IDCANCEL);
        EXPECT_FALSE(endedByHook);
        EXPECT_TRUE(clicked);
        EXPECT_TRUE(pendingShown);
        EXPECT_EQ(exitPending, CString(u"升级后退出"));
        EXPECT_EQ(titlePending, titleBefore + u"（升级结束后退出）");
        // Still on screen for the rest of the run, its last status and progress included.
        ASSERT_FALSE(visibleAfterClick.empty());
        EXPECT_EQ(std::count(visibleAfterClick.begin(), visibleAfterClick.end(), false), 0);
        EXPECT_EQ(dlg.GetStatusText(), CString(c.lastStatus));
        // The run's end is announced (to the event lines, say) whether the window closes or not.
        EXPECT_EQ(runsStarted, 1);
        EXPECT_EQ(runsEnded, 1);
        if (world.GetMouseMode() != sim::MouseMode::Absent) world.UnplugMouse();
        runsStarted = runsEnded = 0;
    }
}

// Enter does what the default button says: nothing while Upgrade is disabled during a run,
// and after the run, whichever button held the focus, a new run.
TEST_F(AppTest, EnterNeverExitsAndStartsTheNextRunAfterAny)
{
    config.wProgramVer = 0x0100; // older than the mouse's: refused at once, version check on
    config.bVersionCheck = TRUE;
    SaveConfig();
    WithDialog([&](CTarvexDlg& dlg) {
        Replug(dlg);
        auto pressEnter = [&] {
            const HWND focus = ::GetFocus();
            platform::ui::SendKey(focus ? focus : dlg.m_hWnd, VK_RETURN);
        };
        EXPECT_EQ(::GetFocus(), dlg.m_btnUpgrade.m_hWnd) << "the first tab stop";
        int entersInRun = 0;
        bool exitAsked = false;
        onChange = [&](CTarvexDlg&, CTarvexDlg::Change ch) {
            if (ch == CTarvexDlg::Change::ExitPending) exitAsked = true;
            if (ch == CTarvexDlg::Change::Status && dlg.IsUpgrading() && entersInRun == 0) {
                ++entersInRun;
                pressEnter(); // during the run: Upgrade is disabled
            }
        };
        // Tab to Exit first: the run must still hand the focus back to Upgrade.
        dlg.GetDlgItem(IDCANCEL)->SetFocus();
        dlg.m_btnUpgrade.SetFocus();
        pressEnter();
        ASSERT_TRUE(platform::ui::RunUntil([&] { return runsEnded == 1; }, kBound));
        EXPECT_EQ(entersInRun, 1);
        EXPECT_FALSE(exitAsked);
        EXPECT_TRUE(::IsWindowVisible(dlg.m_hWnd));
        EXPECT_EQ(::GetFocus(), dlg.m_btnUpgrade.m_hWnd);

        dlg.GetDlgItem(IDCANCEL)->SetFocus(); // the user tabs to Exit during an automatic run
        ClickUpgrade(dlg);
        EXPECT_EQ(::GetFocus(), dlg.m_btnUpgrade.m_hWnd);
        onChange = nullptr;
        pressEnter();
        EXPECT_TRUE(platform::ui::RunUntil([&] { return runsEnded == 3; }, kBound));
        EXPECT_TRUE(::IsWindowVisible(dlg.m_hWnd));
    });
    EXPECT_EQ(runsStarted, 3);
}

TEST_F(AppTest, RequestsDuringARunAreIgnoredUntilItEnds)
{
    config.bAutoUpgrade = FALSE;
    config.bAutoReset = TRUE;
    SaveConfig();
    std::vector<HWND> otherDialogs;
    WithDialog([&](CTarvexDlg& dlg) {
        Replug(dlg);
        platform::ui::SetDialogShownHook([&](HWND h) {
            otherDialogs.push_back(h);
            ::SendMessageW(h, WM_COMMAND, IDCANCEL, 0);
        });
        bool injected = false;
        onChange = [&](CTarvexDlg& d, CTarvexDlg::Change c) {
            if (c != CTarvexDlg::Change::Status || injected || d.GetStatusText() != CString(u"检查到游戏鼠标设备，进入升级...."))
                return;
            injected = true;
            d.m_Config.bAutoUpgrade = TRUE;
            // A click, an arrival with bAutoUpgrade and the configuration entry, all mid-run.
            d.PostMessage(WM_COMMAND, MAKEWPARAM(1006, BN_CLICKED), reinterpret_cast<LPARAM>(d.m_btnUpgrade.m_hWnd));
            d.PostMessage(RegisterWindowMessageW(u"QL40_DEVICE_CHANGE"), 1, 0);
            d.PostMessage(WM_SYSCOMMAND, IDM_SYSTEM_CONFIG, 0);
        };
        ClickUpgrade(dlg);
        onChange = nullptr;
        dlg.m_Config.bAutoUpgrade = FALSE;
        EXPECT_TRUE(injected);
        EXPECT_EQ(runsStarted, 1);
        EXPECT_EQ(dlg.GetStatusText(), CString(u"游戏鼠标应用升级成功！"));
        EXPECT_TRUE(otherDialogs.empty());
        EXPECT_TRUE(BoxTexts().empty());
    });
}

TEST_F(AppTest, AutomaticUpgradeOnArrivalAndAgainAfterTheReset)
{
    config.bAutoUpgrade = TRUE;
    config.bAutoReset = TRUE;
    SaveConfig();
    WithDialog([&](CTarvexDlg& dlg) {
        world.PlugMouse();
        ASSERT_TRUE(platform::ui::RunUntil([&] { return runsEnded >= 1; }, kBound));
        EXPECT_EQ(dlg.GetStatusText(), CString(u"游戏鼠标应用升级成功！"));
        EXPECT_EQ(dlg.GetResultPicture(), Picture::Success);
        // The mouse comes back with the new firmware after the reset: another run.
        ASSERT_TRUE(platform::ui::RunUntil([&] { return runsStarted >= 2; }, kBound));
        dlg.m_Config.bAutoUpgrade = FALSE;
        ASSERT_TRUE(platform::ui::RunUntil([&] { return runsEnded >= 2; }, kBound));
        EXPECT_EQ(dlg.GetStatusText(), CString(u"游戏鼠标应用升级成功！"));
    });
}

// ---- the image load ---------------------------------------------------------------------------

TEST_F(AppTest, EachFailedImageCheckShowsItsMessage)
{
    struct Case {
        const char* name;
        std::function<void()> prepare;
        const WCHAR* text; // null: no message
    };
    const std::vector<Case> cases = {
        {"no image named", [&] { config.szAppFile[0] = 0; }, nullptr},
        {"not a plain name", [&] { std::memcpy(config.szAppFile, u"../mouse.bimg", 28); }, u"鼠标应用文件名无效！"},
        {"missing", [&] { std::filesystem::remove(dir / "mouse.bimg"); }, u"无法找到鼠标应用文件！"},
        {"short header", [&] { testsupport::WriteBytes(dir / "mouse.bimg", {1, 2, 3}); }, u"读鼠标应用文件信息失败！"},
        {"bad header",
         [&] {
             auto b = testsupport::ReadBytes(dir / "mouse.bimg");
             b[0] ^= 0xFF;
             testsupport::WriteBytes(dir / "mouse.bimg", b);
         },
         u"无效的鼠标应用文件！"},
        {"configuration file", [&] { std::filesystem::copy_file(dir / "Tarvex.cfg", dir / "cfg.bimg");
                                     std::memcpy(config.szAppFile, u"cfg.bimg", 18); }, u"不是鼠标应用文件！"},
        {"crc", [&] { config.dwAppCrc ^= 1; }, u"鼠标应用文件的校验码检查错误！"},
        {"name", [&] { config.szAppName[0] = 'x'; }, u"鼠标应用文件的名称检查错误！"},
        {"too small",
         [&] {
             auto small = testsupport::MakeRawImage(0x4105, 3);
             auto h = testsupport::WriteImageFile(dir / "mouse.bimg", "mouse", small);
             config.dwAppCrc = h.dwDataCrc;
         },
         u"鼠标应用文件的大小无效！"},
        {"truncated",
         [&] {
             auto b = testsupport::ReadBytes(dir / "mouse.bimg");
             b.resize(b.size() - 1);
             testsupport::WriteBytes(dir / "mouse.bimg", b);
         },
         u"读鼠标应用文件失败！"},
        {"payload changed",
         [&] {
             auto b = testsupport::ReadBytes(dir / "mouse.bimg");
             b[100] ^= 0x01;
             testsupport::WriteBytes(dir / "mouse.bimg", b);
         },
         u"鼠标应用文件解码验证失败！"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        header = testsupport::WriteImageFile(dir / "mouse.bimg", "mouse", raw);
        config = testsupport::MakeConfig(u"mouse.bimg", header);
        SaveConfig(); // before prepare: one case reads it back as an image
        c.prepare();
        SaveConfig();
        platform::ui::ClearMessageBoxLog();
        WithDialog([&](CTarvexDlg& dlg) {
            EXPECT_FALSE(dlg.m_bAppLoaded);
            ClickUpgrade(dlg);
            EXPECT_EQ(dlg.GetStatusText(), CString(u"烧录数据错误！"));
        });
        if (c.text) {
            EXPECT_EQ(BoxTexts(), std::vector<CString>{CString(c.text)});
        } else {
            EXPECT_TRUE(BoxTexts().empty());
        }
        std::filesystem::remove(dir / "cfg.bimg");
    }
}

TEST_F(AppTest, NoRunUsesAnImageWhileItIsBeingReplaced)
{
    SaveConfig();
    WithDialog([&](CTarvexDlg& dlg) {
        ASSERT_TRUE(dlg.m_bAppLoaded);
        Replug(dlg);
        // A run that starts while the reload's message box is up must refuse.
        onMessageBox = [&](const MessageBoxCall&) {
            EXPECT_FALSE(dlg.m_bAppLoaded);
            ClickUpgrade(dlg);
        };
        std::memcpy(dlg.m_Config.szAppFile, u"gone.bimg", 20);
        EXPECT_FALSE(dlg.ReloadAppFile());
        onMessageBox = nullptr;
        EXPECT_EQ(dlg.GetStatusText(), CString(u"烧录数据错误！"));
        EXPECT_EQ(BoxTexts(), std::vector<CString>{CString(u"无法找到鼠标应用文件！")});
        EXPECT_EQ(world.GetMouseMode(), sim::MouseMode::Application);

        // Loading again replaces image and header together.
        std::memcpy(dlg.m_Config.szAppFile, u"mouse.bimg", 22);
        EXPECT_TRUE(dlg.ReloadAppFile());
        EXPECT_TRUE(dlg.ReloadAppFile());
        EXPECT_EQ(dlg.m_AppHeader.dwDataSize, raw.size());
    });
}

// ---- what a run shows, step by step ------------------------------------------------------------

TEST_F(AppTest, EachStepOfARunShowsItsTextColourProgressAndPicture)
{
    config.bSaveUserData = TRUE;
    config.bAutoReset = TRUE;
    SaveConfig();
    struct Shown {
        CString text;
        COLORREF colour;
        bool operator==(const Shown& o) const { return text == o.text && colour == o.colour; }
    };
    std::vector<Shown> lines;
    std::vector<Picture> pictures;
    WithDialog([&](CTarvexDlg& dlg) {
        Replug(dlg);
        onChange = [&](CTarvexDlg& d, CTarvexDlg::Change c) {
            if (!d.IsUpgrading()) return;
            if (c == CTarvexDlg::Change::Status) lines.push_back({d.GetStatusText(), d.GetStatusColor()});
            if (c == CTarvexDlg::Change::Result) pictures.push_back(d.GetResultPicture());
        };
        ClickUpgrade(dlg);
        onChange = nullptr;
    });
    const std::vector<Shown> expected = {
        {CString(u""), GetSysColor(COLOR_BTNFACE)},
        {CString(u"检查到游戏鼠标设备，进入升级...."), kBlue},
        {CString(u"检查到升级设备，进入升级...."), kBlue},
        {CString(u"游戏鼠标应用升级成功！"), kGreen},
    };
    ASSERT_EQ(lines.size(), expected.size());
    for (std::size_t i = 0; i < lines.size(); ++i) {
        EXPECT_EQ(lines[i].text, expected[i].text) << "line " << i;
        EXPECT_EQ(lines[i].colour, expected[i].colour) << "line " << i;
    }
    EXPECT_EQ(progress, (std::vector<int>{0, 10, 20, 30, 50, 60, 70, 80, 90, 100}));
    EXPECT_EQ(pictures, (std::vector<Picture>{Picture::Initial, Picture::Success}));
}

TEST_F(AppTest, TheReadBackIsVerifiedOverTheWholeImage)
{
    // A flipped byte anywhere fails the run: in the image's own code, in the carried-over user
    // data, in the device ID and at the very last byte.
    config.bSaveUserData = TRUE;
    SaveConfig();
    const int offsets[] = {0, 0x3CFF, 0x3D00, 0x40FF, 0x4100, 0x4105, static_cast<int>(raw.size()) - 1};
    WithDialog([&](CTarvexDlg& dlg) {
        for (int at : offsets) {
            SCOPED_TRACE(testing::Message() << "flipped byte at 0x" << std::hex << at);
            sim::Faults f;
            f.corruptReadBackAt = at;
            Replug(dlg, f);
            ClickUpgrade(dlg);
            EXPECT_EQ(dlg.GetStatusText(), CString(u"校验Flash失败！"));
            EXPECT_EQ(dlg.GetStatusColor(), kRed);
            EXPECT_EQ(dlg.GetProgress(), 80);
            EXPECT_EQ(dlg.GetResultPicture(), Picture::Failure);
            EXPECT_EQ(world.GetCounters().leaveReports, 0) << "no reset after a failed verify";
        }
    });
}
