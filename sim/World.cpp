#include "sim/World.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

#include "platform/Clock.h"
#include "platform/CString.h"
#include "platform/hid/HidBackend.h"
#include "platform/usb/UsbHubDriver.h"

namespace sim {

namespace {
constexpr std::size_t kFlashSize = 65536;
constexpr std::size_t kLogLimit = 20000;
constexpr WORD kIspVid = 0x040B, kIspPid = 0x6876, kAppVid = 0x1EA7;
constexpr std::size_t kMaxHubs = 4096;

struct PendingReport {
    double deliverAt;
    std::vector<BYTE> bytes;
};

enum class DevKind { None, Plain, Hub, Mouse };

struct PortSlot {
    DevKind kind = DevKind::None;
    int hub = -1; // child hub number
    WORD vid = 0, pid = 0, address = 0;
    std::vector<BYTE> descReply;
    bool descFail = false;
    bool hasCustomReply = false;
};

struct Hub {
    bool alive = false;
    std::u16string name;
    int bus = 0;          // the controller's bus number (controller index + 1)
    std::string devPath;  // a downstream hub's own port path; empty for a root hub
    std::vector<PortSlot> ports; // index 0 = port 1
};

struct HidIf {
    int id = 0;
    WORD vid = 0, pid = 0, usagePage = 0;
    USHORT featureLength = 0;
    // An interface with the bootloader's IDs is a working bootloader of another device: it
    // keeps a flash of its own and leaves the bus on the leave command.
    std::vector<BYTE> flash;
    bool readPending = false;
    WORD readOffset = 0;
    std::string portPath; // where it sits, as the HID backend reports it; may be empty
    bool IsBootloader() const { return vid == 0x040B && pid == 0x6876; }
};

// A feature report is a control transfer, and a full-speed control transfer takes about a
// millisecond on the bus. The time is kept on the scaled clock as a debt of the bus and slept
// off (outside every lock) once it is worth a sleep, so a run on a fast clock stays fast and
// one in real time takes a real mouse's time.
void TakeBusTime()
{
    constexpr double kTransferMs = 1.0;
    static std::mutex s_mu;
    static double s_busyUntil = 0; // scaled ms
    double waitMs = 0;
    {
        std::lock_guard<std::mutex> lk(s_mu);
        const double now = platform::ScaledNowMs();
        s_busyUntil = std::max(s_busyUntil, now) + kTransferMs;
        waitMs = s_busyUntil - now;
    }
    const auto real = std::chrono::duration<double, std::milli>(waitMs * platform::GetTimeScale());
    if (real >= std::chrono::microseconds(500)) std::this_thread::sleep_for(real);
}

} // namespace

struct World::Impl {
    std::mutex mu;
    std::condition_variable cv;
    std::map<int, int> controllers; // index -> root hub
    std::vector<Hub> hubs;
    int nextHubSerial = 0;
    std::map<int, HidIf> hidIfs;    // by instance
    int nextInstance = 1;

    // mouse
    MouseMode mode = MouseMode::Absent;
    int mouseHub = -1, mousePort = 0;
    int instance = 0;               // HID instance of the current appearance
    double due = 0;                 // when Switching/Leaving ends
    MouseSettings settings;
    Faults faults;
    int requestCount = 0, ispReportCount = 0, lostLeft = 0;
    std::deque<PendingReport> queue;
    bool readPending = false;
    WORD readOffset = 0;
    std::vector<BYTE> flash = std::vector<BYTE>(kFlashSize, 0xFF);

    Counters counters;
    std::vector<LoggedReport> log;
    std::vector<HubRequest> hubLog;

    static double Now() { return platform::ScaledNowMs(); }

    void ResetLocked()
    {
        controllers.clear();
        hubs.clear();
        hidIfs.clear();
        mode = MouseMode::Absent;
        mouseHub = -1;
        instance = 0;
        settings = MouseSettings();
        FillUserData();
        faults = Faults();
        requestCount = ispReportCount = lostLeft = 0;
        queue.clear();
        readPending = false;
        flash.assign(kFlashSize, 0xFF);
        counters = Counters();
        log.clear();
        hubLog.clear();
        knownImage.clear();
        hasKnownImage = false;
        AddControllerLocked(0, 4);
        cv.notify_all();
    }

    void FillUserData()
    {
        settings.userData.assign(16, std::vector<BYTE>(256));
        for (int b = 0; b < 16; ++b)
            for (int o = 0; o < 256; ++o) settings.userData[b][o] = static_cast<BYTE>((b * 37 + o) & 0xFF);
    }

    int NewHub(int ports)
    {
        Hub h;
        h.alive = true;
        h.name = CString::Formatted(u"SIM_HUB#%d", nextHubSerial++).Str();
        h.ports.resize(static_cast<std::size_t>(std::max(0, std::min(ports, 255))));
        hubs.push_back(std::move(h));
        return static_cast<int>(hubs.size()) - 1;
    }

    // Port paths are named as Linux names its USB devices: "<bus>-<port>[.<port>...]".
    std::string PortPathOf(int hub, int port) const
    {
        if (hub < 0 || static_cast<std::size_t>(hub) >= hubs.size() || port < 1) return {};
        const Hub& h = hubs[static_cast<std::size_t>(hub)];
        return h.devPath.empty() ? std::to_string(h.bus) + "-" + std::to_string(port) : h.devPath + "." + std::to_string(port);
    }

    int AddControllerLocked(int index, int ports)
    {
        int root = NewHub(ports);
        hubs[static_cast<std::size_t>(root)].bus = index + 1;
        hubs[static_cast<std::size_t>(root)].name = CString::Formatted(u"SIM_ROOT_HUB#%d", index).Str();
        controllers[index] = root;
        return root;
    }

    PortSlot* Slot(int hub, int port)
    {
        if (hub < 0 || static_cast<std::size_t>(hub) >= hubs.size() || !hubs[static_cast<std::size_t>(hub)].alive) return nullptr;
        auto& ports = hubs[static_cast<std::size_t>(hub)].ports;
        if (port < 1 || static_cast<std::size_t>(port) > ports.size()) return nullptr;
        return &ports[static_cast<std::size_t>(port - 1)];
    }

    void KillHub(int hub)
    {
        Hub& h = hubs[static_cast<std::size_t>(hub)];
        h.alive = false;
        for (auto& s : h.ports) {
            if (s.kind == DevKind::Hub) KillHub(s.hub);
            if (s.kind == DevKind::Mouse) MouseGone();
            s = PortSlot();
        }
    }

    void MouseGone()
    {
        mode = MouseMode::Absent;
        instance = 0;
        queue.clear();
        readPending = false;
        if (PortSlot* s = Slot(mouseHub, mousePort)) *s = PortSlot();
        mouseHub = -1;
        cv.notify_all();
    }

    // Moves the mouse on to the state its clock says.
    void Tick()
    {
        if ((mode == MouseMode::Switching || mode == MouseMode::Leaving) && Now() >= due) {
            if (mode == MouseMode::Switching) {
                if (faults.bootloaderPresent) {
                    mode = MouseMode::Bootloader;
                    instance = nextInstance++;
                } else {
                    MouseGone();
                }
            } else {
                RunNewFirmware();
                mode = MouseMode::Application;
                instance = nextInstance;
                nextInstance += 2;
            }
            cv.notify_all();
        }
    }

    // The firmware the host was given (the sim knows it, a real mouse reads it from its
    // flash): after a leave whose flash holds that image, the mouse reports its version.
    std::function<void(int)> requestHook;
    std::vector<BYTE> knownImage;
    BYTE knownImageVersion = 0;
    bool hasKnownImage = false;

    bool FlashHoldsKnownImage() const
    {
        if (!hasKnownImage || knownImage.size() > flash.size()) return false;
        for (std::size_t i = 0; i < knownImage.size(); ++i) {
            // The identity areas are the mouse's own, patched in by the host.
            if (i >= 0x3D00 && i < 0x4106) continue;
            if (flash[i] != knownImage[i]) return false;
        }
        return true;
    }

    void RunNewFirmware()
    {
        if (FlashHoldsKnownImage()) settings.version = knownImageVersion;
        auto erased = [&](std::size_t at, std::size_t n) {
            return std::all_of(flash.begin() + static_cast<long>(at), flash.begin() + static_cast<long>(at + n), [](BYTE b) { return b == 0xFF; });
        };
        if (!erased(0x4100, 6)) {
            ULONGLONG id = 0;
            for (int i = 0; i < 6; ++i) id |= static_cast<ULONGLONG>(flash[0x4100 + static_cast<std::size_t>(i)]) << (8 * i);
            settings.deviceId = id;
        }
        for (int b = 5; b <= 8; ++b) {
            std::size_t at = 0x3D00 + static_cast<std::size_t>(b - 5) * 256;
            if (!erased(at, 256)) std::copy_n(flash.begin() + static_cast<long>(at), 256, settings.userData[static_cast<std::size_t>(b)].begin());
        }
    }

    void Log(LoggedReport::Kind k, const BYTE* p, std::size_t n)
    {
        if (log.size() < kLogLimit) log.push_back(LoggedReport{k, std::vector<BYTE>(p, p + n)});
    }

    void Queue(std::vector<BYTE> bytes, DWORD delayMs)
    {
        double at = Now() + delayMs;
        ++counters.repliesQueued;
        // Keep the queue ordered by delivery time.
        auto it = std::upper_bound(queue.begin(), queue.end(), at, [](double t, const PendingReport& r) { return t < r.deliverAt; });
        queue.insert(it, PendingReport{at, std::move(bytes)});
        cv.notify_all();
    }

    // An output report reached the mouse's vendor collection. Returns false if sending fails.
    bool OnRequest(const BYTE* data, std::size_t len)
    {
        ++counters.outputReports;
        Log(LoggedReport::Output, data, len);
        int n = ++requestCount;
        if (requestHook) requestHook(n);
        if (faults.failRequest == n) return false;
        if (len >= 8 && data[0] == 0xBA && !(faults.silentFromRequest && n >= faults.silentFromRequest)) {
            std::vector<BYTE> r(8, 0);
            r[0] = 0xBA;
            BYTE cmd = data[1];
            r[1] = cmd;
            bool answer = true;
            switch (cmd) {
            case 0x23:
                for (int i = 0; i < 4; ++i) r[2 + static_cast<std::size_t>(i)] = static_cast<BYTE>(settings.programId >> (8 * i));
                r[6] = settings.version;
                break;
            case 0x31:
                for (int i = 0; i < 6; ++i) r[2 + static_cast<std::size_t>(i)] = static_cast<BYTE>(settings.deviceId >> (8 * i));
                if (faults.deviceIdWrongEcho) r[1] = 0x23;
                break;
            case 0x02: {
                BYTE off = data[2], blk = data[4];
                r[2] = off;
                r[3] = data[3];
                for (int i = 0; i < 4; ++i) {
                    std::size_t o = static_cast<std::size_t>(off) + static_cast<std::size_t>(i);
                    r[4 + static_cast<std::size_t>(i)] = (blk < settings.userData.size() && o < 256) ? settings.userData[blk][o] : 0;
                }
                if (faults.wrongOffsetEcho || faults.wrongOffsetAtRequest == n) r[2] = static_cast<BYTE>(off + 4);
                break;
            }
            default:
                answer = false;
            }
            if (answer && faults.wrongCommandEcho) r[1] = cmd == 0x23 ? 0x31 : 0x23;
            if (answer && lostLeft > 0) {
                --lostLeft;
                answer = false;
            }
            if (answer) {
                r.resize(static_cast<std::size_t>(std::max(1, std::min(faults.replyLength, 64))), 0);
                Queue(r, faults.replyDelayMs);
                if (faults.duplicateReplies) Queue(r, faults.replyDelayMs);
            }
        }
        if (faults.unplugAfterRequest == n) MouseGone();
        return true;
    }

    int OnSetFeature(const BYTE* data, std::size_t len)
    {
        ++counters.featureSets;
        Log(LoggedReport::FeatureSet, data, len);
        int n = ++ispReportCount;
        int result = static_cast<int>(len);
        if (len != faults.ispFeatureLength || len < 41) {
            result = -1;
        } else {
            std::size_t offset = (static_cast<std::size_t>(data[2]) << 8) | data[3];
            int chunk = static_cast<int>(offset / 32) + 1;
            switch (data[1]) {
            case 0xA7:
                ++counters.eraseReports;
                if (faults.failErase) result = -1;
                else std::fill(flash.begin(), flash.end(), 0xFF);
                break;
            case 0xA8:
                ++counters.writeReports;
                if (faults.failWriteChunk == chunk) result = -1;
                else std::copy_n(data + 9, std::min<std::size_t>(32, kFlashSize - offset), flash.begin() + static_cast<long>(offset));
                break;
            case 0xAA:
                ++counters.readReports;
                if (faults.failReadChunk == chunk) {
                    result = -1;
                } else {
                    readPending = true;
                    readOffset = static_cast<WORD>(offset);
                }
                break;
            case 0xA9:
                ++counters.leaveReports;
                if (faults.failLeave) {
                    result = -1;
                } else {
                    mode = MouseMode::Leaving;
                    instance = 0;
                    due = Now() + faults.appReturnDelayMs;
                    cv.notify_all();
                }
                break;
            default:
                result = -1;
            }
        }
        if (faults.unplugAfterIspReport == n) MouseGone();
        return result;
    }

    int OnGetFeature(BYTE* buf, std::size_t len)
    {
        ++counters.featureGets;
        if (len != faults.ispFeatureLength || len < 41) return -1;
        std::memset(buf, 0, len);
        if (!readPending) return static_cast<int>(len);
        readPending = false;
        buf[1] = 0xAA;
        buf[2] = static_cast<BYTE>(readOffset >> 8);
        buf[3] = static_cast<BYTE>(readOffset);
        std::size_t n = std::min<std::size_t>(32, kFlashSize - readOffset);
        std::copy_n(flash.begin() + readOffset, n, buf + 9);
        if (faults.corruptReadBack && readOffset == 0) buf[9] ^= 0x01;
        if (faults.corruptReadBackAt >= 0 && static_cast<std::size_t>(faults.corruptReadBackAt) >= readOffset &&
            static_cast<std::size_t>(faults.corruptReadBackAt) < readOffset + n)
            buf[9 + (static_cast<std::size_t>(faults.corruptReadBackAt) - readOffset)] ^= 0x01;
        return static_cast<int>(len);
    }

    // ---- HID view ----
    std::vector<platform::hid::DeviceInfo> Enumerate()
    {
        Tick();
        std::vector<std::pair<int, platform::hid::DeviceInfo>> all;
        for (auto& [id, h] : hidIfs) {
            platform::hid::DeviceInfo d;
            if (Info(id, 1, d)) all.emplace_back(id * 4 + 1, d);
        }
        if (instance) {
            for (int col = 1; col <= (mode == MouseMode::Application ? 2 : 1); ++col) {
                platform::hid::DeviceInfo d;
                if (Info(instance, col, d)) all.emplace_back(instance * 4 + col, d);
            }
        }
        std::sort(all.begin(), all.end(), [](auto& a, auto& b) { return a.first < b.first; });
        std::vector<platform::hid::DeviceInfo> out;
        for (auto& p : all) out.push_back(std::move(p.second));
        return out;
    }

    static std::string PathOf(int inst, int col) { return "sim:hid" + std::to_string(inst) + "&col0" + std::to_string(col); }

    static bool ParsePath(const std::string& path, int& inst, int& col)
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

    bool Info(int inst, int col, platform::hid::DeviceInfo& d)
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
        if (!inst || inst != instance) return false;
        d.portPath = PortPathOf(mouseHub, mousePort);
        if (mode == MouseMode::Application) {
            d.vendorId = kAppVid;
            d.productId = settings.appProductId;
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
        if (mode == MouseMode::Bootloader && col == 1) {
            d.vendorId = kIspVid;
            d.productId = kIspPid;
            d.usagePage = 0xFF00;
            d.usage = 0x0001;
            d.featureReportLength = faults.ispFeatureLength;
            return true;
        }
        return false;
    }
};

namespace {

class SimHidDevice : public platform::hid::IHidDevice
{
public:
    SimHidDevice(World::Impl* w, int inst, int col) : m_w(w), m_inst(inst), m_col(col) {}

    bool Alive()
    {
        m_w->Tick();
        platform::hid::DeviceInfo d;
        return !m_closed && m_w->Info(m_inst, m_col, d);
    }
    bool IsMouseVendor() const { return m_inst == m_w->instance && m_w->mode == MouseMode::Application && m_col == 2; }
    bool IsIsp() const { return m_inst == m_w->instance && m_w->mode == MouseMode::Bootloader; }

    int Write(const std::uint8_t* data, std::size_t length, unsigned) override
    {
        // The simulated mouse takes every report at once.
        std::lock_guard<std::mutex> lk(m_w->mu);
        if (!Alive() || !data || length == 0) return -1;
        if (IsMouseVendor()) return m_w->OnRequest(data, length) ? static_cast<int>(length) : -1;
        return static_cast<int>(length);
    }

    int Read(std::uint8_t* buf, std::size_t length, unsigned timeoutMs) override
    {
        std::unique_lock<std::mutex> lk(m_w->mu);
        const double deadline = World::Impl::Now() + timeoutMs;
        for (;;) {
            if (!Alive()) return -1;
            double now = World::Impl::Now();
            if (IsMouseVendor() && !m_w->queue.empty() && m_w->queue.front().deliverAt <= now) {
                std::vector<BYTE> r = std::move(m_w->queue.front().bytes);
                m_w->queue.pop_front();
                ++m_w->counters.repliesRead;
                std::size_t n = std::min(r.size(), length);
                std::memcpy(buf, r.data(), n);
                return static_cast<int>(n);
            }
            if (now >= deadline) return 0;
            double until = deadline;
            if (IsMouseVendor() && !m_w->queue.empty()) until = std::min(until, m_w->queue.front().deliverAt);
            if ((m_w->mode == MouseMode::Switching || m_w->mode == MouseMode::Leaving)) until = std::min(until, m_w->due);
            double waitMs = std::max(0.0, until - now);
            m_w->cv.wait_for(lk, std::chrono::duration<double, std::milli>(waitMs * platform::GetTimeScale()) + std::chrono::microseconds(50));
        }
    }

    int SetFeature(const std::uint8_t* data, std::size_t length) override
    {
        TakeBusTime();
        std::lock_guard<std::mutex> lk(m_w->mu);
        if (!Alive() || !data || length == 0) return -1;
        if (IsIsp()) return m_w->OnSetFeature(data, length);
        if (HidIf* b = OtherBootloader()) return OtherSetFeature(*b, data, length);
        return static_cast<int>(length);
    }

    int GetFeature(std::uint8_t* buf, std::size_t length) override
    {
        TakeBusTime();
        std::lock_guard<std::mutex> lk(m_w->mu);
        if (!Alive() || !buf || length == 0) return -1;
        if (IsIsp()) return m_w->OnGetFeature(buf, length);
        std::memset(buf, 0, length);
        if (HidIf* b = OtherBootloader()) {
            if (length != b->featureLength || length < 41) return -1;
            if (b->readPending) {
                b->readPending = false;
                buf[1] = 0xAA;
                buf[2] = static_cast<BYTE>(b->readOffset >> 8);
                buf[3] = static_cast<BYTE>(b->readOffset);
                std::copy_n(b->flash.begin() + b->readOffset, std::min<std::size_t>(32, kFlashSize - b->readOffset), buf + 9);
            }
        }
        return static_cast<int>(length);
    }

    HidIf* OtherBootloader()
    {
        auto it = m_w->hidIfs.find(m_inst);
        return it != m_w->hidIfs.end() && it->second.IsBootloader() ? &it->second : nullptr;
    }

    int OtherSetFeature(HidIf& b, const std::uint8_t* data, std::size_t length)
    {
        if (length != b.featureLength || length < 41) return -1;
        if (b.flash.empty()) b.flash.assign(kFlashSize, 0xFF);
        std::size_t offset = (static_cast<std::size_t>(data[2]) << 8) | data[3];
        switch (data[1]) {
        case 0xA7: std::fill(b.flash.begin(), b.flash.end(), 0xFF); break;
        case 0xA8: std::copy_n(data + 9, std::min<std::size_t>(32, kFlashSize - offset), b.flash.begin() + static_cast<long>(offset)); break;
        case 0xAA: b.readPending = true; b.readOffset = static_cast<WORD>(offset); break;
        case 0xA9: m_w->hidIfs.erase(m_inst); m_w->cv.notify_all(); break; // leaves the bus
        default: return -1;
        }
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
    bool m_closed = false; // guarded by the world's lock
};

class SimHidBackend : public platform::hid::IHidBackend
{
public:
    explicit SimHidBackend(World::Impl* w) : m_w(w) {}
    std::vector<platform::hid::DeviceInfo> Enumerate() override
    {
        std::lock_guard<std::mutex> lk(m_w->mu);
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
        ++m_w->counters.hidOpens;
        if (err) *err = platform::hid::OpenError::None;
        return std::make_shared<SimHidDevice>(m_w, inst, col);
    }

private:
    World::Impl* m_w;
};

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
        Hub& hub = m_w->hubs[static_cast<std::size_t>(m_hub)];
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
                if (m_w->mode == MouseMode::Application) {
                    vid = kAppVid;
                    pid = m_w->settings.appProductId;
                } else if (m_w->mode == MouseMode::Bootloader) {
                    vid = kIspVid;
                    pid = kIspPid;
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
                if (m_w->mode == MouseMode::Application && wValue == 0x03FF && wIndex == 0x4D21) {
                    ++m_w->counters.switchRequests;
                    m_w->mode = MouseMode::Switching;
                    m_w->instance = 0;
                    m_w->queue.clear();
                    m_w->due = World::Impl::Now() + m_w->faults.bootloaderDelayMs;
                    m_w->cv.notify_all();
                    if (!m_w->faults.switchRequestAnswers) return false; // dropped off while answering
                } else if (m_w->mode != MouseMode::Application && m_w->mode != MouseMode::Bootloader) {
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

// ---- public API ----

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
    platform::hid::InstallBackend(std::make_shared<SimHidBackend>(w));
    platform::usb::InstallHubDriver(std::make_shared<SimHubDriver>(w));
}

void World::Reset()
{
    std::lock_guard<std::mutex> lk(m->mu);
    m->ResetLocked();
}

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
    if (m->hubs.size() >= kMaxHubs) return -1;
    PortSlot* s = m->Slot(parentHub, port);
    if (!s || s->kind != DevKind::None) return -1;
    int h = m->NewHub(ports);
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
    if (s->kind == DevKind::Mouse) m->MouseGone();
    if ((s = m->Slot(hub, port))) *s = PortSlot();
}

int World::AddHidInterface(WORD vid, WORD pid, WORD usagePage, USHORT featureLength, const std::string& portPath)
{
    std::lock_guard<std::mutex> lk(m->mu);
    int id = m->nextInstance;
    m->nextInstance += 2;
    HidIf h;
    h.id = id;
    h.vid = vid;
    h.pid = pid;
    h.usagePage = usagePage;
    h.featureLength = featureLength;
    h.portPath = portPath;
    m->hidIfs[id] = std::move(h);
    return id;
}

std::vector<BYTE> World::HidInterfaceFlash(int id)
{
    std::lock_guard<std::mutex> lk(m->mu);
    auto it = m->hidIfs.find(id);
    if (it == m->hidIfs.end()) return {};
    return it->second.flash.empty() ? std::vector<BYTE>(kFlashSize, 0xFF) : it->second.flash;
}

void World::RemoveHidInterface(int id)
{
    std::lock_guard<std::mutex> lk(m->mu);
    m->hidIfs.erase(id);
    m->cv.notify_all();
}

void World::PlugMouse(int hub, int port)
{
    std::lock_guard<std::mutex> lk(m->mu);
    if (hub < 0) {
        auto it = m->controllers.find(0);
        if (it == m->controllers.end()) return;
        hub = it->second;
    }
    if (m->mode != MouseMode::Absent) m->MouseGone();
    PortSlot* s = m->Slot(hub, port);
    if (!s || s->kind != DevKind::None) return;
    s->kind = DevKind::Mouse;
    s->address = 7;
    m->mouseHub = hub;
    m->mousePort = port;
    m->mode = MouseMode::Application;
    m->instance = m->nextInstance;
    m->nextInstance += 2;
    m->cv.notify_all();
}

void World::ReplugMouse()
{
    std::lock_guard<std::mutex> lk(m->mu);
    m->Tick();
    if (m->mode == MouseMode::Absent) return;
    const int hub = m->mouseHub, port = m->mousePort;
    m->MouseGone();
    // Powered up again, it starts what its flash holds.
    m->RunNewFirmware();
    PortSlot* s = m->Slot(hub, port);
    if (!s || s->kind != DevKind::None) return;
    s->kind = DevKind::Mouse;
    s->address = 7;
    m->mouseHub = hub;
    m->mousePort = port;
    m->mode = MouseMode::Application;
    m->instance = m->nextInstance;
    m->nextInstance += 2;
    m->cv.notify_all();
}

void World::UnplugMouse()
{
    std::lock_guard<std::mutex> lk(m->mu);
    if (m->mode != MouseMode::Absent) m->MouseGone();
}

MouseMode World::GetMouseMode()
{
    std::lock_guard<std::mutex> lk(m->mu);
    m->Tick();
    return m->mode;
}

void World::SetMouseSettings(const MouseSettings& s)
{
    std::lock_guard<std::mutex> lk(m->mu);
    auto keep = m->settings.userData;
    m->settings = s;
    if (m->settings.userData.size() != 16) m->settings.userData = keep;
    for (auto& b : m->settings.userData) b.resize(256, 0);
    m->settings.deviceId &= 0xFFFFFFFFFFFFull;
}

MouseSettings World::GetMouseSettings()
{
    std::lock_guard<std::mutex> lk(m->mu);
    m->Tick();
    return m->settings;
}

void World::EnterBootloader()
{
    std::lock_guard<std::mutex> lk(m->mu);
    if (m->mode == MouseMode::Absent) return;
    m->queue.clear();
    m->mode = MouseMode::Bootloader;
    m->instance = m->nextInstance;
    m->nextInstance += 2;
    m->cv.notify_all();
}

void World::SendTestData(WORD value)
{
    SendInputReport({0xBA, 0x06, static_cast<BYTE>(value & 0xFF), static_cast<BYTE>(value >> 8), 0, 0, 0, 0});
}

void World::SendInputReport(std::vector<BYTE> report)
{
    std::lock_guard<std::mutex> lk(m->mu);
    m->Tick();
    if (m->mode != MouseMode::Application || report.empty()) return;
    m->Queue(std::move(report), 0);
}

void World::SetFaults(const Faults& f)
{
    std::lock_guard<std::mutex> lk(m->mu);
    m->faults = f;
    m->requestCount = 0;
    m->ispReportCount = 0;
    m->lostLeft = f.lostReplies;
}

Faults World::GetFaults()
{
    std::lock_guard<std::mutex> lk(m->mu);
    return m->faults;
}

void World::SetBootloaderPresent(bool present)
{
    std::lock_guard<std::mutex> lk(m->mu);
    m->faults.bootloaderPresent = present;
}

void World::SetRequestHook(std::function<void(int)> hook)
{
    std::lock_guard<std::mutex> lk(m->mu);
    m->requestHook = std::move(hook);
}

void World::SetFirmwareImage(const std::vector<BYTE>& image, BYTE version)
{
    std::lock_guard<std::mutex> lk(m->mu);
    m->knownImage = image;
    m->knownImageVersion = version;
    m->hasKnownImage = !image.empty();
}

std::string World::MousePortPath()
{
    std::lock_guard<std::mutex> lk(m->mu);
    return m->PortPathOf(m->mouseHub, m->mousePort);
}

std::vector<BYTE> World::Flash()
{
    std::lock_guard<std::mutex> lk(m->mu);
    return m->flash;
}

void World::SetFlash(const std::vector<BYTE>& contents)
{
    std::lock_guard<std::mutex> lk(m->mu);
    m->flash.assign(kFlashSize, 0xFF);
    std::copy_n(contents.begin(), std::min(contents.size(), kFlashSize), m->flash.begin());
}

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
