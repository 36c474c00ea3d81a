// The real Windows backends as far as no mouse is needed: the hub records against the hub
// driver's own headers, and SetupAPI + hid.dll and the hub requests on the machine the tests
// run on (under Wine: its virtual HID devices and no USB host controller).
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

#include "device/DunX4ISPUSBComm.h"
#include "device/QL40USBComm.h"
#include "device/USBDeviceMonitor.h"
#include "platform/hid/HidBackend.h"
#include "platform/usb/UsbHubDriver.h"
#include "platform/win32/Win32Api.h"
#include "platform/win32/Win32Usb.h"

using namespace platform::hid;
using namespace platform::usb;

TEST(WinHubDriver, RecordLayoutsAreTheDriversOwn)
{
    const auto f = platform::win32::SystemHubRecordFacts();
    EXPECT_EQ(f.getRootHubName, IOCTL_USB_GET_ROOT_HUB_NAME);
    EXPECT_EQ(f.getNodeInformation, IOCTL_USB_GET_NODE_INFORMATION);
    EXPECT_EQ(f.getNodeConnectionInformation, IOCTL_USB_GET_NODE_CONNECTION_INFORMATION);
    EXPECT_EQ(f.getDescriptorFromNodeConnection, IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION);
    EXPECT_EQ(f.getNodeConnectionName, IOCTL_USB_GET_NODE_CONNECTION_NAME);
    EXPECT_EQ(f.connInfoFixedSize, kConnInfoFixedSize);
    EXPECT_EQ(f.connInfoPipeSize, kPipeInfoSize);
    EXPECT_EQ(f.connDeviceIsHub, conn::DeviceIsHub);
    EXPECT_EQ(f.connDeviceAddress, conn::DeviceAddress);
    EXPECT_EQ(f.connNumberOfOpenPipes, conn::NumberOfOpenPipes);
    EXPECT_EQ(f.connConnectionStatus, conn::ConnectionStatus);
    EXPECT_EQ(f.nodeInfoSize, kNodeInfoSize);
    EXPECT_EQ(f.nodeInfoNumberOfPorts, kNodeInfoNumberOfPorts);
    EXPECT_EQ(f.rootHubNameHeader, kRootHubNameHeader);
    EXPECT_EQ(f.connNameHeader, kConnNameHeader);
    EXPECT_EQ(f.getHcdDriverKeyName, IOCTL_GET_HCD_DRIVERKEY_NAME);
    EXPECT_EQ(f.hcdDriverKeyNameHeader, kHcdDriverKeyNameHeader);
    EXPECT_EQ(f.descReqHeader, kDescReqHeader);
    EXPECT_EQ(f.descReqWValue, descreq::wValue);
    EXPECT_EQ(f.descReqWLength, descreq::wLength);
}

TEST(WinHubDriver, OnlyDevicePathsOpen)
{
    auto driver = MakeSystemHubDriver();
    // A hub name comes from a device; one that names a file must not open it.
    EXPECT_EQ(driver->Open(CString(u"C:\\windows\\win.ini")), nullptr);
    EXPECT_EQ(driver->Open(CString(u"\\\\.\\")), nullptr);
    EXPECT_EQ(driver->Open(CString(u"")), nullptr);
    EXPECT_EQ(driver->Open(CString(u"\\\\.\\NoSuchHub#{00000000-0000-0000-0000-000000000000}")), nullptr);
    // The interface form opens devices only, never a file through "\\?\".
    EXPECT_EQ(driver->Open(CString(u"\\\\?\\C:\\windows\\win.ini")), nullptr);
    EXPECT_EQ(driver->Open(CString(u"\\\\?\\C:/windows/win.ini")), nullptr);
}

TEST(WinHubDriver, ControllersByInterfaceAndWhatTheScanReached)
{
    auto driver = MakeSystemHubDriver();
    const std::vector<CString> itfs = driver->ControllerInterfacePaths();
    for (const CString& p : itfs) EXPECT_TRUE(p.Str().starts_with(u"\\\\?\\")) << p.ToUtf8();
    InstallHubDriver(driver);
    CUSBDeviceMonitor mon;
    mon.Refresh();
    InstallHubDriver(nullptr);
    if (platform::win32::RunningUnderWine()) {
        // Wine has no USB host controller: no HCDn name and no controller interface, so the
        // scan says it reached nothing (and a run logs that the switch cannot be sent).
        EXPECT_TRUE(itfs.empty());
        EXPECT_EQ(mon.GetLastScan().controllers, 0);
        EXPECT_EQ(mon.GetLastScan().hubs, 0);
    } else {
        EXPECT_GE(mon.GetLastScan().controllers, static_cast<int>(itfs.empty() ? 0 : 1));
    }
}

TEST(WinHubDriver, UnderWineTheTreeIsEmpty)
{
    if (!platform::win32::RunningUnderWine()) GTEST_SKIP() << "describes Wine's world";
    auto driver = MakeSystemHubDriver();
    EXPECT_EQ(driver->Open(CString(u"\\\\.\\HCD0")), nullptr);
    InstallHubDriver(driver);
    CUSBDeviceMonitor monitor;
    monitor.Refresh();
    EXPECT_EQ(monitor.GetUsedCount(), 0);
    USB_PORT_ENTRY e;
    EXPECT_EQ(monitor.FindPortByVidPid(0x1EA7, 0x0001, e), 0);
    InstallHubDriver(nullptr);
}

TEST(WinHidBackend, EnumerationAgreesWithAskingByPath)
{
    auto backend = MakeSystemBackend();
    auto first = backend->Enumerate();
    auto again = backend->Enumerate();
    ASSERT_EQ(first.size(), again.size());
    for (std::size_t i = 0; i < first.size(); ++i) {
        const DeviceInfo& d = first[i];
        EXPECT_EQ(d.path, again[i].path); // a stable order
        ASSERT_FALSE(d.path.empty());
        DeviceInfo byPath;
        ASSERT_TRUE(backend->GetInfo(d.path, byPath)) << d.path;
        EXPECT_EQ(byPath.vendorId, d.vendorId);
        EXPECT_EQ(byPath.productId, d.productId);
        EXPECT_EQ(byPath.usagePage, d.usagePage);
        EXPECT_EQ(byPath.inputReportLength, d.inputReportLength);
        EXPECT_EQ(byPath.featureReportLength, d.featureReportLength);
        // Every collection reports something, and its lengths count the report ID byte.
        EXPECT_GT(d.inputReportLength + d.outputReportLength + d.featureReportLength, 0) << d.path;
    }
    DeviceInfo none;
    EXPECT_FALSE(backend->GetInfo("\\\\?\\hid#vid_0000&pid_0000#0#{4d1e55b2-f16f-11cf-88cb-001111000030}", none));
    EXPECT_FALSE(backend->GetInfo("", none));
    EXPECT_FALSE(backend->GetInfo(std::string("\xff\xfe", 2), none)); // not UTF-8
}

TEST(WinHidBackend, UnderWineItsVirtualDevicesAndNoMouse)
{
    if (!platform::win32::RunningUnderWine()) GTEST_SKIP() << "describes Wine's world";
    auto backend = MakeSystemBackend();
    // Wine's own virtual mouse and keyboard; a fresh prefix installs them in the background.
    std::vector<DeviceInfo> all;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while ((all = backend->Enumerate()).empty() && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(all.empty());
    for (const DeviceInfo& d : all) EXPECT_NE(d.vendorId, 0x1EA7) << d.path;
    // The device classes find nothing through the real backend.
    InstallBackend(backend);
    CQL40USBComm app;
    CDunX4ISPUSBComm isp;
    CString path;
    EXPECT_FALSE(app.FindDevice(path));
    EXPECT_FALSE(isp.FindDevice(path));
    EXPECT_TRUE(path.IsEmpty());
    InstallBackend(nullptr);
}

// The port path comes from the USB device's location path. Wine 8's HID device nodes
// ("HID\VID_845E&PID_0001\0&0000&0&0") answer CM_DRP_LOCATION_PATHS with CR_NO_SUCH_VALUE
// and CM_Get_Parent finds no parent above them, so the port is unknown there (and nothing
// is then matched by port).
TEST(WinHidBackend, PortPathsAreUsbLocationsOrEmpty)
{
    auto backend = MakeSystemBackend();
    for (const DeviceInfo& d : backend->Enumerate()) {
        if (platform::win32::RunningUnderWine()) {
            EXPECT_EQ(d.portPath, "") << d.path;
        } else if (!d.portPath.empty()) {
            EXPECT_NE(d.portPath.find("USB("), std::string::npos) << d.portPath;
            EXPECT_EQ(d.portPath.back(), ')') << d.portPath;
        }
        DeviceInfo byPath;
        ASSERT_TRUE(backend->GetInfo(d.path, byPath)) << d.path;
        EXPECT_EQ(byPath.portPath, d.portPath) << d.path;
    }
}

TEST(WinHidBackend, RefusedOpensSayWhy)
{
    auto backend = MakeSystemBackend();
    OpenError err = OpenError::None;
    EXPECT_EQ(backend->Open("\\\\?\\hid#vid_0000&pid_0000#0#{4d1e55b2-f16f-11cf-88cb-001111000030}", &err), nullptr);
    EXPECT_EQ(err, OpenError::NotFound);
    err = OpenError::None;
    EXPECT_EQ(backend->Open("", &err), nullptr);
    EXPECT_EQ(err, OpenError::NotFound);
}

TEST(WinHidBackend, AnOpenCollectionTimesOutAndCloses)
{
    auto backend = MakeSystemBackend();
    std::shared_ptr<IHidDevice> dev;
    DeviceInfo info;
    for (const DeviceInfo& d : backend->Enumerate()) {
        OpenError err = OpenError::None;
        dev = backend->Open(d.path, &err);
        if (dev) {
            info = d;
            break;
        }
        // The system may hold its own mice and keyboards exclusively; nothing else is a reason.
        EXPECT_EQ(err, OpenError::AccessDenied) << d.path;
    }
    if (!dev) GTEST_SKIP() << "no HID collection here opens for reading";

    DeviceInfo now;
    ASSERT_TRUE(dev->GetInfo(now));
    EXPECT_EQ(now.vendorId, info.vendorId);
    EXPECT_EQ(now.inputReportLength, info.inputReportLength);
    // Nobody moves Wine's virtual mouse: the read ends at its time-out with nothing.
    std::uint8_t buf[64];
    if (platform::win32::RunningUnderWine()) {
        EXPECT_EQ(dev->Read(buf, sizeof buf, 30), 0);
    }

    // Reports the collection does not have are refused, not waited for.
    if (info.outputReportLength == 0) {
        EXPECT_EQ(dev->Write(buf, 8, 1000), -1);
    }
    if (info.featureReportLength == 0) {
        EXPECT_EQ(dev->GetFeature(buf, 8), -1);
        EXPECT_EQ(dev->SetFeature(buf, 8), -1);
    }

    // A read blocked in another thread ends when the collection is closed.
    auto reader = std::async(std::launch::async, [&] { return dev->Read(buf, sizeof buf, 60000); });
    dev->Close();
    ASSERT_EQ(reader.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_LE(reader.get(), 0);
    EXPECT_EQ(dev->Read(buf, sizeof buf, 10), -1);
    EXPECT_EQ(dev->Write(buf, 8, 1000), -1);
    EXPECT_EQ(dev->GetFeature(buf, 8), -1);
    EXPECT_FALSE(dev->GetInfo(now));
}

// A Close that comes between a read's closed check and its ReadFile must still end that read
// at once, not after its time-out. The window is narrow, so the race is run many times, each
// with a reader that would otherwise wait a minute.
TEST(WinHidBackend, ACloseAlwaysEndsTheReadItRaces)
{
    auto backend = MakeSystemBackend();
    std::string path;
    for (const DeviceInfo& d : backend->Enumerate()) {
        if (auto dev = backend->Open(d.path, nullptr)) {
            path = d.path;
            dev->Close();
            break;
        }
    }
    if (path.empty()) GTEST_SKIP() << "no HID collection here opens for reading";
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 200; ++i) {
        auto dev = backend->Open(path, nullptr);
        ASSERT_NE(dev, nullptr);
        std::uint8_t buf[64];
        auto reader = std::async(std::launch::async, [&] { return dev->Read(buf, sizeof buf, 60000); });
        if (i % 2) std::this_thread::yield();
        dev->Close();
        ASSERT_EQ(reader.wait_for(std::chrono::seconds(10)), std::future_status::ready) << "round " << i;
        EXPECT_EQ(reader.get(), -1) << "round " << i;
    }
    // Far below one read's time-out: no round waited for it.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(60));
}
