// The simulated USB tree: host controllers with root hubs, downstream hubs, ports, and the
// port paths devices report.
#include <algorithm>

#include "platform/CString.h"
#include "sim/WorldImpl.h"

namespace sim {

using detail::DevKind;
using detail::PortSlot;

int World::Impl::NewHub(int ports)
{
    detail::Hub h;
    h.alive = true;
    h.name = CString::Formatted(u"SIM_HUB#%d", nextHubSerial++).Str();
    h.ports.resize(static_cast<std::size_t>(std::max(0, std::min(ports, 255))));
    hubs.push_back(std::move(h));
    return static_cast<int>(hubs.size()) - 1;
}

int World::Impl::AddControllerLocked(int index, int ports)
{
    int root = NewHub(ports);
    hubs[static_cast<std::size_t>(root)].bus = index + 1;
    hubs[static_cast<std::size_t>(root)].name = CString::Formatted(u"SIM_ROOT_HUB#%d", index).Str();
    controllers[index] = root;
    return root;
}

PortSlot* World::Impl::Slot(int hub, int port)
{
    if (hub < 0 || static_cast<std::size_t>(hub) >= hubs.size() || !hubs[static_cast<std::size_t>(hub)].alive) return nullptr;
    auto& ports = hubs[static_cast<std::size_t>(hub)].ports;
    if (port < 1 || static_cast<std::size_t>(port) > ports.size()) return nullptr;
    return &ports[static_cast<std::size_t>(port - 1)];
}

void World::Impl::KillHub(int hub)
{
    detail::Hub& h = hubs[static_cast<std::size_t>(hub)];
    h.alive = false;
    for (auto& s : h.ports) {
        if (s.kind == DevKind::Hub) KillHub(s.hub);
        if (s.kind == DevKind::Mouse && s.mouse >= 0) MouseGone(M(s.mouse));
        s = PortSlot();
    }
}

// Port paths are named as Linux names its USB devices: "<bus>-<port>[.<port>...]".
std::string World::Impl::PortPathOf(int hub, int port) const
{
    if (hub < 0 || static_cast<std::size_t>(hub) >= hubs.size() || port < 1) return {};
    const detail::Hub& h = hubs[static_cast<std::size_t>(hub)];
    return h.devPath.empty() ? std::to_string(h.bus) + "-" + std::to_string(port) : h.devPath + "." + std::to_string(port);
}

} // namespace sim
