// The real backends as far as no hardware is needed: the report-descriptor parser, the
// collections of a fixture hidraw class tree as hidapi 0.13 lists it, and the monitor over
// sysfs USB trees (fixture and made up on the spot), and refused nodes.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "device/USBDeviceMonitor.h"
#include "platform/hid/HidReportDescriptor.h"
#include "platform/hid/HidrawBackend.h"
#include "platform/usb/SysfsUsbHubDriver.h"

using namespace platform::hid;
using namespace platform::usb;

namespace {
std::vector<std::uint8_t> ReadFixture(const std::string& rel)
{
    std::ifstream f(std::string(TARVEX_FIXTURES) + "/" + rel, std::ios::binary);
    return std::vector<std::uint8_t>((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}
} // namespace

TEST(ReportDescriptor, CollectionsAndLengthsOfTheMouse)
{
    auto d = ReadFixture("hidraw/hidraw0/device/report_descriptor");
    ASSERT_FALSE(d.empty());
    std::vector<TopLevelCollection> c;
    ASSERT_TRUE(ParseReportDescriptor(d.data(), d.size(), c));
    ASSERT_EQ(c.size(), 2u);
    EXPECT_EQ(c[0].usagePage, 0x0001);
    EXPECT_EQ(c[0].usage, 0x0002);
    // The vendor collection's numbered input makes every input report on the node numbered.
    EXPECT_TRUE(c[0].usesReportIds);
    EXPECT_TRUE(c[0].inputReportIds.empty());
    EXPECT_EQ(c[0].inputReportLength, 4); // 3 bytes + the ID byte the driver counts
    EXPECT_EQ(c[0].outputReportLength, 0);
    EXPECT_EQ(c[1].usagePage, 0xFFBA);
    EXPECT_TRUE(c[1].usesReportIds);
    EXPECT_EQ(c[1].inputReportIds, std::vector<std::uint8_t>{0xBA});
    EXPECT_EQ(c[1].inputReportLength, 8);
    EXPECT_EQ(c[1].outputReportLength, 8);
    EXPECT_EQ(c[1].featureReportLength, 8);

    auto isp = ReadFixture("hidraw/hidraw1/device/report_descriptor");
    ASSERT_TRUE(ParseReportDescriptor(isp.data(), isp.size(), c));
    ASSERT_EQ(c.size(), 1u);
    EXPECT_EQ(c[0].usagePage, 0xFF00);
    EXPECT_EQ(c[0].featureReportLength, 65);
}

TEST(ReportDescriptor, AReportIdDeclaredBeforeTheCollectionStillNumbersItsReports)
{
    // Usage page FFBA, Report ID BA, then the collection with an 8-byte input report.
    const std::vector<std::uint8_t> d = {0x06, 0xBA, 0xFF, 0x85, 0xBA, 0x09, 0x01, 0xA1, 0x01, 0x75, 0x08,
                                         0x95, 0x07, 0x81, 0x02, 0xC0};
    std::vector<TopLevelCollection> c;
    ASSERT_TRUE(ParseReportDescriptor(d.data(), d.size(), c));
    ASSERT_EQ(c.size(), 1u);
    EXPECT_TRUE(c[0].usesReportIds);
    EXPECT_EQ(c[0].inputReportIds, std::vector<std::uint8_t>{0xBA});
    EXPECT_EQ(c[0].inputReportLength, 8);
    // A report ID wider than a byte names nothing.
    const std::vector<std::uint8_t> wide = {0x06, 0xBA, 0xFF, 0x86, 0x00, 0x01, 0x09, 0x01, 0xA1, 0x01, 0xC0};
    EXPECT_FALSE(ParseReportDescriptor(wide.data(), wide.size(), c));
}

TEST(ReportDescriptor, MalformedDescriptorsAreRefused)
{
    std::vector<TopLevelCollection> c;
    const std::vector<std::vector<std::uint8_t>> bad = {
        {0x06, 0xBA},                          // truncated item
        {0x05, 0x01, 0x09, 0x02, 0xA1, 0x01},  // collection never closed
        {0xC0},                                // end without collection
        {0xB4},                                // pop without push
        {0xFE, 0x10, 0x00, 0x01},              // long item running past the end
        // 0xFFFFFFFF x 0xFFFFFFFF bits in one report
        {0x05, 0x01, 0xA1, 0x01, 0x77, 0xFF, 0xFF, 0xFF, 0xFF, 0x97, 0xFF, 0xFF, 0xFF, 0xFF, 0x81, 0x02, 0xC0},
    };
    for (const auto& b : bad) {
        c.assign(1, TopLevelCollection());
        EXPECT_FALSE(ParseReportDescriptor(b.data(), b.size(), c)) << b.size();
        EXPECT_TRUE(c.empty());
    }
    // Push and pop restore the report size; a long item is skipped.
    const std::vector<std::uint8_t> ok = {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x75, 0x08, 0x95, 0x04, 0xA4, 0x75, 0x10,
                                          0xB4, 0xFE, 0x01, 0x00, 0x55, 0x81, 0x02, 0xC0};
    ASSERT_TRUE(ParseReportDescriptor(ok.data(), ok.size(), c));
    ASSERT_EQ(c.size(), 1u);
    EXPECT_EQ(c[0].inputReportLength, 5);
    EXPECT_TRUE(ParseReportDescriptor(nullptr, 0, c));
    EXPECT_TRUE(c.empty());
}

TEST(HidrawBackend, PathsAndLengthsFromTheClassTree)
{
    std::string node;
    int col = 0;
    EXPECT_TRUE(HidrawBackend::SplitPath("/dev/hidraw3&col02", node, col));
    EXPECT_EQ(node, "/dev/hidraw3");
    EXPECT_EQ(col, 2);
    for (const char* bad : {"/dev/hidraw3", "&col01", "/dev/hidraw3&col", "/dev/hidraw3&col0", "/dev/x&colab"})
        EXPECT_FALSE(HidrawBackend::SplitPath(bad, node, col)) << bad;

    HidrawBackend backend(std::string(TARVEX_FIXTURES) + "/hidraw");
    DeviceInfo info;
    TopLevelCollection tlc;
    ASSERT_TRUE(backend.ReadLengths("/dev/hidraw0", 2, info, &tlc));
    EXPECT_TRUE(tlc.usesReportIds);
    EXPECT_EQ(info.outputReportLength, 8);
    ASSERT_TRUE(backend.ReadLengths("/dev/hidraw1", 1, info, &tlc));
    EXPECT_FALSE(tlc.usesReportIds);
    EXPECT_EQ(info.featureReportLength, 65);
    EXPECT_FALSE(backend.ReadLengths("/dev/hidraw0", 3, info));
    EXPECT_FALSE(backend.ReadLengths("/dev/hidraw9", 1, info));
}

TEST(SysfsHubDriver, TheMonitorWalksAFixtureTree)
{
    auto driver = std::make_shared<SysfsUsbHubDriver>(std::string(TARVEX_FIXTURES) + "/sysfs");
    InstallHubDriver(driver);
    {
        CUSBDeviceMonitor mon;
        mon.Refresh();
        ASSERT_EQ(mon.GetUsedCount(), 2);
        USB_PORT_ENTRY e;
        ASSERT_EQ(mon.FindPortByVidPid(0x1EA7, 0x4D58, e), 1);
        EXPECT_EQ(e.strHubPath, CString(u"\\\\.\\usb1"));
        const BYTE* b = e.pConnectionInfo;
        EXPECT_EQ(GetU32(b + conn::ConnectionIndex), 1u);
        EXPECT_EQ(GetU32(b + conn::ConnectionStatus), DeviceConnected);
        EXPECT_EQ(GetU16(b + conn::DeviceAddress), 5);
        EXPECT_EQ(b[conn::DeviceIsHub], 0);
        EXPECT_EQ(b[conn::LowSpeed], 0);
        EXPECT_EQ(b[conn::CurrentConfigurationValue], 1);
        EXPECT_EQ(b[conn::DeviceDescriptor], 18);
        ASSERT_EQ(mon.FindPortByVidPid(0x046D, 0xC077, e), 1);
        EXPECT_EQ(e.strHubPath, CString(u"\\\\.\\1-2"));
        EXPECT_EQ(GetU32(e.pConnectionInfo + conn::ConnectionIndex), 3u);
        EXPECT_EQ(e.pConnectionInfo[conn::LowSpeed], 1);
        EXPECT_EQ(GetU16(e.pConnectionInfo + conn::DeviceAddress), 9);
        // No libusb device at that bus/address here: the request fails quietly.
        EXPECT_TRUE(mon.GetStringDescriptor(e).IsEmpty());
        mon.Refresh();
        EXPECT_EQ(mon.GetUsedCount(), 2);
    }
    // Names that would leave the tree, and devices that are not hubs, do not open.
    for (const char16_t* p : {u"\\\\.\\..", u"\\\\.\\1-1", u"\\\\.\\usb1/../usb1", u"usb1", u"\\\\.\\HCD7", u"\\\\.\\HCDx"})
        EXPECT_EQ(driver->Open(CString(p)), nullptr) << CString(p).ToUtf8();
    auto hcd1 = driver->Open(CString(u"\\\\.\\HCD1")); // the second bus: usb2
    ASSERT_NE(hcd1, nullptr);
    BYTE name[64] = {};
    DWORD got = 0;
    ASSERT_TRUE(hcd1->IoControl(IOCTL_USB_GET_ROOT_HUB_NAME, nullptr, 0, name, sizeof name, &got));
    EXPECT_EQ(GetU32(name), 4u + 5 * 2);
    EXPECT_EQ(name[4], 'u');
    EXPECT_EQ(SysfsUsbHubDriver::ChildName("usb2", 4), "2-4");
    EXPECT_EQ(SysfsUsbHubDriver::ChildName("2-4.1", 3), "2-4.1.3");
    InstallHubDriver(nullptr);
}

namespace {
// What hidapi 0.13.1 (Debian 12's libhidapi-hidraw0) lists for fixtures/hidraw: its
// get_next_hid_usage() yields one entry for every Collection item preceded by a Usage item,
// nested collections included (hidapi 0.15 was the first to skip them). For hidraw2, a mouse
// collection with report ID 1 around a Physical "Pointer" collection, then the vendor
// collection 0xFFBA with report ID 0xBA, that is three entries on the same node: Generic
// Desktop/Mouse, Generic Desktop/Pointer, 0xFFBA/1 (the output of hidapi-0.13.1's own
// linux/hid.c usage walk run over this descriptor file). The bootloader's hidraw1 has one.
std::vector<HidrawNodeEntry> Hidapi013List(const std::string& dev)
{
    return {
        {dev + "/hidraw2", 0x1EA7, 0x4D58, 0x0100, 0x0001, 0x0002},
        {dev + "/hidraw2", 0x1EA7, 0x4D58, 0x0100, 0x0001, 0x0001},
        {dev + "/hidraw2", 0x1EA7, 0x4D58, 0x0100, 0xFFBA, 0x0001},
        {dev + "/hidraw1", 0x040B, 0x6876, 0x0200, 0xFF00, 0x0001},
    };
}
} // namespace

TEST(HidrawBackend, CollectionsAreNumberedFromTheNodesOwnDescriptor)
{
    HidrawBackend backend(std::string(TARVEX_FIXTURES) + "/hidraw", [] { return Hidapi013List("/dev"); });
    auto list = backend.Enumerate();
    // The device code's filter (vendor 0x1EA7, usage page 0xFFBA) must land on the vendor
    // collection with its lengths: without them its reports are misread.
    auto vendor = std::find_if(list.begin(), list.end(),
                               [](const DeviceInfo& d) { return d.vendorId == 0x1EA7 && d.usagePage == 0xFFBA; });
    ASSERT_NE(vendor, list.end());
    EXPECT_EQ(vendor->path, "/dev/hidraw2&col02");
    EXPECT_EQ(vendor->outputReportLength, 8);
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[0].path, "/dev/hidraw2&col01");
    EXPECT_EQ(list[0].usagePage, 0x0001);
    EXPECT_EQ(list[0].usage, 0x0002);
    EXPECT_EQ(list[0].inputReportLength, 7); // buttons, X, Y, wheel + the ID byte
    EXPECT_EQ(list[1].path, "/dev/hidraw2&col02");
    EXPECT_EQ(list[1].vendorId, 0x1EA7);
    EXPECT_EQ(list[1].productId, 0x4D58);
    EXPECT_EQ(list[1].versionNumber, 0x0100);
    EXPECT_EQ(list[1].usagePage, 0xFFBA);
    EXPECT_EQ(list[1].usage, 0x0001);
    EXPECT_EQ(list[1].inputReportLength, 8);
    EXPECT_EQ(list[1].outputReportLength, 8);
    EXPECT_EQ(list[1].featureReportLength, 8);
    EXPECT_EQ(list[2].path, "/dev/hidraw1&col01");
    EXPECT_EQ(list[2].vendorId, 0x040B);
    EXPECT_EQ(list[2].featureReportLength, 65);
    // Asking by path agrees with the list.
    DeviceInfo info;
    ASSERT_TRUE(backend.GetInfo("/dev/hidraw2&col02", info));
    EXPECT_EQ(info.usagePage, 0xFFBA);
    EXPECT_EQ(info.outputReportLength, 8);
    EXPECT_FALSE(backend.GetInfo("/dev/hidraw2&col03", info));
}

namespace {
namespace fs = std::filesystem;

// A sysfs USB device directory as the kernel shows it, for the attributes the driver reads.
void AddUsbDevice(const fs::path& root, const std::string& name, unsigned bus, unsigned devnum, bool hub,
                  std::uint16_t vid, std::uint16_t pid, unsigned ports = 0)
{
    fs::path d = root / name;
    fs::create_directories(d);
    auto put = [&](const char* file, const std::string& text) { std::ofstream(d / file) << text << "\n"; };
    put("bDeviceClass", hub ? "09" : "00");
    put("busnum", std::to_string(bus));
    put("devnum", std::to_string(devnum));
    put("bConfigurationValue", "1");
    put("speed", "480");
    if (hub) put("maxchild", std::to_string(ports));
    const std::uint8_t desc[18] = {18, 1, 0x00, 0x02, static_cast<std::uint8_t>(hub ? 9 : 0), 0, 0, 64,
                                   static_cast<std::uint8_t>(vid), static_cast<std::uint8_t>(vid >> 8),
                                   static_cast<std::uint8_t>(pid), static_cast<std::uint8_t>(pid >> 8), 0, 1, 1, 2, 0, 1};
    std::ofstream(d / "descriptors", std::ios::binary).write(reinterpret_cast<const char*>(desc), sizeof desc);
}

struct ScratchDir {
    fs::path path;
    ScratchDir()
    {
        char tmpl[] = "/tmp/tarvex-usb-XXXXXX";
        path = mkdtemp(tmpl);
        fs::permissions(path, fs::perms(0755)); // others traverse it in the refusal test
    }
    ~ScratchDir()
    {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
};

// A machine whose buses are numbered as given, a root hub with four ports on each.
void AddBuses(const fs::path& root, std::initializer_list<unsigned> buses)
{
    for (unsigned b : buses) AddUsbDevice(root, "usb" + std::to_string(b), b, 1, true, 0x1D6B, 0x0002, 4);
}
} // namespace

TEST(SysfsHubDriver, TheTenControllerNamesReachAnyBusNumber)
{
    // Buses 1, 2 and 13 (a second xHCI controller numbered after others came and went).
    ScratchDir tmp;
    const fs::path sys = tmp.path / "sys";
    AddBuses(sys, {13, 2, 1});
    AddUsbDevice(sys, "13-2", 13, 7, false, 0x1EA7, 0x4D58);
    AddUsbDevice(sys, "1-1", 1, 3, false, 0x046D, 0xC077);
    auto driver = std::make_shared<SysfsUsbHubDriver>(sys.string(), (tmp.path / "usbfs").string());
    EXPECT_EQ(driver->Buses(), (std::vector<unsigned>{1, 2, 13}));
    EXPECT_EQ(driver->RootHubOf(0), "usb1");
    EXPECT_EQ(driver->RootHubOf(2), "usb13");
    EXPECT_EQ(driver->RootHubOf(3), "");
    EXPECT_EQ(driver->Open(CString(u"\\\\.\\HCD3")), nullptr);
    InstallHubDriver(driver);
    {
        CUSBDeviceMonitor mon;
        mon.Refresh();
        EXPECT_EQ(mon.GetUsedCount(), 2);
        USB_PORT_ENTRY e;
        ASSERT_EQ(mon.FindPortByVidPid(0x1EA7, 0x4D58, e), 1);
        EXPECT_EQ(e.strHubPath, CString(u"\\\\.\\usb13"));
        EXPECT_EQ(GetU32(e.pConnectionInfo + conn::ConnectionIndex), 2u);
        EXPECT_EQ(GetU16(e.pConnectionInfo + conn::DeviceAddress), 7);
        // Its node is absent here: the request fails quietly.
        EXPECT_TRUE(mon.GetStringDescriptor(e).IsEmpty());
        // A node that opens but is no usbfs node: libusb refuses it, the request fails and
        // the descriptor is not left open.
        fs::create_directories(tmp.path / "usbfs/013");
        std::ofstream(tmp.path / "usbfs/013/007") << "not a device\n";
        auto fds = [] { return std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator()); };
        EXPECT_TRUE(mon.GetStringDescriptor(e).IsEmpty()); // libusb's context keeps fds of its own
        auto before = fds();
        EXPECT_TRUE(mon.GetStringDescriptor(e).IsEmpty());
        EXPECT_TRUE(mon.GetStringDescriptor(e).IsEmpty());
        EXPECT_EQ(fds(), before);
    }
    InstallHubDriver(nullptr);
}

TEST(SysfsHubDriver, OnAMachineWithMoreThanTenBusesEveryBusIsWalked)
{
    ScratchDir tmp;
    const fs::path sys = tmp.path / "sys";
    AddBuses(sys, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 14});
    AddUsbDevice(sys, "9-1", 9, 2, false, 0x1111, 0x0009);
    AddUsbDevice(sys, "10-3", 10, 2, false, 0x1111, 0x0010);
    AddUsbDevice(sys, "14-4", 14, 2, true, 0x05E3, 0x0610, 2); // a hub on the last bus
    AddUsbDevice(sys, "14-4.2", 14, 5, false, 0x1EA7, 0x4D58);
    auto driver = std::make_shared<SysfsUsbHubDriver>(sys.string(), (tmp.path / "usbfs").string());
    EXPECT_EQ(driver->RootHubOf(8), "usb9");
    EXPECT_EQ(driver->RootHubOf(9), SysfsUsbHubDriver::kMoreBuses);
    auto more = driver->Open(CString(u"\\\\.\\usb-more"));
    ASSERT_NE(more, nullptr);
    BYTE node[kNodeInfoSize] = {};
    DWORD got = 0;
    ASSERT_TRUE(more->IoControl(IOCTL_USB_GET_NODE_INFORMATION, node, sizeof node, node, sizeof node, &got));
    EXPECT_EQ(node[kNodeInfoNumberOfPorts], 4); // buses 10, 11, 12 and 14
    InstallHubDriver(driver);
    {
        CUSBDeviceMonitor mon;
        mon.Refresh();
        EXPECT_EQ(mon.GetUsedCount(), 3);
        USB_PORT_ENTRY e;
        ASSERT_EQ(mon.FindPortByVidPid(0x1111, 0x0009, e), 1);
        EXPECT_EQ(e.strHubPath, CString(u"\\\\.\\usb9"));
        ASSERT_EQ(mon.FindPortByVidPid(0x1111, 0x0010, e), 1);
        EXPECT_EQ(e.strHubPath, CString(u"\\\\.\\usb10"));
        ASSERT_EQ(mon.FindPortByVidPid(0x1EA7, 0x4D58, e), 1);
        EXPECT_EQ(e.strHubPath, CString(u"\\\\.\\14-4"));
        EXPECT_EQ(GetU32(e.pConnectionInfo + conn::ConnectionIndex), 2u);
        // The entries are kept by their own hubs, so they stay while the devices do.
        mon.Refresh();
        EXPECT_EQ(mon.GetUsedCount(), 3);
        fs::remove_all(sys / "14-4.2");
        mon.Refresh();
        EXPECT_EQ(mon.GetUsedCount(), 2);
    }
    InstallHubDriver(nullptr);
    // With ten buses or fewer there is no such hub.
    ScratchDir few;
    AddBuses(few.path, {1, 2});
    EXPECT_EQ(SysfsUsbHubDriver(few.path.string()).Open(CString(u"\\\\.\\usb-more")), nullptr);
}

TEST(Permissions, RefusedNodesAreReportedOnceEachWithTheirPaths)
{
    // The mouse's usbfs node and its hidraw node exist but may not be opened. Run in a child
    // process (as nobody when we are root, since root opens anything) so the once-per-process
    // messages start fresh; its stderr goes to a file.
    ScratchDir tmp;
    const fs::path sys = tmp.path / "sys";
    AddBuses(sys, {1, 13});
    AddUsbDevice(sys, "13-2", 13, 7, false, 0x1EA7, 0x4D58);
    fs::create_directories(tmp.path / "usbfs/013");
    const std::string usbNode = (tmp.path / "usbfs/013/007").string();
    std::ofstream(usbNode).put('x');
    fs::create_directories(tmp.path / "class/hidraw2/device");
    fs::copy_file(fs::path(TARVEX_FIXTURES) / "hidraw/hidraw2/device/report_descriptor",
                  tmp.path / "class/hidraw2/device/report_descriptor");
    fs::create_directories(tmp.path / "dev");
    const std::string hidNode = (tmp.path / "dev/hidraw2").string();
    ASSERT_EQ(mkfifo(hidNode.c_str(), 0600), 0);
    // Everything readable by all, whatever the umask, but the two nodes.
    for (const auto& f : fs::recursive_directory_iterator(tmp.path))
        fs::permissions(f.path(), f.is_directory() ? fs::perms(0755) : fs::perms(0644));
    ASSERT_EQ(chmod(usbNode.c_str(), 0), 0);
    ASSERT_EQ(chmod(hidNode.c_str(), 0), 0);
    const std::string log = (tmp.path / "stderr").string();
    int logFd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    ASSERT_GE(logFd, 0);

    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (geteuid() == 0 && (setgroups(0, nullptr) != 0 || setresgid(65534, 65534, 65534) != 0 ||
                               setresuid(65534, 65534, 65534) != 0))
            _exit(10);
        if (dup2(logFd, 2) < 0) _exit(11);
        SysfsUsbHubDriver driver(sys.string(), (tmp.path / "usbfs").string());
        auto hub = driver.Open(CString(u"\\\\.\\usb13"));
        if (!hub) _exit(12);
        for (int i = 0; i < 2; ++i) {
            BYTE req[kDescReqSize] = {};
            PutU32(req + descreq::ConnectionIndex, 2);
            PutU16(req + descreq::wValue, 0x03FF);
            PutU16(req + descreq::wIndex, 0x4D21);
            PutU16(req + descreq::wLength, 255);
            DWORD got = 0;
            if (hub->IoControl(IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION, req, sizeof req, req, sizeof req, &got)) _exit(13);
        }
        HidrawBackend backend((tmp.path / "class").string(), [&] {
            return std::vector<HidrawNodeEntry>{{hidNode, 0x1EA7, 0x4D58, 0x0100, 0xFFBA, 0x0001}};
        });
        for (int i = 0; i < 2; ++i) {
            OpenError err = OpenError::None;
            if (backend.Open(hidNode + "&col02", &err) || err != OpenError::AccessDenied) _exit(14);
        }
        if (!AccessDeniedSeen()) _exit(15);
        _exit(0);
    }
    ::close(logFd);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 0);
    std::ifstream in(log);
    std::vector<std::string> lines;
    for (std::string l; std::getline(in, l);) lines.push_back(l);
    auto count = [&](const std::string& path) {
        return std::count_if(lines.begin(), lines.end(), [&](const std::string& l) {
            return l.find(path + " is present but cannot be opened (permission denied)") != std::string::npos;
        });
    };
    EXPECT_EQ(count(usbNode), 1) << "usbfs node " << usbNode;
    EXPECT_EQ(count(hidNode), 1) << "hidraw node " << hidNode;
    EXPECT_EQ(lines.size(), 2u);
}
