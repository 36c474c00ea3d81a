// CUSBDeviceMonitor: a table of the non-hub USB devices connected anywhere in the USB tree,
// keyed by (hub path, port), each with the 365-byte connection information its hub reported.
// It is how the upgrade reaches the mouse at its hub port to send the string-descriptor
// request that restarts it into its bootloader. Runs on the caller's thread only.
#pragma once
#include <string>
#include <vector>

#include "platform/CString.h"
#include "platform/WinTypes.h"
#include "platform/usb/UsbHubDriver.h"

struct USB_PORT_ENTRY {
    CString strHubPath;            // "\\.\" + hub name; empty in a free entry
    BYTE* pConnectionInfo = nullptr; // 365 bytes owned by the monitor; null in a free entry
};

class CUSBDeviceMonitor
{
public:
    static constexpr int kMaxEntries = 256;
    static constexpr int kMaxControllers = 10;
    static constexpr DWORD kConnInfoSize = platform::usb::kConnInfoSize;

    CUSBDeviceMonitor();
    virtual ~CUSBDeviceMonitor();
    CUSBDeviceMonitor(const CUSBDeviceMonitor&) = delete;
    CUSBDeviceMonitor& operator=(const CUSBDeviceMonitor&) = delete;

    // Drops the entries whose device has gone, then walks the tree and records the rest.
    void Refresh();
    // The first entry with that VID and PID; out gets its path and the monitor's own block,
    // valid until the next Refresh. 1 found, 0 not (out unchanged).
    int FindPortByVidPid(WORD vid, WORD pid, USB_PORT_ENTRY& out) const;
    // The entry with that VID and PID at that port path (as the HID device reports it), so a
    // request reaches this mouse and no other of the same kind. 1 found, 0 not.
    int FindPortByPath(const std::string& portPath, WORD vid, WORD pid, USB_PORT_ENTRY& out) const;
    // The port path of an entry, as the hub driver names it; empty when it cannot tell.
    std::string PortPathOf(const USB_PORT_ENTRY& entry) const;
    // Sends GET_DESCRIPTOR for string 0xFF, language 0x4D21 to the device at the entry's port.
    // The text of a well-formed reply, else empty.
    CString GetStringDescriptor(const USB_PORT_ENTRY& entry) const;

    // Read access for the UI and tests.
    const USB_PORT_ENTRY& GetEntry(int index) const { return m_Entries[index]; }
    int GetUsedCount() const;

    // What the last Refresh could reach: how many host controllers and hubs it opened (each
    // controller once however many paths name it). Both 0: no request can reach any device, and
    // a run says so in its log rather than waiting for a bootloader that cannot come.
    struct ScanSummary {
        int controllers = 0;
        int hubs = 0;
    };
    ScanSummary GetLastScan() const { return m_LastScan; }

    // Checks a descriptor-request reply of `returned` bytes (12-byte header included) and
    // yields its text; false for a reply that is not a well-formed string descriptor.
    static bool ParseStringDescriptorReply(const BYTE* buffer, DWORD returned, CString& text);

private:
    void ScanHostControllers(platform::usb::IUsbHubDriver& driver);
    void ScanController(platform::usb::IUsbNode& controller, std::vector<CString>& seen);
    CString GetRootHubName(platform::usb::IUsbNode& controller);
    static CString GetControllerName(platform::usb::IUsbNode& controller, DWORD code);
    void EnumerateHub(const CString& hubPath, int depth);
    CString GetNodeConnectionName(platform::usb::IUsbNode& hub, ULONG port);
    static CString MakeDevicePath(const CString& name);
    int AddPortDevice(const CString& hubPath, const BYTE* block);
    static CString NameFromWide(const BYTE* p, std::size_t bytes);
    void FreeEntry(USB_PORT_ENTRY& e);

    USB_PORT_ENTRY m_Entries[kMaxEntries];
    ScanSummary m_LastScan;
};
