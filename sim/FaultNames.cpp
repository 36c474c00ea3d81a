#include "sim/FaultNames.h"

#include <algorithm>

namespace sim {

const std::vector<std::string>& FaultNames()
{
    static const std::vector<std::string> names = {"program-info", "program-id", "device-id", "user-data", "no-bootloader", "erase",
                                                   "write",        "read",       "verify",    "reset",     "unplug-app",    "unplug-isp",
                                                   "isp-held",     "isp-denied"};
    return names;
}

bool IsFaultArgument(const std::string& arg)
{
    const auto at = arg.find('@');
    const std::string name = arg.substr(0, at);
    if (std::find(FaultNames().begin(), FaultNames().end(), name) == FaultNames().end()) return false;
    if (at == std::string::npos) return true;
    const std::string n = arg.substr(at + 1);
    return !n.empty() && n.size() <= 6 && n.find_first_not_of("0123456789") == std::string::npos && std::stoul(n) > 0;
}

bool HasFault(const std::vector<std::string>& args, const std::string& name, int mouse)
{
    for (const auto& f : args) {
        const auto at = f.find('@');
        if (f.substr(0, at) != name) continue;
        if (at == std::string::npos || std::stoul(f.substr(at + 1)) == static_cast<unsigned long>(mouse)) return true;
    }
    return false;
}

Faults FaultsFor(const std::vector<std::string>& args, int mouse, int requestsOnArrival)
{
    auto has = [&](const char* n) { return HasFault(args, n, mouse); };
    Faults f;
    if (has("program-info")) f.silentFromRequest = 1;
    if (has("device-id")) f.deviceIdWrongEcho = true;
    if (has("user-data")) f.wrongOffsetEcho = true;
    if (has("no-bootloader")) f.bootloaderPresent = false;
    if (has("erase")) f.failErase = true;
    if (has("write")) f.failWriteChunk = 3;
    if (has("read")) f.failReadChunk = 2;
    if (has("verify")) f.corruptReadBack = true;
    if (has("reset")) f.failLeave = true;
    if (has("unplug-app")) f.unplugAfterRequest = requestsOnArrival + 1;
    // Feature report 1 is the erase: the mouse leaves while the image is being written.
    if (has("unplug-isp")) f.unplugAfterIspReport = 5;
    if (has("isp-held")) f.ispHeld = 1;
    if (has("isp-denied")) f.ispHeld = 2;
    return f;
}

} // namespace sim
