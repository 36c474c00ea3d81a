#include "platform/hid/HidrawBackend.h"

#include <fcntl.h>
#include <hidapi/hidapi.h>
#include <linux/hidraw.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>

#include "platform/Clock.h"

namespace platform::hid {
namespace fs = std::filesystem;
namespace {

// The kernel refuses report descriptors above this size; a longer file is not one.
constexpr std::size_t kMaxDescriptor = 4096;

// hidapi keeps one global error string that every enumeration rewrites.
std::mutex g_enumerateMu;

std::vector<HidrawNodeEntry> HidapiNodes()
{
    std::lock_guard<std::mutex> lk(g_enumerateMu);
    std::vector<HidrawNodeEntry> v;
    hid_device_info* all = hid_enumerate(0, 0);
    for (hid_device_info* d = all; d; d = d->next) {
        if (!d->path) continue;
        v.push_back({d->path, d->vendor_id, d->product_id, d->release_number, d->usage_page, d->usage});
    }
    hid_free_enumeration(all);
    return v;
}

std::string NodeName(const std::string& node)
{
    auto pos = node.rfind('/');
    return pos == std::string::npos ? node : node.substr(pos + 1);
}

// The node and the descriptor that wakes a blocked reader at Close. Shared by the handle, a
// read in progress and the writer, and closed when the last of them lets go, so a write
// still held in the kernel never meets a descriptor number reused by another open.
struct NodeFds {
    int fd = -1;
    int wake = -1;
    NodeFds() = default;
    NodeFds(const NodeFds&) = delete;
    NodeFds& operator=(const NodeFds&) = delete;
    ~NodeFds()
    {
        if (fd >= 0) ::close(fd);
        if (wake >= 0) ::close(wake);
    }
};

// A write to hidraw is a synchronous USB transfer that only the kernel's own time-out (5 s
// for SET_REPORT) ends, and no signal interrupts it. So writes run on a worker of their own
// and Write waits for it no longer than its time-out. One write is in the kernel at a time;
// a caller that gives up leaves it to finish there.
class Writer : public std::enable_shared_from_this<Writer>
{
public:
    explicit Writer(std::shared_ptr<NodeFds> fds) : m_fds(std::move(fds)) {}

    int Write(const std::uint8_t* data, std::size_t length, std::chrono::steady_clock::time_point deadline)
    {
        std::unique_lock<std::mutex> lk(m_mu);
        if (m_stop) return -1;
        if (!m_started) {
            try {
                std::thread([self = shared_from_this()] { self->Run(); }).detach();
            } catch (...) {
                return -1;
            }
            m_started = true;
        }
        // A write given up earlier may still be in the kernel; this one queues behind it.
        if (!m_cv.wait_until(lk, deadline, [&] { return m_stop || (!m_queued && !m_inFlight); })) {
            errno = ETIMEDOUT;
            return -1;
        }
        if (m_stop) return -1;
        auto job = std::make_shared<Job>();
        job->data.assign(data, data + length);
        m_queued = job;
        m_cv.notify_all();
        if (!m_cv.wait_until(lk, deadline, [&] { return job->done; })) {
            if (m_queued == job) m_queued.reset(); // never reached the kernel
            errno = ETIMEDOUT;
            return -1;
        }
        errno = job->err;
        return job->result;
    }

    // The worker ends after the write in progress, if any; a queued one fails.
    void Stop()
    {
        std::lock_guard<std::mutex> lk(m_mu);
        m_stop = true;
        if (m_queued) {
            m_queued->err = ENODEV;
            m_queued->done = true;
            m_queued.reset();
        }
        m_cv.notify_all();
    }

private:
    struct Job {
        std::vector<std::uint8_t> data;
        bool done = false;
        int result = -1;
        int err = 0;
    };

    void Run()
    {
        std::unique_lock<std::mutex> lk(m_mu);
        for (;;) {
            m_cv.wait(lk, [&] { return m_stop || m_queued; });
            if (m_stop) return;
            std::shared_ptr<Job> job = std::move(m_queued);
            m_queued.reset();
            m_inFlight = true;
            lk.unlock();
            ssize_t n;
            do n = ::write(m_fds->fd, job->data.data(), job->data.size());
            while (n < 0 && errno == EINTR);
            int err = n < 0 ? errno : 0;
            lk.lock();
            m_inFlight = false;
            job->result = n < 0 ? -1 : static_cast<int>(n);
            job->err = err;
            job->done = true;
            m_cv.notify_all();
        }
    }

    std::shared_ptr<NodeFds> m_fds;
    std::mutex m_mu;
    std::condition_variable m_cv;
    std::shared_ptr<Job> m_queued;
    bool m_inFlight = false;
    bool m_started = false;
    bool m_stop = false;
};

DeviceInfo CollectionInfo(const HidrawNodeEntry& node, const TopLevelCollection& tlc, std::size_t number)
{
    DeviceInfo info;
    char suffix[24];
    std::snprintf(suffix, sizeof suffix, "&col%02zu", number);
    info.path = node.path + suffix;
    info.vendorId = node.vendorId;
    info.productId = node.productId;
    info.versionNumber = node.releaseNumber;
    info.usagePage = tlc.usagePage;
    info.usage = tlc.usage;
    info.inputReportLength = tlc.inputReportLength;
    info.outputReportLength = tlc.outputReportLength;
    info.featureReportLength = tlc.featureReportLength;
    return info;
}

// hidraw answers a write or ioctl on a device that left with ENODEV; a stall (EPIPE) or a
// protocol error comes from a device that is still there.
bool IsGoneErrno(int e) { return e == ENODEV || e == ENXIO || e == ESHUTDOWN; }

// I/O of our own rather than hidapi's: hidapi 0.13 keeps one error string per device and
// frees it in every call that fails, so the reader and a request failing together (as at
// unplug) could free it twice, and its read gives up on a signal. Here the reader never
// waits for a request or the other way round, and a write cannot outlast its time-out.
class HidrawDevice : public IHidDevice
{
public:
    HidrawDevice(std::shared_ptr<NodeFds> fds, DeviceInfo info, const TopLevelCollection& tlc, std::string sysfsDir)
        : m_fds(fds), m_writer(std::make_shared<Writer>(std::move(fds))), m_info(std::move(info)),
          m_usesIds(tlc.usesReportIds), m_ownIds(tlc.inputReportIds), m_sysfsDir(std::move(sysfsDir))
    {
    }
    ~HidrawDevice() override { Close(); }

    int Write(const std::uint8_t* data, std::size_t length, unsigned timeoutMs) override
    {
        if (!data || length == 0 || !Fds()) return -1;
        auto deadline = std::chrono::steady_clock::now() + platform::ScaledDuration(timeoutMs);
        int n = m_writer->Write(data, length, deadline);
        if (n < 0 && IsGoneErrno(errno)) m_gone = true;
        return n;
    }

    int Read(std::uint8_t* buf, std::size_t length, unsigned timeoutMs) override
    {
        std::lock_guard<std::mutex> rl(m_readMu);
        auto fds = Fds();
        if (!fds || !buf || length == 0) return -1;
        // Unnumbered reports come without an ID byte; give them the 0 the callers expect.
        std::uint8_t* dst = m_usesIds ? buf : buf + 1;
        std::size_t room = m_usesIds ? length : length - 1;
        if (room == 0) return -1;
        const auto deadline = std::chrono::steady_clock::now() + platform::ScaledDuration(timeoutMs);
        for (;;) {
            auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
            if (left < 0) left = 0;
            pollfd p[2] = {{fds->fd, POLLIN, 0}, {fds->wake, POLLIN, 0}};
            int r = ::poll(p, 2, static_cast<int>(std::min<long long>(left, 1 << 30)));
            if (r < 0) {
                if (errno == EINTR) continue; // a signal is not an unplug
                m_gone = true;
                return -1;
            }
            if (m_closed.load() || p[1].revents) return -1;
            if (r == 0) return 0;
            if (!(p[0].revents & POLLIN)) { // POLLERR/POLLHUP: the device left
                m_gone = true;
                return -1;
            }
            ssize_t n = ::read(fds->fd, dst, room);
            if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
            if (n <= 0) {
                m_gone = true;
                return -1;
            }
            // A hidraw node carries the reports of every collection on its interface; a
            // handle for one collection keeps only its own, as it would on Windows.
            if (m_usesIds && !m_ownIds.empty() && std::find(m_ownIds.begin(), m_ownIds.end(), dst[0]) == m_ownIds.end()) {
                // A mouse moved about keeps the node readable; the time-out still holds.
                if (std::chrono::steady_clock::now() >= deadline) return 0;
                continue;
            }
            if (!m_usesIds) {
                buf[0] = 0;
                ++n;
            }
            return static_cast<int>(n);
        }
    }

    int SetFeature(const std::uint8_t* data, std::size_t length) override
    {
        if (!data || length == 0 || length > 4096) return -1;
        std::lock_guard<std::mutex> lk(m_featureMu);
        auto fds = Fds();
        if (!fds) return -1;
        // The ioctl's buffer is not const; the kernel only reads it.
        std::vector<std::uint8_t> copy(data, data + length);
        return Ioctl(fds->fd, HIDIOCSFEATURE(copy.size()), copy.data());
    }

    int GetFeature(std::uint8_t* buf, std::size_t length) override
    {
        if (!buf || length == 0 || length > 4096) return -1;
        std::lock_guard<std::mutex> lk(m_featureMu);
        auto fds = Fds();
        if (!fds) return -1;
        return Ioctl(fds->fd, HIDIOCGFEATURE(length), buf);
    }

    bool GetInfo(DeviceInfo& info) override
    {
        if (m_gone || !Fds()) return false;
        // The class directory goes with the device; a new device never reuses it while we
        // still hold the node open.
        if (::access(m_sysfsDir.c_str(), F_OK) != 0) return false;
        info = m_info;
        return true;
    }

    void Close() override
    {
        std::shared_ptr<NodeFds> fds;
        {
            std::lock_guard<std::mutex> lk(m_mu);
            fds = std::move(m_fds);
            m_fds.reset();
            m_closed.store(true);
        }
        if (!fds) return;
        std::uint64_t one = 1;
        ssize_t w = ::write(fds->wake, &one, sizeof one); // wakes a reader still waiting
        (void)w;
        m_writer->Stop();
    }

private:
    std::shared_ptr<NodeFds> Fds()
    {
        std::lock_guard<std::mutex> lk(m_mu);
        return m_fds;
    }

    int Ioctl(int fd, unsigned long request, std::uint8_t* buf)
    {
        int r;
        do r = ::ioctl(fd, request, buf);
        while (r < 0 && errno == EINTR);
        if (r < 0 && IsGoneErrno(errno)) m_gone = true;
        return r;
    }

    std::mutex m_mu;
    std::shared_ptr<NodeFds> m_fds; // null once closed
    std::atomic<bool> m_closed{false};
    std::mutex m_readMu;
    std::mutex m_featureMu;
    std::shared_ptr<Writer> m_writer;
    DeviceInfo m_info;
    bool m_usesIds;
    std::vector<std::uint8_t> m_ownIds;
    std::string m_sysfsDir;
    std::atomic<bool> m_gone{false};
};

} // namespace

HidrawBackend::HidrawBackend(std::string sysfsClass, HidrawNodeSource source)
    : m_sysfs(std::move(sysfsClass)), m_source(std::move(source))
{
    if (!m_source) m_source = HidapiNodes;
}

HidrawBackend::~HidrawBackend() = default;

bool HidrawBackend::SplitPath(const std::string& path, std::string& node, int& collection)
{
    auto pos = path.rfind("&col");
    if (pos == std::string::npos || pos == 0 || pos + 4 >= path.size()) return false;
    int c = 0;
    for (std::size_t i = pos + 4; i < path.size(); ++i) {
        if (path[i] < '0' || path[i] > '9' || c > 1000) return false;
        c = c * 10 + (path[i] - '0');
    }
    if (c < 1) return false;
    node = path.substr(0, pos);
    collection = c;
    return true;
}

bool HidrawBackend::ReadCollections(const std::string& node, std::vector<TopLevelCollection>& tlcs) const
{
    std::ifstream f(m_sysfs + "/" + NodeName(node) + "/device/report_descriptor", std::ios::binary);
    if (!f) return false;
    std::vector<std::uint8_t> bytes(kMaxDescriptor + 1);
    f.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    auto got = static_cast<std::size_t>(f.gcount());
    if (got == 0 || got > kMaxDescriptor) return false;
    return ParseReportDescriptor(bytes.data(), got, tlcs) && !tlcs.empty();
}

bool HidrawBackend::ReadLengths(const std::string& node, int collection, DeviceInfo& info, TopLevelCollection* tlc) const
{
    std::vector<TopLevelCollection> tlcs;
    if (!ReadCollections(node, tlcs)) return false;
    if (collection < 1 || static_cast<std::size_t>(collection) > tlcs.size()) return false;
    const TopLevelCollection& c = tlcs[static_cast<std::size_t>(collection - 1)];
    info.inputReportLength = c.inputReportLength;
    info.outputReportLength = c.outputReportLength;
    info.featureReportLength = c.featureReportLength;
    if (tlc) *tlc = c;
    return true;
}

std::string HidrawBackend::PortPathOf(const std::string& node) const
{
    // /sys/class/hidraw/hidrawN/device is the HID device; above it lie the USB interface
    // ("1-2.3:1.0") and the USB device, named by its port ("1-2.3"). A node without a USB
    // device above it (Bluetooth, uhid) has no port.
    std::error_code ec;
    fs::path p = fs::canonical(fs::path(m_sysfs) / NodeName(node) / "device", ec);
    if (ec) return {};
    for (; !p.empty() && p != p.root_path(); p = p.parent_path()) {
        if (IsUsbPortName(p.filename().string())) return p.filename().string();
    }
    return {};
}

bool IsUsbPortName(const std::string& name)
{
    // "<bus>-<port>[.<port>...]": digits, one dash, then digits separated by single dots.
    const auto dash = name.find('-');
    if (dash == 0 || dash == std::string::npos || name.size() > 64) return false;
    if (name.find_first_not_of("0123456789") != dash) return false;
    bool digit = false;
    for (std::size_t i = dash + 1; i < name.size(); ++i) {
        if (name[i] == '.') {
            if (!digit) return false;
            digit = false;
        } else if (name[i] >= '0' && name[i] <= '9') {
            digit = true;
        } else {
            return false;
        }
    }
    return digit;
}

std::vector<DeviceInfo> HidrawBackend::Enumerate()
{
    std::vector<DeviceInfo> list;
    std::vector<std::string> done;
    for (const HidrawNodeEntry& e : m_source()) {
        // The library may list a node several times (once per usage it found); the node's
        // own descriptor says which of those are top-level collections.
        if (e.path.empty() || std::find(done.begin(), done.end(), e.path) != done.end()) continue;
        done.push_back(e.path);
        std::vector<TopLevelCollection> tlcs;
        if (!ReadCollections(e.path, tlcs)) continue;
        const std::string port = PortPathOf(e.path);
        for (std::size_t i = 0; i < tlcs.size(); ++i) {
            list.push_back(CollectionInfo(e, tlcs[i], i + 1));
            list.back().portPath = port;
        }
    }
    return list;
}

bool HidrawBackend::GetInfo(const std::string& path, DeviceInfo& info)
{
    for (auto& d : Enumerate()) {
        if (d.path == path) {
            info = d;
            return true;
        }
    }
    return false;
}

std::shared_ptr<IHidDevice> HidrawBackend::Open(const std::string& path, OpenError* err)
{
    if (err) *err = OpenError::NotFound;
    std::string node;
    int col = 0;
    if (!SplitPath(path, node, col)) return nullptr;
    std::vector<HidrawNodeEntry> nodes = m_source();
    auto e = std::find_if(nodes.begin(), nodes.end(), [&](const HidrawNodeEntry& n) { return n.path == node; });
    if (e == nodes.end()) return nullptr;
    // Without the collection's lengths and report IDs its reports would be misread.
    std::vector<TopLevelCollection> tlcs;
    if (!ReadCollections(node, tlcs)) {
        if (err) *err = OpenError::Other;
        return nullptr;
    }
    if (static_cast<std::size_t>(col) > tlcs.size()) return nullptr;
    const TopLevelCollection& tlc = tlcs[static_cast<std::size_t>(col - 1)];
    DeviceInfo info = CollectionInfo(*e, tlc, static_cast<std::size_t>(col));
    info.portPath = PortPathOf(node);
    auto fds = std::make_shared<NodeFds>();
    do fds->fd = ::open(node.c_str(), O_RDWR | O_CLOEXEC);
    while (fds->fd < 0 && errno == EINTR);
    if (fds->fd < 0) {
        int why = errno;
        if (why == EACCES || why == EPERM) {
            if (err) *err = OpenError::AccessDenied;
            NoteAccessDenied(node);
        } else if (err && why != ENOENT && why != ENODEV && why != ENXIO) {
            *err = OpenError::Other;
        }
        return nullptr;
    }
    fds->wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fds->wake < 0) {
        if (err) *err = OpenError::Other;
        return nullptr;
    }
    ClearAccessDenied();
    if (err) *err = OpenError::None;
    return std::make_shared<HidrawDevice>(std::move(fds), info, tlc, m_sysfs + "/" + NodeName(node));
}

std::shared_ptr<IHidBackend> MakeSystemBackend() { return std::make_shared<HidrawBackend>(); }

} // namespace platform::hid
