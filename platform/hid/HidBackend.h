// The HID seam: one small interface over the machine's HID devices, with the hidraw backend
// for real hardware and the simulator for tests and the demo. Every top-level collection is
// its own entry with its own path, as the device code expects from the original platform.
//
// The contract every backend keeps (hidraw, SetupAPI + hid.dll, the simulator, a test's
// scripted device); the device classes in device/ rely on nothing else:
// - Threads. A backend is called from the UI thread, the presence poll threads and the
//   topology monitor at once; each of its methods is safe against every other. An open
//   device is used by up to four threads together (its reader, a request, the presence
//   poll's GetInfo, Close from the owner): see IHidDevice.
// - Time. Only Read and Write wait, and never past their timeoutMs, counted on the platform
//   clock (platform/Clock.h: the simulator's time scale shortens it for tests). Feature
//   requests and enumeration block for one exchange with the device or the system, without
//   a time-out of their own: the system's own bound applies (Linux's usbhid gives a control
//   transfer five seconds). Nothing waits for another thread's call to finish, except Close for a call under
//   way on the same device.
// - Errors. Results are plain values: -1 or false say "did not happen", with no reason
//   kept; a caller that must tell "gone" from "refused" asks GetInfo. A failed call never
//   throws and leaves the device usable for the next one, unless it failed because the
//   device left.
// - Leaving. A device that left the bus makes every call on its open handle fail (-1,
//   false) from then on, promptly: a waiting Read returns -1 without waiting out its
//   time-out. It never comes back on that handle; the same mouse back on the bus is a new
//   Open, possibly under another path.
// - Ownership. Open returns the only owner the handle needs: the caller keeps the
//   shared_ptr, and a reader thread may hold a copy; the last one released closes the
//   device. Buffers are the caller's and only used during the call.
// - The simulator (sim/) must do all of this the same way, the timing included (a reply
//   arrives later than the request that asked for it; a departure ends a waiting Read), so
//   that a test against it says something about a real mouse.
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
// without touching the device. A null buffer or a zero length fails (-1) at once.
class IHidDevice
{
public:
    // Closes the device if Close has not.
    virtual ~IHidDevice() = default;
    // An output report. Byte 0 is the report ID (0 for unnumbered reports). Waits up to
    // timeoutMs on the platform clock for the device to take the report. Returns bytes sent,
    // or -1 when the device is gone, closed, or did not take it in time. Called by requests.
    virtual int Write(const std::uint8_t* data, std::size_t length, unsigned timeoutMs) = 0;
    // The next input report of this collection (another collection's reports on the same
    // interface are not returned). Blocks up to timeoutMs on the platform clock. Byte 0 of
    // the result is the report ID, also for unnumbered reports. Returns bytes read, 0 on
    // time-out, -1 when the device is gone or closed (Close ends a waiting Read at once).
    // Called by the reader thread alone.
    virtual int Read(std::uint8_t* buf, std::size_t length, unsigned timeoutMs) = 0;
    // A feature report out (HidD_SetFeature, HIDIOCSFEATURE). Byte 0 is the report ID; the
    // backend pads a shorter report to the collection's feature length where the system
    // requires it. Blocks for the one control transfer. Returns length on success, -1 when
    // the device refused it (a stall), left, or is closed. Called by requests.
    virtual int SetFeature(const std::uint8_t* data, std::size_t length) = 0;
    // A feature report in. Byte 0 names the report ID asked for; on success buf holds the
    // report from byte 0 and the result is length (hidraw may return fewer bytes when the
    // device sends a shorter report: callers treat anything but length as failure). -1 as
    // SetFeature. Called by requests.
    virtual int GetFeature(std::uint8_t* buf, std::size_t length) = 0;
    // The collection's description as Open found it, port included. False once the device
    // has left the bus or the handle is closed, and from then on. Does not block on the
    // device; the presence poll calls it every second from its own thread.
    virtual bool GetInfo(DeviceInfo& info) = 0;
    // Ends the handle: a waiting Read or Write returns -1, later calls fail. May be called
    // more than once and from any thread; returns once no call of another thread is still
    // using the system handle.
    virtual void Close() = 0;
};

class IHidBackend
{
public:
    virtual ~IHidBackend() = default;
    // The collections present now. Stable order: while the set of devices stays the same,
    // every call lists them in the same order (the system's own enumeration order, not
    // sorted), so "the first match" names the same device each time. Blocks for one system
    // enumeration; an empty list when none, or when the system cannot be asked.
    virtual std::vector<DeviceInfo> Enumerate() = 0;
    // The entry Enumerate would list for path, if it is present now; false otherwise.
    virtual bool GetInfo(const std::string& path, DeviceInfo& info) = 0;
    // Opens one collection for reading and writing. Null on failure, with *err (when given)
    // saying NotFound (gone, or never there), AccessDenied (present, but the user may not
    // open it: also noted for AccessDeniedSeen) or Other; None on success, which clears
    // the noted refusal. The handle is the caller's: see the ownership rule above.
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
