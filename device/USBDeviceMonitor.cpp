#include "device/USBDeviceMonitor.h"

#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/Kernel.h"

using namespace platform::usb;

namespace {
// A hub chain deeper than USB allows (7 tiers) is a loop in a broken or hostile topology.
constexpr int kMaxHubDepth = 8;
constexpr WORD kStringDescriptorValue = 0x03FF;
constexpr WORD kLanguageCode = 0x4D21;
} // namespace

CUSBDeviceMonitor::CUSBDeviceMonitor() = default;

CUSBDeviceMonitor::~CUSBDeviceMonitor()
{
    for (auto& e : m_Entries) FreeEntry(e);
}

void CUSBDeviceMonitor::FreeEntry(USB_PORT_ENTRY& e)
{
    std::free(e.pConnectionInfo);
    e.pConnectionInfo = nullptr;
    e.strHubPath.Empty();
}

int CUSBDeviceMonitor::GetUsedCount() const
{
    int n = 0;
    for (auto& e : m_Entries)
        if (!e.strHubPath.IsEmpty()) ++n;
    return n;
}

void CUSBDeviceMonitor::Refresh()
{
    auto driver = GetHubDriver();
    if (!driver) return;
    // First half: drop the entries whose device is no longer connected at its port.
    if (auto* work = static_cast<BYTE*>(std::malloc(kConnInfoSize))) {
        for (auto& e : m_Entries) {
            if (e.strHubPath.IsEmpty()) continue;
            bool gone = true;
            if (auto hub = driver->Open(e.strHubPath)) {
                std::memset(work, 0, kConnInfoSize);
                std::memcpy(work + conn::ConnectionIndex, e.pConnectionInfo + conn::ConnectionIndex, 4);
                DWORD returned = 0;
                if (hub->IoControl(IOCTL_USB_GET_NODE_CONNECTION_INFORMATION, work, kConnInfoSize, work, kConnInfoSize, &returned) &&
                    GetU32(work + conn::ConnectionStatus) == DeviceConnected)
                    gone = false;
            }
            if (gone) FreeEntry(e);
        }
        std::free(work);
    }
    ScanHostControllers(*driver);
}

void CUSBDeviceMonitor::ScanHostControllers(IUsbHubDriver& driver)
{
    m_LastScan = {};
    // The legacy names first, in their order, then the controllers found by their device
    // interface: on today's PCs a controller need not have an HCDn name at all. One controller
    // reached by two paths is walked once.
    std::vector<CString> seen;
    for (int n = 0; n < kMaxControllers; ++n) {
        auto hcd = driver.Open(CString::Formatted(u"\\\\.\\HCD%d", n));
        if (hcd) ScanController(*hcd, seen);
        // The controller stays open until its whole tree has been walked.
    }
    for (const CString& path : driver.ControllerInterfacePaths()) {
        auto hcd = driver.Open(path);
        if (hcd) ScanController(*hcd, seen);
    }
}

void CUSBDeviceMonitor::ScanController(IUsbNode& controller, std::vector<CString>& seen)
{
    // The driver key names the controller whichever path opened it; its root hub's name is
    // the same for both paths too, and serves where the driver key cannot be read.
    CString rootHub = GetRootHubName(controller);
    CString key = GetControllerName(controller, IOCTL_GET_HCD_DRIVERKEY_NAME);
    CString id = key.IsEmpty() ? (rootHub.IsEmpty() ? CString() : CString(u"hub:") + rootHub) : CString(u"key:") + key;
    if (!id.IsEmpty()) {
        for (const CString& s : seen)
            if (s == id) return;
        seen.push_back(id);
    }
    ++m_LastScan.controllers;
    if (!rootHub.IsEmpty()) EnumerateHub(MakeDevicePath(rootHub), 0);
}

CString CUSBDeviceMonitor::NameFromWide(const BYTE* p, std::size_t bytes)
{
    std::u16string w;
    for (std::size_t i = 0; i + 1 < bytes; i += 2) {
        char16_t c = static_cast<char16_t>(p[i] | (p[i + 1] << 8));
        if (c == 0) break;
        w += c;
    }
    // Names pass through the ANSI code page, as the hub paths always have.
    CString wide(w);
    int n = WideCharToMultiByte(CP_ACP, 0, wide.GetString(), wide.GetLength(), nullptr, 0, nullptr, nullptr);
    if (n <= 0) return CString();
    std::string ansi(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_ACP, 0, wide.GetString(), wide.GetLength(), ansi.data(), n, nullptr, nullptr);
    return CString::FromAnsi(ansi.data(), ansi.size());
}

CString CUSBDeviceMonitor::GetRootHubName(IUsbNode& controller)
{
    return GetControllerName(controller, IOCTL_USB_GET_ROOT_HUB_NAME);
}

// USB_ROOT_HUB_NAME and USB_HCD_DRIVERKEY_NAME share one shape: the length of the whole
// record, then the name.
CString CUSBDeviceMonitor::GetControllerName(IUsbNode& controller, DWORD code)
{
    static_assert(kRootHubNameHeader == kHcdDriverKeyNameHeader);
    BYTE head[kRootHubNameHeader] = {};
    DWORD returned = 0;
    if (!controller.IoControl(code, nullptr, 0, head, sizeof head, &returned)) return CString();
    DWORD actual = GetU32(head);
    if (actual <= 4 || actual > 0x10000) return CString();
    std::vector<BYTE> buf(actual, 0);
    returned = 0;
    if (!controller.IoControl(code, nullptr, 0, buf.data(), actual, &returned)) return CString();
    DWORD valid = returned < actual ? returned : actual;
    if (valid <= 4) return CString();
    return NameFromWide(buf.data() + 4, valid - 4);
}

CString CUSBDeviceMonitor::GetNodeConnectionName(IUsbNode& hub, ULONG port)
{
    BYTE head[kConnNameHeader] = {};
    PutU32(head, port);
    DWORD returned = 0;
    if (!hub.IoControl(IOCTL_USB_GET_NODE_CONNECTION_NAME, head, sizeof head, head, sizeof head, &returned)) return CString();
    DWORD actual = GetU32(head + 4);
    if (actual <= kConnNameHeader || actual > 0x10000) return CString();
    std::vector<BYTE> buf(actual, 0);
    PutU32(buf.data(), port);
    returned = 0;
    if (!hub.IoControl(IOCTL_USB_GET_NODE_CONNECTION_NAME, buf.data(), actual, buf.data(), actual, &returned)) return CString();
    DWORD valid = returned < actual ? returned : actual;
    if (valid <= 8) return CString();
    return NameFromWide(buf.data() + 8, valid - 8);
}

CString CUSBDeviceMonitor::MakeDevicePath(const CString& name) { return CString(u"\\\\.\\") + name; }

void CUSBDeviceMonitor::EnumerateHub(const CString& hubPath, int depth)
{
    if (depth > kMaxHubDepth) return;
    auto driver = GetHubDriver();
    auto hub = driver ? driver->Open(hubPath) : nullptr;
    if (!hub) return;
    ++m_LastScan.hubs;
    BYTE node[kNodeInfoSize] = {};
    DWORD returned = 0;
    if (!hub->IoControl(IOCTL_USB_GET_NODE_INFORMATION, node, sizeof node, node, sizeof node, &returned)) return;
    unsigned ports = node[kNodeInfoNumberOfPorts];
    auto* block = static_cast<BYTE*>(std::malloc(kConnInfoSize));
    if (!block) return;
    for (unsigned port = 1; port <= ports; ++port) {
        std::memset(block, 0, kConnInfoSize);
        PutU32(block + conn::ConnectionIndex, port);
        // A failed call leaves the zeroed block, which reads as an empty port.
        hub->IoControl(IOCTL_USB_GET_NODE_CONNECTION_INFORMATION, block, kConnInfoSize, block, kConnInfoSize, &returned);
        if (GetU32(block + conn::ConnectionStatus) != DeviceConnected) continue;
        if (block[conn::DeviceIsHub]) {
            CString name = GetNodeConnectionName(*hub, port);
            if (!name.IsEmpty()) EnumerateHub(MakeDevicePath(name), depth + 1);
        } else {
            AddPortDevice(hubPath, block);
        }
    }
    std::free(block);
}

int CUSBDeviceMonitor::AddPortDevice(const CString& hubPath, const BYTE* block)
{
    if (hubPath.IsEmpty() || !block) return 0;
    int freeIndex = -1;
    for (int i = 0; i < kMaxEntries; ++i) {
        USB_PORT_ENTRY& e = m_Entries[i];
        if (e.strHubPath.IsEmpty()) {
            if (freeIndex < 0) freeIndex = i;
            continue;
        }
        if (e.strHubPath != hubPath) continue;
        if (std::memcmp(e.pConnectionInfo, block, kConnInfoSize) == 0) return 0;
        if (std::memcmp(e.pConnectionInfo + conn::ConnectionIndex, block + conn::ConnectionIndex, 4) == 0) {
            std::memcpy(e.pConnectionInfo, block, kConnInfoSize);
            return 1;
        }
    }
    if (freeIndex < 0) return 0;
    auto* copy = static_cast<BYTE*>(std::malloc(kConnInfoSize));
    if (!copy) return 0;
    std::memcpy(copy, block, kConnInfoSize);
    m_Entries[freeIndex].strHubPath = hubPath;
    m_Entries[freeIndex].pConnectionInfo = copy;
    return 1;
}

int CUSBDeviceMonitor::FindPortByVidPid(WORD vid, WORD pid, USB_PORT_ENTRY& out) const
{
    for (const auto& e : m_Entries) {
        if (e.strHubPath.IsEmpty() || !e.pConnectionInfo) continue;
        if (GetU16(e.pConnectionInfo + conn::idVendor) == vid && GetU16(e.pConnectionInfo + conn::idProduct) == pid) {
            out.strHubPath = e.strHubPath;
            out.pConnectionInfo = e.pConnectionInfo;
            return 1;
        }
    }
    return 0;
}

std::string CUSBDeviceMonitor::PortPathOf(const USB_PORT_ENTRY& entry) const
{
    if (entry.strHubPath.IsEmpty() || !entry.pConnectionInfo) return {};
    auto driver = platform::usb::GetHubDriver();
    return driver ? driver->PortPath(entry.strHubPath, GetU32(entry.pConnectionInfo + conn::ConnectionIndex)) : std::string();
}

int CUSBDeviceMonitor::FindPortByPath(const std::string& portPath, WORD vid, WORD pid, USB_PORT_ENTRY& out) const
{
    if (portPath.empty()) return 0;
    for (const auto& e : m_Entries) {
        if (e.strHubPath.IsEmpty() || !e.pConnectionInfo) continue;
        if (GetU16(e.pConnectionInfo + conn::idVendor) != vid || GetU16(e.pConnectionInfo + conn::idProduct) != pid) continue;
        if (PortPathOf(e) != portPath) continue;
        out.strHubPath = e.strHubPath;
        out.pConnectionInfo = e.pConnectionInfo;
        return 1;
    }
    return 0;
}

bool CUSBDeviceMonitor::ParseStringDescriptorReply(const BYTE* buffer, DWORD returned, CString& text)
{
    if (!buffer || returned < kDescReqHeader + 2 || returned > kDescReqSize) return false;
    const BYTE* d = buffer + descreq::Data;
    DWORD length = d[0];
    if (d[1] != 3 || length != returned - kDescReqHeader || (length & 1)) return false;
    std::u16string w;
    for (DWORD i = 2; i + 1 < length; i += 2) w += static_cast<char16_t>(d[i] | (d[i + 1] << 8));
    text = CString(std::move(w));
    return true;
}

CString CUSBDeviceMonitor::GetStringDescriptor(const USB_PORT_ENTRY& entry) const
{
    if (entry.strHubPath.IsEmpty() || !entry.pConnectionInfo) return CString();
    auto driver = GetHubDriver();
    auto hub = driver ? driver->Open(entry.strHubPath) : nullptr;
    if (!hub) return CString();
    BYTE req[kDescReqSize] = {};
    std::memcpy(req + descreq::ConnectionIndex, entry.pConnectionInfo + conn::ConnectionIndex, 4);
    PutU16(req + descreq::wValue, kStringDescriptorValue);
    PutU16(req + descreq::wIndex, kLanguageCode);
    PutU16(req + descreq::wLength, 255);
    DWORD returned = 0;
    bool ok = hub->IoControl(IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION, req, sizeof req, req, sizeof req, &returned);
    hub.reset();
    CString text;
    if (!ok || !ParseStringDescriptorReply(req, returned, text)) return CString();
    return text;
}
