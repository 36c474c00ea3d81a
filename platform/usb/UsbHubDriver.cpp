#include "platform/usb/UsbHubDriver.h"

#include <mutex>

namespace platform::usb {
namespace {
std::mutex g_mu;
std::shared_ptr<IUsbHubDriver> g_driver;
} // namespace

std::shared_ptr<IUsbHubDriver> GetHubDriver()
{
    std::lock_guard<std::mutex> lk(g_mu);
    if (!g_driver) g_driver = MakeSystemHubDriver();
    return g_driver;
}

void InstallHubDriver(std::shared_ptr<IUsbHubDriver> driver)
{
    std::lock_guard<std::mutex> lk(g_mu);
    g_driver = std::move(driver);
}

} // namespace platform::usb
