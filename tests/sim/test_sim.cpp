// The simulated mouse on its own and driven through the whole road of an upgrade by the
// device classes: switch, bootloader arrival, erase/write/read, leave and the new firmware,
// and the faults that break that road at each step.
#include <numeric>

#include "DeviceTestUtil.h"
#include "device/DunX4ISPUSBComm.h"
#include "device/PumpWait.h"
#include "device/QL40USBComm.h"
#include "device/USBDeviceMonitor.h"
#include "platform/Kernel.h"

using testutil::PumpUntil;
using testutil::RecordingWindow;
using testutil::SimTest;
using testutil::WaitFor;

namespace {

// The device side of an upgrade, in the order the dialog runs it.
class UpgradeRoad : public SimTest
{
protected:
    void SetUp() override
    {
        SimTest::SetUp();
        app.m_hOwnerWnd = win.Hwnd();
        isp.m_hOwnerWnd = win.Hwnd();
    }
    void TearDown() override
    {
        isp.Stop();
        app.Stop();
        app.Close();
        isp.Close();
        SimTest::TearDown();
    }
    void StartPolls()
    {
        app.Start();
        isp.Start();
    }
    bool Switch()
    {
        HID_ATTRIBUTES_CAPABILITES rec;
        if (!app.GetHIDAttCap(&rec)) return false;
        mon.Refresh();
        USB_PORT_ENTRY e;
        if (!mon.FindPortByVidPid(rec.Attributes.VendorID, rec.Attributes.ProductID, e)) return false;
        mon.GetStringDescriptor(e);
        return true;
    }
    // 600 x 100 ms at most, as the dialog waits.
    bool WaitForBootloader()
    {
        for (int i = 0; i < 600 && !isp.IsOpen(); ++i) PumpWait(100);
        return isp.IsOpen();
    }
    std::vector<BYTE> Image(std::size_t n)
    {
        std::vector<BYTE> v(n);
        for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<BYTE>(i * 13 + 5);
        return v;
    }

    RecordingWindow win;
    CQL40USBComm app;
    CDunX4ISPUSBComm isp;
    CUSBDeviceMonitor mon;
};

} // namespace

TEST_F(UpgradeRoad, FullRunCarriesIdentityIntoTheNewFirmware)
{
    const UINT appMsg = RegisterWindowMessageW(u"QL40_DEVICE_CHANGE");
    const UINT ispMsg = RegisterWindowMessageW(u"DUNX4_ISP_DEVICE_CHANGE");
    world.PlugMouse();
    StartPolls();
    ASSERT_TRUE(PumpUntil([&] { return app.IsOpen(); }));

    ULONGLONG id = 0;
    ASSERT_TRUE(app.GetDeviceID(id));
    std::vector<BYTE> user(1024);
    for (BYTE b = 5; b <= 8; ++b) ASSERT_TRUE(app.ReadUserData(b, user.data() + (b - 5) * 256));
    auto image = Image(0x5000);
    const ULONGLONG newId = 0x0000112233445566ull;
    for (int i = 0; i < 6; ++i) image[0x4100 + static_cast<std::size_t>(i)] = static_cast<BYTE>(newId >> (8 * i));
    std::copy(user.begin(), user.end(), image.begin() + 0x3D00);

    ASSERT_TRUE(Switch());
    ASSERT_TRUE(WaitForBootloader());
    EXPECT_FALSE(app.IsOpen()); // the application-mode mouse left the bus
    DWORD n = 0;
    ASSERT_TRUE(isp.EraseFlash());
    ASSERT_TRUE(isp.WriteFlash(image.data(), static_cast<DWORD>(image.size()), n));
    std::vector<BYTE> back(image.size());
    ASSERT_TRUE(isp.ReadFlash(back.data(), static_cast<DWORD>(back.size()), n));
    EXPECT_EQ(back, image);
    ASSERT_TRUE(isp.ResetDevice());

    // Back in application mode, running what was flashed.
    ASSERT_TRUE(PumpUntil([&] { return app.IsOpen() && !isp.IsOpen(); }));
    ASSERT_TRUE(app.GetDeviceID(id));
    EXPECT_EQ(id, newId);
    std::vector<BYTE> again(256);
    ASSERT_TRUE(app.ReadUserData(8, again.data()));
    EXPECT_TRUE(std::equal(again.begin(), again.end(), user.begin() + 768));

    // Arrived, left for the bootloader, came back; the bootloader came and went.
    ASSERT_TRUE(PumpUntil([&] { return win.Got(appMsg).size() >= 3 && win.Got(ispMsg).size() >= 2; }));
    auto a = win.Got(appMsg), s = win.Got(ispMsg);
    ASSERT_EQ(a.size(), 3u);
    EXPECT_EQ(a[0].wParam, 1u);
    EXPECT_EQ(a[1].wParam, 0u);
    EXPECT_EQ(a[2].wParam, 1u);
    ASSERT_EQ(s.size(), 2u);
    EXPECT_EQ(s[0].wParam, 1u);
    EXPECT_EQ(s[1].wParam, 0u);
}

TEST_F(UpgradeRoad, ABootloaderThatNeverComesEndsTheWaitEmpty)
{
    world.PlugMouse();
    world.SetBootloaderPresent(false);
    StartPolls();
    ASSERT_TRUE(WaitFor([&] { return app.IsOpen(); }));
    ASSERT_TRUE(Switch());
    ULONGLONG t0 = GetTickCount64();
    EXPECT_FALSE(WaitForBootloader());
    EXPECT_GE(GetTickCount64() - t0, 60000u);
    EXPECT_EQ(world.GetMouseMode(), sim::MouseMode::Absent);
    EXPECT_FALSE(isp.EraseFlash());
}

TEST_F(UpgradeRoad, ALateBootloaderIsStillFoundWithinTheWait)
{
    sim::Faults f;
    f.bootloaderDelayMs = 45000;
    world.SetFaults(f);
    world.PlugMouse();
    StartPolls();
    ASSERT_TRUE(WaitFor([&] { return app.IsOpen(); }));
    ASSERT_TRUE(Switch());
    ULONGLONG t0 = GetTickCount64();
    ASSERT_TRUE(WaitForBootloader());
    EXPECT_GE(GetTickCount64() - t0, 45000u);
    EXPECT_TRUE(isp.EraseFlash());
}

TEST_F(UpgradeRoad, NoSwitchWithoutTheRightRequestOrWithTheMouseGone)
{
    world.PlugMouse();
    StartPolls();
    ASSERT_TRUE(WaitFor([&] { return app.IsOpen(); }));
    world.UnplugMouse();
    mon.Refresh();
    USB_PORT_ENTRY e;
    EXPECT_EQ(mon.FindPortByVidPid(0x1EA7, world.GetMouseSettings().appProductId, e), 0);
    EXPECT_EQ(world.GetCounters().switchRequests, 0);
    ASSERT_TRUE(WaitFor([&] { return !app.IsOpen(); }));
    HID_ATTRIBUTES_CAPABILITES rec;
    EXPECT_FALSE(app.GetHIDAttCap(&rec)); // the dialog skips the switch
}

TEST_F(UpgradeRoad, UnplugInBootloaderModeFailsTheNextCommand)
{
    sim::Faults f;
    f.unplugAfterIspReport = 1; // the erase goes through, then the mouse is gone
    world.PlugMouse();
    StartPolls();
    ASSERT_TRUE(WaitFor([&] { return app.IsOpen(); }));
    ASSERT_TRUE(Switch());
    ASSERT_TRUE(WaitForBootloader());
    world.SetFaults(f);
    EXPECT_TRUE(isp.EraseFlash());
    auto image = Image(256);
    DWORD n = 0;
    EXPECT_FALSE(isp.WriteFlash(image.data(), 256, n));
    EXPECT_EQ(n, 0u);
    ASSERT_TRUE(WaitFor([&] { return !isp.IsOpen(); }));
}

TEST_F(SimTest, SwitchingTimingFollowsThePlatformClock)
{
    sim::Faults f;
    f.bootloaderDelayMs = 5000;
    f.appReturnDelayMs = 3000;
    world.SetFaults(f);
    world.PlugMouse();
    EXPECT_EQ(world.GetMouseMode(), sim::MouseMode::Application);
    CUSBDeviceMonitor mon;
    mon.Refresh();
    USB_PORT_ENTRY e;
    ASSERT_EQ(mon.FindPortByVidPid(0x1EA7, world.GetMouseSettings().appProductId, e), 1);
    ULONGLONG t0 = GetTickCount64();
    mon.GetStringDescriptor(e);
    EXPECT_EQ(world.GetMouseMode(), sim::MouseMode::Switching);
    ASSERT_TRUE(WaitFor([&] { return world.GetMouseMode() == sim::MouseMode::Bootloader; }));
    EXPECT_GE(GetTickCount64() - t0, 5000u);
    // Another request to the bootloader's port does not switch anything.
    mon.Refresh();
    ASSERT_EQ(mon.FindPortByVidPid(0x040B, 0x6876, e), 1);
    EXPECT_FALSE(mon.GetStringDescriptor(e).IsEmpty());
    EXPECT_EQ(world.GetCounters().switchRequests, 1);
    EXPECT_EQ(world.GetMouseMode(), sim::MouseMode::Bootloader);
}

TEST_F(SimTest, ANewFirmwareWithAnErasedIdentityKeepsTheOldOne)
{
    world.PlugMouse();
    ULONGLONG before = world.GetMouseSettings().deviceId;
    world.EnterBootloader();
    sim::Faults f;
    f.appReturnDelayMs = 10;
    world.SetFaults(f);
    CDunX4ISPUSBComm isp;
    CString path;
    ASSERT_TRUE(isp.FindDevice(path));
    ASSERT_EQ(isp.Open(path), 0);
    ASSERT_TRUE(isp.EraseFlash());
    ASSERT_TRUE(isp.ResetDevice());
    ASSERT_TRUE(WaitFor([&] { return world.GetMouseMode() == sim::MouseMode::Application; }));
    EXPECT_EQ(world.GetMouseSettings().deviceId, before);
    // The old bootloader handle is dead even though the mouse is back.
    EXPECT_FALSE(isp.EraseFlash());
}

TEST_F(SimTest, AHubDriverPathOnlyOpensWhatExists)
{
    auto driver = platform::usb::GetHubDriver();
    EXPECT_NE(driver->Open(CString(u"\\\\.\\HCD0")), nullptr);
    EXPECT_EQ(driver->Open(CString(u"\\\\.\\HCD1")), nullptr);
    EXPECT_EQ(driver->Open(CString(u"HCD0")), nullptr);
    EXPECT_EQ(driver->Open(CString(u"\\\\.\\")), nullptr);
    int hub = world.AddHub(world.RootHub(0), 2, 2);
    CString name = CString(u"\\\\.\\") + CString(world.HubName(hub));
    auto node = driver->Open(name);
    ASSERT_NE(node, nullptr);
    world.Unplug(world.RootHub(0), 2);
    BYTE buf[platform::usb::kNodeInfoSize] = {};
    DWORD got = 0;
    EXPECT_FALSE(node->IoControl(platform::usb::IOCTL_USB_GET_NODE_INFORMATION, buf, sizeof buf, buf, sizeof buf, &got));
    EXPECT_EQ(driver->Open(name), nullptr);
    // A hub plugged again gets a new name: the old path stays dead.
    int again = world.AddHub(world.RootHub(0), 2, 2);
    EXPECT_NE(world.HubName(again), world.HubName(hub));
}

TEST_F(SimTest, AnotherDevicesBootloaderKeepsItsOwnFlashAndLeavesOnReset)
{
    world.PlugMouse();
    std::vector<BYTE> mouseFlash = world.Flash();
    const int other = world.AddHidInterface(0x040B, 0x6876, 0xFF00, 65);
    CDunX4ISPUSBComm isp;
    CString path;
    ASSERT_TRUE(isp.FindDevice(path));
    ASSERT_EQ(isp.Open(path), 0);
    std::vector<BYTE> image(100);
    std::iota(image.begin(), image.end(), BYTE{1});
    DWORD n = 0;
    ASSERT_TRUE(isp.EraseFlash());
    ASSERT_TRUE(isp.WriteFlash(image.data(), 100, n));
    std::vector<BYTE> back(100);
    ASSERT_TRUE(isp.ReadFlash(back.data(), 100, n));
    EXPECT_EQ(back, image);
    std::vector<BYTE> stored = world.HidInterfaceFlash(other);
    ASSERT_EQ(stored.size(), 65536u);
    EXPECT_TRUE(std::equal(image.begin(), image.end(), stored.begin()));
    EXPECT_EQ(stored[100], 0xFF); // the padding of the last chunk
    EXPECT_EQ(world.Flash(), mouseFlash); // the mouse's own flash is untouched
    ASSERT_TRUE(isp.ResetDevice());
    EXPECT_TRUE(world.HidInterfaceFlash(other).empty()); // it left the bus
    EXPECT_FALSE(isp.EraseFlash());
}
