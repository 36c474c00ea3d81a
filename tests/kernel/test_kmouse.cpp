// The kernel test's mouse model and its judge: a run driven the way the tool drives it must
// pass, and each way a run can go wrong must be named.
#include <gtest/gtest.h>

#include <algorithm>

#include "tests/kernel/MouseModel.h"

using namespace kmouse;

namespace {

std::vector<std::uint8_t> Raw(std::size_t n)
{
    std::vector<std::uint8_t> r(n);
    for (std::size_t i = 0; i < n; ++i) r[i] = static_cast<std::uint8_t>(i * 13 + (i >> 8));
    return r;
}

std::vector<std::uint8_t> Request(std::uint8_t cmd, std::uint8_t b1 = 0, std::uint8_t b2 = 0, std::uint8_t b3 = 0)
{
    return {kVendorReportId, cmd, b1, b2, b3, 0, 0, 0};
}

std::vector<std::uint8_t> Feature(std::uint8_t cmd, std::size_t offset, const std::uint8_t* data = nullptr, std::size_t n = 0)
{
    std::vector<std::uint8_t> f(kIspReport, 0);
    f[0] = cmd;
    f[1] = static_cast<std::uint8_t>(offset >> 8);
    f[2] = static_cast<std::uint8_t>(offset);
    if (data) {
        std::fill(f.begin() + 8, f.begin() + 40, 0xFF);
        std::copy(data, data + n, f.begin() + 8);
    }
    return f;
}

// What the tool does to the mouse in a whole upgrade, the image patched as the tool patches it.
struct Session {
    MouseModel m{Settings{}, Faults{}};
    std::vector<std::string> log;
    std::vector<std::uint8_t> readBack;

    void Take()
    {
        auto l = m.TakeLog();
        log.insert(log.end(), l.begin(), l.end());
    }
    void Application(bool allUserData = true)
    {
        m.OnOutputReport(Request(0x23).data(), 8);
        m.OnOutputReport(Request(0x31).data(), 8);
        for (std::uint8_t b = 5; b <= 8; ++b)
            for (unsigned o = 0; o < 256; o += 4)
                if (allUserData || !(b == 7 && o == 128)) m.OnOutputReport(Request(0x02, static_cast<std::uint8_t>(o), 4, b).data(), 8);
        EXPECT_TRUE(m.OnStringRequest(0xFF, 0x4D21));
        m.Note("switch");
    }
    IspAction Write(const std::vector<std::uint8_t>& image, std::size_t skipChunk = SIZE_MAX)
    {
        EXPECT_EQ(m.OnSetFeature(Feature(0xA7, 0).data(), kIspReport), IspAction::Ok);
        for (std::size_t off = 0, c = 0; off < image.size(); off += kChunk, ++c) {
            if (c == skipChunk) continue;
            IspAction pre = m.WouldRefuse();
            if (pre != IspAction::Ok) return pre;
            auto f = Feature(0xA8, off, image.data() + off, std::min(kChunk, image.size() - off));
            EXPECT_EQ(m.OnSetFeature(f.data(), kIspReport), IspAction::Ok);
        }
        return IspAction::Ok;
    }
    void ReadAndLeave(std::size_t size)
    {
        readBack.clear();
        for (std::size_t off = 0; off < size; off += kChunk) {
            m.OnSetFeature(Feature(0xAA, off).data(), kIspReport);
            std::uint8_t g[kIspReport];
            m.GetFeature(g, sizeof g);
            EXPECT_EQ(g[0], 0xAA);
            EXPECT_EQ((g[1] << 8) | g[2], static_cast<int>(off));
            readBack.insert(readBack.end(), g + 8, g + 8 + std::min(kChunk, size - off));
        }
        EXPECT_EQ(m.OnSetFeature(Feature(0xA9, 0).data(), kIspReport), IspAction::Leave);
    }
};

} // namespace

TEST(KernelMouse, RepliesCarryTheLayoutsTheToolDecodes)
{
    MouseModel m{Settings{}, Faults{}};
    auto r = m.OnOutputReport(Request(0x23).data(), 8);
    ASSERT_EQ(r.size(), 8u);
    EXPECT_EQ(r[0], 0xBA);
    EXPECT_EQ(r[1], 0x23);
    EXPECT_EQ(r[2] | (r[3] << 8) | (r[4] << 16) | (r[5] << 24), 0x00015A3C);
    EXPECT_EQ(r[6], 1);
    r = m.OnOutputReport(Request(0x31).data(), 8);
    std::uint64_t id = 0;
    for (int i = 0; i < 6; ++i) id |= static_cast<std::uint64_t>(r[2 + i]) << (8 * i);
    EXPECT_EQ(id, Settings{}.deviceId);
    r = m.OnOutputReport(Request(0x02, 252, 4, 6).data(), 8);
    EXPECT_EQ(r[2], 252);
    for (unsigned i = 0; i < 4; ++i) EXPECT_EQ(r[4 + i], Settings::UserByte(6, 252 + i));
    // Another report ID, a short report or an unknown command get no answer.
    EXPECT_TRUE(m.OnOutputReport(std::vector<std::uint8_t>{0x01, 0x23, 0, 0, 0, 0, 0, 0}.data(), 8).empty());
    EXPECT_TRUE(m.OnOutputReport(Request(0x23).data(), 7).empty());
    EXPECT_TRUE(m.OnOutputReport(Request(0x44).data(), 8).empty());
    EXPECT_FALSE(m.OnStringRequest(0xFF, 0x0409));
    EXPECT_FALSE(m.OnStringRequest(0xFE, 0x4D21));
}

TEST(KernelMouse, AWholeUpgradePassesTheJudge)
{
    Session s;
    const auto raw = Raw(0x5432);
    const auto image = ExpectedFlash(raw, Settings{}); // what the tool flashes after patching
    s.Application();
    ASSERT_EQ(s.Write(std::vector<std::uint8_t>(image.begin(), image.begin() + raw.size())), IspAction::Ok);
    s.ReadAndLeave(raw.size());
    s.Take();
    EXPECT_TRUE(std::equal(s.readBack.begin(), s.readBack.end(), image.begin()));
    EXPECT_EQ(Judge(s.log, s.m.Flash(), raw, Settings{}), std::vector<std::string>{});
}

TEST(KernelMouse, TheJudgeNamesWhatWentWrong)
{
    const auto raw = Raw(0x4200);
    const auto image = ExpectedFlash(raw, Settings{});
    const std::vector<std::uint8_t> patched(image.begin(), image.begin() + raw.size());
    {
        Session s; // one user-data step and one write chunk missing
        s.Application(false);
        s.Write(patched, 3);
        s.ReadAndLeave(raw.size());
        s.Take();
        auto bad = Judge(s.log, s.m.Flash(), raw, Settings{});
        ASSERT_EQ(bad.size(), 3u);
        EXPECT_NE(bad[0].find("block 7: 1 of 64"), std::string::npos) << bad[0];
        EXPECT_NE(bad[1].find("expected 'isp write 0060', saw 'isp write 0080'"), std::string::npos) << bad[1];
        EXPECT_NE(bad[2].find("first at 0x0060"), std::string::npos) << bad[2];
    }
    {
        Session s; // the unpatched image flashed: device ID and user data not carried over
        s.Application();
        s.Write(raw);
        s.ReadAndLeave(raw.size());
        s.Take();
        auto bad = Judge(s.log, s.m.Flash(), raw, Settings{});
        ASSERT_EQ(bad.size(), 1u);
        EXPECT_NE(bad[0].find("first at 0x3D00"), std::string::npos) << bad[0];
    }
    {
        Session s; // the mouse never asked to switch
        s.m.OnOutputReport(Request(0x23).data(), 8);
        s.Take();
        auto bad = Judge(s.log, s.m.Flash(), raw, Settings{});
        EXPECT_NE(std::find(bad.begin(), bad.end(), "the mouse never left for its bootloader"), bad.end());
        EXPECT_NE(std::find(bad.begin(), bad.end(), "the string request 0xFF with language 0x4D21 never came"), bad.end());
    }
    // A flash dump of the wrong size and an image no run can flash are reported, not read past.
    Session s;
    s.Application();
    s.Take();
    EXPECT_FALSE(Judge(s.log, std::vector<std::uint8_t>(10), raw, Settings{}).empty());
    EXPECT_EQ(Judge(s.log, s.m.Flash(), Raw(100), Settings{}).size(), 1u);
}

TEST(KernelMouse, WriteFaultsStrikeTheChunkAskedFor)
{
    const auto raw = Raw(0x4200);
    {
        Session s;
        s.m = MouseModel{Settings{}, Faults{false, 5, -1}};
        EXPECT_EQ(s.m.WouldRefuse(), IspAction::Ok); // before the erase nothing is refused
        s.Application();
        EXPECT_EQ(s.Write(raw), IspAction::Refuse);
        s.Take();
        EXPECT_EQ(std::count_if(s.log.begin(), s.log.end(), [](const std::string& l) { return l.rfind("isp write", 0) == 0; }), 5);
    }
    Session s;
    s.m = MouseModel{Settings{}, Faults{false, -1, 0}};
    s.Application();
    EXPECT_EQ(s.Write(raw), IspAction::Unplug);
}

TEST(KernelMouse, FlashKeepsOldBitsWithoutAnErase)
{
    // Flash clears bits only: writing over unerased data does not give the data back, so a
    // run that skipped the erase cannot pass the judge by accident.
    MouseModel m{Settings{}, Faults{}};
    const std::uint8_t old = m.Flash()[0];
    std::uint8_t data[kChunk];
    std::fill(data, data + kChunk, 0xFF);
    m.OnSetFeature(Feature(0xA8, 0, data, kChunk).data(), kIspReport);
    EXPECT_EQ(m.Flash()[0], old);
    m.OnSetFeature(Feature(0xA7, 0).data(), kIspReport);
    data[0] = 0x12;
    m.OnSetFeature(Feature(0xA8, 0, data, kChunk).data(), kIspReport);
    EXPECT_EQ(m.Flash()[0], 0x12);
    EXPECT_EQ(m.OnSetFeature(Feature(0xA8, 0).data(), 63), IspAction::Refuse);
}

TEST(KernelMouse, ARecoveryIsJudgedFromTheBootloaderAlone)
{
    const auto raw = Raw(0x4200);
    const Settings s{0x00015A3C, 1, 0x5EED0000C0DEull};
    const auto image = ExpectedRecoveredFlash(raw, s);
    const std::vector<std::uint8_t> patched(image.begin(), image.begin() + raw.size());
    // The device ID at 0x4100; where user data would go, the image's own bytes.
    EXPECT_EQ(image[kDeviceIdOffset], 0xDE);
    EXPECT_EQ(image[kDeviceIdOffset + 5], 0x5E);
    EXPECT_EQ(image[kUserDataOffset], raw[kUserDataOffset]);
    struct Row {
        const char* what;
        const std::vector<std::uint8_t>* flashed;
        std::size_t skipChunk;
        bool application; // asked in application mode first
        const char* fault; // empty: passes
    } rows[] = {
        {"recovered", &patched, SIZE_MAX, false, ""},
        {"the device ID left out", &raw, SIZE_MAX, false, "first at 0x4100"},
        {"a chunk skipped", &patched, 3, false, "expected 'isp write 0060', saw 'isp write 0080'"},
        {"application-mode requests", &patched, SIZE_MAX, true, "saw an application-mode request: app 23"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        Session x;
        x.m = MouseModel{s, Faults{}};
        if (r.application) x.m.OnOutputReport(Request(0x23).data(), 8);
        x.Write(*r.flashed, r.skipChunk);
        x.ReadAndLeave(raw.size());
        x.Take();
        const auto bad = JudgeRecovery(x.log, x.m.Flash(), raw, s);
        if (!*r.fault) {
            EXPECT_EQ(bad, std::vector<std::string>{});
            continue;
        }
        ASSERT_FALSE(bad.empty());
        EXPECT_NE(bad[0].find(r.fault), std::string::npos) << bad[0];
    }
    // Nothing done at all, and an image no run can flash.
    EXPECT_FALSE(JudgeRecovery({}, MouseModel{s, Faults{}}.Flash(), raw, s).empty());
    EXPECT_EQ(JudgeRecovery({}, image, Raw(100), s).size(), 1u);
}

TEST(KernelMouse, AListingAsksOnceAndDoesNothingElse)
{
    using Log = std::vector<std::string>;
    struct Row {
        const char* what;
        Log log;
        const char* fault;
    } rows[] = {
        {"asked once each", {"app 23", "app 31", "string 02 lang 0409"}, ""},
        // A write counted as failed by its byte count is sent again at once, before the reply.
        {"program info sent three times", {"app 23", "app 23", "app 23"}, "program info 3 times"},
        {"device ID never asked", {"app 23"}, "never asked for its device ID"},
        {"user data read", {"app 23", "app 31", "app 02 block 5 offset 0 count 4"}, "only ask, but the mouse saw: app 02"},
        {"switched", {"app 23", "app 31", "string FF lang 4D21", "switch"}, "string FF lang 4D21"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        const auto bad = JudgeListing(r.log);
        if (!*r.fault) {
            EXPECT_EQ(bad, std::vector<std::string>{});
            continue;
        }
        ASSERT_FALSE(bad.empty());
        EXPECT_NE(bad[0].find(r.fault), std::string::npos) << bad[0];
    }
}
