#include "device/HIDComm.h"

#include <cstring>

using platform::hid::DeviceInfo;

namespace {
// Handle values are tokens only: never dereferenced, never reused.
std::atomic<std::uintptr_t> g_nextToken{0x100};
} // namespace

CHIDComm::CHIDComm() = default;

CHIDComm::~CHIDComm() { CHIDComm::Close(); }

void CHIDComm::FillRecord(const DeviceInfo& info, HID_ATTRIBUTES_CAPABILITES* rec)
{
    std::memset(rec, 0, sizeof *rec);
    rec->Attributes.Size = sizeof(HIDD_ATTRIBUTES);
    rec->Attributes.VendorID = info.vendorId;
    rec->Attributes.ProductID = info.productId;
    rec->Attributes.VersionNumber = info.versionNumber;
    rec->Capabilities.Usage = info.usage;
    rec->Capabilities.UsagePage = info.usagePage;
    rec->Capabilities.InputReportByteLength = info.inputReportLength;
    rec->Capabilities.OutputReportByteLength = info.outputReportLength;
    rec->Capabilities.FeatureReportByteLength = info.featureReportLength;
}

long CHIDComm::Open(LPCWSTR path)
{
    std::lock_guard<std::mutex> ol(m_openMu);
    CloseHeld();
    if (!path || !*path) return -1;
    CString strPath(path);
    auto backend = platform::hid::GetBackend();
    platform::hid::OpenError err = platform::hid::OpenError::None;
    auto dev = backend ? backend->Open(strPath.ToUtf8(), &err) : nullptr;
    if (!dev) return err == platform::hid::OpenError::AccessDenied ? static_cast<long>(ERROR_ACCESS_DENIED) : -1;
    DeviceInfo info;
    if (!dev->GetInfo(info)) {
        dev->Close();
        return -1;
    }
    {
        std::lock_guard<std::mutex> lk(m_devMu);
        m_pDevice = dev;
        m_strPath = strPath;
        m_strPortPath = info.portPath;
        m_nFeatureReportLength.store(info.featureReportLength);
        m_nOutputReportLength.store(info.outputReportLength);
        m_hDevice.store(reinterpret_cast<HANDLE>(g_nextToken.fetch_add(4)));
    }
    OnOpened();
    return 0;
}

long CHIDComm::Close()
{
    std::lock_guard<std::mutex> ol(m_openMu);
    CloseHeld();
    return 0;
}

void CHIDComm::CloseHeld()
{
    if (!m_hDevice.load()) return;
    OnClosing();
    std::shared_ptr<platform::hid::IHidDevice> dev;
    {
        std::lock_guard<std::mutex> lk(m_devMu);
        dev = std::move(m_pDevice);
        m_pDevice.reset();
        m_strPath.Empty();
        m_strPortPath.clear();
        m_hDevice.store(nullptr);
    }
    // A request still holding the device sees it closed and fails.
    if (dev) dev->Close();
}

std::shared_ptr<platform::hid::IHidDevice> CHIDComm::Device() const
{
    std::lock_guard<std::mutex> lk(m_devMu);
    return m_pDevice;
}

CString CHIDComm::GetDevicePath() const
{
    std::lock_guard<std::mutex> lk(m_devMu);
    return m_strPath;
}

std::string CHIDComm::GetPortPath() const
{
    std::lock_guard<std::mutex> lk(m_devMu);
    return m_strPortPath;
}

long CHIDComm::Write(const BYTE* buf, DWORD length, DWORD* written, OVERLAPPED* ov, DWORD timeoutMs)
{
    if (written) *written = 0;
    if (!buf || length == 0 || ov) return -1;
    auto dev = Device();
    if (!dev) return -1;
    int n = dev->Write(buf, length, timeoutMs);
    if (n < 0) return -1;
    if (written) *written = static_cast<DWORD>(n);
    return static_cast<DWORD>(n) == length ? 0 : -1;
}

long CHIDComm::Read(BYTE* buf, DWORD length, DWORD* read, OVERLAPPED* ov, DWORD timeoutMs)
{
    if (read) *read = 0;
    if (!buf || length == 0 || ov) return -1;
    auto dev = Device();
    if (!dev) return -1;
    int n = dev->Read(buf, length, timeoutMs);
    if (n < 0) return -1;
    if (n == 0) return 1;
    if (read) *read = static_cast<DWORD>(n);
    return 0;
}

bool CHIDComm::GetHIDAttCap(HID_ATTRIBUTES_CAPABILITES* rec)
{
    if (!rec) return false;
    auto dev = Device();
    DeviceInfo info;
    if (!dev || !dev->GetInfo(info)) return false;
    FillRecord(info, rec);
    return true;
}

bool CHIDComm::GetHIDAttCap(LPCWSTR path, HID_ATTRIBUTES_CAPABILITES* rec)
{
    if (!path || !*path || !rec) return false;
    auto backend = platform::hid::GetBackend();
    DeviceInfo info;
    if (!backend || !backend->GetInfo(CString(path).ToUtf8(), info)) return false;
    FillRecord(info, rec);
    return true;
}

long CHIDComm::MakeHIDReport(const BYTE* data, DWORD length, HID_REPORT* report, BYTE reportId)
{
    if (!report || (length && !data) || length + 1 > HID_REPORT_BUFFER_SIZE) return -1;
    std::memset(report, 0, sizeof *report);
    report->Data[0] = reportId;
    if (length) std::memcpy(report->Data + 1, data, length);
    DWORD count = length + 1;
    DWORD out = m_nOutputReportLength.load();
    if (IsOpen() && out > count && out <= HID_REPORT_BUFFER_SIZE) count = out;
    report->Length = static_cast<BYTE>(count);
    return 0;
}

BOOL CHIDComm::SetFeature(const BYTE* report, ULONG length)
{
    if (!report || length == 0) return FALSE;
    auto dev = Device();
    if (!dev) return FALSE;
    int n = dev->SetFeature(report, length);
    return n >= 0 && static_cast<ULONG>(n) == length ? TRUE : FALSE;
}

BOOL CHIDComm::GetFeature(BYTE* report, ULONG length)
{
    if (!report || length == 0) return FALSE;
    auto dev = Device();
    if (!dev) return FALSE;
    int n = dev->GetFeature(report, length);
    return n >= 0 && static_cast<ULONG>(n) == length ? TRUE : FALSE;
}

bool CHIDComm::FindFirstDevice(CString& path, bool (*filter)(const HID_ATTRIBUTES_CAPABILITES&))
{
    std::vector<CString> all = FindAllDevices(filter);
    if (all.empty()) return false;
    path = all.front();
    return true;
}

std::vector<CString> CHIDComm::FindAllDevices(bool (*filter)(const HID_ATTRIBUTES_CAPABILITES&))
{
    std::vector<CString> out;
    auto backend = platform::hid::GetBackend();
    if (!backend || !filter) return out;
    for (const DeviceInfo& d : backend->Enumerate()) {
        // The enumeration already holds each collection's attributes and capabilities; asking
        // again by path would enumerate once more per entry.
        HID_ATTRIBUTES_CAPABILITES rec;
        FillRecord(d, &rec);
        if (!filter(rec)) continue;
        if (const auto port = PortFilter(); port && d.portPath != *port) continue;
        out.push_back(CString::FromUtf8(d.path));
    }
    return out;
}

void CHIDComm::SetPortFilter(std::optional<std::string> port)
{
    std::lock_guard<std::mutex> lk(m_devMu);
    m_portFilter = std::move(port);
}

std::optional<std::string> CHIDComm::PortFilter() const
{
    std::lock_guard<std::mutex> lk(m_devMu);
    return m_portFilter;
}
