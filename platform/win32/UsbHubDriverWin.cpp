// The hub requests on Windows go to the hub driver as they are: the paths the topology
// monitor builds ("\\.\HCD0", "\\.\" + a hub's name) open the host controllers and hubs, and
// the records it builds and reads have the driver's own byte layouts.
#include <memory>

#include "platform/usb/UsbHubDriver.h"
#include "platform/win32/Win32Usb.h"

namespace platform::usb {
namespace {

class WinUsbNode : public IUsbNode
{
public:
    explicit WinUsbNode(void* h) : m_h(h) {}
    ~WinUsbNode() override { platform::win32::CloseUsbNode(m_h); }
    WinUsbNode(const WinUsbNode&) = delete;
    WinUsbNode& operator=(const WinUsbNode&) = delete;

    bool IoControl(DWORD code, const void* in, DWORD inLen, void* out, DWORD outLen, DWORD* returned) override
    {
        std::uint32_t n = 0;
        bool ok = platform::win32::UsbIoControl(m_h, code, in, inLen, out, outLen, &n);
        if (returned) *returned = n;
        return ok;
    }

private:
    void* m_h;
};

class WinUsbHubDriver : public IUsbHubDriver
{
public:
    std::unique_ptr<IUsbNode> Open(const CString& path) override
    {
        // Only device paths: a hub name that came back from a device must not reach a file.
        if (!path.Str().starts_with(u"\\\\.\\") || path.GetLength() <= 4) return nullptr;
        void* h = platform::win32::OpenUsbNode(path.GetString());
        if (!h) return nullptr;
        return std::make_unique<WinUsbNode>(h);
    }
};

} // namespace

std::shared_ptr<IUsbHubDriver> MakeSystemHubDriver() { return std::make_shared<WinUsbHubDriver>(); }

} // namespace platform::usb
