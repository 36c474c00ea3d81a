// The HID seam: one small interface over the machine's HID devices, with the hidraw backend
// for real hardware and the simulator for tests and the demo. Every top-level collection is
// its own entry with its own path, as the device code expects from the original platform.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace platform::hid {

struct DeviceInfo {
    std::string path;          // one top-level collection; opens on its own
    std::uint16_t vendorId = 0;
    std::uint16_t productId = 0;
    std::uint16_t versionNumber = 0;
    std::uint16_t usagePage = 0;
    std::uint16_t usage = 0;
    // Byte lengths as the HID class driver reports them: the report ID byte included.
    std::uint16_t inputReportLength = 0;
    std::uint16_t outputReportLength = 0;
    std::uint16_t featureReportLength = 0;
    // The USB port the device sits on, the same for every mode the device runs in: Linux's
    // sysfs name of the USB device ("1-2.3"), the simulator's port, on Windows the device's
    // location path. Empty when the backend cannot tell; nothing may then be matched by port.
    std::string portPath;
};

// Results of Open besides success.
enum class OpenError { None, NotFound, AccessDenied, Other };

// One open collection. Calls may come from several threads (the reader, a request, the
// presence poll's GetInfo and Close): they are safe against each other, a Read never waits
// for a request to finish nor the other way round, and after Close every call fails
// without touching the device.
class IHidDevice
{
public:
    virtual ~IHidDevice() = default;
    // Byte 0 is the report ID (0 for unnumbered reports). Waits up to timeoutMs on the
    // platform clock for the device to take the report. Returns bytes sent, or -1 when the
    // device is gone, closed, or did not take it in time.
    virtual int Write(const std::uint8_t* data, std::size_t length, unsigned timeoutMs) = 0;
    // Blocks up to timeoutMs on the platform clock. Byte 0 of the result is the report ID,
    // also for unnumbered reports. Returns bytes read, 0 on time-out, -1 when the device is gone.
    virtual int Read(std::uint8_t* buf, std::size_t length, unsigned timeoutMs) = 0;
    virtual int SetFeature(const std::uint8_t* data, std::size_t length) = 0;
    virtual int GetFeature(std::uint8_t* buf, std::size_t length) = 0;
    // False once the device has left the bus.
    virtual bool GetInfo(DeviceInfo& info) = 0;
    virtual void Close() = 0;
};

class IHidBackend
{
public:
    virtual ~IHidBackend() = default;
    // Present collections in a stable order.
    virtual std::vector<DeviceInfo> Enumerate() = 0;
    virtual bool GetInfo(const std::string& path, DeviceInfo& info) = 0;
    virtual std::shared_ptr<IHidDevice> Open(const std::string& path, OpenError* err) = 0;
};

// The machine's own HID devices: hidraw on Linux, SetupAPI + hid.dll on Windows.
std::shared_ptr<IHidBackend> MakeSystemBackend();

// The backend every device object uses. Until one is installed, the system's is used.
// Tests and the demo install the simulator before any device object exists.
std::shared_ptr<IHidBackend> GetBackend();
void InstallBackend(std::shared_ptr<IHidBackend> backend);

// Set when a device was seen but could not be opened for lack of permission, so that the UI
// can tell "no access" apart from "no mouse". Cleared by a successful open.
bool AccessDeniedSeen();
void NoteAccessDenied(const std::string& path);
void ClearAccessDenied();
// The last refusal in words ("<path> is present but cannot be opened (...)"), for the run log
// of a program that has no console to show stderr; empty while none is noted.
std::string AccessDeniedReason();

} // namespace platform::hid
