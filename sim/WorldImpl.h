// The simulated world's state, shared by its files: the USB tree (UsbTree.cpp), the mice
// (MouseApplication.cpp, MouseBootloader.cpp), the HID view and adapter (SimHidBackend.cpp),
// the hub adapter (SimHubDriver.cpp) and the facade (World.cpp). Every member is guarded by
// `mu`; the adapters take it for each call.
#pragma once
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/hid/HidBackend.h"
#include "platform/usb/UsbHubDriver.h"
#include "sim/Protocol.h"
#include "sim/World.h"

namespace sim::detail {

inline constexpr std::size_t kLogLimit = 20000;
inline constexpr std::size_t kMaxHubs = 4096;
// The simulator's own copies of the device's numbers.
inline constexpr WORD kIspVid = proto::kIspVendorId, kIspPid = proto::kIspProductId, kAppVid = proto::kAppVendorId;

struct PendingReport {
    double deliverAt;
    std::vector<BYTE> bytes;
};

enum class DevKind { None, Plain, Hub, Mouse };

struct PortSlot {
    DevKind kind = DevKind::None;
    int hub = -1;   // child hub number
    int mouse = -1; // which mouse sits here
    WORD vid = 0, pid = 0, address = 0;
    std::vector<BYTE> descReply;
    bool descFail = false;
    bool hasCustomReply = false;
};

struct Hub {
    bool alive = false;
    std::u16string name;
    int bus = 0;         // the controller's bus number (controller index + 1)
    std::string devPath; // a downstream hub's own port path; empty for a root hub
    std::vector<PortSlot> ports; // index 0 = port 1
};

// A feature report is a control transfer, and a full-speed control transfer takes about a
// millisecond on the bus. Each device keeps that time on the scaled clock as a debt and sleeps
// it off (outside every lock of the world) once it is worth a sleep, so a run on a fast clock
// stays fast and one in real time takes a real mouse's time; mice on other ports do not wait
// for each other.
class BusClock
{
public:
    void Take();

private:
    std::mutex m_mu;
    double m_busyUntil = 0; // scaled ms
};

// The bootloader's side of the flash protocol, one for every simulated bootloader: the
// mouse's own, with its faults, and another device's.
struct Bootloader {
    proto::Flash flash{false};
    // Feature reports with the report ID in byte 0. n: the number of this report (from 1);
    // faults: the mouse's, or null for another device's bootloader. leave: the leave command
    // was taken.
    int SetFeature(const BYTE* data, std::size_t len, USHORT featureLength, const Faults* faults, int n, Counters* counters,
                   bool& leave);
    int GetFeature(BYTE* buf, std::size_t len, USHORT featureLength, const Faults* faults, Counters* counters);
};

struct Mouse {
    int index = 0;
    int hub = -1, port = 0;
    MouseMode mode = MouseMode::Absent;
    int instance = 0; // HID instance of the current appearance
    double due = 0;   // when Switching/Leaving ends
    MouseSettings settings;
    Faults faults;
    int requestCount = 0, ispReportCount = 0, lostLeft = 0;
    std::deque<PendingReport> queue;
    Bootloader isp;
    std::shared_ptr<BusClock> bus = std::make_shared<BusClock>();
};

struct HidIf {
    int id = 0;
    WORD vid = 0, pid = 0, usagePage = 0;
    USHORT featureLength = 0;
    std::string portPath; // where it sits, as the HID backend reports it; may be empty
    // An interface with the bootloader's IDs is a working bootloader of another device: it
    // keeps a flash of its own and leaves the bus on the leave command.
    Bootloader isp;
    bool written = false;
    std::shared_ptr<BusClock> bus = std::make_shared<BusClock>();
    bool IsBootloader() const { return vid == kIspVid && pid == kIspPid; }
};

MouseSettings DefaultSettings();

} // namespace sim::detail

namespace sim {

struct World::Impl {
    std::mutex mu;
    std::condition_variable cv;
    std::map<int, int> controllers; // index -> root hub
    std::vector<detail::Hub> hubs;
    int nextHubSerial = 0;
    std::map<int, detail::HidIf> hidIfs; // by instance
    int nextInstance = 1;
    std::vector<std::unique_ptr<detail::Mouse>> mice; // mouse 0 always exists

    Counters counters;
    std::vector<LoggedReport> log;
    std::vector<HubRequest> hubLog;
    std::function<void(int)> requestHook;
    // The firmware the host was given (the world knows it; a real mouse reads it from its
    // flash): after a leave whose flash holds that image, a mouse reports its version.
    std::vector<BYTE> knownImage;
    BYTE knownImageVersion = 0;
    bool hasKnownImage = false;

    static double Now();

    void ResetLocked();
    detail::Mouse& M(int k); // mouse k, created on first use
    detail::Mouse* ByInstance(int inst);
    int NewInstance();

    // ---- the USB tree (UsbTree.cpp) ----
    int NewHub(int ports);
    int AddControllerLocked(int index, int ports);
    detail::PortSlot* Slot(int hub, int port);
    void KillHub(int hub);
    std::string PortPathOf(int hub, int port) const;

    // ---- the mice: the one place a mode changes, and their protocols ----
    void EnterMode(detail::Mouse& m, MouseMode mode, double dueInMs = 0);
    void PlugLocked(detail::Mouse& m, int hub, int port);
    void MouseGone(detail::Mouse& m);
    void Tick();
    void RunNewFirmware(detail::Mouse& m);
    bool FlashHoldsKnownImage(const detail::Mouse& m) const;
    void Log(LoggedReport::Kind k, const BYTE* p, std::size_t n);
    void Queue(detail::Mouse& m, std::vector<BYTE> bytes, DWORD delayMs);
    bool OnRequest(detail::Mouse& m, const BYTE* data, std::size_t len); // MouseApplication.cpp
    // The string-descriptor request at the mouse's port; false when it drops off answering.
    bool OnSwitchRequest(detail::Mouse& m);

    // ---- the HID view (SimHidBackend.cpp) ----
    std::vector<platform::hid::DeviceInfo> Enumerate();
    static std::string PathOf(int inst, int col);
    static bool ParsePath(const std::string& path, int& inst, int& col);
    bool Info(int inst, int col, platform::hid::DeviceInfo& d);
};

std::shared_ptr<platform::hid::IHidBackend> MakeSimHidBackend(World::Impl* w);
std::shared_ptr<platform::usb::IUsbHubDriver> MakeSimHubDriver(World::Impl* w);

} // namespace sim
