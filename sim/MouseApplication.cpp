// The mouse in application mode: its requests and replies (through the shared protocol
// model), the faults that bend them, and the one place where a mouse changes its mode.
#include <algorithm>

#include "platform/Clock.h"
#include "sim/WorldImpl.h"

namespace sim {

using detail::Mouse;

double World::Impl::Now() { return platform::ScaledNowMs(); }

int World::Impl::NewInstance()
{
    const int inst = nextInstance;
    nextInstance += 2;
    return inst;
}

// Every change of a mouse's mode goes through here: a new HID instance for each appearance,
// its reply queue dropped, the waiting readers woken.
void World::Impl::EnterMode(Mouse& m, MouseMode mode, double dueInMs)
{
    m.mode = mode;
    m.queue.clear();
    m.instance = (mode == MouseMode::Application || mode == MouseMode::Bootloader) ? NewInstance() : 0;
    m.due = (mode == MouseMode::Switching || mode == MouseMode::Leaving) ? Now() + dueInMs : 0;
    cv.notify_all();
}

void World::Impl::PlugLocked(Mouse& m, int hub, int port)
{
    detail::PortSlot* s = Slot(hub, port);
    if (!s || s->kind != detail::DevKind::None) return;
    s->kind = detail::DevKind::Mouse;
    s->mouse = m.index;
    s->address = static_cast<WORD>(7 + m.index);
    m.hub = hub;
    m.port = port;
    EnterMode(m, MouseMode::Application);
}

void World::Impl::MouseGone(Mouse& m)
{
    if (detail::PortSlot* s = Slot(m.hub, m.port); s && s->kind == detail::DevKind::Mouse && s->mouse == m.index)
        *s = detail::PortSlot();
    m.hub = -1;
    m.port = 0;
    EnterMode(m, MouseMode::Absent);
}

void World::Impl::Tick()
{
    for (auto& p : mice) {
        Mouse& m = *p;
        if ((m.mode != MouseMode::Switching && m.mode != MouseMode::Leaving) || Now() < m.due) continue;
        if (m.mode == MouseMode::Switching) {
            if (m.faults.bootloaderPresent) EnterMode(m, MouseMode::Bootloader);
            else MouseGone(m);
        } else {
            RunNewFirmware(m);
            EnterMode(m, MouseMode::Application);
        }
    }
}

bool World::Impl::FlashHoldsKnownImage(const Mouse& m) const
{
    const auto& flash = m.isp.flash.Bytes();
    if (!hasKnownImage || knownImage.size() > flash.size()) return false;
    for (std::size_t i = 0; i < knownImage.size(); ++i) {
        // The identity areas are the mouse's own, patched in by the host.
        if (i >= proto::kUserDataOffset && i < proto::kDeviceIdOffset + proto::kDeviceIdBytes) continue;
        if (flash[i] != knownImage[i]) return false;
    }
    return true;
}

// A mouse starting its firmware reads its identity from the flash, where that is not erased.
void World::Impl::RunNewFirmware(Mouse& m)
{
    if (FlashHoldsKnownImage(m)) m.settings.version = knownImageVersion;
    const auto& flash = m.isp.flash.Bytes();
    if (auto id = proto::DeviceIdInFlash(flash)) m.settings.deviceId = *id;
    for (unsigned b = proto::kFirstSavedBlock; b <= proto::kLastSavedBlock; ++b)
        proto::UserBlockInFlash(flash, b, m.settings.userData[b].data());
}

void World::Impl::Log(LoggedReport::Kind k, const BYTE* p, std::size_t n)
{
    if (log.size() < detail::kLogLimit) log.push_back(LoggedReport{k, std::vector<BYTE>(p, p + n)});
}

void World::Impl::Queue(Mouse& m, std::vector<BYTE> bytes, DWORD delayMs)
{
    double at = Now() + delayMs;
    ++counters.repliesQueued;
    // Keep the queue ordered by delivery time.
    auto it = std::upper_bound(m.queue.begin(), m.queue.end(), at, [](double t, const detail::PendingReport& r) { return t < r.deliverAt; });
    m.queue.insert(it, detail::PendingReport{at, std::move(bytes)});
    cv.notify_all();
}

bool World::Impl::OnRequest(Mouse& m, const BYTE* data, std::size_t len)
{
    ++counters.outputReports;
    Log(LoggedReport::Output, data, len);
    const Faults& f = m.faults;
    const int n = ++m.requestCount;
    if (requestHook) requestHook(n);
    if (f.failRequest == n) return false;
    if (!(f.silentFromRequest && n >= f.silentFromRequest)) {
        proto::Identity id;
        id.programId = m.settings.programId;
        id.version = m.settings.version;
        id.deviceId = m.settings.deviceId;
        id.userByte = [&m](unsigned block, unsigned offset) -> std::uint8_t {
            return block < m.settings.userData.size() && offset < m.settings.userData[block].size() ? m.settings.userData[block][offset] : 0;
        };
        if (auto reply = proto::Answer(id, data, len)) {
            std::vector<BYTE> r(reply->begin(), reply->end());
            const BYTE cmd = data[1];
            if (cmd == proto::kCmdDeviceId && f.deviceIdWrongEcho) r[1] = proto::kCmdProgramInfo;
            if (cmd == proto::kCmdUserData && (f.wrongOffsetEcho || f.wrongOffsetAtRequest == n)) r[2] = static_cast<BYTE>(data[2] + 4);
            if (f.wrongCommandEcho) r[1] = cmd == proto::kCmdProgramInfo ? proto::kCmdDeviceId : proto::kCmdProgramInfo;
            bool answer = true;
            if (m.lostLeft > 0) {
                --m.lostLeft;
                answer = false;
            }
            if (answer) {
                r.resize(static_cast<std::size_t>(std::max(1, std::min(f.replyLength, 64))), 0);
                Queue(m, r, f.replyDelayMs);
                if (f.duplicateReplies) Queue(m, r, f.replyDelayMs);
            }
        }
    }
    if (f.unplugAfterRequest == n) MouseGone(m);
    return true;
}

bool World::Impl::OnSwitchRequest(Mouse& m)
{
    ++counters.switchRequests;
    EnterMode(m, MouseMode::Switching, m.faults.bootloaderDelayMs);
    return m.faults.switchRequestAnswers;
}

} // namespace sim
