#include "platform/usb/SysfsUsbHubDriver.h"

#include <libusb.h>
#include <unistd.h>

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

libusb_context* UsbContext()
{
    static std::once_flag once;
    static libusb_context* ctx = nullptr;
    std::call_once(once, [] {
        if (libusb_init(&ctx) != 0) ctx = nullptr;
    });
    return ctx;
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
    HubNode(std::string root, std::string name, unsigned ports) : m_root(std::move(root)), m_name(std::move(name)), m_ports(ports) {}

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
        child = SysfsUsbHubDriver::ChildName(m_name, port);
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
        libusb_context* ctx = UsbContext();
        if (!ctx) return false;
        std::uint16_t wValue = GetU16(setup + descreq::wValue);
        std::uint16_t wIndex = GetU16(setup + descreq::wIndex);
        std::uint16_t wLength = GetU16(setup + descreq::wLength);
        if (wLength > outLen - kDescReqHeader) wLength = static_cast<std::uint16_t>(outLen - kDescReqHeader);
        libusb_device** list = nullptr;
        ssize_t n = libusb_get_device_list(ctx, &list);
        int got = -1;
        for (ssize_t k = 0; k < n; ++k) {
            if (libusb_get_bus_number(list[k]) != bus || libusb_get_device_address(list[k]) != addr) continue;
            libusb_device_handle* h = nullptr;
            if (libusb_open(list[k], &h) == 0) {
                // A mouse asked to restart may drop off the bus while answering; that is the
                // expected outcome and shows up as a failed transfer.
                got = libusb_control_transfer(h, 0x80 /* device-to-host, standard, device */,
                                              LIBUSB_REQUEST_GET_DESCRIPTOR, wValue, wIndex, o + kDescReqHeader, wLength, 1000);
                libusb_close(h);
            }
            break;
        }
        if (list) libusb_free_device_list(list, 1);
        if (got < 0) return false;
        if (o != in) std::memcpy(o, setup, kDescReqHeader);
        *returned = static_cast<DWORD>(kDescReqHeader + static_cast<std::size_t>(got));
        return true;
    }

    std::string m_root;
    std::string m_name;
    unsigned m_ports;
};

} // namespace

SysfsUsbHubDriver::SysfsUsbHubDriver(std::string root) : m_root(std::move(root)) {}

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
        std::string rootHub = "usb" + std::to_string(n + 1);
        if (::access((m_root + "/" + rootHub).c_str(), F_OK) != 0) return nullptr;
        return std::make_unique<ControllerNode>(rootHub);
    }
    unsigned long cls = 0, ports = 0;
    std::string dir = m_root + "/" + name;
    if (!ReadUInt(dir + "/bDeviceClass", cls, 16) || cls != 9) return nullptr;
    if (!ReadUInt(dir + "/maxchild", ports) || ports > 255) return nullptr;
    return std::make_unique<HubNode>(m_root, name, static_cast<unsigned>(ports));
}

std::shared_ptr<IUsbHubDriver> MakeSystemHubDriver() { return std::make_shared<SysfsUsbHubDriver>(); }

} // namespace platform::usb
