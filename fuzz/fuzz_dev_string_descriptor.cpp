// Descriptor-request replies: the first two bytes give the count the hub reports, the rest
// is the reply buffer.
#include <cstddef>
#include <cstdint>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "device/USBDeviceMonitor.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 2) return 0;
    DWORD returned = static_cast<DWORD>(data[0] | (data[1] << 8));
    // The reply always lands in the 267-byte request buffer.
    std::vector<BYTE> buf(platform::usb::kDescReqSize, 0);
    std::memcpy(buf.data(), data + 2, std::min(buf.size(), size - 2));
    CString text;
    bool ok = CUSBDeviceMonitor::ParseStringDescriptorReply(buf.data(), returned, text);
    if (ok && (returned > buf.size() || static_cast<DWORD>(text.GetLength()) * 2 + 2 + 12 != returned)) std::abort();
    return 0;
}
