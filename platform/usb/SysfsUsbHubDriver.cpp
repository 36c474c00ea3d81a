#include "platform/usb/SysfsUsbHubDriver.h"

#include <dirent.h>
#include <fcntl.h>
#include <libusb.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>
#include <vector>

namespace platform::usb {
namespace {

bool ReadText(const std::string& file, std::string& out)
{
    std::ifstream f(file);
    if (!f) return false;
    std::getline(f, out);
    while (!out.empty() && (out.back() == '\n' || out.back() == ' ' || out.back() == '\r')) out.pop_back();
    return true;
}

bool ReadUInt(const std::string& file, unsigned long& v, int base = 10)
{
    std::string s;
    if (!ReadText(file, s) || s.empty() || s.size() > 10) return false;
    char* end = nullptr;
    v = std::strtoul(s.c_str(), &end, base);
    return end && *end == 0;
}

bool ReadBinary(const std::string& file, std::vector<std::uint8_t>& out, std::size_t max)
{
    std::ifstream f(file, std::ios::binary);
    if (!f) return false;
    out.assign(max, 0);
    f.read(reinterpret_cast<char*>(out.data()), static_cast<std::streamsize>(max));
    out.resize(static_cast<std::size_t>(f.gcount()));
    return true;
}

// Writes a wide name record: ActualLength at lenOffset, the name from nameOffset.
bool PutName(const std::string& name, std::size_t lenOffset, std::size_t nameOffset, std::uint8_t* out, DWORD outLen,
             DWORD* returned)
{
    std::size_t actual = nameOffset + (name.size() + 1) * 2;
    if (outLen < lenOffset + 4) return false;
    PutU32(out + lenOffset, static_cast<std::uint32_t>(actual));
    if (outLen < actual) {
        // Too small for the name: the caller learns the size it needs.
        *returned = static_cast<DWORD>(lenOffset + 4);
        return true;
    }
    for (std::size_t i = 0; i < name.size(); ++i) PutU16(out + nameOffset + 2 * i, static_cast<unsigned char>(name[i]));
    PutU16(out + nameOffset + 2 * name.size(), 0);
    *returned = static_cast<DWORD>(actual);
    return true;
}

// The descriptor request hands libusb the device's own node, so libusb never needs its device
// list: a libusb built with udev refreshes that list only from udevd's events, and where udevd
// does not run (a container, a minimal system) a mouse that came back at a new address would
// never be found. Discovery is switched off before the context is made; without it libusb
// also starts no hotplug thread and needs no netlink socket.
libusb_context* UsbContext()
{
    static std::mutex mu;
    static libusb_context* ctx = nullptr;
    std::lock_guard<std::mutex> lk(mu);
    if (ctx) return ctx;
    // A failed start is tried again at the next request.
#if defined(LIBUSB_API_VERSION) && LIBUSB_API_VERSION >= 0x01000109
    libusb_set_option(nullptr, LIBUSB_OPTION_NO_DEVICE_DISCOVERY);
#elif defined(LIBUSB_API_VERSION) && LIBUSB_API_VERSION >= 0x01000108
    libusb_set_option(nullptr, LIBUSB_OPTION_WEAK_AUTHORITY);
#endif
    if (libusb_init(&ctx) != 0) ctx = nullptr;
    return ctx;
}

std::atomic<bool> g_usbfsDeniedLogged{false};

void NoteUsbfsAccessDenied(const std::string& node)
{
    // Once per process, like the hidraw message: the upgrade may ask again on every run.
    if (!g_usbfsDeniedLogged.exchange(true))
        std::fprintf(stderr,
                     "tarvex: %s is present but cannot be opened (permission denied); "
                     "install packaging/udev/70-tarvex.rules\n",
                     node.c_str());
}

class ControllerNode : public IUsbNode
{
public:
    explicit ControllerNode(std::string rootHub) : m_rootHub(std::move(rootHub)) {}
    bool IoControl(DWORD code, const void* in, DWORD inLen, void* out, DWORD outLen, DWORD* returned) override
    {
        DWORD dummy = 0;
        if (!returned) returned = &dummy;
        *returned = 0;
        if (code != IOCTL_USB_GET_ROOT_HUB_NAME || !out) return false;
        return PutName(m_rootHub, 0, 4, static_cast<std::uint8_t*>(out), outLen, returned);
    }

private:
    std::string m_rootHub;
};

class HubNode : public IUsbNode
{
public:
    HubNode(std::string root, std::string usbfs, std::string name, unsigned ports)
        : m_root(std::move(root)), m_usbfs(std::move(usbfs)), m_name(std::move(name)), m_ports(ports)
    {
    }
    // A hub of our own whose ports hold the given root hubs.
    HubNode(std::string root, std::string usbfs, std::vector<std::string> rootHubs)
        : m_root(std::move(root)), m_usbfs(std::move(usbfs)), m_name(SysfsUsbHubDriver::kMoreBuses),
          m_ports(static_cast<unsigned>(rootHubs.size())), m_fixed(std::move(rootHubs))
    {
    }

    bool IoControl(DWORD code, const void* in, DWORD inLen, void* out, DWORD outLen, DWORD* returned) override
    {
        DWORD dummy = 0;
        if (!returned) returned = &dummy;
        *returned = 0;
        if (!out || !in) return false;
        auto* o = static_cast<std::uint8_t*>(out);
        const auto* i = static_cast<const std::uint8_t*>(in);
        switch (code) {
        case IOCTL_USB_GET_NODE_INFORMATION: {
            if (outLen < kNodeInfoSize) return false;
            std::memset(o, 0, kNodeInfoSize);
            o[4] = 9;    // bDescriptorLength
            o[5] = 0x29; // hub descriptor
            o[kNodeInfoNumberOfPorts] = static_cast<std::uint8_t>(m_ports);
            *returned = kNodeInfoSize;
            return true;
        }
        case IOCTL_USB_GET_NODE_CONNECTION_INFORMATION:
            if (inLen < 4 || outLen < kConnInfoFixedSize) return false;
            return ConnectionInfo(GetU32(i), o, outLen, returned);
        case IOCTL_USB_GET_NODE_CONNECTION_NAME: {
            if (inLen < 4 || outLen < 8) return false;
            std::uint32_t port = GetU32(i);
            std::string child;
            if (!Child(port, child) || !IsHub(child)) return false;
            PutU32(o, port);
            return PutName(child, 4, 8, o, outLen, returned);
        }
        case IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION:
            if (inLen < kDescReqHeader || outLen < kDescReqHeader) return false;
            return Descriptor(i, o, outLen, returned);
        default:
            return false;
        }
    }

private:
    std::string Dir(const std::string& name) const { return m_root + "/" + name; }

    bool Child(std::uint32_t port, std::string& child) const
    {
        if (port < 1 || port > m_ports) return false;
        child = m_fixed.empty() ? SysfsUsbHubDriver::ChildName(m_name, port) : m_fixed[port - 1];
        return ::access(Dir(child).c_str(), F_OK) == 0;
    }

    bool IsHub(const std::string& name) const
    {
        unsigned long cls = 0;
        return ReadUInt(Dir(name) + "/bDeviceClass", cls, 16) && cls == 9;
    }

    bool ConnectionInfo(std::uint32_t port, std::uint8_t* o, DWORD outLen, DWORD* returned) const
    {
        if (port < 1 || port > m_ports) return false;
        std::memset(o, 0, kConnInfoFixedSize);
        PutU32(o + conn::ConnectionIndex, port);
        *returned = kConnInfoFixedSize;
        std::string child;
        if (!Child(port, child)) return true; // empty port
        std::vector<std::uint8_t> desc;
        if (!ReadBinary(Dir(child) + "/descriptors", desc, 18) || desc.size() < 18) return true;
        std::memcpy(o + conn::DeviceDescriptor, desc.data(), 18);
        unsigned long v = 0;
        if (ReadUInt(Dir(child) + "/bConfigurationValue", v) && v <= 0xFF)
            o[conn::CurrentConfigurationValue] = static_cast<std::uint8_t>(v);
        std::string speed;
        if (ReadText(Dir(child) + "/speed", speed) && speed == "1.5") o[conn::LowSpeed] = 1;
        o[conn::DeviceIsHub] = IsHub(child) ? 1 : 0;
        if (ReadUInt(Dir(child) + "/devnum", v) && v <= 0xFFFF) PutU16(o + conn::DeviceAddress, static_cast<std::uint16_t>(v));
        PutU32(o + conn::ConnectionStatus, DeviceConnected);
        (void)outLen;
        return true;
    }

    bool Descriptor(const std::uint8_t* in, std::uint8_t* o, DWORD outLen, DWORD* returned) const
    {
        std::uint8_t setup[kDescReqHeader];
        std::memcpy(setup, in, kDescReqHeader);
        std::string child;
        if (!Child(GetU32(setup), child)) return false;
        unsigned long bus = 0, addr = 0;
        if (!ReadUInt(Dir(child) + "/busnum", bus) || !ReadUInt(Dir(child) + "/devnum", addr)) return false;
        if (bus < 1 || bus > 999 || addr < 1 || addr > 999) return false;
        char rel[16];
        std::snprintf(rel, sizeof rel, "/%03lu/%03lu", bus, addr);
        const std::string node = m_usbfs + rel;
        std::uint16_t wValue = GetU16(setup + descreq::wValue);
        std::uint16_t wIndex = GetU16(setup + descreq::wIndex);
        std::uint16_t wLength = GetU16(setup + descreq::wLength);
        if (wLength > outLen - kDescReqHeader) wLength = static_cast<std::uint16_t>(outLen - kDescReqHeader);
        int fd;
        do fd = ::open(node.c_str(), O_RDWR | O_CLOEXEC);
        while (fd < 0 && errno == EINTR);
        if (fd < 0) {
            if (errno == EACCES || errno == EPERM) NoteUsbfsAccessDenied(node);
            return false;
        }
        int got = -1;
        libusb_context* ctx = UsbContext();
        libusb_device_handle* h = nullptr;
        if (ctx && libusb_wrap_sys_device(ctx, static_cast<intptr_t>(fd), &h) == 0) {
            // A mouse asked to restart may drop off the bus while answering; that is the
            // expected outcome and shows up as a failed transfer.
            got = libusb_control_transfer(h, 0x80 /* device-to-host, standard, device */, LIBUSB_REQUEST_GET_DESCRIPTOR,
                                          wValue, wIndex, o + kDescReqHeader, wLength, 1000);
            libusb_close(h); // leaves the descriptor open: it is ours
        }
        ::close(fd);
        if (got < 0) return false;
        if (o != in) std::memcpy(o, setup, kDescReqHeader);
        *returned = static_cast<DWORD>(kDescReqHeader + static_cast<std::size_t>(got));
        return true;
    }

    std::string m_root;
    std::string m_usbfs;
    std::string m_name;
    unsigned m_ports;
    std::vector<std::string> m_fixed;
};

} // namespace

SysfsUsbHubDriver::SysfsUsbHubDriver(std::string root, std::string usbfs) : m_root(std::move(root)), m_usbfs(std::move(usbfs)) {}

std::vector<unsigned> SysfsUsbHubDriver::Buses() const
{
    std::vector<unsigned> buses;
    DIR* d = ::opendir(m_root.c_str());
    if (!d) return buses;
    while (dirent* e = ::readdir(d)) {
        const char* n = e->d_name;
        if (std::strncmp(n, "usb", 3) != 0 || !n[3] || std::strlen(n) > 6) continue;
        unsigned v = 0;
        bool digits = true;
        for (const char* c = n + 3; *c; ++c) {
            if (*c < '0' || *c > '9') digits = false;
            v = v * 10 + static_cast<unsigned>(*c - '0');
        }
        if (digits && v > 0) buses.push_back(v);
    }
    ::closedir(d);
    std::sort(buses.begin(), buses.end());
    return buses;
}

std::string SysfsUsbHubDriver::RootHubOf(unsigned controller) const
{
    if (controller >= kControllers) return {};
    std::vector<unsigned> buses = Buses();
    if (buses.size() > kControllers && controller == kControllers - 1) return kMoreBuses;
    if (controller >= buses.size()) return {};
    return "usb" + std::to_string(buses[controller]);
}

std::string SysfsUsbHubDriver::ChildName(const std::string& hub, unsigned port)
{
    if (hub.rfind("usb", 0) == 0) return hub.substr(3) + "-" + std::to_string(port);
    return hub + "." + std::to_string(port);
}

bool SysfsUsbHubDriver::IsSafeName(const std::string& name)
{
    if (name.empty() || name == "." || name == "..") return false;
    return name.find('/') == std::string::npos && name.find('\\') == std::string::npos;
}

std::string SysfsUsbHubDriver::PortPath(const CString& hubPath, ULONG port)
{
    std::string hub = hubPath.ToUtf8();
    if (hub.rfind("\\\\.\\", 0) != 0) return {};
    hub = hub.substr(4);
    // The hub of further buses holds root hubs only, never a device.
    if (hub == kMoreBuses || !IsSafeName(hub) || port == 0 || port > 255) return {};
    return ChildName(hub, static_cast<unsigned>(port));
}

std::unique_ptr<IUsbNode> SysfsUsbHubDriver::Open(const CString& path)
{
    const std::u16string& p = path.Str();
    static const std::u16string prefix = u"\\\\.\\";
    if (p.size() <= prefix.size() || p.compare(0, prefix.size(), prefix) != 0) return nullptr;
    std::string name;
    for (std::size_t i = prefix.size(); i < p.size(); ++i) {
        if (p[i] > 0x7E || p[i] < 0x21) return nullptr;
        name += static_cast<char>(p[i]);
    }
    if (!IsSafeName(name)) return nullptr;
    if (name.rfind("HCD", 0) == 0 && name.size() > 3 && name.size() <= 6) {
        unsigned n = 0;
        for (std::size_t i = 3; i < name.size(); ++i) {
            if (name[i] < '0' || name[i] > '9') return nullptr;
            n = n * 10 + static_cast<unsigned>(name[i] - '0');
        }
        std::string rootHub = RootHubOf(n);
        if (rootHub.empty()) return nullptr;
        return std::make_unique<ControllerNode>(rootHub);
    }
    if (name == kMoreBuses) {
        std::vector<unsigned> buses = Buses();
        if (buses.size() <= kControllers) return nullptr;
        std::vector<std::string> rest;
        for (std::size_t i = kControllers - 1; i < buses.size() && rest.size() < 255; ++i)
            rest.push_back("usb" + std::to_string(buses[i]));
        return std::make_unique<HubNode>(m_root, m_usbfs, std::move(rest));
    }
    unsigned long cls = 0, ports = 0;
    std::string dir = m_root + "/" + name;
    if (!ReadUInt(dir + "/bDeviceClass", cls, 16) || cls != 9) return nullptr;
    if (!ReadUInt(dir + "/maxchild", ports) || ports > 255) return nullptr;
    return std::make_unique<HubNode>(m_root, m_usbfs, name, static_cast<unsigned>(ports));
}

std::shared_ptr<IUsbHubDriver> MakeSystemHubDriver() { return std::make_shared<SysfsUsbHubDriver>(); }

} // namespace platform::usb
