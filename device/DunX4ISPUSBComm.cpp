#include "device/DunX4ISPUSBComm.h"

#include <algorithm>
#include <cstring>

#include "device/PresencePoll.h"

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

// A collection of the bootloader whose feature length cannot hold the layout (another
// collection of the same device, a broken descriptor) is passed over, not opened and refused
// again every second while the usable one waits behind it.
bool CDunX4ISPUSBComm::Usable(const HID_ATTRIBUTES_CAPABILITES& rec)
{
    const USHORT len = rec.Capabilities.FeatureReportByteLength;
    return Filter(rec) && len >= kMinFeatureLength && len <= kMaxFeatureLength;
}

bool CDunX4ISPUSBComm::FindDevice(CString& path) { return FindFirstDevice(path, &Usable); }

std::vector<CString> CDunX4ISPUSBComm::FindDevices() { return FindAllDevices(&Usable); }

long CDunX4ISPUSBComm::Open(LPCWSTR path)
{
    long r = CHIDComm::Open(path);
    if (r != 0) return r;
    USHORT len = GetFeatureReportLength();
    if (len < kMinFeatureLength || len > kMaxFeatureLength) {
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
    report[1] = command;
    return SetFeature(report, len) != FALSE;
}

bool CDunX4ISPUSBComm::EraseFlash() { return SendCommand(CMD_ERASE); }

bool CDunX4ISPUSBComm::ResetDevice() { return SendCommand(CMD_LEAVE); }

bool CDunX4ISPUSBComm::WriteFlash(const BYTE* data, DWORD size, DWORD& written)
{
    if (!IsOpen()) return false;
    written = 0;
    if (size > kMaxImageSize || (size && !data)) return false;
    ULONG len = UsableFeatureLength();
    if (!len) return false;
    for (DWORD offset = 0; offset < size; offset += kChunk) {
        BYTE report[HID_REPORT_BUFFER_SIZE] = {};
        report[1] = CMD_WRITE;
        report[2] = static_cast<BYTE>(offset >> 8);
        report[3] = static_cast<BYTE>(offset & 0xFF);
        DWORD n = std::min(kChunk, size - offset);
        if (n < kChunk) std::memset(report + kDataOffset, 0xFF, kChunk);
        std::memcpy(report + kDataOffset, data + offset, n);
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
        report[1] = CMD_READ;
        report[2] = static_cast<BYTE>(offset >> 8);
        report[3] = static_cast<BYTE>(offset & 0xFF);
        if (!SetFeature(report, len) || !GetFeature(report, len)) return false;
        DWORD n = std::min(kChunk, size - offset);
        std::memcpy(buffer + offset, report + kDataOffset, n);
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
