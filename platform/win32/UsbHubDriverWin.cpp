// The hub requests on Windows go to the hub driver as they are: the paths the topology
// monitor builds ("\\.\HCD0", "\\.\" + a hub's name) and the controllers' interface paths
// ("\\?\pci#...#{3abf6f2d-...}") open the host controllers and hubs, and the records it builds
// and reads have the driver's own byte layouts.
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
        const std::u16string& p = path.Str();
        // An interface path ("\\?\pci#...#{guid}") has no further separator, unlike a file's
        // "\\?\C:\...".
        const bool device = p.starts_with(u"\\\\.\\");
        const bool itf = p.starts_with(u"\\\\?\\") && p.find_first_of(u"\\/", 4) == std::u16string::npos;
        if (!(device || itf) || p.size() <= 4) return nullptr;
        void* h = platform::win32::OpenUsbNode(path.GetString());
        if (!h) return nullptr;
        return std::make_unique<WinUsbNode>(h);
    }

    std::vector<CString> ControllerInterfacePaths() override
    {
        std::vector<CString> out;
        for (auto& p : platform::win32::HostControllerInterfaces()) out.emplace_back(std::move(p));
        return out;
    }
};

} // namespace

std::shared_ptr<IUsbHubDriver> MakeSystemHubDriver() { return std::make_shared<WinUsbHubDriver>(); }

} // namespace platform::usb
