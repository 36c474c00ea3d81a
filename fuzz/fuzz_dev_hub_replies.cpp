// A hub driver whose every answer comes from the fuzzer: names with any ActualLength, port
// counts, connection blocks, descriptor replies. The monitor must stay within its buffers
// and its table.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "device/USBDeviceMonitor.h"

namespace {

struct Input {
    const std::uint8_t* p;
    std::size_t n;
    std::uint8_t Byte() { return n ? (--n, *p++) : 0; }
};

class FuzzNode : public platform::usb::IUsbNode
{
public:
    explicit FuzzNode(Input& in) : m_in(in) {}
    bool IoControl(DWORD, const void*, DWORD, void* out, DWORD outLen, DWORD* returned) override
    {
        std::uint8_t ctl = m_in.Byte();
        if (ctl & 0x80) return false;
        DWORD n = m_in.Byte() | (static_cast<DWORD>(m_in.Byte()) << 8);
        if (n > outLen) n = outLen; // a driver never writes past the buffer it was given
        auto* o = static_cast<std::uint8_t*>(out);
        for (DWORD i = 0; i < n; ++i) o[i] = m_in.Byte();
        if (returned) *returned = (ctl & 0x40) ? static_cast<DWORD>(m_in.Byte()) << 8 | m_in.Byte() : n;
        return true;
    }

private:
    Input& m_in;
};

class FuzzDriver : public platform::usb::IUsbHubDriver
{
public:
    Input in{nullptr, 0};
    std::unique_ptr<platform::usb::IUsbNode> Open(const CString&) override
    {
        if (!in.n || (in.Byte() & 0x7) == 0) return nullptr;
        return std::make_unique<FuzzNode>(in);
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static auto driver = [] {
        auto d = std::make_shared<FuzzDriver>();
        platform::usb::InstallHubDriver(d);
        return d;
    }();
    driver->in = Input{data, size};
    CUSBDeviceMonitor mon;
    mon.Refresh();
    mon.Refresh();
    USB_PORT_ENTRY e;
    if (mon.FindPortByVidPid(0x1EA7, 0x4D58, e)) mon.GetStringDescriptor(e);
    for (int i = 0; i < CUSBDeviceMonitor::kMaxEntries; ++i)
        if (mon.GetEntry(i).strHubPath.IsEmpty() != (mon.GetEntry(i).pConnectionInfo == nullptr)) __builtin_trap();
    return 0;
}
