// The application-mode request exchange against the simulated mouse: decoding, retries,
// echoes, lengths, late and duplicated replies, busy refusal, user-data steps, 0x06 reports.
#include <atomic>
#include <chrono>
#include <thread>

#include "DeviceTestUtil.h"
#include "device/QL40USBComm.h"
#include "platform/Kernel.h"

using testutil::PumpUntil;
using testutil::RecordingWindow;
using testutil::SimTest;
using testutil::WaitFor;

namespace {

class AppTest : public SimTest
{
protected:
    void SetUp() override
    {
        SimTest::SetUp();
        sim::MouseSettings s;
        s.programId = 0xBEEF1234;
        s.version = 3;
        s.deviceId = 0xA1B2C3D4E5F6ull;
        world.SetMouseSettings(s);
        world.PlugMouse();
        CString path;
        ASSERT_TRUE(comm.FindDevice(path));
        ASSERT_EQ(comm.Open(path), 0);
        world.ClearLogs();
    }
    std::vector<std::vector<BYTE>> Requests()
    {
        std::vector<std::vector<BYTE>> r;
        for (auto& l : world.ReportLog())
            if (l.kind == sim::LoggedReport::Output) r.push_back(l.bytes);
        return r;
    }
    void Fault(const std::function<void(sim::Faults&)>& set)
    {
        sim::Faults f;
        set(f);
        world.SetFaults(f);
    }
    void TearDown() override
    {
        comm.Close(); // while the clock is still fast
        SimTest::TearDown();
    }
    CQL40USBComm comm;
};

} // namespace

TEST_F(AppTest, RequestsDecodeTheirReplies)
{
    BYTE version = 0;
    DWORD programId = 0;
    ASSERT_TRUE(comm.GetProgramInfo(version, programId));
    EXPECT_EQ(programId, 0xBEEF1234u);
    EXPECT_EQ(version, 3);
    ULONGLONG id = 0;
    ASSERT_TRUE(comm.GetDeviceID(id));
    EXPECT_EQ(id, 0xA1B2C3D4E5F6ull);
    EXPECT_LT(id, 1ull << 48);

    auto req = Requests();
    ASSERT_EQ(req.size(), 2u);
    // Report ID 0xBA, then the 7 request bytes, padded to the output report length.
    EXPECT_EQ(req[0], (std::vector<BYTE>{0xBA, 0x23, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(req[1], (std::vector<BYTE>{0xBA, 0x31, 0, 0, 0, 0, 0, 0}));
}

// The reply wakes the request at once: it does not sit out the time-out it was given. (A
// request that waited every time would make a user-data block take over a minute.)
TEST_F(AppTest, AReplyEndsTheWaitAtOnce)
{
    platform::SetTimeScale(10.0); // the 1-s time-out lasts 10 s
    const auto t0 = std::chrono::steady_clock::now();
    BYTE version = 0;
    DWORD programId = 0;
    const bool ok = comm.GetProgramInfo(version, programId);
    const auto took = std::chrono::steady_clock::now() - t0;
    platform::SetTimeScale(kScale);
    EXPECT_TRUE(ok);
    EXPECT_LT(took, std::chrono::seconds(5));
    EXPECT_EQ(Requests().size(), 1u);
}

TEST_F(AppTest, UserDataBlockTakes64StepsOf4Bytes)
{
    BYTE buf[256];
    ASSERT_TRUE(comm.ReadUserData(6, buf));
    auto expected = world.GetMouseSettings().userData[6];
    EXPECT_TRUE(std::equal(buf, buf + 256, expected.begin()));
    auto req = Requests();
    ASSERT_EQ(req.size(), 64u);
    for (std::size_t k = 0; k < 64; ++k) EXPECT_EQ(req[k], (std::vector<BYTE>{0xBA, 0x02, static_cast<BYTE>(k * 4), 4, 6, 0, 0, 0}));
    // Nowhere to put it: refused before anything is asked.
    world.ClearLogs();
    EXPECT_FALSE(comm.ReadUserData(6, nullptr));
    EXPECT_TRUE(Requests().empty());
}

TEST_F(AppTest, LostRepliesAreRetriedUpToThreeWrites)
{
    Fault([](sim::Faults& f) { f.lostReplies = 2; });
    BYTE v = 0;
    DWORD pid = 0;
    ASSERT_TRUE(comm.GetProgramInfo(v, pid));
    EXPECT_EQ(world.GetCounters().outputReports, 3);

    Fault([](sim::Faults& f) { f.lostReplies = 3; });
    world.ClearLogs();
    v = 0x55;
    pid = 0x66;
    EXPECT_FALSE(comm.GetProgramInfo(v, pid));
    EXPECT_EQ(world.GetCounters().outputReports, 3);
    EXPECT_EQ(v, 0x55); // untouched on failure
    EXPECT_EQ(pid, 0x66u);

    // A failed send counts as an attempt and is retried at once.
    Fault([](sim::Faults& f) { f.failRequest = 1; });
    world.ClearLogs();
    ULONGLONG id = 7;
    ASSERT_TRUE(comm.GetDeviceID(id));
    EXPECT_EQ(world.GetCounters().outputReports, 2);
}

TEST_F(AppTest, RepliesWithTheWrongCommandOrLengthAreIgnored)
{
    Fault([](sim::Faults& f) { f.wrongCommandEcho = true; });
    ULONGLONG id = 42;
    EXPECT_FALSE(comm.GetDeviceID(id));
    EXPECT_EQ(id, 42u);
    EXPECT_EQ(world.GetCounters().outputReports, 3);

    for (int len : {7, 9, 64}) {
        Fault([len](sim::Faults& f) { f.replyLength = len; });
        BYTE v = 0;
        DWORD pid = 0;
        EXPECT_FALSE(comm.GetProgramInfo(v, pid)) << len;
    }
    // Nothing of those is left to disturb the next request.
    Fault([](sim::Faults&) {});
    BYTE v = 0;
    DWORD pid = 0;
    EXPECT_TRUE(comm.GetProgramInfo(v, pid));
    EXPECT_EQ(pid, 0xBEEF1234u);
}

TEST_F(AppTest, AnotherCommandsReplyDoesNotDisturbAPendingRequest)
{
    // Device-ID replies come back as program info: the request keeps waiting and fails.
    Fault([](sim::Faults& f) { f.deviceIdWrongEcho = true; });
    ULONGLONG id = 1;
    EXPECT_FALSE(comm.GetDeviceID(id));
    EXPECT_EQ(id, 1u);
    // An unsolicited report with a known command while a request waits is not its reply.
    world.SendInputReport({0xBA, 0x31, 1, 2, 3, 4, 5, 6});
    BYTE v = 0;
    DWORD pid = 0;
    Fault([](sim::Faults&) {});
    ASSERT_TRUE(comm.GetProgramInfo(v, pid));
    EXPECT_EQ(pid, 0xBEEF1234u);
}

TEST_F(AppTest, UserDataStepsFailOnAWrongOffsetOrAMissingReply)
{
    BYTE buf[256] = {};
    Fault([](sim::Faults& f) { f.wrongOffsetAtRequest = 10; });
    EXPECT_FALSE(comm.ReadUserData(5, buf));
    EXPECT_EQ(world.GetCounters().outputReports, 10); // stops at the bad step
    auto expected = world.GetMouseSettings().userData[5];
    EXPECT_TRUE(std::equal(buf, buf + 36, expected.begin())); // the nine steps before
    EXPECT_EQ(buf[36], 0);

    Fault([](sim::Faults& f) { f.silentFromRequest = 1; });
    world.ClearLogs();
    EXPECT_FALSE(comm.ReadUserData(5, buf));
    EXPECT_EQ(world.GetCounters().outputReports, 3); // the first step, three attempts

    Fault([](sim::Faults& f) { f.silentFromRequest = 41; });
    world.ClearLogs();
    EXPECT_FALSE(comm.ReadUserData(5, buf));
    EXPECT_EQ(world.GetCounters().outputReports, 43); // 40 good steps, then one with 3 tries

    world.ClearLogs();
    EXPECT_FALSE(comm.ReadUserData(5, nullptr)); // nowhere to put it: no request at all
    EXPECT_EQ(world.GetCounters().outputReports, 0);
}

TEST_F(AppTest, LateRepliesAndALeftoverSignal)
{
    platform::SetTimeScale(0.25); // wide margins between the waits and the replies
    // Replies that arrive after all three waits have given up are dropped.
    Fault([](sim::Faults& f) { f.replyDelayMs = 3500; });
    BYTE v = 0;
    DWORD pid = 0;
    EXPECT_FALSE(comm.GetProgramInfo(v, pid));
    ASSERT_TRUE(WaitFor([&] { return world.GetCounters().repliesRead == 3; }));
    HANDLE ev = CreateEventW(nullptr, FALSE, FALSE, u"QL40_REPLY_EVENT"); // the same object
    EXPECT_FALSE(platform::IsSignaled(ev));

    // A reply that misses its own wait is still taken by the next wait of the same request.
    Fault([](sim::Faults& f) { f.replyDelayMs = 1500; });
    world.ClearLogs();
    ULONGLONG id = 0;
    ASSERT_TRUE(comm.GetDeviceID(id));
    EXPECT_EQ(id, 0xA1B2C3D4E5F6ull);
    EXPECT_EQ(world.GetCounters().outputReports, 2);
    ASSERT_TRUE(WaitFor([&] { return world.GetCounters().repliesRead == 2; }));

    // A signal left in the auto-reset event ends the next request's first wait at once,
    // empty-handed; the second attempt gets the reply.
    SetEvent(ev);
    Fault([](sim::Faults& f) { f.replyDelayMs = 300; });
    world.ClearLogs();
    ASSERT_TRUE(comm.GetDeviceID(id));
    EXPECT_EQ(world.GetCounters().outputReports, 2);
    CloseHandle(ev);
}

TEST_F(AppTest, DuplicatedRepliesDoNotBreakTheNextRequest)
{
    // A second copy is either taken again by its own request or dropped, and at worst leaves
    // the event signalled, which costs the next request one attempt.
    Fault([](sim::Faults& f) { f.duplicateReplies = true; });
    for (int i = 0; i < 5; ++i) {
        ULONGLONG id = 0;
        ASSERT_TRUE(comm.GetDeviceID(id));
        EXPECT_EQ(id, 0xA1B2C3D4E5F6ull);
        BYTE v = 0;
        DWORD pid = 0;
        ASSERT_TRUE(comm.GetProgramInfo(v, pid));
        EXPECT_EQ(pid, 0xBEEF1234u);
    }
}

TEST_F(AppTest, ASecondCallerIsRefusedWhileARequestIsInProgress)
{
    Fault([](sim::Faults& f) { f.replyDelayMs = 600; });
    std::atomic<bool> firstOk{false};
    std::thread first([&] {
        BYTE v = 0;
        DWORD pid = 0;
        firstOk = comm.GetProgramInfo(v, pid);
    });
    ASSERT_TRUE(WaitFor([&] { return world.GetCounters().outputReports >= 1; }));
    ULONGLONG id = 0;
    EXPECT_FALSE(comm.GetDeviceID(id)); // busy: false at once, nothing sent
    BYTE buf[256];
    EXPECT_FALSE(comm.ReadUserData(5, buf));
    BYTE v = 0x77;
    DWORD pid = 0x77;
    EXPECT_FALSE(comm.GetProgramInfo(v, pid));
    EXPECT_EQ(v, 0x77);
    EXPECT_EQ(pid, 0x77u);
    first.join();
    EXPECT_TRUE(firstOk);
    EXPECT_EQ(world.GetCounters().outputReports, 1);
}

TEST_F(AppTest, TestDataReportsArePostedToTheOwnerOnly)
{
    const UINT msg = RegisterWindowMessageW(u"QL40_TEST_DATA");
    world.SendTestData(0x1234); // no owner yet: dropped
    ASSERT_TRUE(WaitFor([&] { return world.GetCounters().repliesRead == 1; }));
    RecordingWindow win;
    comm.m_hOwnerWnd = win.Hwnd();
    world.SendTestData(0xBEEF);
    world.SendInputReport({0xBA, 0x06, 0x01, 0x02, 0, 0, 0}); // 7 bytes: ignored
    world.SendTestData(0x0002);
    ASSERT_TRUE(PumpUntil([&] { return win.Got(msg).size() == 2; }));
    EXPECT_EQ(win.Got(msg)[0].wParam, 0xBEEFu);
    EXPECT_EQ(win.Got(msg)[1].wParam, 0x0002u);
    EXPECT_EQ(win.Got(msg)[0].lParam, 0);
}

// The reader is told every report was taken, whatever became of it: a reply, one with no
// request waiting, a test-data report, and what is too short, too long or absent.
TEST_F(AppTest, EveryInputReportIsTakenWhateverItHolds)
{
    const std::vector<std::vector<BYTE>> reports = {
        {0xBA, 0x01, 0, 0, 0, 0, 0, 0}, // a program-info reply, no request waiting
        {0xBA, 0x06, 0x12, 0x34, 0, 0, 0, 0},
        {0xBA, 0x06, 0x12, 0x34, 0, 0, 0},
        {0xBA, 0x06, 0x12, 0x34, 0, 0, 0, 0, 0},
        {0xBA},
    };
    for (const auto& r : reports) EXPECT_TRUE(comm.OnInputReport(r.data(), static_cast<DWORD>(r.size()))) << r.size();
    EXPECT_TRUE(comm.OnInputReport(nullptr, 8));
}

TEST_F(AppTest, RequestsFailOnceTheMouseIsGone)
{
    Fault([](sim::Faults& f) { f.unplugAfterRequest = 2; });
    BYTE buf[256];
    EXPECT_FALSE(comm.ReadUserData(5, buf));
    ULONGLONG id = 0;
    EXPECT_FALSE(comm.GetDeviceID(id));
    EXPECT_EQ(comm.Close(), 0);
    EXPECT_EQ(comm.Close(), 0); // nothing left to close is no failure
    EXPECT_FALSE(comm.GetDeviceID(id));
    EXPECT_FALSE(comm.ReadUserData(5, buf));
    BYTE v = 0;
    DWORD pid = 0;
    EXPECT_FALSE(comm.GetProgramInfo(v, pid));
}

TEST(HidReport, MakeHIDReportPadsToTheOutputLengthAndRefusesOverflow)
{
    CHIDComm comm; // nothing open: no padding
    HID_REPORT r;
    const BYTE data[7] = {1, 2, 3, 4, 5, 6, 7};
    ASSERT_EQ(comm.MakeHIDReport(data, 7, &r, 0xBA), 0);
    EXPECT_EQ(r.Length, 8);
    EXPECT_EQ(r.Data[0], 0xBA);
    EXPECT_EQ(r.Data[7], 7);
    EXPECT_EQ(r.Data[8], 0);
    // Nothing to fill, or nothing to copy from: refused, not a crash.
    EXPECT_EQ(comm.MakeHIDReport(data, 7, nullptr, 0xBA), -1);
    EXPECT_EQ(comm.MakeHIDReport(nullptr, 7, &r, 0xBA), -1);
    BYTE big[65] = {};
    EXPECT_EQ(comm.MakeHIDReport(big, 65, &r, 0), -1);
    EXPECT_EQ(comm.MakeHIDReport(big, 64, &r, 0), 0);
    EXPECT_EQ(r.Length, 65);
}
