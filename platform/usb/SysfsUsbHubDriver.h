// The hub requests on Linux. Host controller n is USB bus n+1; hubs are named by their sysfs
// names ("usb1" for a root hub, "1-2", "1-2.3" downstream), so a hub path is "\\.\1-2". The
// topology comes from sysfs under a root passed in (tests use a fixture tree); the
// descriptor request goes to the device through libusb, its kernel driver left bound.
#pragma once
#include <string>

#include "platform/usb/UsbHubDriver.h"

namespace platform::usb {

class SysfsUsbHubDriver : public IUsbHubDriver
{
public:
    explicit SysfsUsbHubDriver(std::string root = "/sys/bus/usb/devices");
    std::unique_ptr<IUsbNode> Open(const CString& path) override;

    // sysfs name of the device at a hub's port ("usb1", 2 -> "1-2"; "1-2", 3 -> "1-2.3").
    static std::string ChildName(const std::string& hub, unsigned port);
    // A sysfs device name as the hub requests accept it: no separators, no dot-only names.
    static bool IsSafeName(const std::string& name);

    const std::string& Root() const { return m_root; }

private:
    std::string m_root;
};

} // namespace platform::usb
