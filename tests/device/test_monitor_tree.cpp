// The topology monitor against USB trees written as a Windows machine's hub driver answers
// them, byte for byte in the driver's record layouts: a PC whose only host controller has no
// "\\.\HCDn" link (found by its device interface alone), one controller reached by both kinds
// of path, and a machine where nothing opens.
#include <gtest/gtest.h>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "device/USBDeviceMonitor.h"

using namespace platform::usb;

namespace {

// An xHCI controller as SetupAPI lists it, its root hub and one external hub, with the names
// in the shapes Windows 10 gives them.
constexpr char16_t kXhciInterface[] =
    u"\\\\?\\PCI#VEN_8086&DEV_A36D&SUBSYS_85F01043&REV_10#3&11583659&0&A0#{3abf6f2d-71c4-462a-8a92-1e6861e6af27}";
constexpr char16_t kXhciKey[] = u"{36fc9e60-c465-11cf-8056-444553540000}\\0001";
constexpr char16_t kRootHub[] = u"USB#ROOT_HUB30#4&2b3e8a3&0&0#{f18a0e88-c30c-11d0-8815-00a0c906bed8}";
constexpr char16_t kExtHub[] = u"USB#VID_05E3&PID_0610#6&1f4b6a6c&0&3#{f18a0e88-c30c-11d0-8815-00a0c906bed8}";

struct Port {
    WORD vid = 0, pid = 0; // 0: nothing connected
    const char16_t* hubName = nullptr; // set: the device is that hub
    DWORD claimedLength = 0; // a hub: set, its connection name record claims this length
    bool unterminated = false; // a hub: its name fills the record, no 0 after it
    BYTE tail = 0; // a hub: set, its name is unterminated and the record ends in this lone byte
    DWORD counted = 0; // a hub: set, its name request says it returned at most this many bytes
};
struct Node {
    const char16_t* rootHub = nullptr;   // a controller: its root hub's name
    const char16_t* driverKey = nullptr; // a controller: null when the request fails
    std::vector<Port> ports;             // a hub
    DWORD claimedLength = 0; // a controller: set, its root hub name record claims this length
    bool unterminated = false; // a controller: its root hub name fills the record, no 0 after it
    BYTE tail = 0;     // a controller: as a hub port's, for its root hub name
    DWORD counted = 0; // a controller: as a hub port's, for its root hub name
};

// The record's name unterminated, then one lone byte: an odd length.
void PutNameAndTail(BYTE* out, DWORD outLen, std::size_t header, std::size_t lengthAt, const std::u16string& name, BYTE tail,
                    DWORD* returned);

// Serves the five hub requests and the two controller requests from the tree; records every
// request as "path code".
class TreeDriver : public IUsbHubDriver
{
public:
    std::map<std::u16string, Node> nodes; // by device path
    std::vector<CString> interfaces;
    std::vector<std::u16string> log;

    std::unique_ptr<IUsbNode> Open(const CString& path) override;
    std::vector<CString> ControllerInterfacePaths() override { return interfaces; }

    int Count(const std::u16string& path, DWORD code) const
    {
        int n = 0;
        for (auto& l : log)
            if (l == path + u" " + CString::Formatted(u"%X", code).Str()) ++n;
        return n;
    }
};

void PutName(BYTE* out, DWORD outLen, std::size_t header, std::size_t lengthAt, const std::u16string& name, DWORD* returned,
             bool terminated = true)
{
    const DWORD actual = static_cast<DWORD>(header - 2 + (name.size() + (terminated ? 1 : 0)) * 2);
    PutU32(out + lengthAt, actual);
    DWORD n = outLen < actual ? outLen : actual;
    for (std::size_t i = 0; i <= name.size() && header - 2 + i * 2 + 1 < n; ++i)
        PutU16(out + header - 2 + i * 2, i < name.size() ? name[i] : 0);
    *returned = n;
}

void PutNameAndTail(BYTE* out, DWORD outLen, std::size_t header, std::size_t lengthAt, const std::u16string& name, BYTE tail,
                    DWORD* returned)
{
    const DWORD actual = DWORD(header - 2 + name.size() * 2 + 1);
    PutName(out, outLen, header, lengthAt, name, returned, false);
    PutU32(out + lengthAt, actual);
    if (outLen >= actual) {
        out[actual - 1] = tail;
        *returned = actual;
    }
}

void Count(DWORD* returned, DWORD counted)
{
    if (counted && *returned > counted) *returned = counted;
}

class TreeNode : public IUsbNode
{
public:
    TreeNode(TreeDriver& d, std::u16string path) : m_d(d), m_path(std::move(path)) {}
    bool IoControl(DWORD code, const void* in, DWORD inLen, void* out, DWORD outLen, DWORD* returned) override
    {
        m_d.log.push_back(m_path + u" " + CString::Formatted(u"%X", code).Str());
        *returned = 0;
        // DeviceIoControl refuses a buffer that is absent but said to hold bytes.
        if ((!in && inLen) || (!out && outLen)) return false;
        const Node& node = m_d.nodes.at(m_path);
        auto* o = static_cast<BYTE*>(out);
        if (node.rootHub) { // a controller
            if (code == IOCTL_USB_GET_ROOT_HUB_NAME && outLen >= kRootHubNameHeader) {
                if (node.tail)
                    PutNameAndTail(o, outLen, kRootHubNameHeader, 0, node.rootHub, node.tail, returned);
                else
                    PutName(o, outLen, kRootHubNameHeader, 0, node.rootHub, returned, !node.unterminated);
                if (node.claimedLength) PutU32(o, node.claimedLength);
                Count(returned, node.counted);
                return true;
            }
            if (code == IOCTL_GET_HCD_DRIVERKEY_NAME && node.driverKey && outLen >= kHcdDriverKeyNameHeader) {
                PutName(o, outLen, kHcdDriverKeyNameHeader, 0, node.driverKey, returned);
                return true;
            }
            return false;
        }
        if (code == IOCTL_USB_GET_NODE_INFORMATION && outLen >= kNodeInfoSize) {
            o[kNodeInfoNumberOfPorts] = static_cast<BYTE>(node.ports.size());
            *returned = kNodeInfoSize;
            return true;
        }
        const DWORD index = outLen >= 4 ? GetU32(o) : 0;
        if (index == 0 || index > node.ports.size()) return false;
        const Port& p = node.ports[index - 1];
        if (code == IOCTL_USB_GET_NODE_CONNECTION_INFORMATION && outLen >= kConnInfoFixedSize) {
            if (p.vid || p.hubName) {
                PutU32(o + conn::ConnectionStatus, DeviceConnected);
                PutU16(o + conn::idVendor, p.vid);
                PutU16(o + conn::idProduct, p.pid);
                o[conn::DeviceIsHub] = p.hubName ? 1 : 0;
            }
            *returned = kConnInfoFixedSize;
            return true;
        }
        if (code == IOCTL_USB_GET_NODE_CONNECTION_NAME && p.hubName && outLen >= kConnNameHeader) {
            if (p.tail)
                PutNameAndTail(o, outLen, kConnNameHeader, 4, p.hubName, p.tail, returned);
            else
                PutName(o, outLen, kConnNameHeader, 4, p.hubName, returned, !p.unterminated);
            if (p.claimedLength) PutU32(o + 4, p.claimedLength);
            Count(returned, p.counted);
            return true;
        }
        if (code == IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION && p.vid && outLen >= kDescReqHeader + 4) {
            const BYTE reply[] = {4, 3, 'X', 0};
            for (std::size_t i = 0; i < sizeof reply; ++i) o[kDescReqHeader + i] = reply[i];
            *returned = kDescReqHeader + 4;
            return true;
        }
        return false;
    }

private:
    TreeDriver& m_d;
    std::u16string m_path;
};

std::unique_ptr<IUsbNode> TreeDriver::Open(const CString& path)
{
    log.push_back(path.Str() + u" open");
    if (!nodes.count(path.Str())) return nullptr;
    return std::make_unique<TreeNode>(*this, path.Str());
}

std::u16string Dev(const char16_t* name) { return std::u16string(u"\\\\.\\") + name; }

class MonitorTreeTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        driver = std::make_shared<TreeDriver>();
        InstallHubDriver(driver);
    }
    void TearDown() override { InstallHubDriver(nullptr); }
    // The xHCI tree: root hub port 2 an external hub with the mouse on its port 3; a keyboard
    // on root port 1.
    void AddXhciTree()
    {
        driver->nodes[Dev(kRootHub)] = Node{nullptr, nullptr, {{0x046D, 0xC31C}, {0, 0, kExtHub}, {}, {}}};
        driver->nodes[Dev(kExtHub)] = Node{nullptr, nullptr, {{}, {}, {0x1EA7, 0x0F40}, {}}};
    }
    // Scans the controller's tree and expects the mouse found behind two hubs, the second
    // opened at hubPath.
    void ExpectTheMouseBehind(const CString& hubPath)
    {
        driver->interfaces = {CString(kXhciInterface)};
        CUSBDeviceMonitor mon;
        mon.Refresh();
        EXPECT_EQ(mon.GetLastScan().hubs, 2);
        USB_PORT_ENTRY e;
        ASSERT_EQ(mon.FindPortByVidPid(0x1EA7, 0x0F40, e), 1);
        EXPECT_EQ(e.strHubPath, hubPath);
    }
    std::shared_ptr<TreeDriver> driver;
};

} // namespace

TEST_F(MonitorTreeTest, AControllerWithoutAnHcdNameIsFoundByItsInterface)
{
    AddXhciTree();
    driver->nodes[kXhciInterface] = Node{kRootHub, kXhciKey, {}};
    driver->interfaces = {CString(kXhciInterface)};
    CUSBDeviceMonitor mon;
    mon.Refresh();
    EXPECT_EQ(mon.GetLastScan().controllers, 1);
    EXPECT_EQ(mon.GetLastScan().hubs, 2);
    ASSERT_EQ(mon.GetUsedCount(), 2);
    USB_PORT_ENTRY e;
    ASSERT_EQ(mon.FindPortByVidPid(0x1EA7, 0x0F40, e), 1);
    EXPECT_EQ(e.strHubPath, CString(Dev(kExtHub)));
    EXPECT_EQ(GetU32(e.pConnectionInfo + conn::ConnectionIndex), 3u);
    EXPECT_EQ(mon.GetStringDescriptor(e), CString(u"X"));
    EXPECT_EQ(driver->Count(Dev(kExtHub), IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION), 1);
    // The legacy names were tried too, all ten.
    int tried = 0;
    for (auto& l : driver->log)
        if (l.starts_with(u"\\\\.\\HCD") && l.ends_with(u" open")) ++tried;
    EXPECT_EQ(tried, 10);
}

TEST_F(MonitorTreeTest, OneControllerReachedByTwoPathsIsWalkedOnce)
{
    struct Row {
        const char* what;
        const char16_t* key1;          // the HCD0 path's driver key; null: the request fails
        const char16_t* key2;          // the interface path's
        const char16_t* secondRootHub; // the root hub the interface path reports
        int controllers;
    } rows[] = {
        {"same driver key", kXhciKey, kXhciKey, kRootHub, 1},
        {"no driver key, same root hub", nullptr, nullptr, kRootHub, 1},
        {"another controller", kXhciKey, u"{36fc9e60-c465-11cf-8056-444553540000}\\0002", u"USB#ROOT_HUB30#other", 2},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        driver->nodes.clear();
        driver->log.clear();
        AddXhciTree();
        driver->nodes[u"\\\\.\\HCD0"] = Node{kRootHub, r.key1, {}};
        driver->nodes[kXhciInterface] = Node{r.secondRootHub, r.key2, {}};
        if (r.controllers == 2) driver->nodes[Dev(r.secondRootHub)] = Node{nullptr, nullptr, {{0x1EA7, 0x0F41}}};
        driver->interfaces = {CString(kXhciInterface)};
        CUSBDeviceMonitor mon;
        mon.Refresh();
        EXPECT_EQ(mon.GetLastScan().controllers, r.controllers);
        EXPECT_EQ(driver->Count(Dev(kRootHub), IOCTL_USB_GET_NODE_INFORMATION), 1);
        EXPECT_EQ(mon.GetUsedCount(), r.controllers == 1 ? 2 : 3);
        // The HCD name's tree comes first in the table.
        EXPECT_EQ(mon.GetEntry(0).strHubPath, CString(Dev(kRootHub)));
    }
}

TEST_F(MonitorTreeTest, WhatTheScanReachedIsToldWhenNothingOpens)
{
    CUSBDeviceMonitor mon;
    mon.Refresh(); // no controller at all, as under Wine
    EXPECT_EQ(mon.GetLastScan().controllers, 0);
    EXPECT_EQ(mon.GetLastScan().hubs, 0);
    // A controller whose root hub does not open.
    driver->nodes[kXhciInterface] = Node{kRootHub, kXhciKey, {}};
    driver->interfaces = {CString(kXhciInterface)};
    mon.Refresh();
    EXPECT_EQ(mon.GetLastScan().controllers, 1);
    EXPECT_EQ(mon.GetLastScan().hubs, 0);
    EXPECT_EQ(mon.GetUsedCount(), 0);
}

// A name record whose length cannot be (no room for a name, or more than a name can hold) is
// not followed: no second request, no buffer of that size, the hub behind it unread. Both
// records: the controller's root hub name and a hub port's connection name, each at both ends
// of what is taken.
TEST_F(MonitorTreeTest, NameRecordsOfImpossibleLengthAreNotFollowed)
{
    const DWORD port = DWORD(kConnNameHeader);
    struct Row {
        DWORD rootClaims, portClaims;
        int hubs;                 // hubs walked
        int rootAsks, portAsks;   // name requests made of the controller and of the root hub
    } rows[] = {
        {4, 0, 0, 1, 0},
        {5, 0, 0, 2, 0},          // taken; too short for this driver to fill
        {0x10000, 0, 2, 2, 2},
        {0x10001, 0, 0, 1, 0},
        {0, port, 1, 2, 1},
        {0, port + 1, 1, 2, 2},   // taken; the name cut short leads nowhere
        {0, 0x10000, 2, 2, 2},
        {0, 0x10001, 1, 2, 1},
        {0, 0, 2, 2, 2}, // honest records: the whole tree is read, the mouse found
    };
    for (const Row& r : rows) {
        AddXhciTree();
        driver->nodes[Dev(kRootHub)].ports[1].claimedLength = r.portClaims;
        driver->nodes[kXhciInterface] = Node{kRootHub, kXhciKey, {}, r.rootClaims};
        driver->interfaces = {CString(kXhciInterface)};
        driver->log.clear();
        CUSBDeviceMonitor mon;
        mon.Refresh();
        const std::string at = std::to_string(r.rootClaims) + "/" + std::to_string(r.portClaims);
        EXPECT_EQ(mon.GetLastScan().hubs, r.hubs) << at;
        USB_PORT_ENTRY e;
        EXPECT_EQ(mon.FindPortByVidPid(0x1EA7, 0x0F40, e), r.hubs == 2 ? 1 : 0) << at;
        EXPECT_EQ(driver->Count(kXhciInterface, IOCTL_USB_GET_ROOT_HUB_NAME), r.rootAsks) << at;
        EXPECT_EQ(driver->Count(Dev(kRootHub), IOCTL_USB_GET_NODE_CONNECTION_NAME), r.portAsks) << at;
    }
}

// A name that fills its record to the last byte, with no 0 after it, is read to its last
// character: both hubs are walked and the mouse found behind them.
TEST_F(MonitorTreeTest, NamesThatFillTheirRecordsAreReadWhole)
{
    AddXhciTree();
    driver->nodes[Dev(kRootHub)].ports[1].unterminated = true;
    driver->nodes[kXhciInterface] = Node{kRootHub, kXhciKey, {}};
    driver->nodes[kXhciInterface].unterminated = true;
    ExpectTheMouseBehind(CString(Dev(kExtHub)));
}

// Hub names as the driver writes them: UTF-16 units, passed through the ANSI code page as the
// hub paths always have (here Latin-1: a unit it cannot hold becomes '?'), a one-character
// name, and a record whose length is odd: its lone last byte is no character.
TEST_F(MonitorTreeTest, HubNamesAreDecodedUnitByUnit)
{
    struct Row {
        const char16_t* name; // as the driver reports it
        BYTE tail;
        const char16_t* path; // the hub the monitor opens
    } rows[] = {
        {u"H", 0, u"\\\\.\\H"},
#ifndef _WIN32
        // Windows converts with the system's code page, whatever that holds: under Wine's
        // Chinese locale (936) neither row comes back as written here.
        {u"USB#HUB\u00E9", 0, u"\\\\.\\USB#HUB\u00E9"},
        {u"USB#HUB\u0100\u4E2D", 0, u"\\\\.\\USB#HUB??"},
#endif
        {u"USB#HUB7", 'Z', u"\\\\.\\USB#HUB7"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(CString(r.path).ToUtf8());
        driver->nodes.clear();
        driver->nodes[Dev(kRootHub)] = Node{nullptr, nullptr, {{}, {0, 0, r.name}}};
        driver->nodes[Dev(kRootHub)].ports[1].tail = r.tail;
        driver->nodes[r.path] = Node{nullptr, nullptr, {{0x1EA7, 0x0F40}}};
        driver->nodes[kXhciInterface] = Node{kRootHub, kXhciKey, {}};
        ExpectTheMouseBehind(CString(r.path));
    }
}

#if defined(__GLIBC__)
// A station watches for days. Arrival after removal, refresh after refresh, the monitor holds
// no more memory than its table's blocks.
TEST_F(MonitorTreeTest, ArrivalsAndRemovalsHoldNoMemory)
{
    AddXhciTree();
    driver->nodes[kXhciInterface] = Node{kRootHub, kXhciKey, {}};
    driver->interfaces = {CString(kXhciInterface)};
    CUSBDeviceMonitor mon;
    WORD& mouse = driver->nodes[Dev(kExtHub)].ports[2].vid;
    auto plugAndPull = [&] {
        mouse = 0x1EA7;
        mon.Refresh();
        mouse = 0;
        mon.Refresh();
        driver->log.clear();
    };
    for (int i = 0; i < 10; ++i) plugAndPull();
    USB_PORT_ENTRY e;
    mouse = 0x1EA7;
    mon.Refresh();
    ASSERT_EQ(mon.FindPortByVidPid(0x1EA7, 0x0F40, e), 1); // the cycle does plug the mouse in
    mouse = 0;
    mon.Refresh();
    ASSERT_EQ(mon.FindPortByVidPid(0x1EA7, 0x0F40, e), 0);
    // Under a sanitizer's allocator these stay 0 and its own leak check stands in.
    const std::size_t before = mallinfo2().uordblks;
    for (int i = 0; i < 400; ++i) plugAndPull();
    const std::size_t after = mallinfo2().uordblks;
    EXPECT_LT(after, before + 50 * kConnInfoSize) << "held before " << before << ", after " << after;
}
#endif

// A name request may write more than it says it returned: only the bytes it counts are read.
// Counted up to the head, or short of it, the name is empty and the hub behind it unread.
TEST_F(MonitorTreeTest, OnlyTheBytesANameRequestCountsAreRead)
{
    struct Row {
        DWORD rootCounted, portCounted;
        int hubs;
    } rows[] = {
        {kRootHubNameHeader - 2, 0, 0},
        {2, 0, 0},
        {0, kConnNameHeader - 2, 1},
        {0, 6, 1},
        {0, 0, 2},
    };
    for (const Row& r : rows) {
        const std::string at = std::to_string(r.rootCounted) + "/" + std::to_string(r.portCounted);
        driver->nodes.clear();
        AddXhciTree();
        driver->nodes[Dev(kRootHub)].ports[1].counted = r.portCounted;
        driver->nodes[kXhciInterface] = Node{kRootHub, kXhciKey, {}};
        driver->nodes[kXhciInterface].counted = r.rootCounted;
        driver->interfaces = {CString(kXhciInterface)};
        CUSBDeviceMonitor mon;
        mon.Refresh();
        EXPECT_EQ(mon.GetLastScan().hubs, r.hubs) << at;
    }
}

// A root hub name whose record has an odd length: the lone last byte is no character.
TEST_F(MonitorTreeTest, ALoneLastByteOfARootHubNameIsNoCharacter)
{
    AddXhciTree();
    driver->nodes[kXhciInterface] = Node{kRootHub, kXhciKey, {}};
    driver->nodes[kXhciInterface].tail = 'Z';
    driver->interfaces = {CString(kXhciInterface)};
    CUSBDeviceMonitor mon;
    mon.Refresh();
    EXPECT_EQ(mon.GetLastScan().hubs, 2);
    EXPECT_EQ(driver->Count(Dev(kRootHub), IOCTL_USB_GET_NODE_INFORMATION), 1);
}
