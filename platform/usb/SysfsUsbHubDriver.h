// The hub requests on Linux. The ten host-controller names map onto the USB buses that
// exist, in ascending bus number: "\\.\HCD0" is the lowest bus, and so on. On a machine with
// more than ten buses, HCD9's root hub is "usb-more", a hub of our own whose port k holds the
// root hub of the (9+k)-th bus, so that every bus is walked. Hubs are named by their sysfs
// names ("usb1" for a root hub, "1-2", "1-2.3" downstream), so a hub path is "\\.\1-2". The
// topology comes from sysfs under a root passed in (tests use a fixture tree); the
// descriptor request goes to the device's own usbfs node through libusb, its kernel driver
// left bound.
#pragma once
#include <string>
#include <vector>

#include "platform/usb/UsbHubDriver.h"

namespace platform::usb {

class SysfsUsbHubDriver : public IUsbHubDriver
{
public:
    // root: the sysfs USB device directory; usbfs: where the device nodes live (BBB/DDD).
    explicit SysfsUsbHubDriver(std::string root = "/sys/bus/usb/devices", std::string usbfs = "/dev/bus/usb");
    std::unique_ptr<IUsbNode> Open(const CString& path) override;
    // "\\.\usb1", 2 -> "1-2"; "\\.\1-2", 3 -> "1-2.3": the sysfs name, as hidraw's parents have it.
    std::string PortPath(const CString& hubPath, ULONG port) override;

    // sysfs name of the device at a hub's port ("usb1", 2 -> "1-2"; "1-2", 3 -> "1-2.3").
    static std::string ChildName(const std::string& hub, unsigned port);
    // A sysfs device name as the hub requests accept it: no separators, no dot-only names.
    static bool IsSafeName(const std::string& name);

    const std::string& Root() const { return m_root; }
    // Bus numbers of the root hubs present, ascending.
    std::vector<unsigned> Buses() const;
    // The root hub that "\\.\HCDn" leads to ("usb3", or "usb-more"); empty when none.
    std::string RootHubOf(unsigned controller) const;

    static constexpr unsigned kControllers = 10;
    static constexpr const char* kMoreBuses = "usb-more";

private:
    std::string m_root;
    std::string m_usbfs;
};

} // namespace platform::usb
