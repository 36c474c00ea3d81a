// Placeholder factories while the SetupAPI and hub backends are written: no devices.
#include <memory>
#include "platform/hid/HidBackend.h"
#include "platform/usb/UsbHubDriver.h"
namespace platform::hid {
namespace {
class NoHid : public IHidBackend
{
public:
    std::vector<DeviceInfo> Enumerate() override { return {}; }
    bool GetInfo(const std::string&, DeviceInfo&) override { return false; }
    std::shared_ptr<IHidDevice> Open(const std::string&, OpenError* err) override
    {
        if (err) *err = OpenError::NotFound;
        return nullptr;
    }
};
} // namespace
std::shared_ptr<IHidBackend> MakeSystemBackend() { return std::make_shared<NoHid>(); }
} // namespace platform::hid
namespace platform::usb {
namespace {
class NoHub : public IUsbHubDriver
{
public:
    std::unique_ptr<IUsbNode> Open(const CString&) override { return nullptr; }
};
} // namespace
std::shared_ptr<IUsbHubDriver> MakeSystemHubDriver() { return std::make_shared<NoHub>(); }
} // namespace platform::usb
