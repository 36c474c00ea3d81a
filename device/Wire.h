// The DUN-X4's wire: the reports of each mode as named layouts, the 48-bit device ID's
// encoding, and where the identity sits in the flash image. Everything that reads or writes
// these bytes (the device classes, the upgrade, the recovery journal, tarvexctl) takes the
// offsets from here rather than counting positions. The simulator keeps its own named copy
// on purpose: a wrong value here must not be copied into the model that checks it.
#pragma once
#include <cstddef>

#include "platform/WinTypes.h"

namespace wire {

// The device ID: 48 bits, least significant byte first wherever it is carried (the device-ID
// reply, the flash image). Values held in a 64-bit integer are compared and printed masked.
inline constexpr std::size_t kDeviceIdBytes = 6;
inline constexpr ULONGLONG kDeviceIdMask = 0xFFFFFFFFFFFFull;
inline constexpr ULONGLONG MaskDeviceId(ULONGLONG id) { return id & kDeviceIdMask; }
inline ULONGLONG GetDeviceId(const BYTE* p)
{
    ULONGLONG id = 0;
    for (std::size_t i = 0; i < kDeviceIdBytes; ++i) id |= static_cast<ULONGLONG>(p[i]) << (8 * i);
    return id;
}
inline void PutDeviceId(BYTE* p, ULONGLONG id)
{
    for (std::size_t i = 0; i < kDeviceIdBytes; ++i) p[i] = static_cast<BYTE>(id >> (8 * i));
}

// Application mode: requests are output reports of 7 bytes after the report ID; replies are
// input reports of 8 bytes, the report ID first. The device code keeps a reply as its 7
// bytes after the report ID; the offsets below count in those.
namespace app {
inline constexpr USHORT kVendorID = 0x1EA7;
inline constexpr USHORT kUsagePage = 0xFFBA;
inline constexpr BYTE kReportID = 0xBA;
inline constexpr std::size_t kRequestLength = 7;     // after the report ID
inline constexpr std::size_t kReplyLength = 7;       // after the report ID
inline constexpr std::size_t kInputReportLength = 8; // as read: report ID + reply

inline constexpr BYTE CmdReadUserData = 0x02;
inline constexpr BYTE CmdTestData = 0x06; // sent by the mouse unasked
inline constexpr BYTE CmdProgramInfo = 0x23;
inline constexpr BYTE CmdDeviceId = 0x31;

namespace request {
inline constexpr std::size_t Command = 0;
// CmdReadUserData: a step of a 256-byte block.
inline constexpr std::size_t Offset = 1; // BYTE, the step's offset in the block
inline constexpr std::size_t Length = 2; // BYTE, bytes per step
inline constexpr std::size_t Block = 3;  // BYTE
} // namespace request

namespace reply {
inline constexpr std::size_t Command = 0; // the request's command echoed
// CmdProgramInfo
inline constexpr std::size_t ProgramId = 1; // DWORD, little-endian
inline constexpr std::size_t Version = 5;   // BYTE
// CmdDeviceId
inline constexpr std::size_t DeviceId = 1; // kDeviceIdBytes
// CmdReadUserData
inline constexpr std::size_t Offset = 1; // BYTE, the request's offset echoed
inline constexpr std::size_t Data = 3;   // kUserDataStep bytes
// CmdTestData
inline constexpr std::size_t TestValue = 1; // WORD, little-endian
} // namespace reply

// User data are read in 256-byte blocks of 4-byte steps.
inline constexpr DWORD kUserDataBlockSize = 256;
inline constexpr DWORD kUserDataStep = 4;
} // namespace app

// The bootloader: every exchange is one feature report of the device's feature length (the
// report ID byte included), the layout below at its start.
namespace isp {
inline constexpr USHORT kVendorID = 0x040B;
inline constexpr USHORT kProductID = 0x6876;

inline constexpr BYTE CmdErase = 0xA7;
inline constexpr BYTE CmdWrite = 0xA8; // one chunk
inline constexpr BYTE CmdLeave = 0xA9; // leave the bootloader for the application
inline constexpr BYTE CmdRead = 0xAA;  // one chunk, fetched by the next GetFeature

namespace feature {
inline constexpr std::size_t ReportId = 0;
inline constexpr std::size_t Command = 1;
inline constexpr std::size_t OffsetHigh = 2; // the chunk's flash offset, big-endian
inline constexpr std::size_t OffsetLow = 3;
inline constexpr std::size_t Data = 9; // kChunk bytes, in writes and in read replies
} // namespace feature

inline constexpr DWORD kChunk = 32;
// The offset field has 16 bits: a larger image would wrap onto the start of the flash.
inline constexpr DWORD kMaxImageSize = 65536;
// The shortest feature report that holds the layout.
inline constexpr std::size_t kMinFeatureLength = feature::Data + kChunk;
inline void PutChunkOffset(BYTE* report, DWORD offset)
{
    report[feature::OffsetHigh] = static_cast<BYTE>(offset >> 8);
    report[feature::OffsetLow] = static_cast<BYTE>(offset & 0xFF);
}
} // namespace isp

// The application image as flashed: the mouse's identity is written into it before the
// flash, the user data blocks 5..8 in a row from kUserDataOffset and the device ID at
// kDeviceIdOffset.
namespace image {
inline constexpr DWORD kUserDataOffset = 0x3D00;
inline constexpr BYTE kFirstUserDataBlock = 5;
inline constexpr int kUserDataBlocks = 4;
inline constexpr DWORD kUserDataSize = kUserDataBlocks * app::kUserDataBlockSize;
inline constexpr DWORD kDeviceIdOffset = 0x4100;
// The smallest image that can take the identity.
inline constexpr DWORD kIdentityEnd = kDeviceIdOffset + kDeviceIdBytes;
static_assert(kUserDataOffset + kUserDataSize <= kDeviceIdOffset);

// The offset of user data block `block` (kFirstUserDataBlock ..) in the image.
inline constexpr DWORD UserDataOffset(BYTE block)
{
    return kUserDataOffset + static_cast<DWORD>(block - kFirstUserDataBlock) * app::kUserDataBlockSize;
}
inline ULONGLONG GetDeviceId(const BYTE* pImage) { return wire::GetDeviceId(pImage + kDeviceIdOffset); }
inline void PutDeviceId(BYTE* pImage, ULONGLONG id) { wire::PutDeviceId(pImage + kDeviceIdOffset, id); }
} // namespace image

} // namespace wire
