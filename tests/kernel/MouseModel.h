// The DUN-X4 as the kernel VM test plays it: what the mouse answers and remembers, kept apart
// from the USB gadget plumbing (kmouse.cpp) so that it can be tested without a kernel. The
// answers and the flash are the simulator's own model (sim/Protocol.h), so the simulated
// mouse and this one answer with the same code; this file adds the exchange log, the faults
// of a device on a real bus, and the judge.
//
//  - application mode: output reports on the vendor collection (report ID 0xBA, 8 bytes) are
//    requests; each gets one 8-byte input report back: program info (0x23), device ID (0x31),
//    one 4-byte step of a user-data block (0x02).
//  - bootloader: 64-byte feature reports (the host adds the report ID 0 in front): erase
//    (0xA7, all 0xFF), write 32 bytes at an offset (0xA8), read 32 bytes (0xAA, answered by
//    the next get-feature), leave (0xA9).
// Every request and command is written to the exchange log, one line each, so the test can
// judge a run from the device's side. Judge() is that check.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "sim/Protocol.h"

namespace kmouse {

constexpr std::size_t kFlashSize = 0x10000;
constexpr std::size_t kChunk = 32;
constexpr std::size_t kIspReport = 64; // without the report ID
constexpr std::size_t kAppReport = 8;  // with the report ID
constexpr std::uint8_t kVendorReportId = 0xBA;
constexpr std::size_t kDeviceIdOffset = 0x4100;
constexpr std::size_t kUserDataOffset = 0x3D00;

struct Settings {
    std::uint32_t programId = 0x00015A3C;
    std::uint8_t version = 1;
    std::uint64_t deviceId = 0x00005EED1234ABCDull; // 48 bits
    // User-data block b, byte o.
    static std::uint8_t UserByte(unsigned block, unsigned offset) { return static_cast<std::uint8_t>(block * 37u + offset); }
};

struct Faults {
    bool noBootloader = false;    // the switch request makes the mouse leave, and it never returns
    long failWriteChunk = -1;     // the write of this chunk (0-based) is refused
    long unplugAtWriteChunk = -1; // the mouse is pulled out when this chunk's write arrives
};

enum class IspAction { Ok, Refuse, Leave, Unplug };

class MouseModel
{
public:
    MouseModel(Settings s, Faults f);

    // Application mode: an output report as it arrived on the interrupt OUT endpoint.
    // Returns the input report to send, or an empty vector for no answer.
    std::vector<std::uint8_t> OnOutputReport(const std::uint8_t* data, std::size_t n);

    // The string-descriptor request; true when it is the one that sends the mouse to its
    // bootloader.
    bool OnStringRequest(std::uint8_t index, std::uint16_t language);

    // Bootloader: a set-feature arrived. WouldRefuse() is asked before the data is taken,
    // since on the wire a refusal is a stall of the request, not an answer after it.
    IspAction WouldRefuse() const;
    IspAction OnSetFeature(const std::uint8_t* data, std::size_t n);
    void GetFeature(std::uint8_t* out, std::size_t n);
    void OnStallSetFeature(const char* why);

    const std::vector<std::uint8_t>& Flash() const { return m_flash.Bytes(); }
    // Lines of the exchange log written since the last call.
    std::vector<std::string> TakeLog();
    void Note(const std::string& line) { m_log.push_back(line); }

private:
    Settings m_s;
    Faults m_f;
    sim::proto::Identity m_id;
    sim::proto::Flash m_flash{true};
    std::vector<std::string> m_log;
    bool m_erased = false;
    long m_writes = 0; // write commands since the erase
};

// The image the mouse must hold after a good run: the raw image with the device ID at 0x4100
// and user-data blocks 5..8 at 0x3D00.
std::vector<std::uint8_t> ExpectedFlash(const std::vector<std::uint8_t>& raw, const Settings& s);

// Checks a whole upgrade from the device's side: the exchange log up to the first leave and
// the flash as it was then. Returns the faults found, empty when the run was right.
std::vector<std::string> Judge(const std::vector<std::string>& log, const std::vector<std::uint8_t>& flash,
                               const std::vector<std::uint8_t>& raw, const Settings& s);

// The flash after a recovery without user data: the raw image with the device ID at 0x4100;
// where user data would go, the image's own bytes.
std::vector<std::uint8_t> ExpectedRecoveredFlash(const std::vector<std::uint8_t>& raw, const Settings& s);

// Checks a recovery of a mouse found in its bootloader: erase, every chunk written and read
// back in order, leave, and the flash as it was then. Returns the faults found.
std::vector<std::string> JudgeRecovery(const std::vector<std::string>& log, const std::vector<std::uint8_t>& flash,
                                       const std::vector<std::uint8_t>& raw, const Settings& s);

// Checks one look at the mouse in application mode (a device listing): program info and
// device ID asked exactly once each (a request sent again means its write or its reply was
// taken for lost), and nothing else asked or done. Returns the faults found.
std::vector<std::string> JudgeListing(const std::vector<std::string>& log);

} // namespace kmouse
