// CDunX4ISPUSBComm: the mouse while it runs its bootloader (0x040B:0x6876; the layout is
// wire::isp's). Every exchange is a feature report: erase (0xA7), write 32 bytes (0xA8), leave the bootloader (0xA9), read 32
// bytes (0xAA). Its thread keeps the device open while present and posts
// "DUNX4_ISP_DEVICE_CHANGE" to the owner window.
#pragma once
#include <atomic>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "device/HIDComm.h"
#include "device/Thread.h"
#include "device/Wire.h"

class CDunX4ISPUSBComm : public CHIDComm, public CThread
{
public:
    static constexpr USHORT kVendorID = wire::isp::kVendorID;
    static constexpr USHORT kProductID = wire::isp::kProductID;
    static constexpr DWORD kMaxImageSize = wire::isp::kMaxImageSize;
    // The layout needs bytes 0..40; the buffer holds 65.
    static constexpr USHORT kMinFeatureLength = wire::isp::kMinFeatureLength;
    static constexpr USHORT kMaxFeatureLength = HID_REPORT_BUFFER_SIZE;

    CDunX4ISPUSBComm();
    ~CDunX4ISPUSBComm() override;

    // Refuses (and closes again) a device whose feature reports cannot hold the layout.
    long Open(LPCWSTR path) override;

    bool EraseFlash();
    // written counts the bytes of the chunks sent, also when a later chunk fails.
    bool WriteFlash(const BYTE* data, DWORD size, DWORD& written);
    bool ReadFlash(BYTE* buffer, DWORD size, DWORD& read);
    bool ResetDevice();

    // The first bootloader collection whose feature reports can hold the layout.
    bool FindDevice(CString& path);
    // All of them, in enumeration order: the presence poll opens the first that lets it.
    std::vector<CString> FindDevices();
    static bool Filter(const HID_ATTRIBUTES_CAPABILITES& rec);
    static bool Usable(const HID_ATTRIBUTES_CAPABILITES& rec);

    // The bootloader carries no identity; only its USB port tells whose it is. Once a run has
    // switched a mouse, it binds this object to that mouse's port: from then on only the
    // bootloader on that port is found and opened, and one open elsewhere is closed at once
    // (its owner window is told). Bound to an unknown port (""), a bootloader is taken only
    // while it is the only one on the bus. Unbound (the default), the first one found.
    void BindToPort(const std::string& portPath);
    void Unbind();
    // True when a bootloader on that path and port may be opened under the current binding.
    bool Accepts(const platform::hid::DeviceInfo& info) const;

    // The bootloaders on the bus now, one entry per device (its first collection).
    static std::vector<platform::hid::DeviceInfo> ListBootloaders();

    // Set by the main window before Start; null: nothing is posted.
    std::atomic<HWND> m_hOwnerWnd{nullptr};

private:
    mutable std::mutex m_bindMu;
    std::optional<std::string> m_binding; // guarded by m_bindMu

protected:
    unsigned Run() override;

private:
    bool SendCommand(BYTE command);
    std::optional<std::string> Binding() const;
    // The open device's feature report length if it can carry the layout, else 0.
    ULONG UsableFeatureLength() const;
};
