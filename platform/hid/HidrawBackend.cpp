#include "platform/hid/HidrawBackend.h"

#include <hidapi/hidapi.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>

#include "platform/Clock.h"
#include "platform/hid/HidReportDescriptor.h"

namespace platform::hid {
namespace {

std::string NodeName(const std::string& node)
{
    auto pos = node.rfind('/');
    return pos == std::string::npos ? node : node.substr(pos + 1);
}

class HidrawDevice : public IHidDevice
{
public:
    HidrawDevice(hid_device* dev, DeviceInfo info, const TopLevelCollection& tlc, std::string sysfsDir)
        : m_dev(dev), m_info(std::move(info)), m_usesIds(tlc.usesReportIds), m_ownIds(tlc.inputReportIds),
          m_sysfsDir(std::move(sysfsDir))
    {
    }
    ~HidrawDevice() override { Close(); }

    int Write(const std::uint8_t* data, std::size_t length) override
    {
        std::lock_guard<std::mutex> lk(m_ioMu);
        if (!m_dev) return -1;
        int n = hid_write(m_dev, data, length);
        if (n < 0 && errno == ENODEV) m_gone = true;
        return n;
    }

    int Read(std::uint8_t* buf, std::size_t length, unsigned timeoutMs) override
    {
        std::lock_guard<std::mutex> lk(m_readMu);
        if (!m_dev || length == 0) return -1;
        auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(platform::ScaledDuration(timeoutMs)).count();
        if (ms < 1) ms = 1;
        // Unnumbered reports come without an ID byte; give them the 0 the callers expect.
        std::uint8_t* dst = m_usesIds ? buf : buf + 1;
        std::size_t room = m_usesIds ? length : length - 1;
        if (room == 0) return -1;
        // A hidraw node carries the reports of every collection on its interface; a handle
        // for one collection keeps only its own, as it would on Windows.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        int n = 0;
        for (;;) {
            n = hid_read_timeout(m_dev, dst, room, static_cast<int>(ms));
            if (n < 0) {
                m_gone = true;
                return -1;
            }
            if (n == 0) return 0;
            if (!m_usesIds || m_ownIds.empty() ||
                std::find(m_ownIds.begin(), m_ownIds.end(), dst[0]) != m_ownIds.end())
                break;
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
            if (left < 1) return 0;
            ms = left;
        }
        if (!m_usesIds) {
            buf[0] = 0;
            ++n;
        }
        return n;
    }

    int SetFeature(const std::uint8_t* data, std::size_t length) override
    {
        std::lock_guard<std::mutex> lk(m_ioMu);
        if (!m_dev) return -1;
        return hid_send_feature_report(m_dev, data, length);
    }

    int GetFeature(std::uint8_t* buf, std::size_t length) override
    {
        std::lock_guard<std::mutex> lk(m_ioMu);
        if (!m_dev) return -1;
        return hid_get_feature_report(m_dev, buf, length);
    }

    bool GetInfo(DeviceInfo& info) override
    {
        if (m_gone) return false;
        {
            std::lock_guard<std::mutex> lk(m_ioMu);
            if (!m_dev) return false;
        }
        // The class directory goes with the device; a new device never reuses it while we
        // still hold the node open.
        if (::access(m_sysfsDir.c_str(), F_OK) != 0) return false;
        info = m_info;
        return true;
    }

    void Close() override
    {
        std::lock_guard<std::mutex> rl(m_readMu);
        std::lock_guard<std::mutex> lk(m_ioMu);
        if (m_dev) hid_close(m_dev);
        m_dev = nullptr;
    }

private:
    std::mutex m_readMu;
    std::mutex m_ioMu;
    hid_device* m_dev;
    DeviceInfo m_info;
    bool m_usesIds;
    std::vector<std::uint8_t> m_ownIds;
    std::string m_sysfsDir;
    std::atomic<bool> m_gone{false};
};

} // namespace

HidrawBackend::HidrawBackend(std::string sysfsClass) : m_sysfs(std::move(sysfsClass))
{
    std::lock_guard<std::mutex> lk(m_mu);
    hid_init();
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

bool HidrawBackend::ReadLengths(const std::string& node, int collection, DeviceInfo& info, TopLevelCollection* tlc) const
{
    std::ifstream f(m_sysfs + "/" + NodeName(node) + "/device/report_descriptor", std::ios::binary);
    if (!f) return false;
    std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    std::vector<TopLevelCollection> tlcs;
    if (!ParseReportDescriptor(bytes.data(), bytes.size(), tlcs)) return false;
    if (collection < 1 || static_cast<std::size_t>(collection) > tlcs.size()) return false;
    const TopLevelCollection& c = tlcs[static_cast<std::size_t>(collection - 1)];
    info.inputReportLength = c.inputReportLength;
    info.outputReportLength = c.outputReportLength;
    info.featureReportLength = c.featureReportLength;
    if (tlc) *tlc = c;
    return true;
}

std::vector<DeviceInfo> HidrawBackend::Enumerate()
{
    std::vector<DeviceInfo> list;
    std::lock_guard<std::mutex> lk(m_mu);
    hid_device_info* all = hid_enumerate(0, 0);
    std::map<std::string, int> seen;
    for (hid_device_info* d = all; d; d = d->next) {
        if (!d->path) continue;
        std::string node = d->path;
        int col = ++seen[node];
        DeviceInfo info;
        char suffix[16];
        std::snprintf(suffix, sizeof suffix, "&col%02d", col);
        info.path = node + suffix;
        info.vendorId = d->vendor_id;
        info.productId = d->product_id;
        info.versionNumber = d->release_number;
        info.usagePage = d->usage_page;
        info.usage = d->usage;
        ReadLengths(node, col, info); // lengths stay 0 if the descriptor is unreadable
        list.push_back(std::move(info));
    }
    hid_free_enumeration(all);
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
    DeviceInfo info;
    if (!GetInfo(path, info)) return nullptr;
    TopLevelCollection tlc;
    ReadLengths(node, col, info, &tlc);
    // Tell a permission problem apart from an absent device.
    if (::access(node.c_str(), R_OK | W_OK) != 0) {
        if (errno == EACCES || errno == EPERM) {
            if (err) *err = OpenError::AccessDenied;
            NoteAccessDenied(node);
        }
        return nullptr;
    }
    hid_device* dev = nullptr;
    {
        std::lock_guard<std::mutex> lk(m_mu);
        errno = 0;
        dev = hid_open_path(node.c_str());
    }
    if (!dev) {
        if (err) *err = (errno == EACCES || errno == EPERM) ? OpenError::AccessDenied : OpenError::Other;
        if (err && *err == OpenError::AccessDenied) NoteAccessDenied(node);
        return nullptr;
    }
    ClearAccessDenied();
    if (err) *err = OpenError::None;
    return std::make_shared<HidrawDevice>(dev, info, tlc, m_sysfs + "/" + NodeName(node));
}

std::shared_ptr<IHidBackend> MakeSystemBackend() { return std::make_shared<HidrawBackend>(); }

} // namespace platform::hid
