// The USB hub driver seam: device paths that open ("\\.\HCD0", "\\.\<hub name>") and the five
// hub requests, with the byte layouts of the hub driver's records. The topology monitor is
// written against this; sysfs + libusb serve it on Linux, the simulator in tests.
//
// The contract every driver keeps (the hub IOCTLs on Windows, sysfs + libusb, the
// simulator):
// - Threads. Called from the topology monitor's thread and from tarvexctl's main thread,
//   possibly at once: a driver is safe against concurrent calls. A node is used by the
//   thread that opened it, one call at a time. Nothing is called back.
// - Time. Every call blocks for at most one request to the system (a sysfs read, a string
//   descriptor fetched from a device over a control transfer with the system's own
//   time-out); nothing waits for a device to arrive.
// - Errors. Plain values: null from Open, false from IoControl, an empty PortPath. No
//   reason is kept; the monitor treats a failed request as "this part of the tree cannot
//   be read now" and reads it again on the next change.
// - Leaving. The tree may change between any two calls: a node whose hub left keeps
//   existing and answers false; a port whose device left answers NoDeviceConnected. A
//   node never starts describing another hub under the same object.
// - Ownership. Open's node belongs to the caller and lives no longer than it needs; the
//   buffers are the caller's, read and written only during the call. The installed
//   driver is shared: GetHubDriver's pointer stays valid while the caller holds it, even if
//   another driver is installed meanwhile.
// - The simulator (sim/) answers the same requests with the same record layouts and the
//   same failures for a port or hub that is gone, so the monitor cannot tell it from the
//   system's driver.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/CString.h"
#include "platform/WinTypes.h"

namespace platform::usb {

inline constexpr DWORD IOCTL_USB_GET_ROOT_HUB_NAME = 0x220408;
inline constexpr DWORD IOCTL_USB_GET_NODE_INFORMATION = 0x220408; // same value, sent to a hub
inline constexpr DWORD IOCTL_USB_GET_NODE_CONNECTION_INFORMATION = 0x22040C;
inline constexpr DWORD IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION = 0x220410;
inline constexpr DWORD IOCTL_USB_GET_NODE_CONNECTION_NAME = 0x220414;
// Sent to a host controller: the name of its driver key, which is the same whichever path
// opened the controller ("\\.\HCD0" or its device interface).
inline constexpr DWORD IOCTL_GET_HCD_DRIVERKEY_NAME = 0x220424;

// USB_NODE_CONNECTION_INFORMATION, byte-packed: 35 fixed bytes and room for 30 pipes.
inline constexpr std::size_t kConnInfoSize = 365;
inline constexpr std::size_t kConnInfoFixedSize = 35;
inline constexpr std::size_t kPipeInfoSize = 11;
inline constexpr std::size_t kMaxPipes = 30;
namespace conn {
inline constexpr std::size_t ConnectionIndex = 0;            // ULONG
inline constexpr std::size_t DeviceDescriptor = 4;           // 18 bytes
inline constexpr std::size_t idVendor = 4 + 8;               // USHORT
inline constexpr std::size_t idProduct = 4 + 10;             // USHORT
inline constexpr std::size_t CurrentConfigurationValue = 22; // UCHAR
inline constexpr std::size_t LowSpeed = 23;                  // BOOLEAN
inline constexpr std::size_t DeviceIsHub = 24;               // BOOLEAN
inline constexpr std::size_t DeviceAddress = 25;             // USHORT
inline constexpr std::size_t NumberOfOpenPipes = 27;         // ULONG
inline constexpr std::size_t ConnectionStatus = 31;          // ULONG
inline constexpr std::size_t PipeList = 35;
} // namespace conn
inline constexpr DWORD NoDeviceConnected = 0;
inline constexpr DWORD DeviceConnected = 1;

// USB_NODE_INFORMATION: NodeType (ULONG), then the hub descriptor; bNumberOfPorts at 6.
inline constexpr std::size_t kNodeInfoSize = 76;
inline constexpr std::size_t kNodeInfoNumberOfPorts = 6;
// USB_ROOT_HUB_NAME: ActualLength (ULONG), name from byte 4.
inline constexpr std::size_t kRootHubNameHeader = 6;
// USB_HCD_DRIVERKEY_NAME: ActualLength (ULONG), name from byte 4.
inline constexpr std::size_t kHcdDriverKeyNameHeader = 6;
// USB_NODE_CONNECTION_NAME: ConnectionIndex, ActualLength, name from byte 8.
inline constexpr std::size_t kConnNameHeader = 10;
// USB_DESCRIPTOR_REQUEST: ConnectionIndex, setup packet (bmRequest, bRequest, wValue, wIndex,
// wLength), data from byte 12.
inline constexpr std::size_t kDescReqHeader = 12;
inline constexpr std::size_t kDescReqSize = 12 + 255;
namespace descreq {
inline constexpr std::size_t ConnectionIndex = 0;
inline constexpr std::size_t bmRequest = 4;
inline constexpr std::size_t bRequest = 5;
inline constexpr std::size_t wValue = 6;
inline constexpr std::size_t wIndex = 8;
inline constexpr std::size_t wLength = 10;
inline constexpr std::size_t Data = 12;
} // namespace descreq

// Little-endian field access for the records above.
inline std::uint32_t GetU32(const std::uint8_t* p)
{
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
inline std::uint16_t GetU16(const std::uint8_t* p)
{
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
inline void PutU32(std::uint8_t* p, std::uint32_t v)
{
    for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
inline void PutU16(std::uint8_t* p, std::uint16_t v)
{
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}

// One opened controller or hub.
class IUsbNode
{
public:
    // Closes the node.
    virtual ~IUsbNode() = default;
    // DeviceIoControl: `in` and `out` may be the same buffer. False when the request fails;
    // *returned is the number of output bytes written.
    virtual bool IoControl(DWORD code, const void* in, DWORD inLen, void* out, DWORD outLen, DWORD* returned) = 0;
};

class IUsbHubDriver
{
public:
    virtual ~IUsbHubDriver() = default;
    // Null when the path does not open (no such controller or hub, or no access). Paths are
    // "\\.\HCDn", "\\.\" + a hub's name, or one that ControllerInterfacePaths returned. The
    // monitor tries every HCDn up to its limit, so the numbers may have gaps.
    virtual std::unique_ptr<IUsbNode> Open(const CString& path) = 0;
    // The port path (as the HID backend's DeviceInfo::portPath names it) of the device at a
    // hub's port; empty when this driver cannot tell, and then nothing is matched by port.
    virtual std::string PortPath(const CString& hubPath, ULONG port)
    {
        (void)hubPath;
        (void)port;
        return {};
    }
    // The device paths of the host controllers present, found by their device interface
    // rather than by the legacy "\\.\HCDn" names (which Windows does not give every
    // controller). A controller may be listed here and have an HCDn name too. Blocks for one
    // enumeration; called on the monitor's thread. The default lists none: the simulator and
    // sysfs serve every controller as HCDn.
    virtual std::vector<CString> ControllerInterfacePaths() { return {}; }
};

// The machine's own hub driver: sysfs + libusb on Linux, the hub IOCTLs on Windows.
std::shared_ptr<IUsbHubDriver> MakeSystemHubDriver();

// Installed driver; the system's until another is installed.
std::shared_ptr<IUsbHubDriver> GetHubDriver();
void InstallHubDriver(std::shared_ptr<IUsbHubDriver> driver);

} // namespace platform::usb
