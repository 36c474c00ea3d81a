// Real HID devices through hidapi's hidraw backend. Report lengths come from the report
// descriptor in sysfs, since hidraw does not report them.
#pragma once
#include "platform/hid/HidReportDescriptor.h"
#include <mutex>
#include <string>

#include "platform/hid/HidBackend.h"

namespace platform::hid {

class HidrawBackend : public IHidBackend
{
public:
    // sysfsClass: where the hidraw class directories live (tests pass a fixture tree).
    explicit HidrawBackend(std::string sysfsClass = "/sys/class/hidraw");
    ~HidrawBackend() override;
    std::vector<DeviceInfo> Enumerate() override;
    bool GetInfo(const std::string& path, DeviceInfo& info) override;
    std::shared_ptr<IHidDevice> Open(const std::string& path, OpenError* err) override;

    // "/dev/hidraw3&col02" -> "/dev/hidraw3" and 2; false for a path of another shape.
    static bool SplitPath(const std::string& path, std::string& node, int& collection);
    // Fills the lengths of the collection-th (1-based) top-level collection of the node's
    // report descriptor; false when it cannot be read or parsed.
    bool ReadLengths(const std::string& node, int collection, DeviceInfo& info, TopLevelCollection* tlc = nullptr) const;

private:
    std::string m_sysfs;
    std::mutex m_mu; // hidapi's enumeration is not thread-safe
};

} // namespace platform::hid
