// The simulated USB world: host controllers with root hubs, downstream hubs and ports, plain
// USB devices, and the DUN-X4 mouse. Install() puts it under the device code in place of
// the real HID backend and hub driver; nothing above platform/ can tell the difference.
//
// The mouse:
//  - application mode: USB 0x1EA7:<appProductId>; two HID collections, first an ordinary
//    mouse (usage page 0x0001, must not match), then the vendor collection (usage page
//    0xFFBA, 8-byte input and output reports, report ID 0xBA). It answers program info
//    (0x23), device ID (0x31) and user data (0x02) and sends 0x06 reports on request.
//  - the string-descriptor request for index 0xFF, language 0x4D21 at its hub port makes it
//    leave the bus; after bootloaderDelayMs it comes back as the bootloader 0x040B:0x6876
//    with 65-byte feature reports and a 64 KiB flash: erase (0xA7, all 0xFF), write 32 bytes
//    (0xA8), read 32 bytes (0xAA, answered by the next get-feature), leave (0xA9).
//  - after leave it is gone for appReturnDelayMs, then back in application mode running the
//    new firmware: its device ID is read from flash 0x4100 (6 bytes, LSB first) and user
//    data blocks 5..8 from 0x3D00, unless those areas are erased (all 0xFF).
// All delays run on the platform clock (platform::SetTimeScale). Time is evaluated lazily:
// every call into the world first moves the mouse on to the state its clock says.
//
// Typical test use:
//   auto& w = sim::World::Instance();
//   w.Reset(); sim::World::Install();
//   w.PlugMouse();                      // root hub of controller 0, port 1
//   sim::Faults f; f.failWriteChunk = 3; w.SetFaults(f);
//   ... run the device code ...
//   w.GetCounters().writeReports, w.Flash(), w.ReportLog()
//
// Command-line faults of a demo map onto Faults, for example: no reply at all ->
// silentFromRequest = 1; a bad device-ID reply -> deviceIdWrongEcho; a bad user-data step ->
// wrongOffsetEcho; no bootloader -> bootloaderPresent = false; failing erase, write, read,
// reset -> failErase, failWriteChunk, failReadChunk, failLeave; a read-back that differs ->
// corruptReadBack; unplugging in either mode -> unplugAfterRequest, unplugAfterIspReport.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/WinTypes.h"

namespace sim {

struct MouseSettings {
    WORD appProductId = 0x4D58;
    DWORD programId = 0x00015A3C; // the host compares the low 16 bits
    BYTE version = 1;
    ULONGLONG deviceId = 0x00005EED1234ABCDull; // 48 bits
    // Blocks 0..15 of 256 bytes; the default fill is (block * 37 + offset) & 0xFF.
    std::vector<std::vector<BYTE>> userData;
};

struct Faults {
    // ---- application mode; "request n" counts output reports since SetFaults, from 1 ----
    int lostReplies = 0;             // the next n replies are dropped
    DWORD replyDelayMs = 0;          // every reply arrives this late
    bool duplicateReplies = false;   // every reply arrives twice
    bool wrongCommandEcho = false;   // replies carry another known command byte
    bool deviceIdWrongEcho = false;  // only device-ID replies carry another command byte
    bool wrongOffsetEcho = false;    // user-data replies echo offset + 4
    int wrongOffsetAtRequest = 0;    // only the reply to request n echoes a wrong offset
    int failRequest = 0;             // sending request n fails
    int silentFromRequest = 0;       // requests n and later get no reply
    int replyLength = 8;             // length of every reply (the host takes only 8)
    int unplugAfterRequest = 0;      // the mouse leaves the bus right after request n
    // ---- the switch into the bootloader ----
    bool bootloaderPresent = true;   // false: leaves on the switch and never comes back
    DWORD bootloaderDelayMs = 1500;  // from the switch request to the bootloader's arrival
    bool switchRequestAnswers = false; // answers the request (with a string) before leaving
    // ---- bootloader; "chunk n" is the report at offset (n-1)*32, from 1 ----
    USHORT ispFeatureLength = 65;    // feature report length the bootloader declares
    int ispHeld = 0;                 // 1: a collection held by another program (its open refused,
                                     // access denied) is listed before the bootloader's own;
                                     // 2: the bootloader's own is held too
    bool failErase = false;
    int failWriteChunk = 0;
    int shortWriteChunk = 0;         // chunk n is taken, but its report is counted one byte short
    int failReadChunk = 0;
    bool corruptReadBack = false;    // one byte of the first read chunk comes back flipped
    int corruptReadBackAt = -1;      // the byte at this flash offset comes back flipped
    bool failLeave = false;
    int unplugAfterIspReport = 0;    // leaves the bus right after its n-th feature report
    DWORD appReturnDelayMs = 1000;   // from leave to application mode again
};

enum class MouseMode { Absent, Application, Switching, Bootloader, Leaving };

struct Counters {
    int outputReports = 0;   // requests written to the vendor collection
    int repliesQueued = 0;   // input reports put on their way (replies, duplicates, 0x06)
    int repliesRead = 0;     // input reports taken by a reader
    int featureSets = 0;
    int featureGets = 0;
    int eraseReports = 0;
    int writeReports = 0;
    int readReports = 0;
    int leaveReports = 0;
    int switchRequests = 0;  // string-descriptor requests that reached the mouse
    int descriptorRequests = 0;
    int connectionInfoQueries = 0;
    int hidOpens = 0;
    int enumerations = 0;    // lists of the HID collections taken (one per presence poll)
};

struct LoggedReport {
    enum Kind { Output, FeatureSet } kind;
    std::vector<BYTE> bytes;
};

struct HubRequest {
    std::u16string path; // the opened path
    DWORD code;
    ULONG port;          // ConnectionIndex of the request, 0 when it has none
};

class World
{
public:
    static World& Instance();
    // Installs the simulated HID backend and hub driver in the platform seams.
    static void Install();

    // Back to one controller (HCD0) whose root hub has 4 empty ports; no mouse, no faults,
    // default settings, erased flash, counters and logs cleared.
    void Reset();

    // ---- topology; hubs are numbered, the root hub of controller n is RootHub(n) ----
    // Adds controller `index` (any number; only 0..9 are looked at by the host) with a root
    // hub of `ports` ports; returns its root hub.
    int AddController(int index, int ports = 4);
    int RootHub(int controller) const;
    // The hub's symbolic name as the hub driver reports it (never reused within a process).
    std::u16string HubName(int hub) const;
    // A hub plugged into a port; returns its number. `ports` may be 0.
    int AddHub(int parentHub, int port, int ports);
    // A plain (non-HID) device; answers string-descriptor requests with "SIM".
    void PlugDevice(int hub, int port, WORD vid, WORD pid);
    // Changes the address a device reports (its connection information changes in place).
    void SetDeviceAddress(int hub, int port, WORD address);
    // Raw bytes a plain device returns as descriptor data, or fail=true for a failed request.
    void SetDescriptorReply(int hub, int port, std::vector<BYTE> data, bool fail = false);
    // Empties a port: a hub goes with everything behind it; the mouse goes absent.
    void Unplug(int hub, int port);

    // ---- HID collections without USB presence (for discovery tests) ----
    // One with the bootloader's IDs (0x040B:0x6876) is another device's working bootloader:
    // erase, write and read act on a flash of its own, and the leave command takes it off.
    // portPath: the port it reports (DeviceInfo::portPath), empty for none.
    int AddHidInterface(WORD vid, WORD pid, WORD usagePage, USHORT featureLength = 0, const std::string& portPath = {});
    void RemoveHidInterface(int id);
    // That bootloader's flash (64 KiB; erased until written); empty if the id is unknown.
    std::vector<BYTE> HidInterfaceFlash(int id);

    // ---- the mouse ----
    // "The mouse" is mouse 0; a station has more (mouse k, from 0), each on a port of its own,
    // each with its settings, faults, flash and mode. Calls without a mouse number mean mouse 0.
    void PlugMouse(int hub = -1, int port = 1); // -1: root hub of controller 0
    void PlugMouse(int mouse, int hub, int port);
    int MouseCount();
    void UnplugMouse(int mouse = 0);
    // Unplugs the mouse and plugs it in again at the same port: it comes up in application
    // mode running what its flash holds (as after a reset that did not happen).
    void ReplugMouse(int mouse = 0);
    MouseMode GetMouseMode(int mouse = 0);
    void SetMouseSettings(const MouseSettings& s);
    void SetMouseSettings(int mouse, const MouseSettings& s);
    MouseSettings GetMouseSettings(int mouse = 0);
    // Puts the bootloader on the bus at once (as if the switch had just completed).
    void EnterBootloader(int mouse = 0);
    // Sends an unsolicited 0x06 report carrying `value` (little-endian in bytes 2..3).
    void SendTestData(WORD value);
    // Sends any input report on the vendor collection (byte 0 the report ID).
    void SendInputReport(std::vector<BYTE> report);

    void SetFaults(const Faults& f); // also restarts the request and report counts of faults
    void SetFaults(int mouse, const Faults& f);
    Faults GetFaults(int mouse = 0);
    void SetBootloaderPresent(bool present);

    // The mouse's port path ("1-1" for controller 0's root hub, port 1; a hub at "1-2" gives
    // its ports "1-2.1" and so on); empty while it is absent.
    std::string MousePortPath(int mouse = 0);
    // The image the host will flash and the major version it carries: after a leave with that
    // image in its flash (identity areas aside) the mouse reports this version, as a real
    // mouse running the new firmware would.
    void SetFirmwareImage(const std::vector<BYTE>& image, BYTE version);
    // Called with the request number (from 1, as the faults count) as each request reaches
    // the mouse, under the world's lock: a test's way to act at an exact step.
    void SetRequestHook(std::function<void(int)> hook);

    std::vector<BYTE> Flash(int mouse = 0);
    void SetFlash(int mouse, const std::vector<BYTE>& contents);
    void SetFlash(const std::vector<BYTE>& contents); // up to 64 KiB

    Counters GetCounters();
    std::vector<LoggedReport> ReportLog();
    std::vector<HubRequest> HubLog();
    void ClearLogs(); // also zeroes the counters

    struct Impl;

private:
    World();
    std::unique_ptr<Impl> m;
};

} // namespace sim
