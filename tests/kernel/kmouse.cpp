// tarvex-kmouse: the DUN-X4 mouse on a real Linux USB gadget bound to dummy_hcd, so that the
// host side of the same kernel sees a real USB device through usbhid, hidraw and usbfs.
//
//   tarvex-kmouse run --out DIR [--plug-after-ms N]
//                     [--fault no-bootloader|fail-write:N|unplug-write:N|deaf:N|unplug-app:N]
//   tarvex-kmouse bootloader --out DIR --udc NAME [--name GADGET]   another device, in its bootloader
//   tarvex-kmouse judge --out DIR --image RAW
//   tarvex-kmouse judge-untouched --out DIR                         that device was never written
//   tarvex-kmouse judge-recovered --out DIR --image RAW [--device-id HEX]   a bootloader recovered
//   tarvex-kmouse judge-listed --out DIR                            only looked at (a listing)
//
// Application mode runs on gadgetfs (user-space ep0): only there can the device see the string
// request 0xFF with language 0x4D21 that sends it to its bootloader. Requests arrive on an
// interrupt OUT endpoint and replies leave on the interrupt IN endpoint, as on the mouse.
// The bootloader runs on configfs + FunctionFS: its feature reports are control transfers with
// data, which FunctionFS holds until the device has read them.
//
// DIR receives exchange.log (one line per request or command, written as it happens),
// flash.bin (the flash when the mouse left its bootloader, or when the program ended) and
// kmouse.log (what the program did, for diagnostics). `judge` checks them against the raw image.
#include <dirent.h>
#include <fcntl.h>
#include <linux/usb/ch9.h>
#include <linux/usb/functionfs.h>
#include <linux/usb/gadgetfs.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/kernel/MouseModel.h"

namespace {

using Clock = std::chrono::steady_clock;

std::atomic<bool> g_stop{false};
std::atomic<bool> g_unplugApp{false}; // set by the endpoint thread, acted on by the ep0 loop
std::string g_out;
std::FILE* g_diag = nullptr;
std::FILE* g_exchange = nullptr;
std::mutex g_logMu;
Clock::time_point g_t0 = Clock::now();

double Seconds() { return std::chrono::duration<double>(Clock::now() - g_t0).count(); }

void Diag(const char* fmt, ...)
{
    char buf[512];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    std::lock_guard<std::mutex> lk(g_logMu);
    std::fprintf(stderr, "kmouse %8.3f %s\n", Seconds(), buf);
    if (g_diag) {
        std::fprintf(g_diag, "%8.3f %s\n", Seconds(), buf);
        std::fflush(g_diag);
    }
}

// The model is used from the ep0 loop and the endpoint thread; one lock for it and its log.
std::mutex g_modelMu;
kmouse::MouseModel* g_model = nullptr;

void FlushExchange()
{
    std::vector<std::string> lines = g_model->TakeLog();
    std::lock_guard<std::mutex> lk(g_logMu);
    for (const auto& l : lines) {
        std::fprintf(g_exchange, "%s\n", l.c_str());
        if (g_diag) std::fprintf(g_diag, "%8.3f exchange: %s\n", Seconds(), l.c_str());
    }
    std::fflush(g_exchange);
    if (g_diag) std::fflush(g_diag);
}

void Note(const std::string& line)
{
    std::lock_guard<std::mutex> lk(g_modelMu);
    g_model->Note(line);
    FlushExchange();
}

bool g_flashSaved = false;
void SaveFlash()
{
    std::lock_guard<std::mutex> lk(g_modelMu);
    if (g_flashSaved) return;
    g_flashSaved = true;
    std::ofstream f(g_out + "/flash.bin", std::ios::binary);
    const auto& fl = g_model->Flash();
    f.write(reinterpret_cast<const char*>(fl.data()), static_cast<std::streamsize>(fl.size()));
    Diag("flash written to %s/flash.bin", g_out.c_str());
}

void SleepMs(long ms)
{
    const auto end = Clock::now() + std::chrono::milliseconds(ms);
    while (!g_stop && Clock::now() < end) std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

bool WriteFile(const std::string& path, const std::string& text)
{
    int fd = ::open(path.c_str(), O_WRONLY | O_TRUNC);
    if (fd < 0) {
        Diag("open %s: %s", path.c_str(), std::strerror(errno));
        return false;
    }
    ssize_t n = ::write(fd, text.data(), text.size());
    int e = errno;
    ::close(fd);
    if (n != static_cast<ssize_t>(text.size())) {
        Diag("write '%s' to %s: %s", text.c_str(), path.c_str(), std::strerror(e));
        return false;
    }
    return true;
}

void Put16(std::vector<std::uint8_t>& v, unsigned x)
{
    v.push_back(static_cast<std::uint8_t>(x));
    v.push_back(static_cast<std::uint8_t>(x >> 8));
}
void Put32(std::vector<std::uint8_t>& v, std::uint32_t x)
{
    Put16(v, x & 0xFFFF);
    Put16(v, x >> 16);
}

// ---- descriptors ------------------------------------------------------------------------

// An ordinary mouse (report ID 1) with its nested Physical "Pointer" collection, then the
// vendor collection the tool talks to; with --vendor-first the other way round. Windows lists
// each top-level collection as an interface of its own, Wine's HID bus only one per device,
// with the first collection's usage: the vendor collection first gives Wine's one interface
// the usage page the tool looks for, as the vendor collection's own interface has on Windows.
const std::uint8_t kMouseCollection[] = {
    0x05, 0x01, 0x09, 0x02, 0xA1, 0x01, 0x85, 0x01, 0x09, 0x01, 0xA1, 0x00, 0x05, 0x09, 0x19, 0x01, 0x29,
    0x03, 0x15, 0x00, 0x25, 0x01, 0x95, 0x03, 0x75, 0x01, 0x81, 0x02, 0x95, 0x01, 0x75, 0x05, 0x81, 0x03,
    0x05, 0x01, 0x09, 0x30, 0x09, 0x31, 0x15, 0x81, 0x25, 0x7F, 0x75, 0x08, 0x95, 0x02, 0x81, 0x06, 0xC0,
    0xC0,
};
const std::uint8_t kVendorCollection[] = {
    0x06, 0xBA, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x85, 0xBA, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08,
    0x95, 0x07, 0x09, 0x01, 0x81, 0x02, 0x09, 0x01, 0x91, 0x02, 0xC0,
};
constexpr std::size_t kAppReportDescriptorLength = sizeof kMouseCollection + sizeof kVendorCollection;
bool g_vendorFirst = false;
std::vector<std::uint8_t> AppReportDescriptor()
{
    std::vector<std::uint8_t> d;
    for (bool vendor : {g_vendorFirst, !g_vendorFirst}) {
        if (vendor) d.insert(d.end(), std::begin(kVendorCollection), std::end(kVendorCollection));
        else d.insert(d.end(), std::begin(kMouseCollection), std::end(kMouseCollection));
    }
    return d;
}
// The bootloader: one 64-byte feature report without an ID.
const std::uint8_t kIspReportDescriptor[] = {
    0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x15, 0x00, 0x26, 0xFF, 0x00,
    0x75, 0x08, 0x95, 0x40, 0x09, 0x01, 0xB1, 0x02, 0xC0,
};

void PutInterface(std::vector<std::uint8_t>& v, unsigned endpoints, unsigned subclass, unsigned protocol)
{
    v.insert(v.end(), {9, USB_DT_INTERFACE, 0, 0, static_cast<std::uint8_t>(endpoints), 3,
                       static_cast<std::uint8_t>(subclass), static_cast<std::uint8_t>(protocol), 0});
}
void PutHid(std::vector<std::uint8_t>& v, std::size_t reportLength)
{
    v.insert(v.end(), {9, 0x21, 0x11, 0x01, 0, 1, 0x22});
    Put16(v, static_cast<unsigned>(reportLength));
}
void PutEndpoint(std::vector<std::uint8_t>& v, unsigned address, unsigned maxPacket, unsigned interval)
{
    v.insert(v.end(), {7, USB_DT_ENDPOINT, static_cast<std::uint8_t>(address), USB_ENDPOINT_XFER_INT});
    Put16(v, maxPacket);
    v.push_back(static_cast<std::uint8_t>(interval));
}

constexpr unsigned kAppInAddr = 0x81, kAppOutAddr = 0x02;
// Full speed counts the interval in frames, high speed as 2^(n-1) microframes: 1 ms both.
constexpr unsigned kFsInterval = 1, kHsInterval = 4;

std::vector<std::uint8_t> AppConfig(bool hs)
{
    std::vector<std::uint8_t> c = {9, USB_DT_CONFIG, 0, 0, 1, 1, 0, 0x80, 50};
    PutInterface(c, 2, 1, 2);
    PutHid(c, kAppReportDescriptorLength);
    PutEndpoint(c, kAppInAddr, 64, hs ? kHsInterval : kFsInterval);
    PutEndpoint(c, kAppOutAddr, 64, hs ? kHsInterval : kFsInterval);
    c[2] = static_cast<std::uint8_t>(c.size());
    c[3] = static_cast<std::uint8_t>(c.size() >> 8);
    return c;
}

std::vector<std::uint8_t> AppDeviceDescriptor()
{
    std::vector<std::uint8_t> d = {18, USB_DT_DEVICE, 0x00, 0x02, 0, 0, 0, 64};
    Put16(d, 0x1EA7);
    Put16(d, 0x4D58);
    Put16(d, 0x0100);
    d.insert(d.end(), {1, 2, 0, 1});
    return d;
}

std::vector<std::uint8_t> StringDescriptor(const std::string& ascii)
{
    std::vector<std::uint8_t> s = {static_cast<std::uint8_t>(2 + 2 * ascii.size()), USB_DT_STRING};
    for (char ch : ascii) Put16(s, static_cast<unsigned char>(ch));
    return s;
}

// ---- application mode: gadgetfs -------------------------------------------------------------

void OnSignal(int) {}

struct Options {
    std::string gadgetfs = "/dev/gadget";
    std::string configfs = "/sys/kernel/config";
    std::string ffsMount = "/dev/tarvex-isp";
    std::string ispName = "tarvex_isp"; // the configfs gadget and FunctionFS instance
    std::string udc;
    long plugAfterMs = 0;
    std::string plugAfterFile; // plug in only once this file exists (another mouse has switched)
    long switchDelayMs = 1500;
    long returnDelayMs = 1000;
    long maxSeconds = 600;
    long deafFromRequest = -1; // the OUT endpoint is no longer read from this request (0-based) on
    long unplugAtRequest = -1; // the mouse is pulled out when this request (0-based) arrives
    kmouse::Faults faults;
};
Options g_opt;
kmouse::Settings g_settings; // what this mouse is (--device-id), for the run and for its judge

// The endpoint thread of application mode: requests in, replies out.
class AppEndpoints
{
public:
    bool Start(const std::string& dir)
    {
        std::string in, out;
        if (!FindEndpoints(dir, in, out)) return false;
        m_in = OpenEndpoint(dir + "/" + in, kAppInAddr);
        m_out = OpenEndpoint(dir + "/" + out, kAppOutAddr);
        if (m_in < 0 || m_out < 0) {
            Stop();
            return false;
        }
        m_running = true;
        m_thread = std::thread([this] { Run(); });
        Diag("application endpoints %s (IN) and %s (OUT) enabled", in.c_str(), out.c_str());
        return true;
    }

    void Stop()
    {
        if (m_thread.joinable()) {
            m_running = false;
            // A blocked endpoint read or write ends with EINTR on a signal.
            while (!m_done) {
                pthread_kill(m_thread.native_handle(), SIGUSR1);
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
            m_thread.join();
        }
        if (m_in >= 0) ::close(m_in);
        if (m_out >= 0) ::close(m_out);
        m_in = m_out = -1;
        m_done = false;
    }

private:
    static bool FindEndpoints(const std::string& dir, std::string& in, std::string& out)
    {
        // dummy_hcd's interrupt-capable endpoints; pick by name, since gadgetfs names its
        // files after the controller's endpoints.
        DIR* d = ::opendir(dir.c_str());
        if (!d) return false;
        std::vector<std::string> names;
        while (dirent* e = ::readdir(d)) names.push_back(e->d_name);
        ::closedir(d);
        auto pick = [&](std::initializer_list<const char*> prefs, std::string& what) {
            for (const char* p : prefs)
                for (const auto& n : names)
                    if (n == p) {
                        what = n;
                        return true;
                    }
            return false;
        };
        bool ok = pick({"ep5in-int", "ep10in-int", "ep-bin", "ep1in-bulk"}, in) && pick({"ep-aout", "ep2out-bulk", "ep1out-bulk"}, out);
        if (!ok) Diag("no interrupt endpoints among the files in %s", dir.c_str());
        return ok;
    }

    static int OpenEndpoint(const std::string& path, unsigned address)
    {
        int fd = ::open(path.c_str(), O_RDWR);
        if (fd < 0) {
            Diag("open %s: %s", path.c_str(), std::strerror(errno));
            return -1;
        }
        std::vector<std::uint8_t> cfg;
        Put32(cfg, 1);
        PutEndpoint(cfg, address, 64, kFsInterval);
        PutEndpoint(cfg, address, 64, kHsInterval);
        if (::write(fd, cfg.data(), cfg.size()) != static_cast<ssize_t>(cfg.size())) {
            Diag("configure %s: %s", path.c_str(), std::strerror(errno));
            ::close(fd);
            return -1;
        }
        return fd;
    }

    bool Send(const std::vector<std::uint8_t>& r)
    {
        ssize_t n = ::write(m_in, r.data(), r.size());
        if (n != static_cast<ssize_t>(r.size())) {
            Diag("input report not sent: %s", n < 0 ? std::strerror(errno) : "short write");
            return false;
        }
        return true;
    }

    void Run()
    {
        std::uint8_t buf[64];
        bool first = true;
        long requests = 0;
        while (m_running && !g_stop) {
            if (g_opt.deafFromRequest >= 0 && requests >= g_opt.deafFromRequest) {
                // A mouse that hangs: the host's interrupt transfers to it are NAKed until
                // the kernel's own time-out.
                Note("OUT endpoint no longer read (fault on request)");
                while (m_running && !g_stop) std::this_thread::sleep_for(std::chrono::milliseconds(20));
                break;
            }
            ssize_t n = ::read(m_out, buf, sizeof buf);
            if (n < 0) {
                if (errno == EINTR) continue;
                Diag("OUT endpoint read ended: %s", std::strerror(errno));
                break;
            }
            if (requests++ == g_opt.unplugAtRequest) {
                Note("unplugged in application mode");
                g_unplugApp = true;
                break;
            }
            std::vector<std::uint8_t> reply;
            {
                std::lock_guard<std::mutex> lk(g_modelMu);
                reply = g_model->OnOutputReport(buf, static_cast<std::size_t>(n));
                FlushExchange();
            }
            if (first) {
                // A real mouse moves and reports on its own: a pointer report (ID 1) and the
                // unsolicited 0x06 report reach the host before the first reply.
                first = false;
                if (!Send({0x01, 0x00, 0x03, 0xFD}) || !Send({0xBA, 0x06, 0x34, 0x12, 0, 0, 0, 0})) break;
            }
            if (!reply.empty() && !Send(reply)) break;
        }
        m_done = true;
    }

    int m_in = -1, m_out = -1;
    std::thread m_thread;
    std::atomic<bool> m_running{false};
    std::atomic<bool> m_done{false};
};

enum class AppEnd { Switch, Stop, Error, Unplugged };

// Reads one event with a bound so the stop flag is seen.
int PollIn(int fd, int ms)
{
    pollfd p{fd, POLLIN, 0};
    int r = ::poll(&p, 1, ms);
    if (r < 0 && errno == EINTR) return 0;
    return r;
}

void Ep0Ack(int fd) { (void)!::read(fd, nullptr, 0); }
void Ep0StallIn(int fd) { (void)!::read(fd, nullptr, 0); }
void Ep0StallOut(int fd)
{
    std::uint8_t z = 0;
    (void)!::write(fd, &z, 0);
}
bool Ep0Reply(int fd, const std::uint8_t* data, std::size_t n, unsigned wLength)
{
    std::size_t len = std::min<std::size_t>(n, wLength);
    ssize_t w = ::write(fd, data, len);
    if (w != static_cast<ssize_t>(len)) {
        Diag("ep0 reply of %zu bytes: %s", len, w < 0 ? std::strerror(errno) : "short");
        return false;
    }
    return true;
}

AppEnd RunApplication()
{
    const std::string chip = g_opt.gadgetfs + "/dummy_udc";
    int fd = -1;
    for (int tries = 0; tries < 100 && fd < 0 && !g_stop; ++tries) {
        fd = ::open(chip.c_str(), O_RDWR);
        if (fd < 0) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (fd < 0) {
        Diag("open %s: %s", chip.c_str(), std::strerror(errno));
        return AppEnd::Error;
    }
    std::vector<std::uint8_t> cfg;
    Put32(cfg, 0);
    auto fs = AppConfig(false), hs = AppConfig(true), dev = AppDeviceDescriptor();
    cfg.insert(cfg.end(), fs.begin(), fs.end());
    cfg.insert(cfg.end(), hs.begin(), hs.end());
    cfg.insert(cfg.end(), dev.begin(), dev.end());
    // The UDC may still be held by the bootloader gadget for a moment after its unbind.
    ssize_t w = -1;
    for (int tries = 0; tries < 50 && !g_stop; ++tries) {
        w = ::write(fd, cfg.data(), cfg.size());
        if (w == static_cast<ssize_t>(cfg.size())) break;
        Diag("gadgetfs configuration refused (%s), retrying", std::strerror(errno));
        ::close(fd);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        fd = ::open(chip.c_str(), O_RDWR);
        if (fd < 0) break;
    }
    if (w != static_cast<ssize_t>(cfg.size())) {
        Diag("cannot attach in application mode");
        if (fd >= 0) ::close(fd);
        return AppEnd::Error;
    }
    Note("attach application 1EA7:4D58");
    AppEndpoints eps;
    AppEnd end = AppEnd::Stop;
    bool switching = false;
    Clock::time_point switchAt{};
    while (!g_stop) {
        if (switching && Clock::now() >= switchAt) {
            end = AppEnd::Switch;
            break;
        }
        if (g_unplugApp) {
            end = AppEnd::Unplugged;
            break;
        }
        if (PollIn(fd, 50) <= 0) continue;
        usb_gadgetfs_event ev[5];
        ssize_t n = ::read(fd, ev, sizeof ev);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == EIDRM) continue;
            Diag("ep0 read: %s", std::strerror(errno));
            end = AppEnd::Error;
            break;
        }
        for (std::size_t k = 0; k < static_cast<std::size_t>(n) / sizeof ev[0]; ++k) {
            const usb_gadgetfs_event& e = ev[k];
            if (e.type == GADGETFS_CONNECT) {
                Diag("connected (speed %d)", e.u.speed);
                continue;
            }
            if (e.type == GADGETFS_DISCONNECT) {
                Diag("disconnected by the host");
                eps.Stop();
                continue;
            }
            if (e.type != GADGETFS_SETUP) continue;
            const usb_ctrlrequest& r = e.u.setup;
            const unsigned type = r.bRequestType, req = r.bRequest, value = r.wValue, index = r.wIndex, length = r.wLength;
            if (type == 0x00 && req == USB_REQ_SET_CONFIGURATION) {
                eps.Stop();
                if (value != 0 && !eps.Start(g_opt.gadgetfs)) Diag("endpoints could not be enabled");
                Ep0Ack(fd);
            } else if (type == 0x80 && req == USB_REQ_GET_DESCRIPTOR && (value >> 8) == USB_DT_STRING) {
                const unsigned idx = value & 0xFF;
                bool toBootloader = false;
                if (idx >= 4) {
                    std::lock_guard<std::mutex> lk(g_modelMu);
                    toBootloader = g_model->OnStringRequest(static_cast<std::uint8_t>(idx), static_cast<std::uint16_t>(index));
                    FlushExchange();
                }
                std::vector<std::uint8_t> s;
                if (idx == 0) s = {4, USB_DT_STRING, 0x09, 0x04};
                else if (idx == 1) s = StringDescriptor("Tarvex");
                else if (idx == 2) s = StringDescriptor("DUN-X4 gaming mouse");
                else if (toBootloader) s = StringDescriptor("ISP");
                if (s.empty()) {
                    Ep0StallIn(fd);
                } else {
                    Ep0Reply(fd, s.data(), s.size(), length);
                }
                if (toBootloader && !switching) {
                    // Answered; the mouse restarts a moment later, as the firmware does.
                    switching = true;
                    switchAt = Clock::now() + std::chrono::milliseconds(100);
                }
            } else if (type == 0x81 && req == USB_REQ_GET_DESCRIPTOR && (value >> 8) == 0x22) {
                const std::vector<std::uint8_t> rd = AppReportDescriptor();
                Ep0Reply(fd, rd.data(), rd.size(), length);
            } else if (type == 0x81 && req == USB_REQ_GET_DESCRIPTOR && (value >> 8) == 0x21) {
                std::vector<std::uint8_t> h;
                PutHid(h, kAppReportDescriptorLength);
                Ep0Reply(fd, h.data(), h.size(), length);
            } else if (type == 0x21 && (req == 0x0A || req == 0x0B) && length == 0) {
                Ep0Ack(fd); // SET_IDLE, SET_PROTOCOL
            } else if (type == 0x21 && req == 0x09 && length > 0) {
                // An output report by SET_REPORT instead of the OUT endpoint: taken, logged.
                std::uint8_t buf[256];
                ssize_t got = ::read(fd, buf, std::min<std::size_t>(length, sizeof buf));
                Diag("SET_REPORT %04X on ep0 with %zd bytes (expected on the OUT endpoint)", value, got);
            } else if (type & USB_DIR_IN) {
                Diag("stalled request %02X %02X %04X %04X %u", type, req, value, index, length);
                Ep0StallIn(fd);
            } else if (length == 0) {
                Diag("stalled request %02X %02X %04X %04X %u", type, req, value, index, length);
                Ep0StallOut(fd);
            } else {
                // gadgetfs has taken the data stage already; it can only be read and dropped.
                std::uint8_t buf[256];
                ssize_t got = ::read(fd, buf, std::min<std::size_t>(length, sizeof buf));
                Diag("dropped request %02X %02X %04X %04X with %zd bytes", type, req, value, index, got);
            }
        }
    }
    eps.Stop();
    ::close(fd); // closing ep0 takes the device off the bus
    Note("detach application");
    return end;
}

// ---- bootloader: configfs + FunctionFS -------------------------------------------------------

class Bootloader
{
public:
    ~Bootloader() { Remove(); }

    bool Create()
    {
        m_dir = g_opt.configfs + "/usb_gadget/" + g_opt.ispName;
        const std::string fn = "ffs." + g_opt.ispName;
        Remove(); // a previous run killed half-way
        auto mk = [](const std::string& p) {
            if (::mkdir(p.c_str(), 0755) != 0 && errno != EEXIST) {
                Diag("mkdir %s: %s", p.c_str(), std::strerror(errno));
                return false;
            }
            return true;
        };
        if (!mk(m_dir) || !WriteFile(m_dir + "/idVendor", "0x040b") || !WriteFile(m_dir + "/idProduct", "0x6876") ||
            !WriteFile(m_dir + "/bcdDevice", "0x0100") || !WriteFile(m_dir + "/bcdUSB", "0x0200") ||
            !mk(m_dir + "/strings/0x409") || !WriteFile(m_dir + "/strings/0x409/manufacturer", "Tarvex") ||
            !WriteFile(m_dir + "/strings/0x409/product", "DUN-X4 ISP") || !mk(m_dir + "/configs/c.1") ||
            !mk(m_dir + "/functions/" + fn))
            return false;
        if (::symlink((m_dir + "/functions/" + fn).c_str(), (m_dir + "/configs/c.1/" + fn).c_str()) != 0 &&
            errno != EEXIST) {
            Diag("link function: %s", std::strerror(errno));
            return false;
        }
        if (!mk(g_opt.ffsMount)) return false;
        if (::mount(g_opt.ispName.c_str(), g_opt.ffsMount.c_str(), "functionfs", 0, nullptr) != 0) {
            Diag("mount functionfs on %s: %s", g_opt.ffsMount.c_str(), std::strerror(errno));
            return false;
        }
        m_mounted = true;
        m_ep0 = ::open((g_opt.ffsMount + "/ep0").c_str(), O_RDWR);
        if (m_ep0 < 0) {
            Diag("open ep0: %s", std::strerror(errno));
            return false;
        }
        std::vector<std::uint8_t> d;
        Put32(d, FUNCTIONFS_DESCRIPTORS_MAGIC_V2);
        Put32(d, 0); // length, below
        Put32(d, FUNCTIONFS_HAS_FS_DESC | FUNCTIONFS_HAS_HS_DESC);
        Put32(d, 3);
        Put32(d, 3);
        for (bool hs : {false, true}) {
            PutInterface(d, 1, 0, 0);
            PutHid(d, sizeof kIspReportDescriptor);
            PutEndpoint(d, 0x81, 64, hs ? kHsInterval : kFsInterval);
        }
        const auto len = static_cast<std::uint32_t>(d.size());
        std::memcpy(d.data() + 4, &len, 4);
        std::vector<std::uint8_t> s;
        Put32(s, FUNCTIONFS_STRINGS_MAGIC);
        Put32(s, 16);
        Put32(s, 0);
        Put32(s, 0);
        if (::write(m_ep0, d.data(), d.size()) != static_cast<ssize_t>(d.size()) ||
            ::write(m_ep0, s.data(), s.size()) != static_cast<ssize_t>(s.size())) {
            Diag("FunctionFS descriptors refused: %s", std::strerror(errno));
            return false;
        }
        return true;
    }

    bool Attach()
    {
        for (int tries = 0; tries < 50 && !g_stop; ++tries) {
            if (WriteFile(m_dir + "/UDC", g_opt.udc)) {
                Note("attach bootloader 040B:6876");
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return false;
    }

    void Detach()
    {
        WriteFile(m_dir + "/UDC", "\n");
        Note("detach bootloader");
    }

    // Serves the bootloader until it leaves, is pulled out or the program stops.
    kmouse::IspAction Serve()
    {
        while (!g_stop) {
            if (PollIn(m_ep0, 50) <= 0) continue;
            usb_functionfs_event ev;
            ssize_t n = ::read(m_ep0, &ev, sizeof ev);
            if (n < 0) {
                // FunctionFS reports a cancelled request once as EIDRM; the next read goes on.
                if (errno == EINTR || errno == EAGAIN || errno == EIDRM) continue;
                Diag("FunctionFS ep0 read: %s", std::strerror(errno));
                return kmouse::IspAction::Refuse;
            }
            if (n != sizeof ev) continue;
            switch (ev.type) {
            case FUNCTIONFS_BIND: Diag("bootloader bound"); break;
            case FUNCTIONFS_ENABLE: Diag("bootloader configured"); break;
            case FUNCTIONFS_DISABLE: Diag("bootloader deconfigured"); break;
            case FUNCTIONFS_UNBIND: Diag("bootloader unbound"); break;
            case FUNCTIONFS_SETUP: {
                kmouse::IspAction a = Setup(ev.u.setup);
                if (a == kmouse::IspAction::Leave || a == kmouse::IspAction::Unplug) return a;
                break;
            }
            default: break;
            }
        }
        return kmouse::IspAction::Ok;
    }

private:
    kmouse::IspAction Setup(const usb_ctrlrequest& r)
    {
        const unsigned type = r.bRequestType, req = r.bRequest, value = r.wValue, length = r.wLength;
        if (type == 0x81 && req == USB_REQ_GET_DESCRIPTOR && (value >> 8) == 0x22) {
            Ep0Reply(m_ep0, kIspReportDescriptor, sizeof kIspReportDescriptor, length);
        } else if (type == 0x21 && req == 0x0A && length == 0) {
            Ep0Ack(m_ep0);
        } else if (type == 0x21 && req == 0x09 && (value >> 8) == 3 && length > 0) {
            kmouse::IspAction before;
            {
                std::lock_guard<std::mutex> lk(g_modelMu);
                before = g_model->WouldRefuse();
                if (before == kmouse::IspAction::Refuse) g_model->OnStallSetFeature("write fault on request");
                if (before == kmouse::IspAction::Unplug) g_model->Note("unplugged during the write");
                FlushExchange();
            }
            if (before == kmouse::IspAction::Unplug) return before; // the data is never taken
            if (before == kmouse::IspAction::Refuse) {
                Ep0StallOut(m_ep0);
                return before;
            }
            std::uint8_t buf[kmouse::kIspReport];
            ssize_t got = ::read(m_ep0, buf, std::min<std::size_t>(length, sizeof buf));
            if (got < 0) {
                Diag("SET_REPORT data: %s", std::strerror(errno));
                return kmouse::IspAction::Refuse;
            }
            std::lock_guard<std::mutex> lk(g_modelMu);
            kmouse::IspAction a = g_model->OnSetFeature(buf, static_cast<std::size_t>(got));
            FlushExchange();
            return a;
        } else if (type == 0xA1 && req == 0x01 && (value >> 8) == 3) {
            std::uint8_t buf[kmouse::kIspReport];
            {
                std::lock_guard<std::mutex> lk(g_modelMu);
                g_model->GetFeature(buf, sizeof buf);
            }
            Ep0Reply(m_ep0, buf, sizeof buf, length);
        } else if (type & USB_DIR_IN) {
            Diag("bootloader stalled request %02X %02X %04X %u", type, req, value, length);
            Ep0StallIn(m_ep0);
        } else {
            Diag("bootloader stalled request %02X %02X %04X %u", type, req, value, length);
            Ep0StallOut(m_ep0);
        }
        return kmouse::IspAction::Ok;
    }

    void Remove()
    {
        if (m_dir.empty()) return;
        if (::access((m_dir + "/UDC").c_str(), F_OK) == 0) {
            // Unbinding an unbound gadget fails with ENODEV; nothing to report then.
            int fd = ::open((m_dir + "/UDC").c_str(), O_WRONLY | O_TRUNC);
            if (fd >= 0) {
                (void)!::write(fd, "\n", 1);
                ::close(fd);
            }
        }
        if (m_ep0 >= 0) ::close(m_ep0);
        m_ep0 = -1;
        if (m_mounted) ::umount(g_opt.ffsMount.c_str());
        m_mounted = false;
        ::unlink((m_dir + "/configs/c.1/ffs." + g_opt.ispName).c_str());
        ::rmdir((m_dir + "/configs/c.1/strings/0x409").c_str());
        ::rmdir((m_dir + "/configs/c.1").c_str());
        ::rmdir((m_dir + "/functions/ffs." + g_opt.ispName).c_str());
        ::rmdir((m_dir + "/strings/0x409").c_str());
        ::rmdir(m_dir.c_str());
    }

    std::string m_dir;
    int m_ep0 = -1;
    bool m_mounted = false;
};

// ---- the mouse's life -------------------------------------------------------------------------

std::vector<std::string> ReadLinesOf(const std::string& path);

// The lowest-named controller: gadgetfs takes the first free one in that order, and the
// bootloader must come up where the application mode was, on the same port.
std::string FirstUdc()
{
    DIR* d = ::opendir("/sys/class/udc");
    if (!d) return {};
    std::vector<std::string> names;
    while (dirent* e = ::readdir(d))
        if (e->d_name[0] != '.') names.push_back(e->d_name);
    ::closedir(d);
    std::sort(names.begin(), names.end());
    return names.empty() ? std::string() : names.front();
}

// Another device that sits in its bootloader from the start, on a controller of its own: it
// serves every request (so a host that writes to it is seen doing so) until it is stopped.
int RunForeignBootloader()
{
    ::mkdir(g_out.c_str(), 0755);
    g_diag = std::fopen((g_out + "/kmouse.log").c_str(), "w");
    g_exchange = std::fopen((g_out + "/exchange.log").c_str(), "w");
    if (!g_diag || !g_exchange || g_opt.udc.empty()) {
        std::fprintf(stderr, "tarvex-kmouse: cannot write into %s, or no --udc\n", g_out.c_str());
        return 1;
    }
    kmouse::MouseModel model(g_settings, g_opt.faults);
    g_model = &model;
    Bootloader isp;
    if (!isp.Create() || !isp.Attach()) {
        Diag("the bootloader gadget could not be set up on %s", g_opt.udc.c_str());
        return 1;
    }
    {
        // The case starts the product only once this device is on its bus.
        std::ofstream marker(g_out + "/attached");
        marker << g_opt.udc << "\n";
    }
    Diag("attached on %s", g_opt.udc.c_str());
    while (!g_stop) {
        const kmouse::IspAction end = isp.Serve();
        if (end != kmouse::IspAction::Ok) Note("bootloader served until it left");
        if (end == kmouse::IspAction::Leave || end == kmouse::IspAction::Unplug) break;
    }
    isp.Detach();
    SaveFlash();
    Diag("stopped");
    return 0;
}

// The foreign device's verdict: no host ever erased or wrote it.
int JudgeUntouched(const std::string& out)
{
    int bad = 0;
    bool seen = false;
    for (const auto& l : ReadLinesOf(out + "/exchange.log")) {
        seen = true;
        if (l.rfind("isp erase", 0) == 0 || l.rfind("isp write", 0) == 0) {
            if (bad++ < 3) std::printf("other device: %s\n", l.c_str());
        }
    }
    if (bad) std::printf("other device: written to %d times: another mouse's image reached it\n", bad);
    else std::printf("other device: never erased or written%s\n", seen ? " (it saw requests)" : "");
    return bad ? 1 : 0;
}

int Run()
{
    ::mkdir(g_out.c_str(), 0755);
    g_diag = std::fopen((g_out + "/kmouse.log").c_str(), "w");
    g_exchange = std::fopen((g_out + "/exchange.log").c_str(), "w");
    if (!g_diag || !g_exchange) {
        std::fprintf(stderr, "tarvex-kmouse: cannot write into %s\n", g_out.c_str());
        return 1;
    }
    if (g_opt.udc.empty()) g_opt.udc = FirstUdc();
    if (g_opt.udc.empty()) {
        Diag("no USB device controller (is dummy_hcd loaded?)");
        return 1;
    }
    kmouse::MouseModel model(g_settings, g_opt.faults);
    g_model = &model;
    {
        // What it answers when asked, for a case that compares a listing with the mouse.
        char holds[96];
        std::snprintf(holds, sizeof holds, "program_id %08X version %u device_id %012llX\n", static_cast<unsigned>(g_settings.programId),
                      static_cast<unsigned>(g_settings.version), static_cast<unsigned long long>(g_settings.deviceId));
        std::ofstream(g_out + "/holds") << holds;
    }
    Bootloader isp;
    if (!isp.Create()) {
        Diag("the bootloader gadget could not be set up");
        return 1;
    }
    Diag("ready on %s; plugging in after %ld ms", g_opt.udc.c_str(), g_opt.plugAfterMs);
    SleepMs(g_opt.plugAfterMs);
    // gadgetfs exists once per kernel: a second mouse comes up on it once the first has left
    // it for its bootloader (bound to the controller the first one's application mode had).
    while (!g_opt.plugAfterFile.empty() && !g_stop && ::access(g_opt.plugAfterFile.c_str(), F_OK) != 0) SleepMs(100);
    if (!g_opt.plugAfterFile.empty()) Diag("%s is there: plugging in", g_opt.plugAfterFile.c_str());
    int rc = 0;
    while (!g_stop) {
        AppEnd a = RunApplication();
        if (a == AppEnd::Error) {
            rc = 1;
            break;
        }
        if (a == AppEnd::Stop) break;
        if (a == AppEnd::Unplugged) {
            while (!g_stop) SleepMs(100);
            break;
        }
        Note("switch");
        if (g_opt.faults.noBootloader) {
            Note("no bootloader (fault on request)");
            while (!g_stop) SleepMs(100);
            break;
        }
        SleepMs(g_opt.switchDelayMs);
        if (g_stop) break;
        const bool attached = isp.Attach();
        if (attached) std::ofstream(g_out + "/isp-attached") << g_opt.udc << "\n";
        if (!attached) {
            rc = 1;
            break;
        }
        kmouse::IspAction end = isp.Serve();
        if (end == kmouse::IspAction::Leave) {
            // Let the status stage of the leave command finish before the mouse goes.
            SleepMs(50);
            isp.Detach();
            SaveFlash();
            SleepMs(g_opt.returnDelayMs);
            continue;
        }
        isp.Detach();
        if (end == kmouse::IspAction::Unplug) {
            SaveFlash();
            while (!g_stop) SleepMs(100);
        }
        break;
    }
    SaveFlash();
    Diag("stopped");
    return rc;
}

std::vector<std::string> ReadLines(const std::string& path)
{
    return ReadLinesOf(path);
}

std::vector<std::string> ReadLinesOf(const std::string& path)
{
    std::vector<std::string> lines;
    std::ifstream f(path);
    for (std::string l; std::getline(f, l);) lines.push_back(l);
    return lines;
}

std::vector<std::uint8_t> ReadBytes(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    return std::vector<std::uint8_t>((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

int Judge(const std::string& out, const std::string& image)
{
    auto bad = kmouse::Judge(ReadLines(out + "/exchange.log"), ReadBytes(out + "/flash.bin"), ReadBytes(image), g_settings);
    for (const auto& b : bad) std::printf("device: %s\n", b.c_str());
    if (bad.empty()) std::printf("device: the upgrade is complete and the flash holds the image\n");
    return bad.empty() ? 0 : 1;
}

int JudgeRecovered(const std::string& out, const std::string& image)
{
    auto bad = kmouse::JudgeRecovery(ReadLines(out + "/exchange.log"), ReadBytes(out + "/flash.bin"), ReadBytes(image), g_settings);
    for (const auto& b : bad) std::printf("device: %s\n", b.c_str());
    if (bad.empty()) std::printf("device: recovered: erased, written, read back, left; the flash holds the image with its device ID\n");
    return bad.empty() ? 0 : 1;
}

int JudgeListed(const std::string& out)
{
    const auto log = ReadLines(out + "/exchange.log");
    auto bad = kmouse::JudgeListing(log);
    for (const auto& b : bad) std::printf("device: %s\n", b.c_str());
    if (bad.empty()) std::printf("device: asked for its program info and device ID once each, nothing else\n");
    return bad.empty() ? 0 : 1;
}

bool ParseLong(const char* s, long& v)
{
    char* end = nullptr;
    errno = 0;
    v = std::strtol(s, &end, 10);
    return errno == 0 && end && *end == 0 && v >= 0;
}

int Usage()
{
    std::fprintf(stderr, "usage: tarvex-kmouse run --out DIR [--plug-after-ms N] [--plug-after-file PATH] [--max-seconds N]\n"
                         "                         [--udc NAME] [--name GADGET] [--vendor-first]\n"
                         "                         [--fault no-bootloader|fail-write:CHUNK|unplug-write:CHUNK|deaf:REQUEST|unplug-app:REQUEST]\n"
                         "       tarvex-kmouse bootloader --out DIR --udc NAME [--name GADGET]\n"
                         "       tarvex-kmouse judge --out DIR --image RAW [--device-id HEX]\n"
                         "       tarvex-kmouse judge-untouched --out DIR\n"
                         "       tarvex-kmouse judge-recovered --out DIR --image RAW [--device-id HEX]\n"
                         "       tarvex-kmouse judge-listed --out DIR\n");
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2) return Usage();
    const std::string cmd = argv[1];
    std::string image;
    for (int i = 2; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&](long* n) -> const char* {
            if (i + 1 >= argc) return nullptr;
            const char* v = argv[++i];
            if (n && !ParseLong(v, *n)) return nullptr;
            return v;
        };
        const char* v = nullptr;
        if (a == "--out") v = value(nullptr), g_out = v ? v : "";
        else if (a == "--image") v = value(nullptr), image = v ? v : "";
        else if (a == "--udc") v = value(nullptr), g_opt.udc = v ? v : "";
        else if (a == "--name") v = value(nullptr), g_opt.ispName = v ? v : "", g_opt.ffsMount = "/dev/" + g_opt.ispName;
        else if (a == "--plug-after-ms") v = value(&g_opt.plugAfterMs);
        else if (a == "--plug-after-file") v = value(nullptr), g_opt.plugAfterFile = v ? v : "";
        else if (a == "--device-id") {
            v = value(nullptr);
            char* end = nullptr;
            const unsigned long long id = v ? std::strtoull(v, &end, 16) : 0;
            if (!v || !*v || *end || id > 0xFFFFFFFFFFFFull) v = nullptr;
            else g_settings.deviceId = id;
        }
        else if (a == "--max-seconds") v = value(&g_opt.maxSeconds);
        else if (a == "--vendor-first") v = "", g_vendorFirst = true;
        else if (a == "--fault") {
            v = value(nullptr);
            std::string f = v ? v : "";
            long n = 0;
            if (f == "no-bootloader") g_opt.faults.noBootloader = true;
            else if (f.rfind("fail-write:", 0) == 0 && ParseLong(f.c_str() + 11, n)) g_opt.faults.failWriteChunk = n;
            else if (f.rfind("unplug-write:", 0) == 0 && ParseLong(f.c_str() + 13, n)) g_opt.faults.unplugAtWriteChunk = n;
            else if (f.rfind("deaf:", 0) == 0 && ParseLong(f.c_str() + 5, n)) g_opt.deafFromRequest = n;
            else if (f.rfind("unplug-app:", 0) == 0 && ParseLong(f.c_str() + 11, n)) g_opt.unplugAtRequest = n;
            else v = nullptr;
        }
        if (!v) return Usage();
    }
    if (g_out.empty()) return Usage();
    if (cmd == "judge") return image.empty() ? Usage() : Judge(g_out, image);
    if (cmd == "judge-untouched") return JudgeUntouched(g_out);
    if (cmd == "judge-recovered") return image.empty() ? Usage() : JudgeRecovered(g_out, image);
    if (cmd == "judge-listed") return JudgeListed(g_out);
    if (cmd != "run" && cmd != "bootloader") return Usage();

    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigaction(SIGUSR1, &sa, nullptr); // no SA_RESTART: a blocked endpoint call returns EINTR
    sigset_t stopSet;
    sigemptyset(&stopSet);
    sigaddset(&stopSet, SIGTERM);
    sigaddset(&stopSet, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSet, nullptr);
    // SIGTERM, SIGINT or the bound end the run; the flash is written on the way out.
    std::thread watcher([] {
        sigset_t s;
        sigemptyset(&s);
        sigaddset(&s, SIGTERM);
        sigaddset(&s, SIGINT);
        timespec ts{0, 100 * 1000 * 1000};
        const auto end = Clock::now() + std::chrono::seconds(g_opt.maxSeconds);
        while (!g_stop) {
            if (sigtimedwait(&s, nullptr, &ts) > 0 || Clock::now() >= end) g_stop = true;
        }
    });
    int rc = cmd == "bootloader" ? RunForeignBootloader() : Run();
    g_stop = true;
    watcher.join();
    return rc;
}
