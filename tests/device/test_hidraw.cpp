// The hidraw backend's own I/O on a node. A FIFO stands in for /dev/hidrawN: like the real
// node it opens read-write by path, polls readable when a report waits, and a write to it
// blocks while the other side does not take the data, as a write to a stalled device does.
// The class tree next to it holds a copy of the fixture descriptor.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

#include "platform/hid/HidrawBackend.h"

using namespace platform::hid;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

// Waits for a condition, up to a bound.
template <class F> bool WaitFor(F cond, std::chrono::milliseconds bound = std::chrono::milliseconds(5000))
{
    auto end = Clock::now() + bound;
    while (!cond()) {
        if (Clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

long long MsSince(Clock::time_point t)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

// A scratch class tree with the gaming mouse's descriptor and a FIFO as its node, listed the
// way hidapi 0.13 lists it (one entry per Collection item with a usage).
class FakeNode
{
public:
    FakeNode()
    {
        char tmpl[] = "/tmp/tarvex-hidraw-XXXXXX";
        root = mkdtemp(tmpl);
        fs::create_directories(root / "class/hidraw2/device");
        fs::create_directories(root / "dev");
        fs::copy_file(fs::path(TARVEX_FIXTURES) / "hidraw/hidraw2/device/report_descriptor",
                      root / "class/hidraw2/device/report_descriptor");
        node = (root / "dev/hidraw2").string();
        if (mkfifo(node.c_str(), 0600) != 0) ADD_FAILURE() << "mkfifo";
        // The device side of the node: the test reads what the backend writes and writes the
        // reports it reads. Non-blocking so a test never hangs on it.
        peer = ::open(node.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        EXPECT_GE(peer, 0);
        const std::string n = node;
        backend = std::make_unique<HidrawBackend>((root / "class").string(), [n] {
            return std::vector<HidrawNodeEntry>{{n, 0x1EA7, 0x4D58, 0x0100, 0x0001, 0x0002},
                                                {n, 0x1EA7, 0x4D58, 0x0100, 0x0001, 0x0001},
                                                {n, 0x1EA7, 0x4D58, 0x0100, 0xFFBA, 0x0001}};
        });
    }
    ~FakeNode()
    {
        if (peer >= 0) ::close(peer);
        std::error_code ec;
        fs::remove_all(root, ec);
    }
    std::shared_ptr<IHidDevice> Open(int col, OpenError* err = nullptr)
    {
        char suffix[16];
        std::snprintf(suffix, sizeof suffix, "&col%02d", col);
        return backend->Open(node + suffix, err);
    }
    // Bytes waiting in the node.
    int Pending() const
    {
        int n = 0;
        return ioctl(peer, FIONREAD, &n) == 0 ? n : -1;
    }
    // Puts one report into the node once the one before has been taken, so that each read
    // of the stream sees exactly one report, as on hidraw.
    bool Send(const std::vector<std::uint8_t>& r)
    {
        if (!WaitFor([&] { return Pending() == 0; })) return false;
        return ::write(peer, r.data(), r.size()) == static_cast<ssize_t>(r.size());
    }

    fs::path root;
    std::string node;
    int peer = -1;
    std::unique_ptr<HidrawBackend> backend;
};

const std::vector<std::uint8_t> kVendorReport = {0xBA, 0x23, 1, 2, 3, 4, 5, 6};
const std::vector<std::uint8_t> kMouseReport = {0x01, 0x00, 0x10, 0x00, 0xF0, 0xFF, 0x00};

} // namespace

TEST(HidrawNode, TheVendorCollectionReadsItsOwnReportsWithTheirIds)
{
    FakeNode n;
    OpenError err = OpenError::Other;
    auto dev = n.Open(2, &err);
    ASSERT_NE(dev, nullptr);
    EXPECT_EQ(err, OpenError::None);
    DeviceInfo info;
    ASSERT_TRUE(dev->GetInfo(info));
    EXPECT_EQ(info.usagePage, 0xFFBA);
    EXPECT_EQ(info.inputReportLength, 8);
    EXPECT_EQ(info.outputReportLength, 8);

    // The mouse's own report on the shared node is skipped; the vendor report arrives as the
    // device sent it, ID first, with no byte put in front.
    std::vector<std::uint8_t> got(64);
    int n1 = -2;
    std::thread reader([&] { n1 = dev->Read(got.data(), got.size(), 5000); });
    ASSERT_TRUE(n.Send(kMouseReport));
    ASSERT_TRUE(n.Send(kVendorReport));
    reader.join();
    ASSERT_EQ(n1, 8);
    EXPECT_EQ(std::vector<std::uint8_t>(got.begin(), got.begin() + 8), kVendorReport);

    // The mouse collection opens on its own and keeps its report ID 1.
    auto mouse = n.Open(1);
    ASSERT_NE(mouse, nullptr);
    ASSERT_TRUE(n.Send(kMouseReport));
    ASSERT_EQ(mouse->Read(got.data(), got.size(), 5000), 7);
    EXPECT_EQ(got[0], 0x01);
    EXPECT_EQ(got[2], 0x10);

    // Nothing waiting: a time-out, not a failure.
    EXPECT_EQ(dev->Read(got.data(), got.size(), 20), 0);
    // A report written goes to the node as given.
    ASSERT_EQ(dev->Write(kVendorReport.data(), kVendorReport.size(), 1000), 8);
    std::vector<std::uint8_t> out(64);
    ASSERT_EQ(::read(n.peer, out.data(), out.size()), 8);
    EXPECT_EQ(std::vector<std::uint8_t>(out.begin(), out.begin() + 8), kVendorReport);

    // No third top-level collection, however many entries the library listed.
    err = OpenError::None;
    EXPECT_EQ(n.Open(3, &err), nullptr);
    EXPECT_EQ(err, OpenError::NotFound);
}

TEST(HidrawNode, AMouseInMotionDoesNotHoldTheVendorReadPastItsTimeOut)
{
    FakeNode n;
    auto dev = n.Open(2);
    ASSERT_NE(dev, nullptr);
    // The node never runs dry of the other collection's reports (for three seconds at most):
    // a deep buffer, kept full, so that a busy machine pausing the writer does not empty it.
    std::vector<std::uint8_t> burst;
    for (int i = 0; i < 128; ++i) burst.insert(burst.end(), kMouseReport.begin(), kMouseReport.end());
    fcntl(n.peer, F_SETPIPE_SZ, 1 << 20);
    while (::write(n.peer, burst.data(), burst.size()) > 0) {
    }
    std::atomic<bool> done{false};
    std::thread mouse([&] {
        auto end = Clock::now() + std::chrono::seconds(3);
        while (!done.load() && Clock::now() < end)
            if (::write(n.peer, burst.data(), burst.size()) < 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
    });
    std::vector<std::uint8_t> got(8); // one report per read, as hidraw hands them out
    auto t = Clock::now();
    EXPECT_EQ(dev->Read(got.data(), got.size(), 100), 0);
    EXPECT_LT(MsSince(t), 2000);
    done = true;
    mouse.join();
}

TEST(HidrawNode, ACollectionWhoseLengthsCannotBeReadDoesNotOpen)
{
    FakeNode n;
    ASSERT_EQ(n.backend->Enumerate().size(), 2u);
    // A descriptor cut short (and then none at all): no lengths, no report IDs, no open.
    const fs::path desc = n.root / "class/hidraw2/device/report_descriptor";
    fs::resize_file(desc, 40);
    OpenError err = OpenError::None;
    EXPECT_EQ(n.Open(2, &err), nullptr);
    EXPECT_EQ(err, OpenError::Other);
    EXPECT_TRUE(n.backend->Enumerate().empty());
    fs::remove(desc);
    EXPECT_EQ(n.Open(2, &err), nullptr);
    EXPECT_EQ(err, OpenError::Other);
    // A node the library does not list is not opened on a descriptor alone.
    EXPECT_EQ(n.backend->Open((n.root / "dev/hidraw5&col01").string(), &err), nullptr);
    EXPECT_EQ(err, OpenError::NotFound);
}

namespace {
std::atomic<int> g_signals{0};
void CountSignal(int) { g_signals.fetch_add(1); }
} // namespace

TEST(HidrawNode, ASignalDuringAReadIsNotAnUnplug)
{
    FakeNode n;
    auto dev = n.Open(2);
    ASSERT_NE(dev, nullptr);
    struct sigaction sa = {};
    struct sigaction old = {};
    sa.sa_handler = CountSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0; // no SA_RESTART: the waits inside Read see EINTR
    ASSERT_EQ(sigaction(SIGUSR1, &sa, &old), 0);
    g_signals = 0;

    std::vector<std::uint8_t> got(64);
    std::atomic<int> result{-2};
    std::thread reader([&] { result = dev->Read(got.data(), got.size(), 10000); });
    // Signal the reader again and again while it waits for a report.
    while (g_signals.load() < 20) {
        pthread_kill(reader.native_handle(), SIGUSR1);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        if (result.load() != -2) break;
    }
    EXPECT_EQ(result.load(), -2) << "the read ended on a signal";
    ASSERT_TRUE(n.Send(kVendorReport));
    reader.join();
    sigaction(SIGUSR1, &old, nullptr);
    EXPECT_GE(g_signals.load(), 20);
    ASSERT_EQ(result.load(), 8);
    EXPECT_EQ(got[0], 0xBA);
    DeviceInfo info;
    EXPECT_TRUE(dev->GetInfo(info));
}

TEST(HidrawNode, AWriteToAStalledDeviceGivesUpAtItsTimeOut)
{
    FakeNode n;
    auto dev = n.Open(2);
    ASSERT_NE(dev, nullptr);
    // The device stops taking reports: the node is full.
    ASSERT_GT(fcntl(n.peer, F_SETPIPE_SZ, 4096), 0);
    std::vector<std::uint8_t> fill(4096, 0xEE);
    while (::write(n.peer, fill.data(), fill.size()) > 0) {
    }

    auto t = Clock::now();
    EXPECT_EQ(dev->Write(kVendorReport.data(), kVendorReport.size(), 300), -1);
    auto first = MsSince(t);
    EXPECT_GE(first, 290);
    EXPECT_LT(first, 2500); // the kernel alone would hold it 5 s
    // The first report is still on its way; the next request also gives up in time rather
    // than piling a second write onto the stalled device.
    t = Clock::now();
    EXPECT_EQ(dev->Write(kVendorReport.data(), kVendorReport.size(), 200), -1);
    EXPECT_LT(MsSince(t), 2500);

    // The device takes data again: the report still in the kernel goes out, then new ones.
    std::vector<std::uint8_t> sink(8192);
    while (::read(n.peer, sink.data(), sink.size()) > 0) {
    }
    int w = -1;
    ASSERT_TRUE(WaitFor([&] {
        w = dev->Write(kVendorReport.data(), kVendorReport.size(), 100);
        return w == 8;
    }));
    DeviceInfo info;
    EXPECT_TRUE(dev->GetInfo(info)); // a slow device is not a gone one
    dev->Close();
}

TEST(HidrawNode, CloseWakesTheReaderAndEndsEveryCall)
{
    FakeNode n;
    auto dev = n.Open(2);
    ASSERT_NE(dev, nullptr);
    std::vector<std::uint8_t> got(64);
    std::atomic<int> result{-2};
    std::atomic<bool> stopWriting{false};
    std::thread reader([&] { result = dev->Read(got.data(), got.size(), 30000); });
    // Requests racing the close, as a request from the UI thread races the presence poll.
    // They carry the mouse's report ID, so the reader (which keeps only 0xBA) drops them.
    std::thread writer([&] {
        while (!stopWriting.load())
            if (dev->Write(kMouseReport.data(), kMouseReport.size(), 50) < 0) break;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    auto t = Clock::now();
    dev->Close();
    reader.join();
    EXPECT_EQ(result.load(), -1);
    EXPECT_LT(MsSince(t), 5000);
    stopWriting = true;
    writer.join();

    DeviceInfo info;
    EXPECT_FALSE(dev->GetInfo(info));
    EXPECT_EQ(dev->Read(got.data(), got.size(), 10), -1);
    EXPECT_EQ(dev->Write(kVendorReport.data(), kVendorReport.size(), 10), -1);
    EXPECT_EQ(dev->GetFeature(got.data(), 8), -1);
    EXPECT_EQ(dev->SetFeature(kVendorReport.data(), 8), -1);
    dev->Close();

    // A device whose class directory went away is gone for the presence probe.
    auto again = n.Open(2);
    ASSERT_NE(again, nullptr);
    ASSERT_TRUE(again->GetInfo(info));
    fs::remove_all(n.root / "class/hidraw2");
    EXPECT_FALSE(again->GetInfo(info));
}
