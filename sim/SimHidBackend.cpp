// The simulated world as the HID backend sees it: one entry per collection of every mouse's
// current appearance and of every plain HID interface, and the open collections' I/O.
#include <algorithm>
#include <cstring>

#include "platform/Clock.h"
#include "sim/WorldImpl.h"

namespace sim {

using detail::HidIf;
using detail::Mouse;

detail::Mouse* World::Impl::ByInstance(int inst)
{
    if (!inst) return nullptr;
    for (auto& m : mice)
        if (m->instance == inst) return m.get();
    return nullptr;
}

std::vector<platform::hid::DeviceInfo> World::Impl::Enumerate()
{
    Tick();
    std::vector<std::pair<int, platform::hid::DeviceInfo>> all;
    for (auto& [id, h] : hidIfs) {
        platform::hid::DeviceInfo d;
        if (Info(id, 1, d)) all.emplace_back(id * 4 + 1, d);
    }
    for (auto& m : mice) {
        if (!m->instance) continue;
        const int cols = m->mode == MouseMode::Application || (m->mode == MouseMode::Bootloader && m->faults.ispHeld) ? 2 : 1;
        for (int col = 1; col <= cols; ++col) {
            platform::hid::DeviceInfo d;
            if (Info(m->instance, col, d)) all.emplace_back(m->instance * 4 + col, d);
        }
    }
    std::sort(all.begin(), all.end(), [](auto& a, auto& b) { return a.first < b.first; });
    std::vector<platform::hid::DeviceInfo> out;
    for (auto& p : all) out.push_back(std::move(p.second));
    return out;
}

std::string World::Impl::PathOf(int inst, int col) { return "sim:hid" + std::to_string(inst) + "&col0" + std::to_string(col); }

bool World::Impl::ParsePath(const std::string& path, int& inst, int& col)
{
    if (path.rfind("sim:hid", 0) != 0) return false;
    auto amp = path.find("&col0");
    if (amp == std::string::npos || amp + 6 != path.size()) return false;
    std::string num = path.substr(7, amp - 7);
    if (num.empty() || num.size() > 9 || num.find_first_not_of("0123456789") != std::string::npos) return false;
    inst = std::stoi(num);
    col = path[amp + 5] - '0';
    return col >= 1 && col <= 2;
}

bool World::Impl::Info(int inst, int col, platform::hid::DeviceInfo& d)
{
    d = platform::hid::DeviceInfo();
    d.path = PathOf(inst, col);
    auto it = hidIfs.find(inst);
    if (it != hidIfs.end()) {
        if (col != 1) return false;
        d.vendorId = it->second.vid;
        d.productId = it->second.pid;
        d.usagePage = it->second.usagePage;
        d.usage = 1;
        d.inputReportLength = 8;
        d.outputReportLength = 8;
        d.featureReportLength = it->second.featureLength;
        d.portPath = it->second.portPath;
        return true;
    }
    Mouse* m = ByInstance(inst);
    if (!m) return false;
    d.portPath = PortPathOf(m->hub, m->port);
    if (m->mode == MouseMode::Application) {
        d.vendorId = detail::kAppVid;
        d.productId = m->settings.appProductId;
        d.versionNumber = 0x0100;
        if (col == 1) {
            d.usagePage = 0x0001;
            d.usage = 0x0002;
            d.inputReportLength = 5;
        } else {
            d.usagePage = 0xFFBA;
            d.usage = 0x0001;
            d.inputReportLength = 8;
            d.outputReportLength = 8;
        }
        return true;
    }
    if (m->mode == MouseMode::Bootloader && (col == 1 || (col == 2 && m->faults.ispHeld))) {
        d.vendorId = detail::kIspVid;
        d.productId = detail::kIspPid;
        d.usagePage = 0xFF00;
        d.usage = 0x0001;
        d.featureReportLength = m->faults.ispFeatureLength;
        return true;
    }
    return false;
}

namespace {

class SimHidDevice : public platform::hid::IHidDevice
{
public:
    SimHidDevice(World::Impl* w, int inst, int col, std::shared_ptr<detail::BusClock> bus)
        : m_w(w), m_inst(inst), m_col(col), m_bus(std::move(bus))
    {
    }

    bool Alive()
    {
        m_w->Tick();
        platform::hid::DeviceInfo d;
        return !m_closed && m_w->Info(m_inst, m_col, d);
    }
    // The mouse whose vendor collection this is, or whose bootloader.
    Mouse* Vendor()
    {
        Mouse* m = m_w->ByInstance(m_inst);
        return m && m->mode == MouseMode::Application && m_col == 2 ? m : nullptr;
    }
    Mouse* Isp()
    {
        Mouse* m = m_w->ByInstance(m_inst);
        return m && m->mode == MouseMode::Bootloader ? m : nullptr;
    }
    HidIf* OtherBootloader()
    {
        auto it = m_w->hidIfs.find(m_inst);
        return it != m_w->hidIfs.end() && it->second.IsBootloader() ? &it->second : nullptr;
    }

    int Write(const std::uint8_t* data, std::size_t length, unsigned) override
    {
        // The simulated mouse takes every report at once.
        std::lock_guard<std::mutex> lk(m_w->mu);
        if (!Alive() || !data || length == 0) return -1;
        if (Mouse* m = Vendor()) return m_w->OnRequest(*m, data, length) ? static_cast<int>(length) : -1;
        return static_cast<int>(length);
    }

    int Read(std::uint8_t* buf, std::size_t length, unsigned timeoutMs) override
    {
        std::unique_lock<std::mutex> lk(m_w->mu);
        const double deadline = World::Impl::Now() + timeoutMs;
        for (;;) {
            if (!Alive()) return -1;
            double now = World::Impl::Now();
            Mouse* m = Vendor();
            if (m && !m->queue.empty() && m->queue.front().deliverAt <= now) {
                std::vector<BYTE> r = std::move(m->queue.front().bytes);
                m->queue.pop_front();
                ++m_w->counters.repliesRead;
                std::size_t n = std::min(r.size(), length);
                std::memcpy(buf, r.data(), n);
                return static_cast<int>(n);
            }
            if (now >= deadline) return 0;
            double until = deadline;
            if (m && !m->queue.empty()) until = std::min(until, m->queue.front().deliverAt);
            for (auto& other : m_w->mice)
                if (other->mode == MouseMode::Switching || other->mode == MouseMode::Leaving) until = std::min(until, other->due);
            double waitMs = std::max(0.0, until - now);
            m_w->cv.wait_for(lk, std::chrono::duration<double, std::milli>(waitMs * platform::GetTimeScale()) + std::chrono::microseconds(50));
        }
    }

    int SetFeature(const std::uint8_t* data, std::size_t length) override
    {
        m_bus->Take();
        std::lock_guard<std::mutex> lk(m_w->mu);
        if (!Alive() || !data || length == 0) return -1;
        if (Mouse* m = Isp()) {
            ++m_w->counters.featureSets;
            m_w->Log(LoggedReport::FeatureSet, data, length);
            const int n = ++m->ispReportCount;
            bool leave = false;
            const int result = m->isp.SetFeature(data, length, m->faults.ispFeatureLength, &m->faults, n, &m_w->counters, leave);
            if (leave) m_w->EnterMode(*m, MouseMode::Leaving, m->faults.appReturnDelayMs);
            if (m->faults.unplugAfterIspReport == n) m_w->MouseGone(*m);
            return result;
        }
        if (HidIf* b = OtherBootloader()) {
            bool leave = false;
            const int result = b->isp.SetFeature(data, length, b->featureLength, nullptr, 0, nullptr, leave);
            if (result > 0 && data[1] != proto::kIspRead) b->written = true;
            if (leave) {
                m_w->hidIfs.erase(m_inst); // leaves the bus
                m_w->cv.notify_all();
            }
            return result;
        }
        return static_cast<int>(length);
    }

    int GetFeature(std::uint8_t* buf, std::size_t length) override
    {
        m_bus->Take();
        std::lock_guard<std::mutex> lk(m_w->mu);
        if (!Alive() || !buf || length == 0) return -1;
        if (Mouse* m = Isp()) return m->isp.GetFeature(buf, length, m->faults.ispFeatureLength, &m->faults, &m_w->counters);
        std::memset(buf, 0, length);
        if (HidIf* b = OtherBootloader()) return b->isp.GetFeature(buf, length, b->featureLength, nullptr, nullptr);
        return static_cast<int>(length);
    }

    bool GetInfo(platform::hid::DeviceInfo& info) override
    {
        std::lock_guard<std::mutex> lk(m_w->mu);
        m_w->Tick();
        return !m_closed && m_w->Info(m_inst, m_col, info);
    }

    void Close() override
    {
        std::lock_guard<std::mutex> lk(m_w->mu);
        m_closed = true;
        m_w->cv.notify_all();
    }

private:
    World::Impl* m_w;
    int m_inst, m_col;
    std::shared_ptr<detail::BusClock> m_bus;
    bool m_closed = false; // guarded by the world's lock
};

class SimHidBackend : public platform::hid::IHidBackend
{
public:
    explicit SimHidBackend(World::Impl* w) : m_w(w) {}
    std::vector<platform::hid::DeviceInfo> Enumerate() override
    {
        std::lock_guard<std::mutex> lk(m_w->mu);
        ++m_w->counters.enumerations;
        return m_w->Enumerate();
    }
    bool GetInfo(const std::string& path, platform::hid::DeviceInfo& info) override
    {
        std::lock_guard<std::mutex> lk(m_w->mu);
        m_w->Tick();
        int inst = 0, col = 0;
        return World::Impl::ParsePath(path, inst, col) && m_w->Info(inst, col, info);
    }
    std::shared_ptr<platform::hid::IHidDevice> Open(const std::string& path, platform::hid::OpenError* err) override
    {
        std::lock_guard<std::mutex> lk(m_w->mu);
        m_w->Tick();
        int inst = 0, col = 0;
        platform::hid::DeviceInfo d;
        if (!World::Impl::ParsePath(path, inst, col) || !m_w->Info(inst, col, d)) {
            if (err) *err = platform::hid::OpenError::NotFound;
            return nullptr;
        }
        if (Mouse* m = m_w->ByInstance(inst); m && m->mode == MouseMode::Bootloader && m->faults.ispHeld && (col == 1 || m->faults.ispHeld == 2)) {
            // Held by another program, as Windows refuses a collection opened exclusively.
            if (err) *err = platform::hid::OpenError::AccessDenied;
            platform::hid::NoteAccessDenied(path);
            return nullptr;
        }
        ++m_w->counters.hidOpens;
        platform::hid::ClearAccessDenied(); // as the real backends do
        if (err) *err = platform::hid::OpenError::None;
        std::shared_ptr<detail::BusClock> bus;
        if (auto it = m_w->hidIfs.find(inst); it != m_w->hidIfs.end()) bus = it->second.bus;
        else if (Mouse* m = m_w->ByInstance(inst)) bus = m->bus;
        else bus = std::make_shared<detail::BusClock>();
        return std::make_shared<SimHidDevice>(m_w, inst, col, std::move(bus));
    }

private:
    World::Impl* m_w;
};

} // namespace

std::shared_ptr<platform::hid::IHidBackend> MakeSimHidBackend(World::Impl* w) { return std::make_shared<SimHidBackend>(w); }

} // namespace sim
