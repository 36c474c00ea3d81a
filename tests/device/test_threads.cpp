// CThread, presence polling with both filters, posted device messages, PumpWait.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <memory>

#if defined(__GLIBC__)
#include <pthread.h>
#include <sys/resource.h>
#endif

#include "DeviceTestUtil.h"
#include "device/DunX4ISPUSBComm.h"
#include "device/PresencePoll.h"
#include "device/PumpWait.h"
#include "device/QL40USBComm.h"
#include "platform/Kernel.h"

using testutil::PumpUntil;
using testutil::RecordingWindow;
using testutil::SimTest;
using testutil::WaitFor;

namespace {

class CountingThread : public CThread
{
public:
    std::atomic<int> runs{0}, notifies{0};
    std::atomic<bool> endNow{false}, finished{false};
    std::atomic<bool> ignoreStop{false};
    DWORD ignoreForMs = 0;
    unsigned Run() override
    {
        ++runs;
        if (ignoreStop) {
            Sleep(ignoreForMs); // a body stuck in a long step
            finished = true;
            return 7;
        }
        while (!IsStopRequested() && !endNow) Sleep(10);
        finished = true;
        return 0;
    }
    void NotifyStop() override { ++notifies; }
    using CThread::IsStopRequested;
};

} // namespace

TEST_F(SimTest, ThreadStartStopAndRestart)
{
    CountingThread t;
    EXPECT_TRUE(t.Stop()); // nothing running: true, no hook
    EXPECT_EQ(t.notifies, 0);

    [[maybe_unused]] const DWORD handles = OpenHandleCount();
    t.Start();
    t.Start(); // already running: ignored
    ASSERT_TRUE(WaitFor([&] { return t.runs == 1; }));
    EXPECT_TRUE(t.IsRunning());
    EXPECT_TRUE(t.Stop());
    EXPECT_EQ(t.notifies, 1);
    EXPECT_TRUE(t.finished);
    EXPECT_FALSE(t.IsRunning());
#ifndef _WIN32 // the platform layer's table counts exactly its own handles; Windows counts the system's too
    EXPECT_EQ(OpenHandleCount(), handles) << "Stop closes the thread's handle";
#endif

    // A body that ends by itself lets Start run a new thread.
    t.finished = false;
    t.Start();
    ASSERT_TRUE(WaitFor([&] { return t.runs == 2; }));
    t.endNow = true;
    ASSERT_TRUE(WaitFor([&] { return !t.IsRunning(); }));
#ifndef _WIN32
    EXPECT_EQ(OpenHandleCount(), handles) << "a body that ended by itself let go of its handle";
#endif
    t.endNow = false;
    t.Start();
    ASSERT_TRUE(WaitFor([&] { return t.runs == 3; }));
    EXPECT_TRUE(t.Stop());
}

TEST_F(SimTest, StopOfAThreadThatOverrunsItsBoundWaitsForTheBody)
{
    CountingThread t;
    t.ignoreStop = true;
    t.ignoreForMs = 5000; // longer than the 2000-ms bound
    t.Start();
    ASSERT_TRUE(WaitFor([&] { return t.runs == 1; }));
    ULONGLONG before = GetTickCount64();
    [[maybe_unused]] const DWORD handles = OpenHandleCount();
    EXPECT_TRUE(t.Stop());
    EXPECT_TRUE(t.finished); // never cut off half-way
    EXPECT_GE(GetTickCount64() - before, 2000u);
    EXPECT_FALSE(t.IsRunning());
#ifndef _WIN32
    EXPECT_EQ(OpenHandleCount(), handles - 1) << "the terminated thread's handle is closed";
#endif
}

TEST_F(SimTest, AppModeMouseIsFoundOnTheFirstCheckAndTrackedAcrossUnplug)
{
    RecordingWindow win;
    const UINT msg = RegisterWindowMessageW(u"QL40_DEVICE_CHANGE");
    world.PlugMouse();
    CQL40USBComm comm;
    comm.m_hOwnerWnd = win.Hwnd();
    platform::SetTimeScale(1.0); // real time, so a loaded machine cannot pass for a sleep
    ULONGLONG t0 = GetTickCount64();
    comm.Start();
    ASSERT_TRUE(PumpUntil([&] { return win.Got(msg).size() == 1; }));
    EXPECT_LT(GetTickCount64() - t0, 1000u); // no initial sleep
    platform::SetTimeScale(kScale);
    EXPECT_EQ(win.Got(msg)[0].wParam, 1u);
    EXPECT_EQ(win.Got(msg)[0].lParam, 0);
    EXPECT_TRUE(comm.IsOpen());
    // The mouse's ordinary collection comes first and must not match.
    EXPECT_EQ(comm.GetDevicePath().ToUtf8().substr(comm.GetDevicePath().GetLength() - 6), "&col02");

    world.UnplugMouse();
    ASSERT_TRUE(PumpUntil([&] { return win.Got(msg).size() == 2; }));
    EXPECT_EQ(win.Got(msg)[1].wParam, 0u);
    EXPECT_EQ(win.Got(msg)[1].lParam, 0);
    EXPECT_FALSE(comm.IsOpen());

    world.PlugMouse();
    ASSERT_TRUE(PumpUntil([&] { return win.Got(msg).size() == 3; }));
    EXPECT_EQ(win.Got(msg)[2].wParam, 1u);
    EXPECT_TRUE(comm.Stop());
    EXPECT_EQ(win.Got(msg).size(), 3u);
}

TEST_F(SimTest, WithoutAnOwnerWindowDevicesOpenAndCloseSilently)
{
    world.PlugMouse();
    CQL40USBComm comm;
    comm.Start();
    ASSERT_TRUE(WaitFor([&] { return comm.IsOpen(); }));
    world.UnplugMouse();
    ASSERT_TRUE(WaitFor([&] { return !comm.IsOpen(); }));
    EXPECT_TRUE(comm.Stop());
    EXPECT_EQ(platform::PendingMessageCount(), 0u);
}

// Without a mouse the poll looks once a second, and not at all once its connection is gone.
TEST_F(SimTest, PresenceIsPolledOnceASecondAndNeverAfterTheConnectionIsGone)
{
    auto comm = std::make_unique<CQL40USBComm>();
    const int before = world.GetCounters().enumerations;
    const ULONGLONG t0 = GetTickCount64();
    comm->Start();
    ASSERT_TRUE(WaitFor([&] { return world.GetCounters().enumerations - before >= 3; }));
    const ULONGLONG elapsed = GetTickCount64() - t0;
    EXPECT_LE(world.GetCounters().enumerations - before, static_cast<int>(elapsed / 1000) + 2) << elapsed << " ms";
    comm.reset(); // no Stop first: the destructor ends the poll
    const int after = world.GetCounters().enumerations;
    Sleep(3000); // three poll intervals of the test clock, for a poll that should not happen
    EXPECT_EQ(world.GetCounters().enumerations, after);
}

// Step by step: the poll asks whether to stop before it starts, looks at once, and then
// sleeps one interval between two looks, asking again after each step.
TEST_F(SimTest, ThePollLooksAtOnceThenOnceAfterEachInterval)
{
    CHIDComm comm;
    std::atomic<HWND> owner{nullptr};
    int asked = 0;
    std::vector<int> looks; // how often it had asked when it looked
    const auto look = [&] {
        looks.push_back(asked);
        return std::vector<CString>();
    };
    const ULONGLONG t0 = GetTickCount64();
    RunPresencePoll(comm, [&] { return ++asked == 7; }, look, u"TEST_POLL", owner);
    EXPECT_EQ(looks, (std::vector<int>{1, 3, 5}));
    EXPECT_EQ(asked, 7);
    // Three intervals slept (less a little of the scaled clock's rounding).
    EXPECT_GE(GetTickCount64() - t0, 2900u);

    // Stopped before it started: it does not look at all.
    looks.clear();
    RunPresencePoll(comm, [] { return true; }, look, u"TEST_POLL", owner);
    EXPECT_TRUE(looks.empty());
}

// A request that still holds the device when the connection closes (or is opened anew) finds
// it closed.
TEST_F(SimTest, ADeviceHeldByARequestIsClosedWithItsConnection)
{
    struct Held : CQL40USBComm {
        using CHIDComm::Device;
    } comm;
    world.PlugMouse();
    CString path;
    ASSERT_TRUE(comm.FindDevice(path));
    ASSERT_EQ(comm.Open(path), 0);
    const auto dev = comm.Device();
    ASSERT_TRUE(dev);
    const BYTE report[9] = {0xBA, 0x23};
    ASSERT_EQ(dev->Write(report, sizeof report, 1000), static_cast<int>(sizeof report));
    DWORD written = 0;
    EXPECT_EQ(comm.Write(report, sizeof report, &written, nullptr, 1000), 0);
    EXPECT_EQ(written, sizeof report);
    EXPECT_EQ(comm.Close(), 0);
    EXPECT_LT(dev->Write(report, sizeof report, 1000), 0);

    // Opening again while open closes the first device before the second is taken.
    ASSERT_EQ(comm.Open(path), 0);
    const auto first = comm.Device();
    ASSERT_EQ(comm.Open(path), 0);
    EXPECT_TRUE(comm.IsOpen());
    EXPECT_LT(first->Write(report, sizeof report, 1000), 0);
    ASSERT_NE(comm.Device(), first);
    EXPECT_EQ(comm.Device()->Write(report, sizeof report, 1000), static_cast<int>(sizeof report));
    // Closed here, not by the destructor: this test's subclass gives the object another
    // dynamic type until the application-mode destructor runs, while the reader may still be
    // delivering the reply to the request just written.
    EXPECT_EQ(comm.Close(), 0);
}

// The record lookup by path refuses what it cannot fill, before asking any backend, and a
// device the backend no longer has.
TEST_F(SimTest, RecordLookupByPathRefusesAMissingPathOrRecord)
{
    world.PlugMouse();
    CQL40USBComm comm;
    CString path;
    ASSERT_TRUE(comm.FindDevice(path));
    HID_ATTRIBUTES_CAPABILITES rec{};
    EXPECT_TRUE(comm.GetHIDAttCap(path, &rec));
    EXPECT_FALSE(comm.GetHIDAttCap(path, nullptr));
    EXPECT_FALSE(comm.GetHIDAttCap(nullptr, &rec));
    EXPECT_FALSE(comm.GetHIDAttCap(u"", &rec));
    world.UnplugMouse();
    EXPECT_FALSE(comm.GetHIDAttCap(path, &rec)) << "a device that has gone has no record";
}

// A record the caller reuses holds only this device's facts afterwards: what the backend does
// not report (the button and value counts, the reserved words) reads 0, not the last contents.
TEST_F(SimTest, AFilledRecordKeepsNothingOfItsLastContents)
{
    world.PlugMouse();
    CQL40USBComm comm;
    CString path;
    ASSERT_TRUE(comm.FindDevice(path));
    ASSERT_EQ(comm.Open(path), 0);
    for (int byPath = 0; byPath < 2; ++byPath) {
        SCOPED_TRACE(byPath ? "by path" : "of the open device");
        HID_ATTRIBUTES_CAPABILITES rec;
        std::memset(&rec, 0xAB, sizeof rec);
        ASSERT_TRUE(byPath ? comm.GetHIDAttCap(path, &rec) : comm.GetHIDAttCap(&rec));
        EXPECT_EQ(rec.Attributes.Size, sizeof(HIDD_ATTRIBUTES));
        EXPECT_EQ(rec.Attributes.VendorID, 0x1EA7);
        const HIDP_CAPS& c = rec.Capabilities;
        const auto* rest = reinterpret_cast<const unsigned char*>(c.Reserved);
        const auto* end = reinterpret_cast<const unsigned char*>(&c) + sizeof c;
        EXPECT_EQ(std::count(rest, end, 0), end - rest) << "a field the backend does not report kept its old value";
    }
    EXPECT_FALSE(comm.GetHIDAttCap(nullptr)) << "no record to fill";
}

// A station's connection per port finds only the collection on its own port, whether that
// comes first in the enumeration or after the other mouse's, and nothing on a port that holds
// none; without a filter, any mouse.
TEST_F(SimTest, APortFilterFindsOnlyTheMouseOnThatPort)
{
    world.PlugMouse(0, -1, 1);
    world.PlugMouse(1, -1, 2);
    const std::string first = world.MousePortPath(0), second = world.MousePortPath(1);
    ASSERT_NE(first, second);
    CQL40USBComm comm;
    CString path;
    for (const std::string& port : {first, second}) {
        SCOPED_TRACE(port);
        comm.SetPortFilter(port);
        ASSERT_TRUE(comm.FindDevice(path));
        ASSERT_EQ(comm.Open(path), 0);
        EXPECT_EQ(comm.GetPortPath(), port);
        comm.Close();
    }
    comm.SetPortFilter(std::string("9-9"));
    EXPECT_FALSE(comm.FindDevice(path));
    world.UnplugMouse(0);
    comm.SetPortFilter(std::nullopt);
    ASSERT_TRUE(comm.FindDevice(path));
    ASSERT_EQ(comm.Open(path), 0);
    EXPECT_EQ(comm.GetPortPath(), second);
}

TEST_F(SimTest, FiltersMatchVendorAndUsagePageOrVendorAndProduct)
{
    CQL40USBComm app;
    CDunX4ISPUSBComm isp;
    CString path;
    // Same vendor, other usage page: another collection of the mouse, not ours.
    world.AddHidInterface(0x1EA7, 0x1111, 0x0001);
    // Bootloader vendor with another product.
    world.AddHidInterface(0x040B, 0x6877, 0xFF00, 65);
    EXPECT_FALSE(app.FindDevice(path));
    EXPECT_FALSE(isp.FindDevice(path));
    EXPECT_TRUE(path.IsEmpty());

    // Two matching interfaces: the first in enumeration order wins.
    int first = world.AddHidInterface(0x1EA7, 0x2222, 0xFFBA);
    world.PlugMouse();
    ASSERT_TRUE(app.FindDevice(path));
    HID_ATTRIBUTES_CAPABILITES rec;
    ASSERT_TRUE(app.GetHIDAttCap(path, &rec));
    EXPECT_EQ(rec.Attributes.ProductID, 0x2222);
    world.RemoveHidInterface(first);
    ASSERT_TRUE(app.FindDevice(path));
    ASSERT_TRUE(app.GetHIDAttCap(path, &rec));
    EXPECT_EQ(rec.Attributes.ProductID, world.GetMouseSettings().appProductId);
    EXPECT_EQ(rec.Capabilities.UsagePage, 0xFFBA);
    CString none;
    EXPECT_FALSE(isp.FindDevice(none));

    world.EnterBootloader();
    CString ispPath;
    ASSERT_TRUE(isp.FindDevice(ispPath));
    ASSERT_TRUE(isp.GetHIDAttCap(ispPath, &rec));
    EXPECT_EQ(rec.Attributes.VendorID, 0x040B);
    EXPECT_EQ(rec.Attributes.ProductID, 0x6876);
    EXPECT_EQ(rec.Capabilities.FeatureReportByteLength, 65);
    CString appPath;
    EXPECT_FALSE(app.FindDevice(appPath));
}

TEST_F(SimTest, BootloaderPollPostsItsOwnMessage)
{
    RecordingWindow win;
    const UINT msg = RegisterWindowMessageW(u"DUNX4_ISP_DEVICE_CHANGE");
    CDunX4ISPUSBComm isp;
    isp.m_hOwnerWnd = win.Hwnd();
    isp.Start();
    world.PlugMouse();
    world.EnterBootloader();
    ASSERT_TRUE(PumpUntil([&] { return win.Got(msg).size() == 1; }));
    EXPECT_EQ(win.Got(msg)[0].wParam, 1u);
    ASSERT_TRUE(isp.ResetDevice()); // leaves the bus
    ASSERT_TRUE(PumpUntil([&] { return win.Got(msg).size() == 2; }));
    EXPECT_EQ(win.Got(msg)[1].wParam, 0u);
    EXPECT_TRUE(isp.Stop());
}

TEST_F(SimTest, PumpWaitDispatchesWhileItWaits)
{
    RecordingWindow win;
    PostMessageW(win.Hwnd(), WM_APP + 1, 11, 0);
    PumpWait(0); // returns once its timer has run, after dispatching what is queued
    ASSERT_EQ(win.Got(WM_APP + 1).size(), 1u);

    platform::SetTimeScale(0.2); // the post lands well inside the wait even on a loaded machine
    std::thread poster([&] {
        Sleep(200);
        PostMessageW(win.Hwnd(), WM_APP + 2, 22, 0);
    });
    ULONGLONG t0 = GetTickCount64();
    PumpWait(1000);
    poster.join();
    EXPECT_GE(GetTickCount64() - t0, 1000u);
    ASSERT_EQ(win.Got(WM_APP + 2).size(), 1u);
    EXPECT_EQ(win.Got(WM_APP + 2)[0].wParam, 22u);
}

#if defined(__GLIBC__) && !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
// Where no thread can be made, the wait has no timer thread: it runs out on the clock here,
// dispatching what is queued as it goes. (glibc's default thread stack, set larger than any
// address space, makes every thread creation fail; the sanitizers make threads of their own,
// so they do not run this.)
TEST_F(SimTest, PumpWaitWithoutATimerThreadStillWaitsItsTimeAndDispatches)
{
    pthread_attr_t old, huge;
    ASSERT_EQ(pthread_getattr_default_np(&old), 0);
    ASSERT_EQ(pthread_attr_init(&huge), 0);
    ASSERT_EQ(pthread_attr_setstacksize(&huge, std::size_t{1} << 47), 0);
    ASSERT_EQ(pthread_setattr_default_np(&huge), 0);
    struct Restore {
        pthread_attr_t *old, *huge;
        ~Restore()
        {
            pthread_setattr_default_np(old);
            pthread_attr_destroy(huge);
            pthread_attr_destroy(old);
        }
    } restore{&old, &huge};
    if (HANDLE probe = CreateThread(nullptr, 0, [](LPVOID) -> DWORD { return 0; }, nullptr, 0, nullptr)) {
        WaitForSingleObject(probe, INFINITE);
        CloseHandle(probe);
        GTEST_SKIP() << "this system made a thread with that stack";
    }
    RecordingWindow win;
    PostMessageW(win.Hwnd(), WM_APP + 3, 33, 0);
    platform::SetTimeScale(0.5);
    const DWORD handles = OpenHandleCount();
    const auto cpu = [] {
        rusage u{};
        getrusage(RUSAGE_THREAD, &u);
        return std::chrono::seconds(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
               std::chrono::microseconds(u.ru_utime.tv_usec + u.ru_stime.tv_usec);
    };
    const auto cpu0 = cpu();
    const ULONGLONG t0 = GetTickCount64();
    PumpWait(1000);
    EXPECT_GE(GetTickCount64() - t0, 1000u);
    // It waits on its event between looks, it does not spin through the 500 ms.
    EXPECT_LT(cpu() - cpu0, std::chrono::milliseconds(100));
    EXPECT_EQ(OpenHandleCount(), handles);
    ASSERT_EQ(win.Got(WM_APP + 3).size(), 1u);
    EXPECT_EQ(win.Got(WM_APP + 3)[0].wParam, 33u);
}
#endif

TEST_F(SimTest, RequestsRacingAPollThreadThatClosesTheDeviceFailCleanly)
{
    // The UI thread keeps making requests while the mouse comes and goes under the poll
    // thread; every request either succeeds or fails, none touches a closed device.
    world.PlugMouse();
    CQL40USBComm comm;
    comm.Start();
    ASSERT_TRUE(WaitFor([&] { return comm.IsOpen(); }));
    std::atomic<bool> done{false};
    std::thread flapper([&] {
        // Long enough windows that the poll (one check a second) finds each state in time.
        for (int i = 0; i < 6; ++i) {
            world.UnplugMouse();
            Sleep(5000);
            world.PlugMouse();
            Sleep(5000);
        }
        done = true;
    });
    // A request on a closed device fails at once, so failures pile up fast: wide counters.
    long long ok = 0, failed = 0;
    while (!done) {
        BYTE v = 0;
        DWORD id = 0;
        (comm.GetProgramInfo(v, id) ? ok : failed)++;
    }
    flapper.join();
    EXPECT_GT(ok, 0);
    EXPECT_GT(failed, 0);
    EXPECT_TRUE(comm.Stop());
}

// Every object gives back the handles it took: a connection's reply event and its poll
// thread, a thread stopped and one that ended by itself, a wait's event and timer thread. A
// station runs for days; one handle a run adds up.
TEST_F(SimTest, ObjectsGiveBackEveryHandleTheyTook)
{
    world.PlugMouse();
    auto round = [&] {
        {
            CQL40USBComm comm;
            CString path;
            ASSERT_TRUE(comm.FindDevice(path));
            ASSERT_EQ(comm.Open(path), 0);
            BYTE version = 0;
            DWORD program = 0;
            EXPECT_TRUE(comm.GetProgramInfo(version, program));
            comm.Start();
            EXPECT_TRUE(comm.Stop());
        }
        CountingThread t;
        t.Start();
        ASSERT_TRUE(WaitFor([&] { return t.runs == 1; }));
        EXPECT_TRUE(t.Stop());
        t.endNow = true;
        t.Start();
        ASSERT_TRUE(WaitFor([&] { return t.runs == 2 && !t.IsRunning(); }));
        PumpWait(1);
    };
    round(); // what the first round sets up for good stays out of the count
    // One handle held throughout, so a system that counts is never seen at 0.
    HANDLE anchor = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(anchor, nullptr);
    const DWORD before = OpenHandleCount();
    if (before == 0) {
        CloseHandle(anchor);
        GTEST_SKIP() << "this system does not count its handles";
    }
    for (int i = 0; i < 20; ++i) round();
    const DWORD after = OpenHandleCount();
    CloseHandle(anchor);
    EXPECT_LT(after, before + 10) << "before " << before << ", after 20 rounds " << after;
}

#if defined(__linux__)
// A connection destroyed while its poll still runs ends the poll's thread first: no thread is
// left running on a connection that is gone.
TEST_F(SimTest, DestroyingAConnectionEndsItsPoll)
{
    auto threads = [] {
        std::error_code ec;
        int n = 0;
        for (auto it = std::filesystem::directory_iterator("/proc/self/task", ec); !ec && it != std::filesystem::directory_iterator(); it.increment(ec))
            ++n;
        return n;
    };
    world.PlugMouse();
    auto round = [&](int before) {
        CQL40USBComm app;
        CDunX4ISPUSBComm isp;
        app.Start();
        isp.Start();
        ASSERT_TRUE(WaitFor([&] { return app.IsOpen(); }));
        EXPECT_GE(threads(), before + 2);
    };
    const int base = threads();
    round(base);
    // Whatever starts once per process (a sanitizer's own thread) may stay: one at most.
    ASSERT_TRUE(WaitFor([&] { return threads() <= base + 1; }, std::chrono::seconds(5))) << threads() << " threads, " << base << " before";
    const int before = threads();
    round(before);
    EXPECT_TRUE(WaitFor([&] { return threads() == before; }, std::chrono::seconds(5))) << threads() << " threads, " << before << " before";
}
#endif
