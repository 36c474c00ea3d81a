#include "device/DunX4ISPUSBComm.h"

#include <algorithm>
#include <cstring>

#include "device/PresencePoll.h"
#include "platform/Messages.h"

using namespace wire::isp;

CDunX4ISPUSBComm::CDunX4ISPUSBComm() = default;

CDunX4ISPUSBComm::~CDunX4ISPUSBComm()
{
    Stop();
    Close();
}

bool CDunX4ISPUSBComm::Filter(const HID_ATTRIBUTES_CAPABILITES& rec)
{
    return rec.Attributes.VendorID == kVendorID && rec.Attributes.ProductID == kProductID;
}

namespace {

bool IsBootloaderInfo(const platform::hid::DeviceInfo& d)
{
    return d.vendorId == CDunX4ISPUSBComm::kVendorID && d.productId == CDunX4ISPUSBComm::kProductID;
}

// One device may list several collections; they share everything but the collection suffix.
std::string DeviceKey(const platform::hid::DeviceInfo& d)
{
    return d.portPath.empty() ? d.path.substr(0, d.path.find("&col")) : "port:" + d.portPath;
}

} // namespace

std::vector<platform::hid::DeviceInfo> CDunX4ISPUSBComm::ListBootloaders()
{
    std::vector<platform::hid::DeviceInfo> out;
    auto backend = platform::hid::GetBackend();
    if (!backend) return out;
    std::vector<std::string> seen;
    for (const auto& d : backend->Enumerate()) {
        if (!IsBootloaderInfo(d)) continue;
        const std::string key = DeviceKey(d);
        if (std::find(seen.begin(), seen.end(), key) != seen.end()) continue;
        seen.push_back(key);
        out.push_back(d);
    }
    return out;
}

std::optional<std::string> CDunX4ISPUSBComm::Binding() const
{
    std::lock_guard<std::mutex> lk(m_bindMu);
    return m_binding;
}

bool CDunX4ISPUSBComm::Accepts(const platform::hid::DeviceInfo& info) const
{
    const std::optional<std::string> binding = Binding();
    if (!binding) return true;
    if (!binding->empty()) return info.portPath == *binding;
    // No port known: only a bootloader that cannot be another device's.
    return ListBootloaders().size() == 1;
}

void CDunX4ISPUSBComm::BindToPort(const std::string& portPath)
{
    {
        std::lock_guard<std::mutex> lk(m_bindMu);
        m_binding = portPath;
    }
    // An open that finished before the binding was set is checked here; one after it checks
    // the binding itself.
    if (!IsOpen()) return;
    platform::hid::DeviceInfo info;
    auto dev = Device();
    if (dev && dev->GetInfo(info) && Accepts(info)) return;
    Close();
    if (HWND hwnd = m_hOwnerWnd.load()) PostMessageW(hwnd, RegisterWindowMessageW(u"DUNX4_ISP_DEVICE_CHANGE"), 0, 0);
}

void CDunX4ISPUSBComm::Unbind()
{
    std::lock_guard<std::mutex> lk(m_bindMu);
    m_binding.reset();
}

// A collection of the bootloader whose feature length cannot hold the layout (another
// collection of the same device, a broken descriptor) is passed over, not opened and refused
// again every second while the usable one waits behind it.
bool CDunX4ISPUSBComm::Usable(const HID_ATTRIBUTES_CAPABILITES& rec)
{
    const USHORT len = rec.Capabilities.FeatureReportByteLength;
    return Filter(rec) && len >= kMinFeatureLength && len <= kMaxFeatureLength;
}

std::vector<CString> CDunX4ISPUSBComm::FindDevices()
{
    std::vector<CString> paths;
    auto backend = platform::hid::GetBackend();
    if (!backend) return paths;
    for (const auto& d : backend->Enumerate()) {
        HID_ATTRIBUTES_CAPABILITES rec{};
        rec.Attributes.VendorID = d.vendorId;
        rec.Attributes.ProductID = d.productId;
        rec.Capabilities.FeatureReportByteLength = d.featureReportLength;
        if (!Usable(rec) || !Accepts(d)) continue;
        paths.push_back(CString::FromUtf8(d.path));
    }
    return paths;
}

bool CDunX4ISPUSBComm::FindDevice(CString& path)
{
    const std::vector<CString> paths = FindDevices();
    if (paths.empty()) return false;
    path = paths.front();
    return true;
}

long CDunX4ISPUSBComm::Open(LPCWSTR path)
{
    // Checked before the open, so a bootloader of another device is never opened for a run
    // bound elsewhere, and after it, for a binding that came meanwhile.
    if (path && *path && Binding()) {
        auto backend = platform::hid::GetBackend();
        platform::hid::DeviceInfo info;
        if (!backend || !backend->GetInfo(CString(path).ToUtf8(), info) || !Accepts(info)) return -1;
    }
    long r = CHIDComm::Open(path);
    if (r != 0) return r;
    USHORT len = GetFeatureReportLength();
    platform::hid::DeviceInfo info;
    auto dev = Device();
    if (len < kMinFeatureLength || len > kMaxFeatureLength || !dev || !dev->GetInfo(info) || !Accepts(info)) {
        Close();
        return -1;
    }
    return 0;
}

ULONG CDunX4ISPUSBComm::UsableFeatureLength() const
{
    USHORT len = GetFeatureReportLength();
    return len >= kMinFeatureLength && len <= kMaxFeatureLength ? len : 0;
}

bool CDunX4ISPUSBComm::SendCommand(BYTE command)
{
    if (!IsOpen()) return false;
    ULONG len = UsableFeatureLength();
    if (!len) return false;
    BYTE report[HID_REPORT_BUFFER_SIZE] = {};
    report[feature::Command] = command;
    return SetFeature(report, len) != FALSE;
}

bool CDunX4ISPUSBComm::EraseFlash() { return SendCommand(CmdErase); }

bool CDunX4ISPUSBComm::ResetDevice() { return SendCommand(CmdLeave); }

bool CDunX4ISPUSBComm::WriteFlash(const BYTE* data, DWORD size, DWORD& written)
{
    if (!IsOpen()) return false;
    written = 0;
    if (size > kMaxImageSize || (size && !data)) return false;
    ULONG len = UsableFeatureLength();
    if (!len) return false;
    for (DWORD offset = 0; offset < size; offset += kChunk) {
        BYTE report[HID_REPORT_BUFFER_SIZE] = {};
        report[feature::Command] = CmdWrite;
        PutChunkOffset(report, offset);
        DWORD n = std::min(kChunk, size - offset);
        std::memset(report + feature::Data, 0xFF, kChunk); // a short last chunk: erased flash after it
        std::memcpy(report + feature::Data, data + offset, n);
        if (!SetFeature(report, len)) return false;
        written += n;
    }
    return true;
}

bool CDunX4ISPUSBComm::ReadFlash(BYTE* buffer, DWORD size, DWORD& read)
{
    if (!IsOpen()) return false;
    read = 0;
    if (size == 0) return true;
    if (size > kMaxImageSize || !buffer) return false;
    ULONG len = UsableFeatureLength();
    if (!len) return false;
    for (DWORD offset = 0; offset < size; offset += kChunk) {
        BYTE report[HID_REPORT_BUFFER_SIZE] = {};
        report[feature::Command] = CmdRead;
        PutChunkOffset(report, offset);
        if (!SetFeature(report, len) || !GetFeature(report, len)) return false;
        DWORD n = std::min(kChunk, size - offset);
        std::memcpy(buffer + offset, report + feature::Data, n);
        read += n;
    }
    return true;
}

unsigned CDunX4ISPUSBComm::Run()
{
    return RunPresencePoll(
        *this, [this] { return IsStopRequested(); }, [this] { return FindDevices(); },
        u"DUNX4_ISP_DEVICE_CHANGE", m_hOwnerWnd);
}
