// The bootloader protocol against the simulated bootloader: chunking, padding, counts,
// offsets, command reports, refusals and every bootloader fault.
#include <algorithm>
#include <numeric>

#include "DeviceTestUtil.h"
#include "device/DunX4ISPUSBComm.h"

using testutil::SimTest;

namespace {

class IspTest : public SimTest
{
protected:
    void SetUp() override
    {
        SimTest::SetUp();
        world.PlugMouse();
        world.EnterBootloader();
        world.ClearLogs();
    }
    bool OpenIsp()
    {
        CString path;
        return isp.FindDevice(path) && isp.Open(path) == 0;
    }
    std::vector<std::vector<BYTE>> Sent()
    {
        std::vector<std::vector<BYTE>> r;
        for (auto& l : world.ReportLog())
            if (l.kind == sim::LoggedReport::FeatureSet) r.push_back(l.bytes);
        return r;
    }
    static std::vector<BYTE> Pattern(std::size_t n, int seed = 1)
    {
        std::vector<BYTE> v(n);
        for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<BYTE>((i * 7 + static_cast<std::size_t>(seed)) & 0xFF);
        return v;
    }
    CDunX4ISPUSBComm isp;
};

} // namespace

TEST_F(IspTest, WriteOf100BytesSendsFourPaddedChunks)
{
    ASSERT_TRUE(OpenIsp());
    auto data = Pattern(100);
    DWORD written = 12345;
    ASSERT_TRUE(isp.WriteFlash(data.data(), 100, written));
    EXPECT_EQ(written, 100u);
    auto sent = Sent();
    ASSERT_EQ(sent.size(), 4u);
    for (std::size_t k = 0; k < 4; ++k) {
        const auto& r = sent[k];
        ASSERT_EQ(r.size(), 65u);
        EXPECT_EQ(r[0], 0);
        EXPECT_EQ(r[1], 0xA8);
        EXPECT_EQ((r[2] << 8) | r[3], static_cast<int>(k * 32));
        for (int b = 4; b <= 8; ++b) EXPECT_EQ(r[static_cast<std::size_t>(b)], 0);
        for (int b = 41; b < 65; ++b) EXPECT_EQ(r[static_cast<std::size_t>(b)], 0);
    }
    // The last chunk: 4 data bytes, then 0xFF up to byte 40.
    for (int b = 0; b < 4; ++b) EXPECT_EQ(sent[3][9 + static_cast<std::size_t>(b)], data[96 + static_cast<std::size_t>(b)]);
    for (int b = 13; b <= 40; ++b) EXPECT_EQ(sent[3][static_cast<std::size_t>(b)], 0xFF);
    auto flash = world.Flash();
    EXPECT_TRUE(std::equal(data.begin(), data.end(), flash.begin()));
}

TEST_F(IspTest, OffsetsGoHighByteFirstAcrossTheWholeFlash)
{
    ASSERT_TRUE(OpenIsp());
    auto data = Pattern(65536, 3);
    DWORD written = 0, read = 0;
    ASSERT_TRUE(isp.WriteFlash(data.data(), 65536, written));
    EXPECT_EQ(written, 65536u);
    auto sent = Sent();
    ASSERT_EQ(sent.size(), 2048u);
    // 0x1220 is chunk 145: byte 2 = 0x12, byte 3 = 0x20.
    EXPECT_EQ(sent[0x1220 / 32][2], 0x12);
    EXPECT_EQ(sent[0x1220 / 32][3], 0x20);
    EXPECT_EQ(sent.back()[2], 0xFF);
    EXPECT_EQ(sent.back()[3], 0xE0);
    std::vector<BYTE> back(65536);
    world.ClearLogs();
    ASSERT_TRUE(isp.ReadFlash(back.data(), 65536, read));
    EXPECT_EQ(read, 65536u);
    EXPECT_EQ(back, data);
    EXPECT_EQ(world.GetCounters().readReports, 2048); // not one chunk past the end
    EXPECT_EQ(world.GetCounters().featureGets, 2048);
}

TEST_F(IspTest, ReadOf100BytesCopiesThePartsAsked)
{
    auto image = Pattern(200, 9);
    world.SetFlash(image);
    ASSERT_TRUE(OpenIsp());
    std::vector<BYTE> buf(100 + 8, 0xEE); // guard bytes after the buffer stay untouched
    DWORD read = 0;
    ASSERT_TRUE(isp.ReadFlash(buf.data(), 100, read));
    EXPECT_EQ(read, 100u);
    EXPECT_TRUE(std::equal(buf.begin(), buf.begin() + 100, image.begin()));
    for (std::size_t i = 100; i < buf.size(); ++i) EXPECT_EQ(buf[i], 0xEE);
    auto c = world.GetCounters();
    EXPECT_EQ(c.readReports, 4);
    EXPECT_EQ(c.featureGets, 4);
}

TEST_F(IspTest, EmptySizesSendNothing)
{
    ASSERT_TRUE(OpenIsp());
    DWORD n = 99;
    EXPECT_TRUE(isp.WriteFlash(nullptr, 0, n));
    EXPECT_EQ(n, 0u);
    n = 99;
    EXPECT_TRUE(isp.ReadFlash(nullptr, 0, n));
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(world.GetCounters().featureSets, 0);
}

TEST_F(IspTest, EraseAndLeaveCarryOnlyTheirCommand)
{
    ASSERT_TRUE(OpenIsp());
    world.SetFlash(Pattern(64));
    ASSERT_TRUE(isp.EraseFlash());
    EXPECT_EQ(world.Flash()[0], 0xFF);
    ASSERT_TRUE(isp.ResetDevice());
    auto sent = Sent();
    ASSERT_EQ(sent.size(), 2u);
    for (std::size_t k = 0; k < 2; ++k) {
        ASSERT_EQ(sent[k].size(), 65u);
        for (std::size_t b = 0; b < 65; ++b) EXPECT_EQ(sent[k][b], b == 1 ? (k ? 0xA9 : 0xA7) : 0) << "byte " << b;
    }
    EXPECT_EQ(world.GetMouseMode(), sim::MouseMode::Leaving);
}

TEST_F(IspTest, FailuresStopAndCountWhatWasDone)
{
    ASSERT_TRUE(OpenIsp());
    auto data = Pattern(200);
    sim::Faults f;
    f.failWriteChunk = 3;
    world.SetFaults(f);
    DWORD written = 0;
    EXPECT_FALSE(isp.WriteFlash(data.data(), 200, written));
    EXPECT_EQ(written, 64u);
    EXPECT_EQ(world.GetCounters().writeReports, 3); // nothing retried, nothing after

    // A report the device counts short is a failed one, even though it took it.
    f = sim::Faults();
    f.shortWriteChunk = 2;
    world.SetFaults(f);
    const int before = world.GetCounters().writeReports;
    EXPECT_FALSE(isp.WriteFlash(data.data(), 200, written));
    EXPECT_EQ(written, 32u);
    EXPECT_EQ(world.GetCounters().writeReports - before, 2);

    f = sim::Faults();
    f.failReadChunk = 2;
    world.SetFaults(f);
    std::vector<BYTE> buf(200);
    DWORD read = 0;
    EXPECT_FALSE(isp.ReadFlash(buf.data(), 200, read));
    EXPECT_EQ(read, 32u);

    f = sim::Faults();
    f.failErase = true;
    f.failLeave = true;
    world.SetFaults(f);
    EXPECT_FALSE(isp.EraseFlash());
    EXPECT_FALSE(isp.ResetDevice());

    f = sim::Faults();
    f.corruptReadBack = true;
    world.SetFaults(f);
    ASSERT_TRUE(isp.WriteFlash(data.data(), 200, written));
    ASSERT_TRUE(isp.ReadFlash(buf.data(), 200, read));
    EXPECT_NE(buf, data); // the read succeeds; the comparison finds the difference
}

TEST_F(IspTest, UnplugDuringAWriteFailsTheWriteAndEveryLaterCommand)
{
    ASSERT_TRUE(OpenIsp());
    sim::Faults f;
    f.unplugAfterIspReport = 5;
    world.SetFaults(f);
    auto data = Pattern(1024);
    DWORD written = 0;
    EXPECT_FALSE(isp.WriteFlash(data.data(), 1024, written));
    EXPECT_EQ(written, 160u); // five chunks went through
    EXPECT_FALSE(isp.EraseFlash());
    HID_ATTRIBUTES_CAPABILITES rec;
    EXPECT_FALSE(isp.GetHIDAttCap(&rec));
}

TEST_F(IspTest, NotOpenAndOversizedRequestsAreRefusedWithoutSending)
{
    DWORD n = 77;
    auto data = Pattern(65537);
    EXPECT_FALSE(isp.EraseFlash());
    EXPECT_FALSE(isp.ResetDevice());
    EXPECT_FALSE(isp.WriteFlash(data.data(), 10, n));
    EXPECT_EQ(n, 77u); // not open: the count is not touched
    EXPECT_FALSE(isp.ReadFlash(data.data(), 10, n));
    EXPECT_EQ(n, 77u);

    ASSERT_TRUE(OpenIsp());
    // Offsets have 16 bits: 65537 bytes would wrap onto the start of the flash.
    EXPECT_FALSE(isp.WriteFlash(data.data(), 65537, n));
    EXPECT_EQ(n, 0u);
    EXPECT_FALSE(isp.ReadFlash(data.data(), 65537, n));
    EXPECT_EQ(world.GetCounters().featureSets, 0);
}

TEST_F(IspTest, FeatureReportLengthsThatCannotHoldTheLayoutAreRefused)
{
    for (USHORT len : {USHORT(40), USHORT(66), USHORT(8)}) {
        sim::Faults f;
        f.ispFeatureLength = len;
        world.SetFaults(f);
        EXPECT_FALSE(OpenIsp()) << len;
        EXPECT_FALSE(isp.IsOpen());
    }
    sim::Faults f;
    f.ispFeatureLength = 41;
    world.SetFaults(f);
    ASSERT_TRUE(OpenIsp());
    auto data = Pattern(40);
    DWORD written = 0, read = 0;
    ASSERT_TRUE(isp.WriteFlash(data.data(), 40, written));
    std::vector<BYTE> back(40);
    ASSERT_TRUE(isp.ReadFlash(back.data(), 40, read));
    EXPECT_EQ(back, data);
    EXPECT_EQ(Sent().front().size(), 41u);
}

namespace {

// The path of the bootloader on portPath, empty if none.
CString BootloaderOn(const std::string& portPath)
{
    for (const auto& d : CDunX4ISPUSBComm::ListBootloaders())
        if (d.portPath == portPath) return CString::FromUtf8(d.path);
    return CString();
}

} // namespace

// A bootloader another program holds: its open says access denied, which the run reports as
// such, and nothing stays open.
TEST_F(IspTest, ABootloaderHeldElsewhereIsRefusedAsAccessDenied)
{
    sim::Faults f;
    f.ispHeld = 2;
    world.SetFaults(f);
    const auto found = CDunX4ISPUSBComm::ListBootloaders();
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(isp.Open(CString::FromUtf8(found[0].path)), static_cast<long>(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(isp.IsOpen());
}

// A bootloader is listed once however many collections it shows, and only a device with both
// the bootloader's vendor and product is one.
TEST_F(IspTest, EachBootloaderIsListedOnceAndNoOtherDevice)
{
    const std::string mine = world.MousePortPath();
    const WORD vid = CDunX4ISPUSBComm::kVendorID, pid = CDunX4ISPUSBComm::kProductID;
    world.AddHidInterface(vid, pid, 0xFF01, 65, mine); // a second collection of the same device
    world.AddHidInterface(vid, pid + 1, 0xFF00, 65, "1-5");
    world.AddHidInterface(vid + 1, pid, 0xFF00, 65, "1-6");
    world.AddHidInterface(vid, pid, 0xFF00, 65, "1-4");
    std::vector<std::string> ports;
    for (const auto& d : CDunX4ISPUSBComm::ListBootloaders()) ports.push_back(d.portPath);
    std::sort(ports.begin(), ports.end());
    EXPECT_EQ(ports, (std::vector<std::string>{mine, "1-4"})); // mine is "1-1"
}

// Once a run has switched a mouse, only the bootloader on that mouse's port may be written:
// another mouse's bootloader is neither opened for the run nor kept open from before.
TEST_F(IspTest, ABindingKeepsOnlyTheBootloaderOnItsPort)
{
    const std::string mine = world.MousePortPath(), other = "1-4";
    world.AddHidInterface(CDunX4ISPUSBComm::kVendorID, CDunX4ISPUSBComm::kProductID, 0xFF00, 65, other);
    ASSERT_FALSE(BootloaderOn(mine).IsEmpty());
    ASSERT_FALSE(BootloaderOn(other).IsEmpty());

    struct Row {
        const char* what;
        std::string openedOn; // before the binding
        std::string bindTo;
        bool stillOpen;
    } rows[] = {
        {"the run's own bootloader stays open", mine, mine, true},
        {"another mouse's bootloader is closed", other, mine, false},
        {"an unknown port with two bootloaders present", mine, "", false},
    };
    // A bootloader closed by the binding is announced to the window as gone.
    testutil::RecordingWindow win;
    const UINT msg = RegisterWindowMessageW(u"DUNX4_ISP_DEVICE_CHANGE");
    isp.m_hOwnerWnd = win.Hwnd();
    for (const Row& r : rows) {
        isp.Unbind();
        ASSERT_EQ(isp.Open(BootloaderOn(r.openedOn)), 0) << r.what;
        const std::size_t told = win.Got(msg).size();
        isp.BindToPort(r.bindTo);
        EXPECT_EQ(isp.IsOpen(), r.stillOpen) << r.what;
        if (!r.stillOpen) {
            ASSERT_TRUE(testutil::PumpUntil([&] { return win.Got(msg).size() == told + 1; })) << r.what;
            EXPECT_EQ(win.Got(msg).back().wParam, 0u) << r.what;
            EXPECT_EQ(win.Got(msg).back().lParam, 0) << r.what;
        }
        isp.Close();
    }
    // Binding a connection that holds no device closes nothing and announces nothing.
    const std::size_t told = win.Got(msg).size();
    isp.BindToPort(other);
    const UINT sentinel = RegisterWindowMessageW(u"TEST_SENTINEL");
    PostMessageW(win.Hwnd(), sentinel, 0, 0); // delivered after anything posted before it
    ASSERT_TRUE(testutil::PumpUntil([&] { return !win.Got(sentinel).empty(); }));
    EXPECT_EQ(win.Got(msg).size(), told);
    isp.Unbind();
    isp.m_hOwnerWnd = nullptr;

    // Bound: another mouse's bootloader is refused before it is opened at all.
    isp.BindToPort(mine);
    const int opens = world.GetCounters().hidOpens;
    EXPECT_NE(isp.Open(BootloaderOn(other)), 0);
    EXPECT_EQ(world.GetCounters().hidOpens, opens);
    EXPECT_FALSE(isp.IsOpen());
    CString found;
    ASSERT_TRUE(isp.FindDevice(found));
    EXPECT_EQ(found, BootloaderOn(mine));
    EXPECT_EQ(isp.Open(found), 0);
    // No path, or an empty one, opens nothing, bound or not, and closes what was open.
    for (bool bound : {true, false}) {
        if (!bound) isp.Unbind();
        EXPECT_NE(isp.Open(nullptr), 0);
        EXPECT_FALSE(isp.IsOpen());
        EXPECT_NE(isp.Open(u""), 0);
    }
}
