#include "platform/hid/HidReportDescriptor.h"

#include <map>

namespace platform::hid {
namespace {

struct Globals {
    std::uint32_t usagePage = 0;
    std::uint32_t reportSize = 0;
    std::uint32_t reportCount = 0;
    std::uint32_t reportId = 0;
};

struct Bits {
    std::uint64_t in = 0, out = 0, feat = 0;
};

constexpr std::uint64_t kMaxReportBits = 65535ull * 8;
constexpr std::size_t kMaxStack = 32;

std::uint16_t ToLength(std::uint64_t bits)
{
    // Every report carries a leading ID byte in the driver's count, numbered or not.
    std::uint64_t bytes = (bits + 7) / 8 + 1;
    return static_cast<std::uint16_t>(bytes > 0xFFFF ? 0xFFFF : bytes);
}

} // namespace

bool ParseReportDescriptor(const std::uint8_t* data, std::size_t length, std::vector<TopLevelCollection>& out)
{
    out.clear();
    if (!data && length) return false;
    std::vector<TopLevelCollection> result;
    Globals g;
    std::vector<Globals> stack;
    std::uint32_t localUsage = 0;
    bool localUsageHasPage = false;
    bool haveLocalUsage = false;
    int depth = 0;
    std::map<std::uint32_t, Bits> reports; // of the current top-level collection
    bool anyInputId = false;

    auto finish = [&]() {
        TopLevelCollection& c = result.back();
        std::uint64_t in = 0, o = 0, f = 0;
        for (auto& [id, b] : reports) {
            if (b.in > in) in = b.in;
            if (b.out > o) o = b.out;
            if (b.feat > f) f = b.feat;
        }
        for (auto& [id, b] : reports)
            if (id != 0 && b.in) c.inputReportIds.push_back(static_cast<std::uint8_t>(id));
        c.inputReportLength = in ? ToLength(in) : 0;
        c.outputReportLength = o ? ToLength(o) : 0;
        c.featureReportLength = f ? ToLength(f) : 0;
        reports.clear();
    };

    std::size_t i = 0;
    while (i < length) {
        std::uint8_t prefix = data[i++];
        if (prefix == 0xFE) { // long item: size byte, tag byte, data
            if (i + 2 > length) return false;
            std::size_t size = data[i];
            i += 2;
            if (size > length - i) return false;
            i += size;
            continue;
        }
        std::size_t size = prefix & 0x3;
        if (size == 3) size = 4;
        if (size > length - i) return false;
        std::uint32_t value = 0;
        for (std::size_t k = 0; k < size; ++k) value |= static_cast<std::uint32_t>(data[i + k]) << (8 * k);
        i += size;
        unsigned type = (prefix >> 2) & 0x3;
        unsigned tag = (prefix >> 4) & 0xF;

        if (type == 0) { // main
            switch (tag) {
            case 0x8: case 0x9: case 0xB: { // input, output, feature
                if (depth > 0 && !result.empty()) {
                    Bits& b = reports[g.reportId];
                    std::uint64_t add = static_cast<std::uint64_t>(g.reportSize) * g.reportCount;
                    std::uint64_t& slot = tag == 0x8 ? b.in : tag == 0x9 ? b.out : b.feat;
                    if (add > kMaxReportBits) return false;
                    slot += add;
                    if (slot > kMaxReportBits) return false;
                    if (tag == 0x8 && g.reportId != 0) anyInputId = true;
                }
                break;
            }
            case 0xA: { // collection
                if (depth == 0) {
                    TopLevelCollection c;
                    std::uint32_t u = haveLocalUsage ? localUsage : 0;
                    c.usagePage = static_cast<std::uint16_t>(localUsageHasPage ? (u >> 16) : g.usagePage);
                    c.usage = static_cast<std::uint16_t>(u & 0xFFFF);
                    result.push_back(c);
                    reports.clear();
                }
                if (++depth > static_cast<int>(kMaxStack)) return false;
                break;
            }
            case 0xC: // end collection
                if (depth == 0) return false;
                if (--depth == 0) finish();
                break;
            default:
                break;
            }
            haveLocalUsage = false;
            localUsageHasPage = false;
        } else if (type == 1) { // global
            switch (tag) {
            case 0x0: g.usagePage = value & 0xFFFF; break;
            case 0x7: g.reportSize = value; break;
            case 0x8:
                // IDs are one byte on the wire; a larger value cannot name a report.
                if (value > 0xFF) return false;
                g.reportId = value;
                break;
            case 0x9: g.reportCount = value; break;
            case 0xA:
                if (stack.size() >= kMaxStack) return false;
                stack.push_back(g);
                break;
            case 0xB:
                if (stack.empty()) return false;
                g = stack.back();
                stack.pop_back();
                break;
            default: break;
            }
        } else if (type == 2) { // local: the first usage names the collection
            if (tag == 0x0 && !haveLocalUsage) {
                haveLocalUsage = true;
                localUsage = value;
                localUsageHasPage = size == 4;
            }
        }
    }
    if (depth != 0) return false;
    for (auto& c : result) c.usesReportIds = anyInputId;
    out = std::move(result);
    return true;
}

} // namespace platform::hid
