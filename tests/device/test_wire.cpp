// The two mouse protocols as tables of exchanges: each row is the literal bytes the device
// object must send and the literal bytes the device answers, played by a scripted HID
// device under the real device classes. The simulator is not involved, so a byte order or
// offset that the simulator and the device code got wrong together still fails here.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "device/DunX4ISPUSBComm.h"
#include "device/HIDCommSTD.h"
#include "device/QL40USBComm.h"
#include "platform/Clock.h"
#include "platform/hid/HidBackend.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// "BA 23 00" -> bytes; spaces are ignored.
Bytes Hex(const std::string& s)
{
    Bytes out;
    for (std::size_t i = 0; i < s.size();) {
        if (s[i] == ' ') {
            ++i;
            continue;
        }
        out.push_back(static_cast<std::uint8_t>(std::stoul(s.substr(i, 2), nullptr, 16)));
        i += 2;
    }
    return out;
}

std::string ToHex(const Bytes& b)
{
    std::string s;
    char buf[4];
    for (std::size_t i = 0; i < b.size(); ++i) {
        std::snprintf(buf, sizeof buf, i ? " %02X" : "%02X", b[i]);
        s += buf;
    }
    return s;
}

// One row of a chat: what the host must send and what the device answers to it.
struct Row {
    enum Kind { Output, FeatureSet, FeatureGet } kind;
    Bytes expect;  // the bytes the host sends (for FeatureGet: the request buffer's first byte)
    Bytes answer;  // Output: input reports queued for the reader; FeatureGet: the report returned
    bool fail = false; // the transfer fails
};

class ScriptedDevice : public platform::hid::IHidDevice
{
public:
    ScriptedDevice(platform::hid::DeviceInfo info, std::vector<Row> rows) : m_info(std::move(info)), m_rows(std::move(rows)) {}

    int Write(const std::uint8_t* data, std::size_t length, unsigned) override
    {
        std::lock_guard<std::mutex> lk(m_mu);
        const Row* r = Next(Row::Output, Bytes(data, data + length));
        if (!r || r->fail) return -1;
        if (!r->answer.empty()) {
            m_input.push_back(r->answer);
            m_cv.notify_all();
        }
        return static_cast<int>(length);
    }
    int Read(std::uint8_t* buf, std::size_t length, unsigned timeoutMs) override
    {
        std::unique_lock<std::mutex> lk(m_mu);
        m_cv.wait_for(lk, std::chrono::milliseconds(std::min(timeoutMs, 20u)), [&] { return !m_input.empty() || m_closed; });
        if (m_closed) return -1;
        if (m_input.empty()) return 0;
        Bytes r = m_input.front();
        m_input.pop_front();
        const std::size_t n = std::min(length, r.size());
        std::copy(r.begin(), r.begin() + static_cast<std::ptrdiff_t>(n), buf);
        return static_cast<int>(n);
    }
    int SetFeature(const std::uint8_t* data, std::size_t length) override
    {
        std::lock_guard<std::mutex> lk(m_mu);
        const Row* r = Next(Row::FeatureSet, Bytes(data, data + length));
        return !r || r->fail ? -1 : static_cast<int>(length);
    }
    int GetFeature(std::uint8_t* buf, std::size_t length) override
    {
        std::lock_guard<std::mutex> lk(m_mu);
        const Row* r = Next(Row::FeatureGet, Bytes(buf, buf + 1));
        if (!r || r->fail) return -1;
        if (r->answer.size() != length) {
            m_errors.push_back("row " + std::to_string(m_pos) + ": host asked for " + std::to_string(length) + " bytes");
            return -1;
        }
        std::copy(r->answer.begin(), r->answer.end(), buf);
        return static_cast<int>(length);
    }
    bool GetInfo(platform::hid::DeviceInfo& info) override
    {
        info = m_info;
        return true;
    }
    void Close() override
    {
        std::lock_guard<std::mutex> lk(m_mu);
        m_closed = true;
        m_cv.notify_all();
    }

    // Mismatches and rows the host never reached.
    std::vector<std::string> Problems()
    {
        std::lock_guard<std::mutex> lk(m_mu);
        std::vector<std::string> p = m_errors;
        if (m_pos != m_rows.size()) p.push_back("only " + std::to_string(m_pos) + " of " + std::to_string(m_rows.size()) + " rows reached");
        return p;
    }

private:
    const Row* Next(Row::Kind kind, const Bytes& got)
    {
        if (m_pos >= m_rows.size()) {
            m_errors.push_back("unexpected transfer after the script: " + ToHex(got));
            return nullptr;
        }
        const Row& r = m_rows[m_pos];
        if (r.kind != kind || r.expect != got) {
            m_errors.push_back("row " + std::to_string(m_pos) + ": expected " + ToHex(r.expect) + ", host sent " + ToHex(got));
            m_pos = m_rows.size(); // nothing after a mismatch means anything
            return nullptr;
        }
        ++m_pos;
        return &r;
    }

    platform::hid::DeviceInfo m_info;
    std::vector<Row> m_rows;
    std::size_t m_pos = 0;
    std::deque<Bytes> m_input;
    std::vector<std::string> m_errors;
    bool m_closed = false;
    std::mutex m_mu;
    std::condition_variable m_cv;
};

class ScriptedBackend : public platform::hid::IHidBackend
{
public:
    explicit ScriptedBackend(std::shared_ptr<ScriptedDevice> dev, platform::hid::DeviceInfo info)
        : m_dev(std::move(dev)), m_info(std::move(info))
    {
    }
    std::vector<platform::hid::DeviceInfo> Enumerate() override { return {m_info}; }
    bool GetInfo(const std::string& path, platform::hid::DeviceInfo& info) override
    {
        if (path != m_info.path) return false;
        info = m_info;
        return true;
    }
    std::shared_ptr<platform::hid::IHidDevice> Open(const std::string& path, platform::hid::OpenError* err) override
    {
        if (path != m_info.path) {
            if (err) *err = platform::hid::OpenError::NotFound;
            return nullptr;
        }
        if (err) *err = platform::hid::OpenError::None;
        return m_dev;
    }

private:
    std::shared_ptr<ScriptedDevice> m_dev;
    platform::hid::DeviceInfo m_info;
};

platform::hid::DeviceInfo MouseInfo()
{
    platform::hid::DeviceInfo i;
    i.path = "/scripted/mouse&col02";
    i.vendorId = 0x1EA7;
    i.productId = 0x0001;
    i.usagePage = 0xFFBA;
    i.usage = 1;
    i.inputReportLength = 8;
    i.outputReportLength = 8;
    return i;
}

platform::hid::DeviceInfo BootloaderInfo(std::uint16_t featureLength = 65)
{
    platform::hid::DeviceInfo i;
    i.path = "/scripted/isp";
    i.vendorId = 0x040B;
    i.productId = 0x6876;
    i.usagePage = 0xFF00;
    i.usage = 1;
    i.featureReportLength = featureLength;
    return i;
}

class WireTest : public ::testing::Test
{
protected:
    void SetUp() override { platform::SetTimeScale(0.01); }
    void TearDown() override
    {
        platform::hid::InstallBackend(nullptr);
        platform::SetTimeScale(1.0);
    }
    template <class Comm>
    std::shared_ptr<ScriptedDevice> Play(Comm& comm, platform::hid::DeviceInfo info, std::vector<Row> rows)
    {
        auto dev = std::make_shared<ScriptedDevice>(info, std::move(rows));
        platform::hid::InstallBackend(std::make_shared<ScriptedBackend>(dev, info));
        CString path;
        EXPECT_TRUE(comm.FindDevice(path));
        EXPECT_EQ(comm.Open(path), 0);
        return dev;
    }
    static void ExpectClean(ScriptedDevice& dev)
    {
        for (const std::string& p : dev.Problems()) ADD_FAILURE() << p;
    }
};

// A 65-byte feature report: report ID 0, command, offset high and low, zeros, 32 data bytes
// from byte 9, zeros to the end.
Bytes Feature(std::uint8_t cmd, unsigned offset, const Bytes& data = {}, std::size_t length = 65)
{
    Bytes r(length, 0);
    r[1] = cmd;
    r[2] = static_cast<std::uint8_t>(offset >> 8);
    r[3] = static_cast<std::uint8_t>(offset & 0xFF);
    std::copy(data.begin(), data.end(), r.begin() + 9);
    return r;
}

} // namespace

TEST_F(WireTest, ApplicationModeRequestsAndReplies)
{
    CQL40USBComm comm;
    auto dev = Play(comm, MouseInfo(),
                    {
                        // program info: ID 0x00015A3C little-endian, version 7
                        {Row::Output, Hex("BA 23 00 00 00 00 00 00"), Hex("BA 23 3C 5A 01 00 07 FF")},
                        // device ID: 48 bits little-endian from byte 2
                        {Row::Output, Hex("BA 31 00 00 00 00 00 00"), Hex("BA 31 F6 E5 D4 C3 B2 A1")},
                    });
    BYTE version = 0;
    DWORD programId = 0;
    ASSERT_TRUE(comm.GetProgramInfo(version, programId));
    EXPECT_EQ(programId, 0x00015A3Cu);
    EXPECT_EQ(version, 7);
    ULONGLONG id = 0;
    ASSERT_TRUE(comm.GetDeviceID(id));
    EXPECT_EQ(id, 0xA1B2C3D4E5F6ull);
    comm.Close();
    ExpectClean(*dev);
}

// Windows writes only whole output reports: a collection that declares a longer one than the
// request, up to the 64 bytes and ID a report holds, gets the request padded with zeros to that
// length. Once closed, the connection pads to nothing of that device.
TEST_F(WireTest, ARequestFillsTheCollectionsWholeOutputReport)
{
    platform::hid::DeviceInfo info = MouseInfo();
    info.outputReportLength = HID_REPORT_BUFFER_SIZE;
    CQL40USBComm comm;
    Bytes padded = Hex("BA 23");
    padded.resize(HID_REPORT_BUFFER_SIZE);
    auto dev = Play(comm, info, {{Row::Output, padded, Hex("BA 23 3C 5A 01 00 07 FF")}});
    BYTE version = 0;
    DWORD programId = 0;
    EXPECT_TRUE(comm.GetProgramInfo(version, programId));
    EXPECT_EQ(version, 7);
    comm.Close();
    ExpectClean(*dev);
    HID_REPORT r;
    const BYTE data[7] = {};
    ASSERT_EQ(comm.MakeHIDReport(data, 7, &r, 0xBA), 0);
    EXPECT_EQ(r.Length, 8);
}

TEST_F(WireTest, UserDataBlockIsSixtyFourStepsOfFourBytes)
{
    std::vector<Row> rows;
    for (unsigned off = 0; off < 256; off += 4) {
        char req[32], rep[40];
        // request: command 02, offset, count 4, block 7; reply: echo, offset, (unread), 4 data bytes
        std::snprintf(req, sizeof req, "BA 02 %02X 04 07 00 00 00", off);
        std::snprintf(rep, sizeof rep, "BA 02 %02X 55 %02X %02X %02X %02X", off, off, off + 1, off + 2, off + 3);
        rows.push_back({Row::Output, Hex(req), Hex(rep)});
    }
    CQL40USBComm comm;
    auto dev = Play(comm, MouseInfo(), rows);
    BYTE block[256] = {};
    ASSERT_TRUE(comm.ReadUserData(7, block));
    for (int i = 0; i < 256; ++i) EXPECT_EQ(block[i], i) << "byte " << i;
    comm.Close();
    ExpectClean(*dev);
}

TEST_F(WireTest, ApplicationModeRefusesWrongEchoesAndOtherLengths)
{
    CQL40USBComm comm;
    auto dev = Play(comm, MouseInfo(),
                    {
                        // a 7-byte report with the right command is not a reply; no retry
                        // succeeds, so three sends
                        {Row::Output, Hex("BA 31 00 00 00 00 00 00"), Hex("BA 31 01 02 03 04 05")},
                        {Row::Output, Hex("BA 31 00 00 00 00 00 00"), Hex("BA 23 01 02 03 04 05 06")},
                        {Row::Output, Hex("BA 31 00 00 00 00 00 00"), {}},
                        // user data: the reply echoes another offset, the block stops there
                        {Row::Output, Hex("BA 02 00 04 05 00 00 00"), Hex("BA 02 04 00 AA BB CC DD")},
                    });
    ULONGLONG id = 0x77;
    EXPECT_FALSE(comm.GetDeviceID(id));
    EXPECT_EQ(id, 0x77u);
    BYTE block[256] = {};
    EXPECT_FALSE(comm.ReadUserData(5, block));
    comm.Close();
    ExpectClean(*dev);
}

TEST_F(WireTest, BootloaderEraseWriteReadAndLeave)
{
    Bytes data(70);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(0x10 + i);
    const Bytes c0(data.begin(), data.begin() + 32), c1(data.begin() + 32, data.begin() + 64);
    Bytes c2(data.begin() + 64, data.end());
    Bytes c2Padded = c2;
    c2Padded.resize(32, 0xFF);
    std::vector<Row> rows = {
        {Row::FeatureSet, Hex("00 A7"), {}},
        {Row::FeatureSet, Feature(0xA8, 0), {}},
        {Row::FeatureSet, Feature(0xA8, 32), {}},
        {Row::FeatureSet, Feature(0xA8, 64), {}},
        {Row::FeatureSet, Feature(0xAA, 0), {}},
        {Row::FeatureGet, Hex("00"), Feature(0xAA, 0, c0)},
        {Row::FeatureSet, Feature(0xAA, 32), {}},
        {Row::FeatureGet, Hex("00"), Feature(0xAA, 32, c1)},
        {Row::FeatureSet, Feature(0xAA, 64), {}},
        {Row::FeatureGet, Hex("00"), Feature(0xAA, 64, c2Padded)},
        {Row::FeatureSet, Hex("00 A9"), {}},
    };
    rows[0].expect.resize(65, 0);
    rows[1].expect = Feature(0xA8, 0, c0);
    rows[2].expect = Feature(0xA8, 32, c1);
    rows[3].expect = Feature(0xA8, 64, c2Padded); // 6 data bytes, then 0xFF to byte 40
    rows[10].expect.resize(65, 0);
    CDunX4ISPUSBComm isp;
    auto dev = Play(isp, BootloaderInfo(), rows);
    ASSERT_TRUE(isp.EraseFlash());
    DWORD written = 0, read = 0;
    ASSERT_TRUE(isp.WriteFlash(data.data(), static_cast<DWORD>(data.size()), written));
    EXPECT_EQ(written, 70u);
    Bytes back(70, 0);
    ASSERT_TRUE(isp.ReadFlash(back.data(), 70, read));
    EXPECT_EQ(read, 70u);
    EXPECT_EQ(back, data);
    ASSERT_TRUE(isp.ResetDevice());
    isp.Close();
    ExpectClean(*dev);
}

TEST_F(WireTest, BootloaderReportsFollowTheDevicesFeatureLengthAndStopAtAFailedChunk)
{
    // A bootloader with 41-byte feature reports (the least the layout needs) gets 41-byte
    // reports. The chunk at 0x1220 goes out as bytes 12 20 and fails: the write stops there
    // with the bytes of the chunks before it counted.
    Bytes image(0x1240);
    for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<std::uint8_t>(i * 13 + (i >> 8));
    std::vector<Row> rows;
    for (unsigned off = 0; off < 0x1240; off += 32) {
        Bytes chunk(image.begin() + off, image.begin() + off + 32);
        rows.push_back({Row::FeatureSet, Feature(0xA8, off, chunk, 41), {}, off == 0x1220});
    }
    ASSERT_EQ(rows.back().expect[2], 0x12);
    ASSERT_EQ(rows.back().expect[3], 0x20);
    CDunX4ISPUSBComm isp;
    auto dev = Play(isp, BootloaderInfo(41), rows);
    DWORD written = 99;
    EXPECT_FALSE(isp.WriteFlash(image.data(), static_cast<DWORD>(image.size()), written));
    EXPECT_EQ(written, 0x1220u);
    isp.Close();
    ExpectClean(*dev);
}

namespace {

// Sends the bootloader's commands from OnOpened: the moment the device is published and Open
// has not yet checked it, where another thread's request can land.
class RequestsWhileOpening : public CDunX4ISPUSBComm
{
public:
    int accepted = 0; // requests that reported success

protected:
    void OnOpened() override
    {
        BYTE buf[64] = {};
        DWORD n = 0;
        accepted += EraseFlash() + WriteFlash(buf, sizeof buf, n) + ReadFlash(buf, sizeof buf, n) + ResetDevice();
    }
};

// Keeps the input reports the reader hands over, in order.
class ReportRecorder : public CHIDCommSTD
{
public:
    ~ReportRecorder() override { Close(); }
    bool OnInputReport(const BYTE* report, DWORD length) override
    {
        std::lock_guard<std::mutex> lk(m_mu);
        m_got.emplace_back(report, report + length);
        m_cv.notify_all();
        return true;
    }
    std::vector<Bytes> WaitFor(std::size_t count)
    {
        std::unique_lock<std::mutex> lk(m_mu);
        m_cv.wait_for(lk, std::chrono::seconds(5), [&] { return m_got.size() >= count; });
        return m_got;
    }

private:
    std::mutex m_mu;
    std::condition_variable m_cv;
    std::vector<Bytes> m_got;
};

} // namespace

TEST_F(WireTest, ABootloaderWhoseReportsCannotHoldTheLayoutGetsNoCommandWhileOpenRefusesIt)
{
    // Too short for the layout and longer than the report buffer: neither may get a byte,
    // not even from a request made before Open has closed it again.
    for (std::uint16_t length : {std::uint16_t(20), std::uint16_t(200)}) {
        auto info = BootloaderInfo(length);
        auto dev = std::make_shared<ScriptedDevice>(info, std::vector<Row>{});
        platform::hid::InstallBackend(std::make_shared<ScriptedBackend>(dev, info));
        RequestsWhileOpening isp;
        EXPECT_EQ(isp.Open(CString::FromUtf8(info.path)), -1) << length;
        EXPECT_FALSE(isp.IsOpen()) << length;
        EXPECT_EQ(isp.accepted, 0) << length;
        ExpectClean(*dev);
    }
}

TEST_F(WireTest, TheReaderHandsOverEveryInputReportInOrderTheShortestToo)
{
    // The shortest read the reader can get, a single byte, is handed over like any other, and
    // so is the longest report a high-speed interrupt endpoint carries, 1024 bytes, whole.
    auto info = MouseInfo();
    Bytes longest(1024);
    for (std::size_t i = 0; i < longest.size(); ++i) longest[i] = static_cast<std::uint8_t>(i * 7 + 1);
    auto dev = std::make_shared<ScriptedDevice>(info, std::vector<Row>{
                                                          {Row::Output, Hex("01"), Hex("5A")},
                                                          {Row::Output, Hex("02"), Hex("BA 23 3C 5A 01 00 07 FF")},
                                                          {Row::Output, Hex("03"), longest},
                                                      });
    platform::hid::InstallBackend(std::make_shared<ScriptedBackend>(dev, info));
    ReportRecorder comm;
    ASSERT_EQ(comm.Open(CString::FromUtf8(info.path)), 0);
    DWORD written = 0;
    ASSERT_EQ(comm.Write(Hex("01").data(), 1, &written, nullptr, 1000), 0);
    ASSERT_EQ(comm.Write(Hex("02").data(), 1, &written, nullptr, 1000), 0);
    ASSERT_EQ(comm.Write(Hex("03").data(), 1, &written, nullptr, 1000), 0);
    const std::vector<Bytes> got = comm.WaitFor(3);
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(ToHex(got[0]), "5A");
    EXPECT_EQ(ToHex(got[1]), "BA 23 3C 5A 01 00 07 FF");
    EXPECT_TRUE(got[2] == longest) << got[2].size() << " bytes";
    // Input reports are the reader's: a read of the caller's own is refused, with nothing read.
    BYTE buf[8];
    DWORD n = 77;
    EXPECT_EQ(comm.Read(buf, sizeof buf, &n, nullptr, 10), -1);
    EXPECT_EQ(n, 0u);
    comm.Close();
    ExpectClean(*dev);
}

// Write and Read take no OVERLAPPED, no missing buffer and no empty one: each is refused with
// nothing counted, and the device sees no transfer and is not waited on.
TEST_F(WireTest, WriteAndReadRefuseWhatTheyDoNotTakeWithoutTouchingTheDevice)
{
    auto info = MouseInfo();
    auto dev = std::make_shared<ScriptedDevice>(info, std::vector<Row>{});
    platform::hid::InstallBackend(std::make_shared<ScriptedBackend>(dev, info));
    CHIDComm comm;
    ASSERT_EQ(comm.Open(CString::FromUtf8(info.path)), 0);
    BYTE buf[8] = {0xBA, 0x01};
    alignas(8) unsigned char overlapped[64] = {}; // never read: only its presence counts
    auto* ov = reinterpret_cast<OVERLAPPED*>(overlapped);
    struct Case {
        const char* what;
        BYTE* buf;
        DWORD length;
        OVERLAPPED* ov;
    } cases[] = {
        {"an OVERLAPPED", buf, sizeof buf, ov},
        {"no buffer", nullptr, sizeof buf, nullptr},
        {"an empty buffer", buf, 0, nullptr},
    };
    for (const Case& r : cases) {
        DWORD n = 77;
        EXPECT_EQ(comm.Write(r.buf, r.length, &n, r.ov, 1000), -1) << r.what;
        EXPECT_EQ(n, 0u) << r.what;
        n = 77;
        EXPECT_EQ(comm.Read(r.buf, r.length, &n, r.ov, 1000), -1) << r.what;
        EXPECT_EQ(n, 0u) << r.what;
    }
    comm.Close();
    ExpectClean(*dev);
}

// A plain connection (no reader thread) reads for itself: a report is handed over whole with
// its count, nothing within the time-out is 1, a failing device and a closed connection fail.
TEST_F(WireTest, APlainConnectionReadsAReportTimesOutAndFailsOnceClosed)
{
    auto info = MouseInfo();
    auto dev = std::make_shared<ScriptedDevice>(info, std::vector<Row>{{Row::Output, Hex("01"), Hex("BA 23 3C")}});
    platform::hid::InstallBackend(std::make_shared<ScriptedBackend>(dev, info));
    CHIDComm comm;
    ASSERT_EQ(comm.Open(CString::FromUtf8(info.path)), 0);
    DWORD n = 0;
    ASSERT_EQ(comm.Write(Hex("01").data(), 1, &n, nullptr, 1000), 0);
    BYTE buf[8] = {};
    n = 77;
    ASSERT_EQ(comm.Read(buf, sizeof buf, &n, nullptr, 1000), 0);
    EXPECT_EQ(n, 3u);
    EXPECT_EQ(ToHex(Bytes(buf, buf + n)), "BA 23 3C");
    n = 77;
    EXPECT_EQ(comm.Read(buf, sizeof buf, &n, nullptr, 10), 1);
    EXPECT_EQ(n, 0u);
    dev->Close(); // the device fails underneath the connection
    EXPECT_EQ(comm.Read(buf, sizeof buf, &n, nullptr, 10), -1);
    EXPECT_EQ(n, 0u);
    comm.Close();
    EXPECT_EQ(comm.Read(buf, sizeof buf, &n, nullptr, 10), -1);
    ExpectClean(*dev);
}

namespace {

// A collection that counts its closes and answers each transfer with a set count of bytes.
struct CountedDevice : platform::hid::IHidDevice {
    platform::hid::DeviceInfo info;
    bool infoFails = false;
    int answer = -2; // bytes a transfer reports; -2: as many as asked
    std::atomic<int> closes{0};
    int Answer(std::size_t length) const { return answer == -2 ? static_cast<int>(length) : answer; }
    int Write(const std::uint8_t*, std::size_t length, unsigned) override { return Answer(length); }
    int Read(std::uint8_t*, std::size_t, unsigned) override { return 0; }
    int SetFeature(const std::uint8_t*, std::size_t length) override { return Answer(length); }
    int GetFeature(std::uint8_t*, std::size_t length) override { return Answer(length); }
    bool GetInfo(platform::hid::DeviceInfo& i) override
    {
        i = info;
        return !infoFails;
    }
    void Close() override { ++closes; }
};

struct CountedBackend : platform::hid::IHidBackend {
    std::map<std::string, std::shared_ptr<CountedDevice>> devices;
    std::vector<platform::hid::DeviceInfo> Enumerate() override { return {}; }
    bool GetInfo(const std::string&, platform::hid::DeviceInfo&) override { return false; }
    std::function<void()> onOpen; // runs inside the open, as another thread would meanwhile
    std::shared_ptr<platform::hid::IHidDevice> Open(const std::string& path, platform::hid::OpenError* err) override
    {
        if (onOpen) onOpen();
        if (err) *err = platform::hid::OpenError::None;
        auto it = devices.find(path);
        return it == devices.end() ? nullptr : it->second;
    }
    std::shared_ptr<CountedDevice> Add(const std::string& path)
    {
        auto d = std::make_shared<CountedDevice>();
        d->info = MouseInfo();
        d->info.path = path;
        d->info.portPath = "1-" + path.substr(1);
        d->info.featureReportLength = 65;
        return devices[path] = d;
    }
};

} // namespace

// One connection holds one device: opening another closes the first (also when the new one
// cannot be opened), a device whose description cannot be read is closed again at once, and
// Close closes the device once. What it says of its device (path, port) is the open one's, and
// nothing once closed: a port left behind would bind the bootloader search to a gone mouse.
TEST_F(WireTest, AConnectionClosesTheDeviceItLeaves)
{
    auto backend = std::make_shared<CountedBackend>();
    auto a = backend->Add("/a"), b = backend->Add("/b"), mute = backend->Add("/mute");
    mute->infoFails = true;
    platform::hid::InstallBackend(backend);
    CHIDComm comm;
    ASSERT_EQ(comm.Open(u"/a"), 0);
    ASSERT_EQ(comm.Open(u"/b"), 0);
    EXPECT_EQ(a->closes, 1);
    EXPECT_EQ(b->closes, 0);
    EXPECT_EQ(comm.GetDevicePath(), CString(u"/b"));
    EXPECT_EQ(comm.GetPortPath(), "1-b");
    EXPECT_EQ(comm.Open(u"/mute"), -1);
    EXPECT_EQ(b->closes, 1);
    EXPECT_EQ(mute->closes, 1);
    EXPECT_FALSE(comm.IsOpen());
    EXPECT_EQ(comm.GetDevicePath(), CString());
    EXPECT_EQ(comm.GetPortPath(), "");
    ASSERT_EQ(comm.Open(u"/a"), 0);
    EXPECT_EQ(comm.Open(u"/none"), -1);
    EXPECT_EQ(a->closes, 2);
    ASSERT_EQ(comm.Open(u"/b"), 0);
    EXPECT_EQ(comm.Close(), 0);
    EXPECT_EQ(comm.GetPortPath(), "");
    EXPECT_EQ(comm.Close(), 0);
    EXPECT_EQ(b->closes, 2);
}

// A run that binds the bootloader connection to its mouse's port while the poll is opening a
// bootloader: the open that checked before the binding came checks again after it, and keeps
// only the bootloader on the bound port.
TEST_F(WireTest, ABindingThatComesDuringTheOpenIsCheckedAfterIt)
{
    auto backend = std::make_shared<CountedBackend>();
    auto d = backend->Add("/isp"); // on port "1-isp"
    platform::hid::InstallBackend(backend);
    for (const std::string port : {"1-other", "1-isp"}) {
        SCOPED_TRACE(port);
        CDunX4ISPUSBComm isp;
        backend->onOpen = [&] { isp.BindToPort(port); };
        const int closes = d->closes;
        const bool mine = port == "1-isp";
        EXPECT_EQ(isp.Open(u"/isp"), mine ? 0 : -1);
        EXPECT_EQ(isp.IsOpen(), mine);
        EXPECT_EQ(d->closes, closes + (mine ? 0 : 1));
        backend->onOpen = nullptr;
        isp.Close();
    }
}

// A transfer counts only when the device took or gave the whole report: fewer bytes are a
// failure, and Write tells the caller how many went.
TEST_F(WireTest, OnlyWholeReportsCount)
{
    auto backend = std::make_shared<CountedBackend>();
    auto d = backend->Add("/a");
    platform::hid::InstallBackend(backend);
    CHIDComm comm;
    ASSERT_EQ(comm.Open(u"/a"), 0);
    BYTE report[65] = {0, 0xA7};
    DWORD n = 0;
    EXPECT_EQ(comm.Write(report, 8, &n, nullptr, 1000), 0);
    EXPECT_EQ(n, 8u);
    EXPECT_EQ(comm.Write(report, 8, nullptr, nullptr, 1000), 0); // the count is optional
    EXPECT_TRUE(comm.SetFeature(report, sizeof report));
    EXPECT_TRUE(comm.GetFeature(report, sizeof report));
    d->answer = 7;
    EXPECT_EQ(comm.Write(report, 8, &n, nullptr, 1000), -1);
    EXPECT_EQ(n, 7u);
    d->answer = 64;
    EXPECT_FALSE(comm.SetFeature(report, sizeof report));
    EXPECT_FALSE(comm.GetFeature(report, sizeof report));
    d->answer = -1;
    EXPECT_FALSE(comm.SetFeature(report, sizeof report));
    EXPECT_FALSE(comm.GetFeature(report, sizeof report));
    EXPECT_EQ(comm.Write(report, 8, &n, nullptr, 1000), -1);
    EXPECT_EQ(n, 0u);
    // A closed connection moves nothing.
    d->answer = -2;
    comm.Close();
    EXPECT_FALSE(comm.SetFeature(report, sizeof report));
    EXPECT_FALSE(comm.GetFeature(report, sizeof report));
    EXPECT_EQ(comm.Write(report, 8, &n, nullptr, 1000), -1);
    EXPECT_EQ(comm.Read(report, 8, &n, nullptr, 1000), -1);
}
