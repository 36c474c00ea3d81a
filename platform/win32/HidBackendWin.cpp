// The machine's HID devices on Windows: SetupAPI lists the HID interfaces, hid.dll gives each
// one's attributes and capabilities (the report lengths with the report ID byte, as the
// device code expects), and an open collection reads through overlapped I/O so that a read
// can end at its time-out. Each interface SetupAPI lists is one top-level collection already.
// This file sees <windows.h> and only our headers that are free of Windows names.
#include <windows.h>
#include <cfgmgr32.h>
#include <setupapi.h>
extern "C" { // mingw's hid.dll headers do not say so themselves
#include <hidsdi.h>
#include <hidpi.h>
}

#include <algorithm>
#include <atomic>
#include <mutex>
#include <vector>

#include "platform/hid/HidBackend.h"
#include "platform/win32/ScaledTime.h"

namespace platform::hid {
namespace {

std::wstring Wide(const std::string& s)
{
    if (s.empty()) return {};
    int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, s.data(), static_cast<int>(s.size()), nullptr, 0);
    if (n <= 0) return {};
    std::wstring w(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, s.data(), static_cast<int>(s.size()), w.data(), n);
    return w;
}

std::string Utf8(const wchar_t* w)
{
    int n = WideCharToMultiByte(CP_UTF8, 0, w, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 1) return {};
    std::string s(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, w, -1, s.data(), n, nullptr, nullptr);
    s.resize(static_cast<std::size_t>(n - 1));
    return s;
}

// Attributes and capabilities of an open handle; false when the device does not answer.
bool Describe(HANDLE h, const std::string& path, DeviceInfo& info)
{
    HIDD_ATTRIBUTES attr{};
    attr.Size = sizeof attr;
    if (!HidD_GetAttributes(h, &attr)) return false;
    PHIDP_PREPARSED_DATA pp = nullptr;
    if (!HidD_GetPreparsedData(h, &pp)) return false;
    HIDP_CAPS caps{};
    NTSTATUS st = HidP_GetCaps(pp, &caps);
    HidD_FreePreparsedData(pp);
    if (st != HIDP_STATUS_SUCCESS) return false;
    info.path = path;
    info.vendorId = attr.VendorID;
    info.productId = attr.ProductID;
    info.versionNumber = attr.VersionNumber;
    info.usagePage = caps.UsagePage;
    info.usage = caps.Usage;
    info.inputReportLength = caps.InputReportByteLength;
    info.outputReportLength = caps.OutputReportByteLength;
    info.featureReportLength = caps.FeatureReportByteLength;
    return true;
}

// The USB port of the device a collection belongs to, as Windows names it: the location
// path of the first device node up the tree that has a USB one
// ("PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)#USB(3)"), cut after its last "USB(n)" step so
// that an interface of a composite device ("...#USBMI(0)") names its device's port. The
// same for every mode the device runs in; empty where the system keeps no such path (Wine's
// virtual devices have none).
std::string PortPathOf(const std::wstring& interfacePath)
{
    std::string port;
    HDEVINFO set = SetupDiCreateDeviceInfoList(nullptr, nullptr);
    if (set == INVALID_HANDLE_VALUE) return port;
    SP_DEVICE_INTERFACE_DATA itf{};
    itf.cbSize = sizeof itf;
    SP_DEVINFO_DATA dev{};
    dev.cbSize = sizeof dev;
    if (SetupDiOpenDeviceInterfaceW(set, interfacePath.c_str(), 0, &itf) &&
        (SetupDiGetDeviceInterfaceDetailW(set, &itf, nullptr, 0, nullptr, &dev) ||
         GetLastError() == ERROR_INSUFFICIENT_BUFFER)) {
        DEVINST node = dev.DevInst;
        for (int depth = 0; depth < 16 && port.empty(); ++depth) {
            wchar_t buf[1024] = {};
            ULONG type = 0, size = sizeof buf - 2 * sizeof(wchar_t); // room for the list's end
            if (CM_Get_DevNode_Registry_PropertyW(node, CM_DRP_LOCATION_PATHS, &type, buf, &size, 0) == CR_SUCCESS &&
                type == REG_MULTI_SZ) {
                const std::string first = Utf8(buf); // the first string of the list
                const std::size_t usb = first.rfind("#USB(");
                const std::size_t step = usb == std::string::npos ? first.rfind("USB(") : usb + 1;
                if (step != std::string::npos && (step == 0 || first[step - 1] == '#')) {
                    const std::size_t end = first.find(')', step);
                    if (end != std::string::npos) port = first.substr(0, end + 1);
                }
            }
            DEVINST parent = 0;
            if (CM_Get_Parent(&parent, node, 0) != CR_SUCCESS) break;
            node = parent;
        }
    }
    SetupDiDestroyDeviceInfoList(set);
    return port;
}

// Opened with no access rights: enough for attributes and capabilities, and allowed also on
// the collections the system holds exclusively (its own mice and keyboards).
HANDLE OpenForQuery(const std::wstring& path)
{
    return CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
}

enum class Outcome { Done, TimedOut, Closed, Failed };

// Waits for an overlapped operation up to realMs, or until the collection is closed; cancels
// it then so that its buffer is ours again. *n gets the bytes transferred when it is Done.
// The close event is set before Close cancels anything: an operation issued after Close
// began sees it at once here, so no read or write can outlive a Close by its time-out.
Outcome Finish(HANDLE h, OVERLAPPED& ov, HANDLE closed, DWORD realMs, DWORD* n)
{
    *n = 0;
    HANDLE both[2] = {ov.hEvent, closed};
    DWORD w = WaitForMultipleObjects(2, both, FALSE, realMs);
    if (w == WAIT_OBJECT_0) return GetOverlappedResult(h, &ov, n, FALSE) ? Outcome::Done : Outcome::Failed;
    CancelIo(h); // this thread's own operation
    if (GetOverlappedResult(h, &ov, n, TRUE)) return Outcome::Done; // it finished meanwhile
    if (w == WAIT_OBJECT_0 + 1) return Outcome::Closed;
    return w == WAIT_TIMEOUT && GetLastError() == ERROR_OPERATION_ABORTED ? Outcome::TimedOut : Outcome::Failed;
}

class WinHidDevice : public IHidDevice
{
public:
    WinHidDevice(HANDLE h, DeviceInfo info) : m_h(h), m_info(std::move(info))
    {
        m_readEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        m_writeEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        m_closeEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    }
    ~WinHidDevice() override { Close(); }

    bool Usable() const { return m_readEvent && m_writeEvent && m_closeEvent; }

    // The class driver takes exactly one output report of the collection's length: a shorter
    // write is padded with zeros, a longer one trimmed. Success means the whole report went
    // out: the HID class writes a report all or nothing, and the byte count it reports is not
    // to be trusted (Wine's reports 7 for an 8-byte report). The result is the caller's length,
    // or the report's when trimming dropped bytes that were not zero padding.
    int Write(const std::uint8_t* data, std::size_t length, unsigned timeoutMs) override
    {
        std::lock_guard<std::mutex> lk(m_mu);
        const std::size_t reportLength = m_info.outputReportLength;
        if (m_closed || !data || length == 0 || reportLength == 0) return -1;
        std::vector<std::uint8_t> report(reportLength, 0);
        std::copy(data, data + std::min(length, reportLength), report.begin());
        std::size_t delivered = length;
        if (length > reportLength && std::any_of(data + reportLength, data + length, [](std::uint8_t b) { return b != 0; }))
            delivered = reportLength;
        OVERLAPPED ov{};
        ov.hEvent = m_writeEvent;
        ResetEvent(m_writeEvent);
        if (!WriteFile(m_h, report.data(), static_cast<DWORD>(report.size()), nullptr, &ov) &&
            GetLastError() != ERROR_IO_PENDING)
            return -1;
        DWORD n = 0;
        if (Finish(m_h, ov, m_closeEvent, platform::win32::RealMsFor(timeoutMs), &n) != Outcome::Done) return -1;
        return static_cast<int>(delivered);
    }

    int Read(std::uint8_t* buf, std::size_t length, unsigned timeoutMs) override
    {
        std::lock_guard<std::mutex> lk(m_readMu);
        if (m_closed.load() || !buf) return -1;
        std::vector<std::uint8_t> report(std::max<std::size_t>(m_info.inputReportLength, 1), 0);
        OVERLAPPED ov{};
        ov.hEvent = m_readEvent;
        ResetEvent(m_readEvent);
        if (!ReadFile(m_h, report.data(), static_cast<DWORD>(report.size()), nullptr, &ov) &&
            GetLastError() != ERROR_IO_PENDING)
            return -1;
        DWORD got = 0;
        switch (Finish(m_h, ov, m_closeEvent, platform::win32::RealMsFor(timeoutMs), &got)) {
        case Outcome::Done: break;
        case Outcome::TimedOut: return 0;
        case Outcome::Closed:
        case Outcome::Failed: return -1;
        }
        const int n = static_cast<int>(got);
        if (n <= 0) return 0;
        std::size_t copy = std::min<std::size_t>(length, static_cast<std::size_t>(n));
        std::copy(report.begin(), report.begin() + static_cast<std::ptrdiff_t>(copy), buf);
        return static_cast<int>(copy);
    }

    int SetFeature(const std::uint8_t* data, std::size_t length) override
    {
        std::lock_guard<std::mutex> lk(m_mu);
        if (m_closed || !data || length == 0) return -1;
        std::vector<std::uint8_t> report(std::max<std::size_t>(length, m_info.featureReportLength), 0);
        std::copy(data, data + length, report.begin());
        if (!HidD_SetFeature(m_h, report.data(), static_cast<ULONG>(report.size()))) return -1;
        return static_cast<int>(length);
    }

    int GetFeature(std::uint8_t* buf, std::size_t length) override
    {
        std::lock_guard<std::mutex> lk(m_mu);
        if (m_closed || !buf || length == 0) return -1;
        std::vector<std::uint8_t> report(std::max<std::size_t>(length, m_info.featureReportLength), 0);
        report[0] = buf[0]; // the report ID asked for
        if (!HidD_GetFeature(m_h, report.data(), static_cast<ULONG>(report.size()))) return -1;
        std::copy(report.begin(), report.begin() + static_cast<std::ptrdiff_t>(length), buf);
        return static_cast<int>(length);
    }

    bool GetInfo(DeviceInfo& info) override
    {
        std::lock_guard<std::mutex> lk(m_mu);
        if (m_closed) return false;
        DeviceInfo now;
        if (!Describe(m_h, m_info.path, now)) return false; // gone from the bus
        now.portPath = m_info.portPath;                      // the port does not change
        info = now;
        return true;
    }

    void Close() override
    {
        if (m_closed.exchange(true)) return;
        // Not under m_mu, which a write holds while it waits: a read or write waiting in
        // another thread ends now, with failure, and one that has passed its closed check but
        // not started yet sees the event as soon as it waits. Only this call, once, changes
        // the handles, and it does so below, under both locks.
        if (m_closeEvent) SetEvent(m_closeEvent);
        CancelIoEx(m_h, nullptr);
        std::lock_guard<std::mutex> rlk(m_readMu);
        std::lock_guard<std::mutex> lk(m_mu);
        CloseHandle(m_h);
        if (m_readEvent) CloseHandle(m_readEvent);
        if (m_writeEvent) CloseHandle(m_writeEvent);
        if (m_closeEvent) CloseHandle(m_closeEvent);
        m_h = INVALID_HANDLE_VALUE;
    }

private:
    std::mutex m_mu;     // everything but Read
    std::mutex m_readMu; // Read, and Close's wait for it
    std::atomic<bool> m_closed{false};
    HANDLE m_h;
    HANDLE m_readEvent = nullptr;
    HANDLE m_writeEvent = nullptr;
    HANDLE m_closeEvent = nullptr; // set by Close, before it cancels
    DeviceInfo m_info;
};

class WinHidBackend : public IHidBackend
{
public:
    std::vector<DeviceInfo> Enumerate() override
    {
        std::vector<DeviceInfo> out;
        GUID guid;
        HidD_GetHidGuid(&guid);
        HDEVINFO set = SetupDiGetClassDevsW(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
        if (set == INVALID_HANDLE_VALUE) return out;
        for (DWORD index = 0;; ++index) {
            SP_DEVICE_INTERFACE_DATA itf{};
            itf.cbSize = sizeof itf;
            if (!SetupDiEnumDeviceInterfaces(set, nullptr, &guid, index, &itf)) {
                if (GetLastError() == ERROR_NO_MORE_ITEMS) break;
                continue;
            }
            DWORD required = 0;
            SetupDiGetDeviceInterfaceDetailW(set, &itf, nullptr, 0, &required, nullptr);
            if (required < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W) || required > 64 * 1024) continue;
            std::vector<std::uint8_t> buf(required + sizeof(wchar_t), 0);
            auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buf.data());
            detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
            if (!SetupDiGetDeviceInterfaceDetailW(set, &itf, detail, required, nullptr, nullptr)) continue;
            std::string path = Utf8(detail->DevicePath);
            DeviceInfo info;
            if (!path.empty() && QueryPath(path, info)) out.push_back(std::move(info));
        }
        SetupDiDestroyDeviceInfoList(set);
        // SetupAPI's own order, unsorted: the device classes open the first match in it, as
        // a program that walks SetupDiEnumDeviceInterfaces itself does. It is stable while the
        // set of devices is.
        return out;
    }

    bool GetInfo(const std::string& path, DeviceInfo& info) override { return QueryPath(path, info); }

    std::shared_ptr<IHidDevice> Open(const std::string& path, OpenError* err) override
    {
        if (err) *err = OpenError::None;
        std::wstring w = Wide(path);
        HANDLE h = w.empty() ? INVALID_HANDLE_VALUE
                             : CreateFileW(w.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                           nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
        if (h == INVALID_HANDLE_VALUE) {
            DWORD e = w.empty() ? ERROR_FILE_NOT_FOUND : GetLastError();
            if (err) {
                if (e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND || e == ERROR_INVALID_NAME)
                    *err = OpenError::NotFound;
                else if (e == ERROR_ACCESS_DENIED || e == ERROR_SHARING_VIOLATION)
                    *err = OpenError::AccessDenied;
                else
                    *err = OpenError::Other;
            }
            if (e == ERROR_ACCESS_DENIED || e == ERROR_SHARING_VIOLATION) NoteAccessDenied(path);
            return nullptr;
        }
        DeviceInfo info;
        if (!Describe(h, path, info)) {
            CloseHandle(h);
            if (err) *err = OpenError::Other;
            return nullptr;
        }
        info.portPath = PortPathOf(w);
        auto dev = std::make_shared<WinHidDevice>(h, info);
        if (!dev->Usable()) {
            if (err) *err = OpenError::Other;
            return nullptr;
        }
        ClearAccessDenied();
        return dev;
    }

private:
    static bool QueryPath(const std::string& path, DeviceInfo& info)
    {
        std::wstring w = Wide(path);
        if (w.empty()) return false;
        HANDLE h = OpenForQuery(w);
        if (h == INVALID_HANDLE_VALUE) return false;
        bool ok = Describe(h, path, info);
        CloseHandle(h);
        if (ok) info.portPath = PortPathOf(w);
        return ok;
    }
};

} // namespace

std::shared_ptr<IHidBackend> MakeSystemBackend() { return std::make_shared<WinHidBackend>(); }

} // namespace platform::hid
