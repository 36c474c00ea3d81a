// The simulated world's public face: the facade World.h describes, over the tree, the mice
// and the adapters that live in their own files.
#include "sim/World.h"

#include <algorithm>

#include "platform/hid/HidBackend.h"
#include "platform/usb/UsbHubDriver.h"
#include "sim/WorldImpl.h"

namespace sim {

using detail::DevKind;
using detail::PortSlot;

namespace detail {

MouseSettings DefaultSettings()
{
    MouseSettings s;
    s.userData.assign(16, std::vector<BYTE>(256));
    for (int b = 0; b < 16; ++b)
        for (int o = 0; o < 256; ++o) s.userData[static_cast<std::size_t>(b)][static_cast<std::size_t>(o)] = static_cast<BYTE>((b * 37 + o) & 0xFF);
    return s;
}

} // namespace detail

void World::Impl::ResetLocked()
{
    controllers.clear();
    hubs.clear();
    hidIfs.clear();
    mice.clear();
    M(0);
    counters = Counters();
    log.clear();
    hubLog.clear();
    knownImage.clear();
    hasKnownImage = false;
    requestHook = nullptr;
    AddControllerLocked(0, 4);
    cv.notify_all();
}

detail::Mouse& World::Impl::M(int k)
{
    while (static_cast<int>(mice.size()) <= k) {
        auto m = std::make_unique<detail::Mouse>();
        m->index = static_cast<int>(mice.size());
        m->settings = detail::DefaultSettings();
        mice.push_back(std::move(m));
    }
    return *mice[static_cast<std::size_t>(k)];
}

World& World::Instance()
{
    static World w;
    return w;
}

World::World() : m(std::make_unique<Impl>())
{
    std::lock_guard<std::mutex> lk(m->mu);
    m->ResetLocked();
}

void World::Install()
{
    Impl* w = Instance().m.get();
    platform::hid::InstallBackend(MakeSimHidBackend(w));
    platform::usb::InstallHubDriver(MakeSimHubDriver(w));
}

void World::Reset()
{
    std::lock_guard<std::mutex> lk(m->mu);
    m->ResetLocked();
}

// ---- topology ----

int World::AddController(int index, int ports)
{
    std::lock_guard<std::mutex> lk(m->mu);
    auto it = m->controllers.find(index);
    if (it != m->controllers.end()) m->KillHub(it->second);
    return m->AddControllerLocked(index, ports);
}

int World::RootHub(int controller) const
{
    std::lock_guard<std::mutex> lk(m->mu);
    auto it = m->controllers.find(controller);
    return it == m->controllers.end() ? -1 : it->second;
}

std::u16string World::HubName(int hub) const
{
    std::lock_guard<std::mutex> lk(m->mu);
    if (hub < 0 || static_cast<std::size_t>(hub) >= m->hubs.size()) return std::u16string();
    return m->hubs[static_cast<std::size_t>(hub)].name;
}

int World::AddHub(int parentHub, int port, int ports)
{
    std::lock_guard<std::mutex> lk(m->mu);
    if (m->hubs.size() >= detail::kMaxHubs) return -1;
    PortSlot* s = m->Slot(parentHub, port);
    if (!s || s->kind != DevKind::None) return -1;
    const std::string path = m->PortPathOf(parentHub, port);
    const int bus = m->hubs[static_cast<std::size_t>(parentHub)].bus;
    int h = m->NewHub(ports);
    m->hubs[static_cast<std::size_t>(h)].devPath = path;
    m->hubs[static_cast<std::size_t>(h)].bus = bus;
    s = m->Slot(parentHub, port); // the hub list may have grown
    s->kind = DevKind::Hub;
    s->hub = h;
    s->vid = 0x05E3;
    s->pid = 0x0608;
    s->address = static_cast<WORD>(h + 1);
    return h;
}

void World::PlugDevice(int hub, int port, WORD vid, WORD pid)
{
    std::lock_guard<std::mutex> lk(m->mu);
    PortSlot* s = m->Slot(hub, port);
    if (!s || s->kind != DevKind::None) return;
    s->kind = DevKind::Plain;
    s->vid = vid;
    s->pid = pid;
    s->address = static_cast<WORD>(hub * 16 + port);
}

void World::SetDeviceAddress(int hub, int port, WORD address)
{
    std::lock_guard<std::mutex> lk(m->mu);
    if (PortSlot* s = m->Slot(hub, port)) s->address = address;
}

void World::SetDescriptorReply(int hub, int port, std::vector<BYTE> data, bool fail)
{
    std::lock_guard<std::mutex> lk(m->mu);
    if (PortSlot* s = m->Slot(hub, port)) {
        s->hasCustomReply = true;
        s->descReply = std::move(data);
        s->descFail = fail;
    }
}

void World::Unplug(int hub, int port)
{
    std::lock_guard<std::mutex> lk(m->mu);
    PortSlot* s = m->Slot(hub, port);
    if (!s) return;
    if (s->kind == DevKind::Hub) m->KillHub(s->hub);
    if (s->kind == DevKind::Mouse && s->mouse >= 0) m->MouseGone(m->M(s->mouse));
    if ((s = m->Slot(hub, port))) *s = PortSlot();
}

// ---- plain HID interfaces ----

int World::AddHidInterface(WORD vid, WORD pid, WORD usagePage, USHORT featureLength, const std::string& portPath)
{
    std::lock_guard<std::mutex> lk(m->mu);
    const int id = m->NewInstance();
    detail::HidIf& h = m->hidIfs[id];
    h.id = id;
    h.vid = vid;
    h.pid = pid;
    h.usagePage = usagePage;
    h.featureLength = featureLength;
    h.portPath = portPath;
    return id;
}

std::vector<BYTE> World::HidInterfaceFlash(int id)
{
    std::lock_guard<std::mutex> lk(m->mu);
    auto it = m->hidIfs.find(id);
    if (it == m->hidIfs.end()) return {};
    return it->second.isp.flash.Bytes();
}

void World::RemoveHidInterface(int id)
{
    std::lock_guard<std::mutex> lk(m->mu);
    m->hidIfs.erase(id);
    m->cv.notify_all();
}

// ---- the mice ----

void World::PlugMouse(int hub, int port) { PlugMouse(0, hub, port); }

void World::PlugMouse(int mouse, int hub, int port)
{
    std::lock_guard<std::mutex> lk(m->mu);
    if (mouse < 0) return;
    if (hub < 0) {
        auto it = m->controllers.find(0);
        if (it == m->controllers.end()) return;
        hub = it->second;
    }
    detail::Mouse& ms = m->M(mouse);
    if (ms.mode != MouseMode::Absent) m->MouseGone(ms);
    m->PlugLocked(ms, hub, port);
}

void World::UnplugMouse(int mouse)
{
    std::lock_guard<std::mutex> lk(m->mu);
    if (mouse < 0) return;
    detail::Mouse& ms = m->M(mouse);
    if (ms.mode != MouseMode::Absent) m->MouseGone(ms);
}

void World::ReplugMouse(int mouse)
{
    std::lock_guard<std::mutex> lk(m->mu);
    if (mouse < 0) return;
    m->Tick();
    detail::Mouse& ms = m->M(mouse);
    if (ms.mode == MouseMode::Absent) return;
    const int hub = ms.hub, port = ms.port;
    m->MouseGone(ms);
    // Powered up again, it starts what its flash holds.
    m->RunNewFirmware(ms);
    m->PlugLocked(ms, hub, port);
}

int World::MouseCount()
{
    std::lock_guard<std::mutex> lk(m->mu);
    return static_cast<int>(m->mice.size());
}

MouseMode World::GetMouseMode(int mouse)
{
    std::lock_guard<std::mutex> lk(m->mu);
    m->Tick();
    return m->M(std::max(0, mouse)).mode;
}

void World::SetMouseSettings(const MouseSettings& s) { SetMouseSettings(0, s); }

void World::SetMouseSettings(int mouse, const MouseSettings& s)
{
    std::lock_guard<std::mutex> lk(m->mu);
    detail::Mouse& ms = m->M(std::max(0, mouse));
    auto keep = ms.settings.userData;
    ms.settings = s;
    if (ms.settings.userData.size() != 16) ms.settings.userData = keep;
    for (auto& b : ms.settings.userData) b.resize(256, 0);
    ms.settings.deviceId &= 0xFFFFFFFFFFFFull;
}

MouseSettings World::GetMouseSettings(int mouse)
{
    std::lock_guard<std::mutex> lk(m->mu);
    m->Tick();
    return m->M(std::max(0, mouse)).settings;
}

void World::EnterBootloader(int mouse)
{
    std::lock_guard<std::mutex> lk(m->mu);
    detail::Mouse& ms = m->M(std::max(0, mouse));
    if (ms.mode == MouseMode::Absent) return;
    m->EnterMode(ms, MouseMode::Bootloader);
}

void World::SendTestData(WORD value)
{
    SendInputReport({proto::kAppReportId, proto::kCmdTestData, static_cast<BYTE>(value & 0xFF), static_cast<BYTE>(value >> 8), 0, 0, 0, 0});
}

void World::SendInputReport(std::vector<BYTE> report)
{
    std::lock_guard<std::mutex> lk(m->mu);
    m->Tick();
    detail::Mouse& ms = m->M(0);
    if (ms.mode != MouseMode::Application || report.empty()) return;
    m->Queue(ms, std::move(report), 0);
}

void World::SetFaults(const Faults& f) { SetFaults(0, f); }

void World::SetFaults(int mouse, const Faults& f)
{
    std::lock_guard<std::mutex> lk(m->mu);
    detail::Mouse& ms = m->M(std::max(0, mouse));
    ms.faults = f;
    ms.requestCount = 0;
    ms.ispReportCount = 0;
    ms.lostLeft = f.lostReplies;
}

Faults World::GetFaults(int mouse)
{
    std::lock_guard<std::mutex> lk(m->mu);
    return m->M(std::max(0, mouse)).faults;
}

void World::SetBootloaderPresent(bool present)
{
    std::lock_guard<std::mutex> lk(m->mu);
    m->M(0).faults.bootloaderPresent = present;
}

std::vector<BYTE> World::Flash(int mouse)
{
    std::lock_guard<std::mutex> lk(m->mu);
    return m->M(std::max(0, mouse)).isp.flash.Bytes();
}

void World::SetFlash(const std::vector<BYTE>& contents) { SetFlash(0, contents); }

void World::SetFlash(int mouse, const std::vector<BYTE>& contents)
{
    std::lock_guard<std::mutex> lk(m->mu);
    auto& bytes = m->M(std::max(0, mouse)).isp.flash.Bytes();
    bytes.assign(proto::kFlashSize, 0xFF);
    std::copy_n(contents.begin(), std::min(contents.size(), proto::kFlashSize), bytes.begin());
}

std::string World::MousePortPath(int mouse)
{
    std::lock_guard<std::mutex> lk(m->mu);
    const detail::Mouse& ms = m->M(std::max(0, mouse));
    return m->PortPathOf(ms.hub, ms.port);
}

void World::SetFirmwareImage(const std::vector<BYTE>& image, BYTE version)
{
    std::lock_guard<std::mutex> lk(m->mu);
    m->knownImage = image;
    m->knownImageVersion = version;
    m->hasKnownImage = !image.empty();
}

void World::SetRequestHook(std::function<void(int)> hook)
{
    std::lock_guard<std::mutex> lk(m->mu);
    m->requestHook = std::move(hook);
}

// ---- observation ----

Counters World::GetCounters()
{
    std::lock_guard<std::mutex> lk(m->mu);
    return m->counters;
}

std::vector<LoggedReport> World::ReportLog()
{
    std::lock_guard<std::mutex> lk(m->mu);
    return m->log;
}

std::vector<HubRequest> World::HubLog()
{
    std::lock_guard<std::mutex> lk(m->mu);
    return m->hubLog;
}

void World::ClearLogs()
{
    std::lock_guard<std::mutex> lk(m->mu);
    m->log.clear();
    m->hubLog.clear();
    m->counters = Counters();
}

} // namespace sim
