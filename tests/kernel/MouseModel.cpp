#include "tests/kernel/MouseModel.h"

#include <algorithm>
#include <cstdio>
#include <set>
#include <sstream>

namespace kmouse {
namespace {

std::string Hex4(std::size_t v)
{
    char b[24];
    std::snprintf(b, sizeof b, "%04zX", v & 0xFFFFF);
    return b;
}

// The flash the mouse leaves the factory with: not erased, not the image.
std::uint8_t OldFirmwareByte(std::size_t i) { return static_cast<std::uint8_t>(0x5A ^ (i * 7) ^ (i >> 9)); }

} // namespace

MouseModel::MouseModel(Settings s, Faults f) : m_s(s), m_f(f)
{
    for (std::size_t i = 0; i < kFlashSize; ++i) m_flash.Bytes()[i] = OldFirmwareByte(i);
    m_id.programId = s.programId;
    m_id.version = s.version;
    m_id.deviceId = s.deviceId;
    m_id.userByte = &Settings::UserByte;
}

std::vector<std::uint8_t> MouseModel::OnOutputReport(const std::uint8_t* data, std::size_t n)
{
    if (n < kAppReport || data[0] != kVendorReportId) {
        m_log.push_back("app ignored output report of " + std::to_string(n) + " bytes");
        return {};
    }
    char line[64];
    switch (data[1]) {
    case sim::proto::kCmdProgramInfo: m_log.push_back("app 23"); break;
    case sim::proto::kCmdDeviceId: m_log.push_back("app 31"); break;
    case sim::proto::kCmdUserData:
        std::snprintf(line, sizeof line, "app 02 block %u offset %u count %u", data[4], data[2], data[3]);
        m_log.push_back(line);
        break;
    default:
        std::snprintf(line, sizeof line, "app unknown command %02X", data[1]);
        m_log.push_back(line);
        return {};
    }
    // The answer is the one model every simulated mouse gives.
    const auto reply = sim::proto::Answer(m_id, data, n);
    return reply ? std::vector<std::uint8_t>(reply->begin(), reply->end()) : std::vector<std::uint8_t>{};
}

bool MouseModel::OnStringRequest(std::uint8_t index, std::uint16_t language)
{
    char line[64];
    std::snprintf(line, sizeof line, "string %02X lang %04X", index, language);
    m_log.push_back(line);
    return sim::proto::IsSwitchRequest(index, language);
}

IspAction MouseModel::WouldRefuse() const
{
    // Commands come in a fixed order after the erase, so the next set-feature is chunk m_writes.
    if (!m_erased) return IspAction::Ok;
    if (m_f.unplugAtWriteChunk >= 0 && m_writes == m_f.unplugAtWriteChunk) return IspAction::Unplug;
    if (m_f.failWriteChunk >= 0 && m_writes == m_f.failWriteChunk) return IspAction::Refuse;
    return IspAction::Ok;
}

void MouseModel::OnStallSetFeature(const char* why)
{
    m_log.push_back(std::string("isp stalled set-feature: ") + why);
}

IspAction MouseModel::OnSetFeature(const std::uint8_t* d, std::size_t n)
{
    if (n != kIspReport) {
        m_log.push_back("isp set-feature of " + std::to_string(n) + " bytes refused");
        return IspAction::Refuse;
    }
    const std::size_t offset = sim::proto::Flash::OffsetOf(d);
    switch (d[0]) {
    case sim::proto::kIspErase: m_log.push_back("isp erase"); break;
    case sim::proto::kIspWrite: m_log.push_back("isp write " + Hex4(offset)); break;
    case sim::proto::kIspRead: m_log.push_back("isp read " + Hex4(offset)); break;
    case sim::proto::kIspLeave: m_log.push_back("isp leave"); break;
    default: {
        char line[48];
        std::snprintf(line, sizeof line, "isp unknown command %02X", d[0]);
        m_log.push_back(line);
        return IspAction::Refuse;
    }
    }
    if (d[0] == sim::proto::kIspErase) {
        m_erased = true;
        m_writes = 0;
    }
    if (d[0] == sim::proto::kIspWrite) ++m_writes;
    // The flash itself is the shared model's; here it only clears bits, as real flash does.
    switch (m_flash.Command(d, n)) {
    case sim::proto::Flash::Result::Ok: return IspAction::Ok;
    case sim::proto::Flash::Result::Leave: return IspAction::Leave;
    default: return IspAction::Refuse;
    }
}

void MouseModel::GetFeature(std::uint8_t* out, std::size_t n) { m_flash.Reply(out, n); }

std::vector<std::string> MouseModel::TakeLog()
{
    std::vector<std::string> out;
    out.swap(m_log);
    return out;
}

std::vector<std::uint8_t> ExpectedFlash(const std::vector<std::uint8_t>& raw, const Settings& s)
{
    std::vector<std::uint8_t> f = ExpectedRecoveredFlash(raw, s);
    for (unsigned b = 5; b <= 8; ++b)
        for (unsigned o = 0; o < 256; ++o) f[kUserDataOffset + (b - 5) * 256 + o] = Settings::UserByte(b, o);
    return f;
}

namespace {

// The bootloader's part of a run, from log line `from` on: erase, every chunk written in
// order, every chunk read in order, leave; then the flash against what it must hold.
void JudgeBootloader(const std::vector<std::string>& log, std::size_t from, const std::vector<std::uint8_t>& flash,
                     const std::vector<std::uint8_t>& raw, const std::vector<std::uint8_t>& expected, std::vector<std::string>& bad)
{
    std::vector<std::string> isp;
    for (std::size_t i = from; i < log.size(); ++i) {
        if (log[i].rfind("isp ", 0) == 0) isp.push_back(log[i]);
        if (log[i] == "isp leave") break;
    }
    const std::size_t chunks = (raw.size() + kChunk - 1) / kChunk;
    std::vector<std::string> want;
    want.push_back("isp erase");
    for (std::size_t c = 0; c < chunks; ++c) want.push_back("isp write " + Hex4(c * kChunk));
    for (std::size_t c = 0; c < chunks; ++c) want.push_back("isp read " + Hex4(c * kChunk));
    want.push_back("isp leave");
    if (isp != want) {
        std::size_t k = 0;
        while (k < isp.size() && k < want.size() && isp[k] == want[k]) ++k;
        std::ostringstream m;
        m << "bootloader commands differ from erase, " << chunks << " writes, " << chunks << " reads, leave: at command "
          << k + 1 << " expected '" << (k < want.size() ? want[k] : "(nothing)") << "', saw '"
          << (k < isp.size() ? isp[k] : "(nothing)") << "' (" << isp.size() << " commands in all)";
        bad.push_back(m.str());
    }
    if (flash.size() != expected.size()) {
        bad.push_back("the flash dump has " + std::to_string(flash.size()) + " bytes, not " + std::to_string(expected.size()));
    } else {
        std::size_t diff = 0, first = 0;
        for (std::size_t k = expected.size(); k-- > 0;)
            if (flash[k] != expected[k]) {
                ++diff;
                first = k;
            }
        if (diff) {
            char m[160];
            std::snprintf(m, sizeof m, "the flash differs from the image in %zu bytes, first at 0x%04zX (0x%02X, expected 0x%02X)",
                          diff, first, flash[first], expected[first]);
            bad.push_back(m);
        }
    }
}

bool RawFits(const std::vector<std::uint8_t>& raw, std::vector<std::string>& bad)
{
    if (raw.size() >= kDeviceIdOffset + 6 && raw.size() <= kFlashSize) return true;
    bad.push_back("the raw image has " + std::to_string(raw.size()) + " bytes, which no run can flash");
    return false;
}

} // namespace

std::vector<std::string> Judge(const std::vector<std::string>& log, const std::vector<std::uint8_t>& flash,
                               const std::vector<std::uint8_t>& raw, const Settings& s)
{
    std::vector<std::string> bad;
    if (!RawFits(raw, bad)) return bad;
    // Application mode: everything before the mouse left for its bootloader.
    std::size_t i = 0;
    bool programInfo = false, deviceId = false, switchRequest = false;
    std::set<std::string> userSteps;
    for (; i < log.size() && log[i] != "switch"; ++i) {
        const std::string& l = log[i];
        if (l == "app 23") programInfo = true;
        else if (l == "app 31") deviceId = true;
        else if (l.rfind("app 02 ", 0) == 0) userSteps.insert(l);
        else if (l == "string FF lang 4D21") switchRequest = true;
    }
    if (!programInfo) bad.push_back("the mouse was never asked for its program info");
    if (!deviceId) bad.push_back("the mouse was never asked for its device ID");
    for (unsigned b = 5; b <= 8; ++b) {
        unsigned missing = 0;
        for (unsigned o = 0; o < 256; o += 4)
            if (!userSteps.count("app 02 block " + std::to_string(b) + " offset " + std::to_string(o) + " count 4")) ++missing;
        if (missing) bad.push_back("user-data block " + std::to_string(b) + ": " + std::to_string(missing) + " of 64 steps never asked");
    }
    if (!switchRequest) bad.push_back("the string request 0xFF with language 0x4D21 never came");
    if (i == log.size()) {
        bad.push_back("the mouse never left for its bootloader");
        return bad;
    }
    JudgeBootloader(log, i + 1, flash, raw, ExpectedFlash(raw, s), bad);
    return bad;
}

std::vector<std::uint8_t> ExpectedRecoveredFlash(const std::vector<std::uint8_t>& raw, const Settings& s)
{
    std::vector<std::uint8_t> f(kFlashSize, 0xFF);
    std::copy(raw.begin(), raw.begin() + static_cast<long>(std::min(raw.size(), kFlashSize)), f.begin());
    for (int i = 0; i < 6; ++i) f[kDeviceIdOffset + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(s.deviceId >> (8 * i));
    return f;
}

std::vector<std::string> JudgeRecovery(const std::vector<std::string>& log, const std::vector<std::uint8_t>& flash,
                                       const std::vector<std::uint8_t>& raw, const Settings& s)
{
    std::vector<std::string> bad;
    if (!RawFits(raw, bad)) return bad;
    for (const auto& l : log)
        if (l.rfind("app ", 0) == 0 || l.rfind("string ", 0) == 0) {
            bad.push_back("a device found in its bootloader saw an application-mode request: " + l);
            break;
        }
    JudgeBootloader(log, 0, flash, raw, ExpectedRecoveredFlash(raw, s), bad);
    return bad;
}

std::vector<std::string> JudgeListing(const std::vector<std::string>& log)
{
    std::vector<std::string> bad;
    const auto asked = [&](const char* line) { return std::count(log.begin(), log.end(), std::string(line)); };
    const struct {
        const char* line;
        const char* what;
    } once[] = {{"app 23", "program info"}, {"app 31", "device ID"}};
    for (const auto& o : once) {
        const auto n = asked(o.line);
        if (n == 0) bad.push_back(std::string("the mouse was never asked for its ") + o.what);
        else if (n > 1)
            bad.push_back(std::string("the mouse was asked for its ") + o.what + " " + std::to_string(n) +
                          " times: a request was sent again as if its write or its reply had been lost");
    }
    for (const auto& l : log)
        if (l != "app 23" && l != "app 31" && (l.rfind("app ", 0) == 0 || l.rfind("string FF", 0) == 0 || l.rfind("isp ", 0) == 0 || l == "switch"))
            bad.push_back("a listing must only ask, but the mouse saw: " + l);
    return bad;
}

} // namespace kmouse
