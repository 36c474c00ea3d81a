// Report descriptors as a device (or a damaged sysfs file) may present them.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "platform/hid/HidReportDescriptor.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::vector<platform::hid::TopLevelCollection> out;
    bool ok = platform::hid::ParseReportDescriptor(data, size, out);
    if (!ok && !out.empty()) std::abort();
    for (const auto& c : out)
        if ((c.inputReportLength == 1) || (c.outputReportLength == 1) || (c.featureReportLength == 1)) std::abort();
    return 0;
}
