// The simulated world as the USB hub driver sees it: controllers, root hubs and hubs that
// answer the five hub requests in the driver's own byte layouts; the string request at the
// mouse's port sends it to its bootloader.
#include <cstring>

#include "sim/WorldImpl.h"

namespace sim {
namespace {

using detail::DevKind;
using detail::PortSlot;
using detail::kLogLimit;

// ---- hub driver ----

void PutWideName(const std::u16string& name, std::size_t lenOffset, std::size_t nameOffset, BYTE* out, DWORD outLen,
                 DWORD* returned)
{
    std::size_t actual = nameOffset + (name.size() + 1) * 2;
    platform::usb::PutU32(out + lenOffset, static_cast<std::uint32_t>(actual));
    if (outLen < actual) {
        *returned = static_cast<DWORD>(lenOffset + 4);
        return;
    }
    for (std::size_t i = 0; i < name.size(); ++i) platform::usb::PutU16(out + nameOffset + 2 * i, name[i]);
    platform::usb::PutU16(out + nameOffset + 2 * name.size(), 0);
    *returned = static_cast<DWORD>(actual);
}

class SimUsbNode : public platform::usb::IUsbNode
{
public:
    SimUsbNode(World::Impl* w, std::u16string path, int controller, int hub, std::u16string hubName)
        : m_w(w), m_path(std::move(path)), m_controller(controller), m_hub(hub), m_hubName(std::move(hubName))
    {
    }

    bool IoControl(DWORD code, const void* in, DWORD inLen, void* out, DWORD outLen, DWORD* returned) override
    {
        using namespace platform::usb;
        DWORD dummy = 0;
        if (!returned) returned = &dummy;
        *returned = 0;
        std::lock_guard<std::mutex> lk(m_w->mu);
        m_w->Tick();
        auto* o = static_cast<BYTE*>(out);
        const auto* i = static_cast<const BYTE*>(in);
        ULONG port = (i && inLen >= 4) ? GetU32(i) : 0;
        m_w->hubLog.push_back(HubRequest{m_path, code, port});
        if (m_w->hubLog.size() > kLogLimit) m_w->hubLog.erase(m_w->hubLog.begin());
        if (!o) return false;
        if (m_controller >= 0) {
            // A controller answers only the root hub name, and only while it exists.
            auto it = m_w->controllers.find(m_controller);
            if (code != IOCTL_USB_GET_ROOT_HUB_NAME || it == m_w->controllers.end() || outLen < kRootHubNameHeader) return false;
            PutWideName(m_w->hubs[static_cast<std::size_t>(it->second)].name, 0, 4, o, outLen, returned);
            return true;
        }
        if (!HubAlive()) return false;
        detail::Hub& hub = m_w->hubs[static_cast<std::size_t>(m_hub)];
        switch (code) {
        case IOCTL_USB_GET_NODE_INFORMATION:
            if (outLen < kNodeInfoSize) return false;
            std::memset(o, 0, kNodeInfoSize);
            o[4] = 9;
            o[5] = 0x29;
            o[kNodeInfoNumberOfPorts] = static_cast<BYTE>(hub.ports.size());
            *returned = kNodeInfoSize;
            return true;
        case IOCTL_USB_GET_NODE_CONNECTION_INFORMATION: {
            ++m_w->counters.connectionInfoQueries;
            PortSlot* s = m_w->Slot(m_hub, static_cast<int>(port));
            if (!s || outLen < kConnInfoSize) return false;
            std::memset(o, 0, kConnInfoSize);
            PutU32(o + conn::ConnectionIndex, port);
            *returned = kConnInfoSize;
            WORD vid = s->vid, pid = s->pid;
            if (s->kind == DevKind::None) return true;
            if (s->kind == DevKind::Mouse) {
                const detail::Mouse& m = m_w->M(s->mouse);
                if (m.mode == MouseMode::Application) {
                    vid = detail::kAppVid;
                    pid = m.settings.appProductId;
                } else if (m.mode == MouseMode::Bootloader) {
                    vid = detail::kIspVid;
                    pid = detail::kIspPid;
                } else {
                    return true; // off the bus while it restarts
                }
            }
            BYTE* d = o + conn::DeviceDescriptor;
            d[0] = 18;
            d[1] = 1;
            PutU16(d + 2, 0x0200);
            d[4] = s->kind == DevKind::Hub ? 9 : 0;
            d[7] = 64;
            PutU16(d + 8, vid);
            PutU16(d + 10, pid);
            PutU16(d + 12, 0x0100);
            d[17] = 1;
            o[conn::CurrentConfigurationValue] = 1;
            o[conn::DeviceIsHub] = s->kind == DevKind::Hub ? 1 : 0;
            PutU16(o + conn::DeviceAddress, s->address);
            PutU32(o + conn::NumberOfOpenPipes, 1);
            PutU32(o + conn::ConnectionStatus, DeviceConnected);
            BYTE* pipe = o + conn::PipeList;
            pipe[0] = 7;
            pipe[1] = 5;
            pipe[2] = 0x81;
            pipe[3] = 3;
            PutU16(pipe + 4, 8);
            pipe[6] = 1;
            return true;
        }
        case IOCTL_USB_GET_NODE_CONNECTION_NAME: {
            PortSlot* s = m_w->Slot(m_hub, static_cast<int>(port));
            if (!s || s->kind != DevKind::Hub || outLen < 8) return false;
            PutU32(o, port);
            PutWideName(m_w->hubs[static_cast<std::size_t>(s->hub)].name, 4, 8, o, outLen, returned);
            return true;
        }
        case IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION: {
            ++m_w->counters.descriptorRequests;
            PortSlot* s = m_w->Slot(m_hub, static_cast<int>(port));
            if (!s || s->kind == DevKind::None || s->kind == DevKind::Hub || inLen < kDescReqHeader || outLen < kDescReqHeader) return false;
            WORD wValue = GetU16(i + descreq::wValue), wIndex = GetU16(i + descreq::wIndex), wLength = GetU16(i + descreq::wLength);
            std::vector<BYTE> data;
            if (s->kind == DevKind::Mouse) {
                detail::Mouse& m = m_w->M(s->mouse);
                if (m.mode == MouseMode::Application && (wValue >> 8) == 3 &&
                    proto::IsSwitchRequest(static_cast<std::uint8_t>(wValue & 0xFF), wIndex)) {
                    if (!m_w->OnSwitchRequest(m)) return false; // dropped off while answering
                } else if (m.mode != MouseMode::Application && m.mode != MouseMode::Bootloader) {
                    return false;
                }
                data = {10, 3, 'I', 0, 'S', 0, 'P', 0, '!', 0};
            } else if (s->hasCustomReply) {
                if (s->descFail) return false;
                data = s->descReply;
            } else {
                data = {8, 3, 'S', 0, 'I', 0, 'M', 0};
            }
            std::size_t n = std::min<std::size_t>({data.size(), wLength, outLen - kDescReqHeader});
            if (o != i) std::memcpy(o, i, kDescReqHeader);
            if (n) std::memcpy(o + kDescReqHeader, data.data(), n);
            *returned = static_cast<DWORD>(kDescReqHeader + n);
            return true;
        }
        default:
            return false;
        }
    }

private:
    bool HubAlive() const
    {
        return m_hub >= 0 && static_cast<std::size_t>(m_hub) < m_w->hubs.size() && m_w->hubs[static_cast<std::size_t>(m_hub)].alive &&
               m_w->hubs[static_cast<std::size_t>(m_hub)].name == m_hubName;
    }

    World::Impl* m_w;
    std::u16string m_path;
    int m_controller;
    int m_hub;
    std::u16string m_hubName;
};

class SimHubDriver : public platform::usb::IUsbHubDriver
{
public:
    explicit SimHubDriver(World::Impl* w) : m_w(w) {}
    std::unique_ptr<platform::usb::IUsbNode> Open(const CString& path) override
    {
        static const std::u16string prefix = u"\\\\.\\";
        const std::u16string& p = path.Str();
        if (p.size() <= prefix.size() || p.compare(0, prefix.size(), prefix) != 0) return nullptr;
        std::u16string name = p.substr(prefix.size());
        std::lock_guard<std::mutex> lk(m_w->mu);
        if (name.rfind(u"HCD", 0) == 0) {
            std::u16string num = name.substr(3);
            if (num.empty() || num.size() > 4) return nullptr;
            int n = 0;
            for (char16_t c : num) {
                if (c < u'0' || c > u'9') return nullptr;
                n = n * 10 + (c - u'0');
            }
            if (!m_w->controllers.count(n)) return nullptr;
            return std::make_unique<SimUsbNode>(m_w, p, n, -1, u"");
        }
        for (std::size_t h = 0; h < m_w->hubs.size(); ++h)
            if (m_w->hubs[h].alive && m_w->hubs[h].name == name)
                return std::make_unique<SimUsbNode>(m_w, p, -1, static_cast<int>(h), name);
        return nullptr;
    }

    std::string PortPath(const CString& hubPath, ULONG port) override
    {
        static const std::u16string prefix = u"\\\\.\\";
        const std::u16string& p = hubPath.Str();
        if (p.size() <= prefix.size() || p.compare(0, prefix.size(), prefix) != 0 || port > 255) return {};
        const std::u16string name = p.substr(prefix.size());
        std::lock_guard<std::mutex> lk(m_w->mu);
        for (std::size_t h = 0; h < m_w->hubs.size(); ++h)
            if (m_w->hubs[h].alive && m_w->hubs[h].name == name) return m_w->PortPathOf(static_cast<int>(h), static_cast<int>(port));
        return {};
    }

private:
    World::Impl* m_w;
};

} // namespace

std::shared_ptr<platform::usb::IUsbHubDriver> MakeSimHubDriver(World::Impl* w) { return std::make_shared<SimHubDriver>(w); }

} // namespace sim
