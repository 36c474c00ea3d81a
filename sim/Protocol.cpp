#include "sim/Protocol.h"

#include <algorithm>

namespace sim::proto {

std::optional<std::array<std::uint8_t, kAppReportLength>> Answer(const Identity& id, const std::uint8_t* report, std::size_t n)
{
    if (!report || n < kAppReportLength || report[0] != kAppReportId) return std::nullopt;
    std::array<std::uint8_t, kAppReportLength> r{};
    r[0] = kAppReportId;
    r[1] = report[1];
    switch (report[1]) {
    case kCmdProgramInfo:
        for (int i = 0; i < 4; ++i) r[2 + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(id.programId >> (8 * i));
        r[6] = id.version;
        return r;
    case kCmdDeviceId:
        for (int i = 0; i < 6; ++i) r[2 + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(id.deviceId >> (8 * i));
        return r;
    case kCmdUserData: {
        const unsigned offset = report[2], block = report[4];
        r[2] = report[2];
        r[3] = report[3];
        for (unsigned i = 0; i < 4; ++i)
            r[4 + i] = (offset + i < kUserDataBlockSize && id.userByte) ? id.userByte(block, offset + i) : 0;
        return r;
    }
    default:
        return std::nullopt;
    }
}

bool IsSwitchRequest(std::uint8_t index, std::uint16_t language) { return index == kSwitchStringIndex && language == kSwitchLanguage; }

Flash::Flash(bool bitsOnlyClear, std::uint8_t fill) : m_bitsOnlyClear(bitsOnlyClear), m_bytes(kFlashSize, fill) {}

std::size_t Flash::OffsetOf(const std::uint8_t* payload)
{
    return (static_cast<std::size_t>(payload[kIspOffsetHigh]) << 8) | payload[kIspOffsetLow];
}

Flash::Result Flash::Command(const std::uint8_t* payload, std::size_t n)
{
    if (!payload || n < kIspMinPayload) return Result::TooShort;
    const std::size_t offset = OffsetOf(payload);
    const std::size_t count = std::min(kChunk, kFlashSize - offset);
    switch (payload[kIspCommand]) {
    case kIspErase:
        std::fill(m_bytes.begin(), m_bytes.end(), 0xFF);
        return Result::Ok;
    case kIspWrite:
        for (std::size_t i = 0; i < count; ++i) {
            if (m_bitsOnlyClear) m_bytes[offset + i] &= payload[kIspData + i];
            else m_bytes[offset + i] = payload[kIspData + i];
        }
        return Result::Ok;
    case kIspRead:
        m_readPending = true;
        m_readOffset = offset;
        return Result::Ok;
    case kIspLeave:
        return Result::Leave;
    default:
        return Result::Unknown;
    }
}

void Flash::Reply(std::uint8_t* payload, std::size_t n)
{
    std::fill(payload, payload + n, 0);
    if (!m_readPending || n < kIspMinPayload) return;
    m_readPending = false;
    payload[kIspCommand] = kIspRead;
    payload[kIspOffsetHigh] = static_cast<std::uint8_t>(m_readOffset >> 8);
    payload[kIspOffsetLow] = static_cast<std::uint8_t>(m_readOffset);
    const std::size_t count = std::min(kChunk, kFlashSize - m_readOffset);
    std::copy_n(m_bytes.begin() + static_cast<long>(m_readOffset), count, payload + kIspData);
}

namespace {
bool Erased(const std::vector<std::uint8_t>& flash, std::size_t at, std::size_t n)
{
    return flash.size() >= at + n &&
           std::all_of(flash.begin() + static_cast<long>(at), flash.begin() + static_cast<long>(at + n), [](std::uint8_t b) { return b == 0xFF; });
}
} // namespace

std::optional<std::uint64_t> DeviceIdInFlash(const std::vector<std::uint8_t>& flash)
{
    if (flash.size() < kDeviceIdOffset + kDeviceIdBytes || Erased(flash, kDeviceIdOffset, kDeviceIdBytes)) return std::nullopt;
    std::uint64_t id = 0;
    for (std::size_t i = 0; i < kDeviceIdBytes; ++i) id |= static_cast<std::uint64_t>(flash[kDeviceIdOffset + i]) << (8 * i);
    return id;
}

bool UserBlockInFlash(const std::vector<std::uint8_t>& flash, unsigned block, std::uint8_t* out256)
{
    if (block < kFirstSavedBlock || block > kLastSavedBlock) return false;
    const std::size_t at = kUserDataOffset + (block - kFirstSavedBlock) * kUserDataBlockSize;
    if (Erased(flash, at, kUserDataBlockSize) || flash.size() < at + kUserDataBlockSize) return false;
    std::copy_n(flash.begin() + static_cast<long>(at), kUserDataBlockSize, out256);
    return true;
}

} // namespace sim::proto
