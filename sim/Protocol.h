// The DUN-X4's own side of its two protocols, as one model that every simulated mouse answers
// with: the simulator's (sim/) and the kernel test's device program (tests/kernel/). Only the
// standard library, so the device program can link it statically.
//
//  - application mode: output reports on the vendor collection (report ID 0xBA, 8 bytes) are
//    requests; each gets one 8-byte input report back: program info (0x23: program ID, 32 bits
//    little-endian, then the version byte), device ID (0x31: 48 bits little-endian), one 4-byte
//    step of a user-data block (0x02: offset, count, block; the reply echoes offset and count).
//  - the string-descriptor request for index 0xFF, language 0x4D21 sends it to its bootloader.
//  - bootloader: feature reports whose payload (after the report ID) is a command byte, a
//    16-bit big-endian offset, and from byte 8 the 32 data bytes: erase (0xA7, all 0xFF),
//    write (0xA8), read (0xAA, answered by the next get-feature), leave (0xA9).
// The simulator and the device program keep their own copies of these numbers on purpose:
// a wrong value in the host code is then not copied into the model that checks it.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

namespace sim::proto {

inline constexpr std::uint16_t kAppVendorId = 0x1EA7;
inline constexpr std::uint16_t kIspVendorId = 0x040B;
inline constexpr std::uint16_t kIspProductId = 0x6876;

inline constexpr std::uint8_t kAppReportId = 0xBA;
inline constexpr std::size_t kAppReportLength = 8; // with the report ID
inline constexpr std::uint8_t kCmdUserData = 0x02;
inline constexpr std::uint8_t kCmdTestData = 0x06;
inline constexpr std::uint8_t kCmdProgramInfo = 0x23;
inline constexpr std::uint8_t kCmdDeviceId = 0x31;

inline constexpr std::uint8_t kSwitchStringIndex = 0xFF;
inline constexpr std::uint16_t kSwitchLanguage = 0x4D21;

inline constexpr std::uint8_t kIspErase = 0xA7;
inline constexpr std::uint8_t kIspWrite = 0xA8;
inline constexpr std::uint8_t kIspLeave = 0xA9;
inline constexpr std::uint8_t kIspRead = 0xAA;
// Offsets within a bootloader payload (the feature report without its report ID).
inline constexpr std::size_t kIspCommand = 0;
inline constexpr std::size_t kIspOffsetHigh = 1;
inline constexpr std::size_t kIspOffsetLow = 2;
inline constexpr std::size_t kIspData = 8;
inline constexpr std::size_t kIspMinPayload = kIspData + 32;

inline constexpr std::size_t kFlashSize = 0x10000;
inline constexpr std::size_t kChunk = 32;
// Where the firmware keeps the mouse's identity in its flash.
inline constexpr std::size_t kDeviceIdOffset = 0x4100;
inline constexpr std::size_t kDeviceIdBytes = 6;
inline constexpr std::size_t kUserDataOffset = 0x3D00;
inline constexpr unsigned kFirstSavedBlock = 5, kLastSavedBlock = 8;
inline constexpr std::size_t kUserDataBlockSize = 256;

// What a mouse answers in application mode.
struct Identity {
    std::uint32_t programId = 0;
    std::uint8_t version = 0;
    std::uint64_t deviceId = 0; // 48 bits
    std::function<std::uint8_t(unsigned block, unsigned offset)> userByte;
};

// True when the request is the one the reply answers (8 bytes, report ID 0xBA); the reply of
// an unknown command is empty. report: as it came, byte 0 the report ID.
std::optional<std::array<std::uint8_t, kAppReportLength>> Answer(const Identity& id, const std::uint8_t* report, std::size_t n);

bool IsSwitchRequest(std::uint8_t index, std::uint16_t language);

// The bootloader's flash and its commands.
class Flash
{
public:
    enum class Result { Ok, Leave, Unknown, TooShort };
    // bitsOnlyClear: a write can only clear bits, as real flash does (the kernel test's device,
    // where a run that skips the erase must not pass); otherwise a write stores its bytes.
    explicit Flash(bool bitsOnlyClear, std::uint8_t fill = 0xFF);

    // payload: the feature report without its report ID.
    Result Command(const std::uint8_t* payload, std::size_t n);
    // The answer to a get-feature: the last read command's chunk (payload layout), or zeros.
    void Reply(std::uint8_t* payload, std::size_t n);

    static std::size_t OffsetOf(const std::uint8_t* payload);
    std::vector<std::uint8_t>& Bytes() { return m_bytes; }
    const std::vector<std::uint8_t>& Bytes() const { return m_bytes; }
    bool ReadPending() const { return m_readPending; }
    std::size_t ReadOffset() const { return m_readOffset; }

private:
    bool m_bitsOnlyClear;
    std::vector<std::uint8_t> m_bytes;
    bool m_readPending = false;
    std::size_t m_readOffset = 0;
};

// The identity a firmware reads from its flash at start: the device ID and user-data blocks
// 5..8, each only where that area is not erased.
std::optional<std::uint64_t> DeviceIdInFlash(const std::vector<std::uint8_t>& flash);
bool UserBlockInFlash(const std::vector<std::uint8_t>& flash, unsigned block, std::uint8_t* out256);

} // namespace sim::proto
