// The bootloader: feature reports on the flash, through the shared protocol model. One
// implementation for the mouse's own bootloader (with its faults and counters) and for
// another device's (none of either).
#include <algorithm>
#include <chrono>
#include <thread>

#include "platform/Clock.h"
#include "sim/WorldImpl.h"

namespace sim::detail {

void BusClock::Take()
{
    constexpr double kTransferMs = 1.0;
    double waitMs = 0;
    {
        std::lock_guard<std::mutex> lk(m_mu);
        const double now = platform::ScaledNowMs();
        m_busyUntil = std::max(m_busyUntil, now) + kTransferMs;
        waitMs = m_busyUntil - now;
    }
    const auto real = std::chrono::duration<double, std::milli>(waitMs * platform::GetTimeScale());
    if (real >= std::chrono::microseconds(500)) std::this_thread::sleep_for(real);
}

int Bootloader::SetFeature(const BYTE* data, std::size_t len, USHORT featureLength, const Faults* faults, int n, Counters* counters,
                           bool& leave)
{
    leave = false;
    // The report must have the length the bootloader declares, and room for the layout.
    if (len != featureLength || len < 1 + proto::kIspMinPayload) return -1;
    const BYTE* payload = data + 1;
    const int chunk = static_cast<int>(proto::Flash::OffsetOf(payload) / proto::kChunk) + 1;
    int result = static_cast<int>(len);
    switch (payload[proto::kIspCommand]) {
    case proto::kIspErase:
        if (counters) ++counters->eraseReports;
        if (faults && faults->failErase) return -1;
        break;
    case proto::kIspWrite:
        if (counters) ++counters->writeReports;
        if (faults && faults->failWriteChunk == chunk) return -1;
        if (faults && faults->shortWriteChunk == chunk) result = static_cast<int>(len) - 1;
        break;
    case proto::kIspRead:
        if (counters) ++counters->readReports;
        if (faults && faults->failReadChunk == chunk) return -1;
        break;
    case proto::kIspLeave:
        if (counters) ++counters->leaveReports;
        if (faults && faults->failLeave) return -1;
        break;
    default: break;
    }
    (void)n;
    switch (flash.Command(payload, len - 1)) {
    case proto::Flash::Result::Ok: break;
    case proto::Flash::Result::Leave: leave = true; break;
    default: result = -1; break;
    }
    return result;
}

int Bootloader::GetFeature(BYTE* buf, std::size_t len, USHORT featureLength, const Faults* faults, Counters* counters)
{
    if (counters) ++counters->featureGets;
    if (len != featureLength || len < 1 + proto::kIspMinPayload) return -1;
    const bool pending = flash.ReadPending();
    const std::size_t offset = flash.ReadOffset();
    buf[0] = 0;
    flash.Reply(buf + 1, len - 1);
    if (pending && faults) {
        BYTE* data = buf + 1 + proto::kIspData;
        const std::size_t count = std::min(proto::kChunk, proto::kFlashSize - offset);
        if (faults->corruptReadBack && offset == 0) data[0] ^= 0x01;
        if (faults->corruptReadBackAt >= 0 && static_cast<std::size_t>(faults->corruptReadBackAt) >= offset &&
            static_cast<std::size_t>(faults->corruptReadBackAt) < offset + count)
            data[static_cast<std::size_t>(faults->corruptReadBackAt) - offset] ^= 0x01;
    }
    return static_cast<int>(len);
}

} // namespace sim::detail
