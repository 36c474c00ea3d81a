// CHIDComm: access to one HID top-level collection through the installed HID backend.
// Open, close and requests are safe against each other from different threads: the device
// is held by a shared pointer that a request copies under a lock, so a request that meets a
// device closed meanwhile fails instead of touching freed memory.
#pragma once
#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/CString.h"
#include "platform/WinTypes.h"
#include "platform/hid/HidBackend.h"

struct HIDD_ATTRIBUTES {
    ULONG Size;
    USHORT VendorID;
    USHORT ProductID;
    USHORT VersionNumber;
};

struct HIDP_CAPS {
    USHORT Usage;
    USHORT UsagePage;
    USHORT InputReportByteLength;
    USHORT OutputReportByteLength;
    USHORT FeatureReportByteLength;
    USHORT Reserved[17];
    USHORT NumberLinkCollectionNodes;
    USHORT NumberInputButtonCaps;
    USHORT NumberInputValueCaps;
    USHORT NumberInputDataIndices;
    USHORT NumberOutputButtonCaps;
    USHORT NumberOutputValueCaps;
    USHORT NumberOutputDataIndices;
    USHORT NumberFeatureButtonCaps;
    USHORT NumberFeatureValueCaps;
    USHORT NumberFeatureDataIndices;
};

struct HID_ATTRIBUTES_CAPABILITES {
    HIDD_ATTRIBUTES Attributes;
    HIDP_CAPS Capabilities;
};

inline constexpr int HID_REPORT_BUFFER_SIZE = 65;
struct HID_REPORT {
    BYTE Data[HID_REPORT_BUFFER_SIZE]; // byte 0 the report ID
    BYTE Length;                       // bytes of Data to send
};

class CHIDComm
{
public:
    CHIDComm();
    virtual ~CHIDComm();
    CHIDComm(const CHIDComm&) = delete;
    CHIDComm& operator=(const CHIDComm&) = delete;

    // 0 = opened. A device already open is closed first.
    virtual long Open(LPCWSTR path);
    virtual long Close();
    // 0 = the whole report was sent. ov is not supported and must be null.
    virtual long Write(const BYTE* buf, DWORD length, DWORD* written, OVERLAPPED* ov, DWORD timeoutMs);
    // 0 = a report was read into buf (*read bytes, byte 0 the report ID); 1 = time-out.
    virtual long Read(BYTE* buf, DWORD length, DWORD* read, OVERLAPPED* ov, DWORD timeoutMs);
    // Of the open device; false once it has gone (presence probe).
    virtual bool GetHIDAttCap(HID_ATTRIBUTES_CAPABILITES* rec);
    // Of the collection at the path; none need be open.
    virtual bool GetHIDAttCap(LPCWSTR path, HID_ATTRIBUTES_CAPABILITES* rec);
    // Report ID in byte 0, the data after it, zero padding to the open device's output report
    // length. 0 = built; -1 when the data does not fit the buffer.
    virtual long MakeHIDReport(const BYTE* data, DWORD length, HID_REPORT* report, BYTE reportId);

    // The device handle: non-null exactly while a device is open.
    HANDLE GetDeviceHandle() const { return m_hDevice.load(); }
    bool IsOpen() const { return m_hDevice.load() != nullptr; }
    USHORT GetFeatureReportLength() const { return m_nFeatureReportLength.load(); }
    CString GetDevicePath() const;
    // The USB port path of the open device (DeviceInfo::portPath); empty when none is open or
    // the backend cannot tell.
    std::string GetPortPath() const;
    // A station keeps one device object per port: with a filter set, only collections on that
    // port are found (nullopt: any port, the default).
    void SetPortFilter(std::optional<std::string> port);
    std::optional<std::string> PortFilter() const;

    // The feature report calls of the HID class driver; TRUE = the whole report went through.
    BOOL SetFeature(const BYTE* report, ULONG length);
    BOOL GetFeature(BYTE* report, ULONG length);

protected:
    // Finds the first present collection whose attributes pass the filter.
    bool FindFirstDevice(CString& path, bool (*filter)(const HID_ATTRIBUTES_CAPABILITES&));
    // Every present collection that passes the filter, in enumeration order.
    std::vector<CString> FindAllDevices(bool (*filter)(const HID_ATTRIBUTES_CAPABILITES&));
    std::shared_ptr<platform::hid::IHidDevice> Device() const;
    // Hook for derived classes: runs after a successful open and before a close, under the
    // open/close lock.
    virtual void OnOpened() {}
    virtual void OnClosing() {}

private:
    // Close's work, with m_openMu held: Open closes a device still open the same way.
    void CloseHeld();
    static void FillRecord(const platform::hid::DeviceInfo& info, HID_ATTRIBUTES_CAPABILITES* rec);

    mutable std::mutex m_openMu; // serialises Open and Close
    mutable std::mutex m_devMu;  // guards m_pDevice and m_strPath
    std::shared_ptr<platform::hid::IHidDevice> m_pDevice;
    CString m_strPath;
    std::string m_strPortPath;
    std::optional<std::string> m_portFilter;
    std::atomic<HANDLE> m_hDevice{nullptr};
    std::atomic<USHORT> m_nFeatureReportLength{0};
    std::atomic<USHORT> m_nOutputReportLength{0};
};
