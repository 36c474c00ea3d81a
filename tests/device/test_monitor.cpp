// The USB topology monitor on the simulated USB tree: walk order, table keying and
// persistence, limits, and the string-descriptor request with its reply checks.
#include "DeviceTestUtil.h"
#include "device/USBDeviceMonitor.h"

using namespace platform::usb;
using testutil::SimTest;

namespace {

class MonitorTest : public SimTest
{
protected:
    int root = 0;
    void SetUp() override
    {
        SimTest::SetUp();
        root = world.RootHub(0);
    }
    static WORD Vid(const USB_PORT_ENTRY& e) { return GetU16(e.pConnectionInfo + conn::idVendor); }
    static WORD Pid(const USB_PORT_ENTRY& e) { return GetU16(e.pConnectionInfo + conn::idProduct); }
    static ULONG Port(const USB_PORT_ENTRY& e) { return GetU32(e.pConnectionInfo + conn::ConnectionIndex); }
    CUSBDeviceMonitor mon;
};

} // namespace

TEST_F(MonitorTest, WalkIsDepthFirstAndTheFirstMatchIsTheLowestIndex)
{
    int hub = world.AddHub(root, 1, 4);
    world.PlugDevice(hub, 2, 0x1234, 0x0001);  // behind the hub on port 1: met first
    world.PlugDevice(root, 3, 0x1234, 0x0001); // same VID/PID on the root hub's port 3
    world.PlugDevice(root, 2, 0x5555, 0x0002);
    int root1 = world.AddController(1, 2);
    world.PlugDevice(root1, 1, 0x1234, 0x0001);
    mon.Refresh();
    ASSERT_EQ(mon.GetUsedCount(), 4);
    USB_PORT_ENTRY e;
    ASSERT_EQ(mon.FindPortByVidPid(0x1234, 0x0001, e), 1);
    EXPECT_EQ(e.strHubPath, CString(u"\\\\.\\") + CString(world.HubName(hub)));
    EXPECT_EQ(Port(e), 2u);
    EXPECT_EQ(e.pConnectionInfo, mon.GetEntry(0).pConnectionInfo); // the monitor's own block
    EXPECT_EQ(mon.GetEntry(1).strHubPath, CString(u"\\\\.\\") + CString(world.HubName(root)));
    EXPECT_EQ(Port(mon.GetEntry(1)), 2u);
    EXPECT_EQ(Port(mon.GetEntry(2)), 3u);
    EXPECT_EQ(mon.GetEntry(3).strHubPath, CString(u"\\\\.\\") + CString(world.HubName(root1)));
    // Hubs themselves are not recorded.
    USB_PORT_ENTRY none;
    none.strHubPath = u"untouched";
    EXPECT_EQ(mon.FindPortByVidPid(0x05E3, 0x0608, none), 0);
    EXPECT_EQ(none.strHubPath, CString(u"untouched"));
}

TEST_F(MonitorTest, EntriesPersistAndFreedIndexesAreReusedLowestFirst)
{
    world.PlugDevice(root, 1, 0x1111, 1);
    world.PlugDevice(root, 2, 0x2222, 2);
    world.PlugDevice(root, 3, 0x3333, 3);
    mon.Refresh();
    BYTE* second = mon.GetEntry(1).pConnectionInfo;
    world.Unplug(root, 1);
    world.SetDeviceAddress(root, 2, 99); // re-enumerated on the same port
    mon.Refresh();
    EXPECT_TRUE(mon.GetEntry(0).strHubPath.IsEmpty());
    EXPECT_EQ(mon.GetEntry(0).pConnectionInfo, nullptr);
    EXPECT_EQ(mon.GetEntry(1).pConnectionInfo, second); // overwritten in place
    EXPECT_EQ(GetU16(second + conn::DeviceAddress), 99);
    EXPECT_EQ(Vid(mon.GetEntry(2)), 0x3333);
    // Moved to another port: recorded again at the lowest free index.
    world.PlugDevice(root, 4, 0x1111, 1);
    mon.Refresh();
    EXPECT_EQ(Vid(mon.GetEntry(0)), 0x1111);
    EXPECT_EQ(Port(mon.GetEntry(0)), 4u);
    EXPECT_EQ(mon.GetUsedCount(), 3);
    mon.Refresh(); // nothing changed: nothing moves
    EXPECT_EQ(mon.GetEntry(1).pConnectionInfo, second);
    EXPECT_EQ(mon.GetUsedCount(), 3);
}

// Entries of one hub in any order: a device that arrives on a lower port than one already
// recorded is added, and updated in place when it is enumerated again.
TEST_F(MonitorTest, ADeviceBelowARecordedNeighbourIsAddedAndUpdated)
{
    world.PlugDevice(root, 3, 0x3333, 3);
    mon.Refresh();
    world.PlugDevice(root, 2, 0x2222, 2);
    mon.Refresh();
    USB_PORT_ENTRY e;
    ASSERT_EQ(mon.FindPortByVidPid(0x2222, 2, e), 1);
    EXPECT_EQ(Port(e), 2u);
    world.SetDeviceAddress(root, 2, 77);
    mon.Refresh();
    ASSERT_EQ(mon.FindPortByVidPid(0x2222, 2, e), 1);
    EXPECT_EQ(GetU16(e.pConnectionInfo + conn::DeviceAddress), 77);
    EXPECT_EQ(mon.GetUsedCount(), 2);
}

TEST_F(MonitorTest, ARemovedHubTakesItsDevicesWithIt)
{
    int hub = world.AddHub(root, 2, 3);
    int inner = world.AddHub(hub, 3, 2);
    world.PlugDevice(hub, 1, 0xAAAA, 1);
    world.PlugDevice(inner, 2, 0xBBBB, 2);
    world.PlugDevice(root, 1, 0xCCCC, 3);
    mon.Refresh();
    ASSERT_EQ(mon.GetUsedCount(), 3);
    world.Unplug(root, 2);
    mon.Refresh();
    EXPECT_EQ(mon.GetUsedCount(), 1);
    USB_PORT_ENTRY e;
    EXPECT_EQ(mon.FindPortByVidPid(0xCCCC, 3, e), 1);
    EXPECT_EQ(mon.FindPortByVidPid(0xBBBB, 2, e), 0);
}

TEST_F(MonitorTest, LimitsOfTheWalk)
{
    // 255 + 2 devices: the 257th is not recorded and nothing is evicted.
    int big = world.AddController(0, 255);
    for (int p = 1; p <= 255; ++p) world.PlugDevice(big, p, 0x1000, static_cast<WORD>(p));
    int c1 = world.AddController(1, 2);
    world.PlugDevice(c1, 1, 0x2000, 1);
    world.PlugDevice(c1, 2, 0x2000, 2);
    // Controller 10 is never looked at; a hub without ports is never asked about a port.
    int c10 = world.AddController(10, 1);
    world.PlugDevice(c10, 1, 0x3000, 1);
    ASSERT_GE(world.AddHub(world.AddController(9, 1), 1, 0), 0); // the only downstream hub
    mon.Refresh();
    EXPECT_EQ(mon.GetUsedCount(), 256);
    USB_PORT_ENTRY e;
    EXPECT_EQ(mon.FindPortByVidPid(0x1000, 255, e), 1);
    EXPECT_EQ(mon.FindPortByVidPid(0x2000, 1, e), 1);
    EXPECT_EQ(mon.FindPortByVidPid(0x2000, 2, e), 0);
    EXPECT_EQ(mon.FindPortByVidPid(0x3000, 1, e), 0);
    for (const auto& r : world.HubLog()) {
        EXPECT_NE(r.path, u"\\\\.\\HCD10");
        EXPECT_NE(r.path, u"\\\\.\\SIM_ROOT_HUB#10");
        if (r.path.find(u"SIM_HUB#") != std::u16string::npos) {
            EXPECT_NE(r.code, IOCTL_USB_GET_NODE_CONNECTION_INFORMATION);
        }
    }
    bool askedEmptyHub = false;
    for (const auto& r : world.HubLog())
        if (r.code == IOCTL_USB_GET_NODE_INFORMATION && r.path.find(u"SIM_HUB#") != std::u16string::npos) askedEmptyHub = true;
    EXPECT_TRUE(askedEmptyHub);
}

// A chain of hubs is followed eight hubs below the root hub (more than the seven tiers USB
// allows, so no real tree is cut short) and no further: a deeper chain is a loop.
TEST_F(MonitorTest, AHubChainIsFollowedEightHubsDeepAndNoFurther)
{
    int hub = root;
    for (WORD depth = 1; depth <= 9; ++depth) {
        hub = world.AddHub(hub, 1, 2);
        ASSERT_GE(hub, 0) << depth;
        world.PlugDevice(hub, 2, 0x4000, depth);
    }
    mon.Refresh();
    USB_PORT_ENTRY e;
    for (WORD depth = 1; depth <= 9; ++depth) EXPECT_EQ(mon.FindPortByVidPid(0x4000, depth, e), depth <= 8 ? 1 : 0) << depth;
    EXPECT_EQ(mon.GetLastScan().hubs, 9); // the root hub and eight below it
}

TEST_F(MonitorTest, StringDescriptorRequestSwitchesTheMouse)
{
    world.PlugMouse(root, 2);
    mon.Refresh();
    USB_PORT_ENTRY e;
    ASSERT_EQ(mon.FindPortByVidPid(0x1EA7, world.GetMouseSettings().appProductId, e), 1);
    EXPECT_TRUE(mon.GetStringDescriptor(e).IsEmpty()); // drops off the bus while answering
    EXPECT_EQ(world.GetCounters().switchRequests, 1);
    EXPECT_EQ(world.GetMouseMode(), sim::MouseMode::Switching);
    ASSERT_TRUE(testutil::WaitFor([&] { return world.GetMouseMode() == sim::MouseMode::Bootloader; }));
    mon.Refresh(); // same port, new identity: overwritten in place
    EXPECT_EQ(mon.GetUsedCount(), 1);
    ASSERT_EQ(mon.FindPortByVidPid(0x040B, 0x6876, e), 1);
    EXPECT_EQ(mon.GetStringDescriptor(USB_PORT_ENTRY()), CString());
}

TEST_F(MonitorTest, DescriptorRepliesAreCheckedBeforeUse)
{
    world.PlugDevice(root, 1, 0x4444, 1);
    mon.Refresh();
    USB_PORT_ENTRY e;
    ASSERT_EQ(mon.FindPortByVidPid(0x4444, 1, e), 1);
    EXPECT_EQ(mon.GetStringDescriptor(e), CString(u"SIM"));
    struct Case {
        std::vector<BYTE> data;
        bool fail;
        const char16_t* expect;
    } cases[] = {
        {{6, 3, 'O', 0, 'K', 0}, false, u"OK"},
        {{6, 3, 0x2D, 0x4E, 0x87, 0x65}, false, u"中文"}, // UTF-16LE: the high byte counts
        {{2, 3}, false, u""},                 // empty string: valid
        {{5, 3, 'O', 0, 'K'}, false, nullptr}, // odd length
        {{6, 2, 'O', 0, 'K', 0}, false, nullptr}, // not a string descriptor
        {{8, 3, 'O', 0, 'K', 0}, false, nullptr}, // length byte disagrees with the count
        {{4, 3, 'O', 0, 'K', 0}, false, nullptr},
        {{3}, false, nullptr},               // too short
        {{}, false, nullptr},
        {{6, 3, 'O', 0, 'K', 0}, true, nullptr}, // request failed
    };
    for (const auto& c : cases) {
        world.SetDescriptorReply(root, 1, c.data, c.fail);
        CString text = mon.GetStringDescriptor(e);
        EXPECT_EQ(text, CString(c.expect ? c.expect : u"")) << c.data.size();
    }
    // A reply parsed directly: the largest possible one.
    std::vector<BYTE> buf(kDescReqSize, 0);
    buf[12] = 254;
    buf[13] = 3;
    CString text;
    EXPECT_TRUE(CUSBDeviceMonitor::ParseStringDescriptorReply(buf.data(), 12 + 254, text));
    EXPECT_EQ(text.GetLength(), 126);
    EXPECT_FALSE(CUSBDeviceMonitor::ParseStringDescriptorReply(buf.data(), kDescReqSize + 1, text));
    EXPECT_FALSE(CUSBDeviceMonitor::ParseStringDescriptorReply(nullptr, 20, text));
    // The shortest: an empty string is a reply (true), one byte less is none, and a refused
    // reply leaves the text alone.
    buf[12] = 2;
    text = u"kept";
    EXPECT_TRUE(CUSBDeviceMonitor::ParseStringDescriptorReply(buf.data(), 12 + 2, text));
    EXPECT_EQ(text, CString());
    text = u"kept";
    buf[12] = 1;
    EXPECT_FALSE(CUSBDeviceMonitor::ParseStringDescriptorReply(buf.data(), 12 + 1, text));
    EXPECT_EQ(text, CString(u"kept"));
    // A reply of its header alone is none, whatever the buffer holds behind it; a string
    // descriptor of odd length is refused and leaves the text alone too.
    buf[12] = 0;
    buf[13] = 3;
    EXPECT_FALSE(CUSBDeviceMonitor::ParseStringDescriptorReply(buf.data(), 12, text));
    buf[12] = 5;
    EXPECT_FALSE(CUSBDeviceMonitor::ParseStringDescriptorReply(buf.data(), 12 + 5, text));
    EXPECT_EQ(text, CString(u"kept"));
}

// Twins of one kind told apart by their port paths, as the hub driver names them. A path no
// entry has, another kind at that path, or an entry whose device has gone names nothing.
TEST_F(MonitorTest, APortPathFindsThatDeviceAndNoOther)
{
    int hub = world.AddHub(root, 2, 4);
    world.PlugDevice(root, 1, 0x1234, 0x0001);
    world.PlugDevice(hub, 3, 0x1234, 0x0001);
    mon.Refresh();
    USB_PORT_ENTRY e;
    ASSERT_EQ(mon.FindPortByPath("1-2.3", 0x1234, 0x0001, e), 1);
    EXPECT_EQ(e.strHubPath, CString(u"\\\\.\\") + CString(world.HubName(hub)));
    EXPECT_EQ(Port(e), 3u);
    ASSERT_EQ(mon.FindPortByPath("1-1", 0x1234, 0x0001, e), 1);
    EXPECT_EQ(Port(e), 1u);
    EXPECT_EQ(mon.PortPathOf(e), "1-1");
    // The hub gone before the next refresh: its device's entry asks nothing of it.
    USB_PORT_ENTRY behind;
    ASSERT_EQ(mon.FindPortByPath("1-2.3", 0x1234, 0x0001, behind), 1);
    world.Unplug(root, 2);
    EXPECT_EQ(mon.GetStringDescriptor(behind), CString());
    USB_PORT_ENTRY none;
    EXPECT_EQ(mon.FindPortByPath("1-3", 0x1234, 0x0001, none), 0);
    EXPECT_EQ(mon.FindPortByPath("1-1", 0x1234, 0x0002, none), 0);
    EXPECT_EQ(mon.FindPortByPath("", 0x1234, 0x0001, none), 0);
    EXPECT_EQ(none.pConnectionInfo, nullptr);
    world.Unplug(root, 1);
    mon.Refresh();
    EXPECT_EQ(mon.FindPortByPath("1-1", 0x1234, 0x0001, none), 0);
    EXPECT_TRUE(mon.GetEntry(0).strHubPath.IsEmpty());
    EXPECT_EQ(mon.PortPathOf(mon.GetEntry(0)), "");
    USB_PORT_ENTRY stale; // a path without its block
    stale.strHubPath = CString(u"\\\\.\\") + CString(world.HubName(root));
    EXPECT_EQ(mon.PortPathOf(stale), "");
}
