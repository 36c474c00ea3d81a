// Real HID devices on hidraw. hidapi lists the nodes and their vendor and product IDs; each
// node's top-level collections, their usages and report lengths come from the node's report
// descriptor in sysfs, and the I/O is our own on the node (poll + read, write, feature ioctls).
#pragma once
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "platform/hid/HidBackend.h"
#include "platform/hid/HidReportDescriptor.h"

namespace platform::hid {

// One entry of the enumeration library's list. hidapi 0.13 gives a node once per Collection
// item that carries a usage, nested collections included, so only the node and its IDs are
// taken from it.
struct HidrawNodeEntry {
    std::string path; // "/dev/hidrawN"
    std::uint16_t vendorId = 0;
    std::uint16_t productId = 0;
    std::uint16_t releaseNumber = 0;
    std::uint16_t usagePage = 0;
    std::uint16_t usage = 0;
};
using HidrawNodeSource = std::function<std::vector<HidrawNodeEntry>()>;

class HidrawBackend : public IHidBackend
{
public:
    // sysfsClass: where the hidraw class directories live (tests pass a fixture tree).
    // source: the list of nodes; hidapi's enumeration unless a test feeds a recorded one.
    explicit HidrawBackend(std::string sysfsClass = "/sys/class/hidraw", HidrawNodeSource source = {});
    ~HidrawBackend() override;
    // One entry per top-level collection of each node, numbered from 1 in descriptor order;
    // nodes in the order the source lists them. A node whose descriptor cannot be read or
    // parsed is left out: without report lengths it cannot be used.
    std::vector<DeviceInfo> Enumerate() override;
    bool GetInfo(const std::string& path, DeviceInfo& info) override;
    // Fails (NotFound) for a collection the node's descriptor does not have, and (Other) when
    // its lengths cannot be read at the time of the open.
    std::shared_ptr<IHidDevice> Open(const std::string& path, OpenError* err) override;

    // "/dev/hidraw3&col02" -> "/dev/hidraw3" and 2; false for a path of another shape.
    static bool SplitPath(const std::string& path, std::string& node, int& collection);
    // Fills the lengths of the collection-th (1-based) top-level collection of the node's
    // report descriptor; false when it cannot be read or parsed.
    bool ReadLengths(const std::string& node, int collection, DeviceInfo& info, TopLevelCollection* tlc = nullptr) const;

    // The sysfs name of the USB device the node belongs to ("1-2.3"), found among the parents
    // of its class directory; empty for a node that is not on USB.
    std::string PortPathOf(const std::string& node) const;

private:
    bool ReadCollections(const std::string& node, std::vector<TopLevelCollection>& tlcs) const;

    std::string m_sysfs;
    HidrawNodeSource m_source;
};

// True for a sysfs USB device name that names a port: "1-2", "3-1.4.2" (not "usb1", not an
// interface such as "1-2:1.0").
bool IsUsbPortName(const std::string& name);

} // namespace platform::hid
