#include "tools/tarvexctl/Field.h"

#include <algorithm>
#include <csignal>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#ifndef _WIN32
#include <unistd.h>
#endif

#include "device/Wire.h"
#include "encfile/AppImage.h"
#include "platform/Clock.h"
#include "platform/Kernel.h"
#include "platform/hid/HidBackend.h"
#include "sim/World.h"
#include "encfile/ToolDir.h"
#include "upgrade/EventJson.h"

namespace fs = std::filesystem;

namespace field {

namespace {

volatile std::sig_atomic_t g_interrupted = 0;
volatile std::sig_atomic_t g_pastSwitch = 0;
const auto g_start = std::chrono::steady_clock::now();

void OnInterrupt(int)
{
    g_interrupted = 1;
    if (g_pastSwitch) {
        // Only async-signal-safe calls here.
        static const char text[] = "\ntarvexctl: Ctrl+C: finishing this mouse, then stopping (it may be in its bootloader)\n";
#ifdef _WIN32
        std::fputs(text, stderr);
#else
        ssize_t n = ::write(STDERR_FILENO, text, sizeof text - 1);
        (void)n;
#endif
    }
}

const char* const kFaultNames[] = {"program-info", "program-id", "device-id", "user-data", "no-bootloader", "erase", "write",
                                   "read", "verify", "reset", "unplug-app", "unplug-isp"};

bool ParseHexValue(std::string s, std::size_t maxDigits, unsigned long long& v)
{
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) s = s.substr(2);
    if (s.empty() || s.size() > maxDigits || s.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) return false;
    v = std::stoull(s, nullptr, 16);
    return true;
}

// A sim-state file holds 64 KiB of flash as hex and the user data; far less than this.
constexpr std::uintmax_t kMaxSimStateBytes = 1024 * 1024;
constexpr const char* kSimStateFirstLine = "tarvex-sim-state 1";

std::string ToHex(const BYTE* p, std::size_t n)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string s;
    s.reserve(2 * n);
    for (std::size_t i = 0; i < n; ++i) {
        s += digits[p[i] >> 4];
        s += digits[p[i] & 15];
    }
    return s;
}

bool FromHex(const std::string& s, std::vector<BYTE>& out)
{
    if (s.size() % 2 || s.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) return false;
    out.resize(s.size() / 2);
    for (std::size_t i = 0; i < out.size(); ++i) out[i] = static_cast<BYTE>(std::stoul(s.substr(2 * i, 2), nullptr, 16));
    return true;
}

} // namespace

const char* const kCommonOptionsHelp =
    "  --dir DIR             tool directory with Tarvex.cfg and the image (default: the tool's own);\n"
    "                        the recovery journal and tarvex.log are kept there\n"
    "  --config FILE --image FILE   these files instead of the directory's\n"
    "  --wait [SECONDS]      wait for the mouse to arrive (for ever without SECONDS)\n"
    "  -v                    print the run log's lines on stderr as well\n"
    "  --simulate            run against the simulated mouse; with:\n"
    "    --time-scale F      clock scale (1 = real time, 0.01 = the 90-s waits in 0.9 s)\n"
    "    --fault NAME[@N]    repeatable: program-info program-id device-id user-data no-bootloader\n"
    "                        erase write read verify reset unplug-app unplug-isp (@N: only mouse N of a loop)\n"
    "    --device-program-id HEX --device-version N --sim-device-id HEX   the mouse (default 15A3C, 1,\n"
    "                        5EED1234ABCD; a loop's mouse N has the ID + N - 1)\n"
    "    --bootloader-present   another device's bootloader is on the bus from the start; a loop's\n"
    "                        simulated technician unplugs it when asked, unless --foreign-bootloader-stays\n"
    "    --sim-state FILE    keep the simulated mouse (mode, flash, device ID, user data) in FILE\n"
    "                        between commands; the --device-* options apply when FILE does not exist yet\n";

bool TakeCommonOption(const std::vector<std::string>& args, std::size_t& i, CommonOptions& o)
{
    const std::string& a = args[i];
    auto value = [&]() -> std::string {
        if (i + 1 >= args.size()) throw UsageError{a + " needs a value"};
        return args[++i];
    };
    if (a == "--dir") {
        o.dir = value();
    } else if (a == "--config") {
        o.config = value();
    } else if (a == "--image") {
        o.image = value();
    } else if (a == "--wait") {
        o.waitSeconds = -1;
        if (i + 1 < args.size() && !args[i + 1].empty() && std::isdigit(static_cast<unsigned char>(args[i + 1][0]))) {
            const std::string v = args[++i];
            char* end = nullptr;
            const double s = std::strtod(v.c_str(), &end);
            if (*end || !(s >= 0) || s > 1e6) throw UsageError{"--wait takes a number of seconds"};
            o.waitSeconds = s;
        }
    } else if (a == "-v" || a == "--verbose") {
        o.bVerbose = true;
    } else if (a == "--json") {
        o.bJson = true;
    } else if (a == "--simulate") {
        o.bSimulate = true;
    } else if (a == "--time-scale") {
        const std::string v = value();
        char* end = nullptr;
        o.dTimeScale = std::strtod(v.c_str(), &end);
        if (*end || !(o.dTimeScale > 0) || o.dTimeScale > 100) throw UsageError{"bad time scale '" + v + "'"};
    } else if (a == "--fault") {
        const std::string v = value();
        const std::string name = v.substr(0, v.find('@'));
        bool known = std::any_of(std::begin(kFaultNames), std::end(kFaultNames), [&](const char* n) { return name == n; });
        if (!known) throw UsageError{"unknown fault '" + v + "'"};
        if (auto at = v.find('@'); at != std::string::npos) {
            const std::string n = v.substr(at + 1);
            if (n.empty() || n.size() > 6 || n.find_first_not_of("0123456789") != std::string::npos || std::stoul(n) == 0)
                throw UsageError{"bad fault '" + v + "' (NAME@N, N from 1)"};
        }
        o.faults.push_back(v);
    } else if (a == "--device-program-id") {
        unsigned long long x = 0;
        const std::string v = value();
        if (!ParseHexValue(v, 8, x)) throw UsageError{"bad program ID '" + v + "'"};
        o.devProgramId = static_cast<unsigned long>(x);
    } else if (a == "--device-version") {
        const std::string v = value();
        if (v.empty() || v.size() > 3 || v.find_first_not_of("0123456789") != std::string::npos || std::stoul(v) > 255)
            throw UsageError{"bad device version '" + v + "' (0..255)"};
        o.devVersion = static_cast<int>(std::stoul(v));
    } else if (a == "--sim-device-id") {
        unsigned long long x = 0;
        const std::string v = value();
        if (!ParseHexValue(v, 12, x)) throw UsageError{"bad device ID '" + v + "' (up to 12 hex digits)"};
        o.devDeviceId = x;
    } else if (a == "--bootloader-present") {
        o.bBootloaderPresent = true;
    } else if (a == "--foreign-bootloader-stays") {
        o.bForeignBootloaderStays = true;
    } else if (a == "--sim-state") {
        o.simState = value();
    } else {
        return false;
    }
    return true;
}

void InstallInterruptFlag()
{
    // signal() keeps the handler installed and restarts interrupted calls on Linux, and is
    // what Windows offers for Ctrl+C.
    std::signal(SIGINT, &OnInterrupt);
    std::signal(SIGTERM, &OnInterrupt);
}

bool Interrupted() { return g_interrupted != 0; }

void SetPastSwitch(bool past) { g_pastSwitch = past ? 1 : 0; }

std::string PortText(const std::string& port) { return port.empty() ? "(unknown port)" : port; }

std::string ShellQuote(const std::string& s)
{
    if (!s.empty() && s.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789/._-+:,=@") == std::string::npos)
        return s;
    std::string q = "'";
    for (char c : s) q += (c == '\'') ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

std::string ToolDirText(const CommonOptions& o)
{
    std::string d = platform::NativePath(ToolDirOf(o));
    while (d.size() > 1 && (d.back() == '/' || d.back() == '\\')) d.pop_back();
    return d;
}

std::string DirAdvice(const CommonOptions& o) { return "--dir " + ShellQuote(ToolDirText(o)); }

void Say(const CommonOptions& o, const std::string& text)
{
    if (o.bJson)
        std::printf("{\"t_ms\":%.1f,\"message\":%s,\"level\":\"info\"}\n", ElapsedMs(), JsonString(text).c_str());
    else
        std::printf("%s\n", text.c_str());
    std::fflush(stdout);
}

void Warn(const CommonOptions& o, const std::string& text)
{
    if (o.bJson) {
        std::printf("{\"t_ms\":%.1f,\"message\":%s,\"level\":\"warning\"}\n", ElapsedMs(), JsonString(text).c_str());
        std::fflush(stdout);
    } else {
        std::fprintf(stderr, "tarvexctl: %s\n", text.c_str());
    }
}

double ElapsedMs()
{
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - g_start).count();
}

std::string HexId(unsigned long long id)
{
    char buf[24];
    std::snprintf(buf, sizeof buf, "%012llX", static_cast<unsigned long long>(wire::MaskDeviceId(id)));
    return buf;
}

CString ToolDirOf(const CommonOptions& o)
{
    if (o.dir.empty()) {
        // As the window chooses it: an installed copy keeps its files per user.
        const tarvex::ToolDirChoice c = tarvex::CurrentToolDir(true);
        if (!c.error.empty()) throw Refused{c.error};
        if (c.dir.empty()) return GetModuleDir();
        return platform::WindowsPath(c.dir);
    }
    std::error_code ec;
    if (!fs::is_directory(o.dir, ec)) throw Refused{o.dir + ": not a directory" + (ec ? " (" + ec.message() + ")" : std::string())};
    fs::path p = fs::absolute(o.dir, ec).lexically_normal();
    if (ec) p = o.dir;
    CString s = platform::WindowsPath(p.string());
    if (!s.IsEmpty() && s[s.GetLength() - 1] != u'\\') s += u"\\";
    return s;
}

LoadedImage LoadConfigAndImage(const CommonOptions& o)
{
    LoadedImage r;
    const CString dir = ToolDirOf(o);
    const std::string cfgPath = !o.config.empty() ? o.config : platform::NativePath(dir + SYSTEM_CONFIG_FILE_NAME);
    const ConfigCheck cc = ReadSystemConfig(platform::WindowsPath(cfgPath), &r.config);
    if (cc != ConfigCheck::Ok)
        throw Refused{cfgPath + ": refused at check '" + ConfigCheckName(cc) + "' (打开配置文件失败！)"};
    if (!o.image.empty()) {
        r.imagePath = o.image;
    } else {
        const CString file(r.config.szAppFile, static_cast<int>(WcsNLen(r.config.szAppFile, CONFIG_TEXT_UNITS)));
        if (file.IsEmpty()) throw Refused{cfgPath + ": the configuration names no image (烧录数据错误！)"};
        if (!IsPlainFileName(file)) throw Refused{cfgPath + ": the image name is not a plain file name (烧录数据错误！)"};
        r.imagePath = platform::NativePath(dir + file);
    }
    BYTE* data = nullptr;
    const AppImageCheck ic = ReadAppImage(platform::WindowsPath(r.imagePath), &r.config, &r.header, &data);
    if (ic != AppImageCheck::Ok) {
        const WCHAR* text = LoadAppImageText(ic);
        throw Refused{r.imagePath + ": refused at check '" + AppImageCheckName(ic) + "'" +
                      (text ? " (" + CString(text).ToUtf8() + ")" : std::string())};
    }
    r.data.assign(data, data + r.header.dwDataSize);
    std::free(data);
    return r;
}

int CountBootloaderDevices()
{
    auto backend = platform::hid::GetBackend();
    if (!backend) return 0;
    std::set<std::string> nodes;
    for (const auto& d : backend->Enumerate()) {
        if (d.vendorId != CDunX4ISPUSBComm::kVendorID || d.productId != CDunX4ISPUSBComm::kProductID) continue;
        nodes.insert(d.path.substr(0, d.path.find("&col")));
    }
    return static_cast<int>(nodes.size());
}

bool WaitForDevice(CHIDComm& comm, const std::function<bool(CString&)>& find, const CommonOptions& o)
{
    CString path;
    // Without --wait only a device on the bus now counts; its poll thread opens it within
    // about a second.
    if (!o.waitSeconds && !find(path)) return false;
    const double boundMs = o.waitSeconds ? (*o.waitSeconds < 0 ? -1.0 : *o.waitSeconds * 1000.0) : -1.0;
    const double start = platform::ScaledNowMs();
    // A device already there gets its poll thread's next round in real time, however fast the
    // simulated clock runs.
    const auto realEnd = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!comm.IsOpen()) {
        if (Interrupted()) return false;
        if (boundMs >= 0 && platform::ScaledNowMs() - start > boundMs) return false;
        if (!o.waitSeconds && std::chrono::steady_clock::now() > realEnd) return false;
        Sleep(50);
    }
    return true;
}

// ---- the simulated mouse -------------------------------------------------------------------

namespace {

sim::Faults FaultsFor(const std::vector<std::string>& names, int mouse, bool loop)
{
    auto has = [&](const char* n) {
        for (const auto& f : names) {
            const auto at = f.find('@');
            if (f.substr(0, at) != n) continue;
            if (at == std::string::npos || std::stoul(f.substr(at + 1)) == static_cast<unsigned long>(mouse)) return true;
        }
        return false;
    };
    sim::Faults f;
    if (has("program-info")) f.silentFromRequest = 1;
    if (has("device-id")) f.deviceIdWrongEcho = true;
    if (has("user-data")) f.wrongOffsetEcho = true;
    if (has("no-bootloader")) f.bootloaderPresent = false;
    if (has("erase")) f.failErase = true;
    if (has("write")) f.failWriteChunk = 3;
    if (has("read")) f.failReadChunk = 2;
    if (has("verify")) f.corruptReadBack = true;
    if (has("reset")) f.failLeave = true;
    // The loop asks for the device ID on arrival: the run's own program-info query is request 2.
    if (has("unplug-app")) f.unplugAfterRequest = loop ? 2 : 1;
    // Feature report 1 is the erase: the mouse leaves while the image is being written.
    if (has("unplug-isp")) f.unplugAfterIspReport = 5;
    return f;
}

bool HasFault(const std::vector<std::string>& names, const char* n, int mouse)
{
    for (const auto& f : names) {
        const auto at = f.find('@');
        if (f.substr(0, at) == n && (at == std::string::npos || std::stoul(f.substr(at + 1)) == static_cast<unsigned long>(mouse)))
            return true;
    }
    return false;
}

} // namespace

CSimulation::CSimulation(const CommonOptions& o) : m_o(o) {}

void CSimulation::Start()
{
    platform::SetTimeScale(m_o.dTimeScale);
    sim::World& w = sim::World::Instance();
    w.Reset();
    sim::World::Install();

    sim::MouseSettings s;
    if (m_o.devProgramId) s.programId = static_cast<DWORD>(*m_o.devProgramId);
    else if (HasFault(m_o.faults, "program-id", 1)) s.programId = 0x00011234;
    if (m_o.devVersion) s.version = static_cast<BYTE>(*m_o.devVersion);
    if (m_o.devDeviceId) s.deviceId = *m_o.devDeviceId;

    bool bootloader = false;
    std::error_code ec;
    if (!m_o.simState.empty() && fs::exists(m_o.simState, ec)) {
        if (!fs::is_regular_file(m_o.simState, ec)) throw Refused{m_o.simState + ": not a regular file"};
        const auto size = fs::file_size(m_o.simState, ec);
        if (ec || size > kMaxSimStateBytes) throw Refused{m_o.simState + ": not a simulated mouse's state (too large)"};
        std::ifstream in(m_o.simState, std::ios::binary);
        std::string line;
        if (!std::getline(in, line) || line != kSimStateFirstLine) throw Refused{m_o.simState + ": not a simulated mouse's state"};
        std::vector<BYTE> flash;
        s.userData.assign(16, std::vector<BYTE>(256, 0));
        int seen = 0;
        while (std::getline(in, line)) {
            const auto eq = line.find('=');
            if (eq == std::string::npos) continue;
            const std::string key = line.substr(0, eq), v = line.substr(eq + 1);
            unsigned long long x = 0;
            std::vector<BYTE> bytes;
            bool ok = true;
            if (key == "mode") ok = v == "application" || v == "bootloader", bootloader = v == "bootloader", seen |= 1;
            else if (key == "firmware") ok = v == "ok" || v == "broken", m_bBroken = v == "broken";
            else if (key == "program_id") ok = ParseHexValue(v, 8, x), s.programId = static_cast<DWORD>(x);
            else if (key == "version") ok = ParseHexValue(v, 2, x), s.version = static_cast<BYTE>(x);
            else if (key == "device_id") ok = ParseHexValue(v, 12, x), s.deviceId = x, seen |= 2;
            else if (key.rfind("user_data_", 0) == 0) {
                const std::string n = key.substr(10);
                ok = !n.empty() && n.size() <= 2 && n.find_first_not_of("0123456789") == std::string::npos && std::stoul(n) < 16 &&
                     FromHex(v, bytes) && bytes.size() == 256;
                if (ok) s.userData[std::stoul(n)] = bytes;
            } else if (key == "flash") {
                ok = FromHex(v, flash) && flash.size() <= 65536, seen |= 4;
            }
            if (!ok) throw Refused{m_o.simState + ": bad line '" + key + "'"};
        }
        if (seen != 7) throw Refused{m_o.simState + ": incomplete simulated mouse's state"};
        w.SetFlash(flash);
    }
    w.SetMouseSettings(s);
    w.SetFaults(FaultsFor(m_o.faults, 1, false));
    // Another device's bootloader on port 4 of the same root hub; the mouse is on port 1.
    if (m_o.bBootloaderPresent)
        m_foreignId = w.AddHidInterface(CDunX4ISPUSBComm::kVendorID, CDunX4ISPUSBComm::kProductID, 0xFF00, 65, "1-4");
    // For tests of Ctrl+C before the switch: the signal arrives exactly at request N.
    if (const char* at = std::getenv("TARVEX_SIM_INTERRUPT_AT_REQUEST")) {
        const int n = std::atoi(at);
        if (n > 0) w.SetRequestHook([n](int request) {
            if (request == n) std::raise(SIGINT);
        });
    }
    w.PlugMouse();
    // A mouse whose flash holds no complete firmware comes up in its bootloader.
    if (bootloader || m_bBroken) w.EnterBootloader();
}

void CSimulation::PlugLoopMouse(int n)
{
    sim::World& w = sim::World::Instance();
    w.UnplugMouse();
    sim::MouseSettings s;
    if (m_o.devProgramId) s.programId = static_cast<DWORD>(*m_o.devProgramId);
    else if (HasFault(m_o.faults, "program-id", n)) s.programId = 0x00011234;
    if (m_o.devVersion) s.version = static_cast<BYTE>(*m_o.devVersion);
    s.deviceId = (m_o.devDeviceId ? *m_o.devDeviceId : s.deviceId) + static_cast<ULONGLONG>(n - 1);
    // Each mouse has user data of its own.
    s.userData.assign(16, std::vector<BYTE>(256, 0));
    for (std::size_t b = 0; b < 16; ++b)
        for (std::size_t i = 0; i < 256; ++i) s.userData[b][i] = static_cast<BYTE>((b * 37 + i + static_cast<std::size_t>(n) * 11) & 0xFF);
    w.SetFlash({});
    w.SetMouseSettings(s);
    w.SetFaults(FaultsFor(m_o.faults, n, true));
    w.PlugMouse();
}

void CSimulation::UnplugMouse() { sim::World::Instance().UnplugMouse(); }

void CSimulation::SetImage(const std::vector<BYTE>& image, WORD programVer)
{
    sim::World::Instance().SetFirmwareImage(image, static_cast<BYTE>(programVer >> 8));
}

void CSimulation::ReplugAfterFailedReset() { sim::World::Instance().ReplugMouse(); }

void CSimulation::RemoveForeignBootloader()
{
    if (m_foreignId) sim::World::Instance().RemoveHidInterface(m_foreignId);
    m_foreignId = 0;
}

bool CSimulation::MouseHolds(const std::vector<BYTE>& image) const
{
    const std::vector<BYTE> flash = sim::World::Instance().Flash();
    return image.size() <= flash.size() && std::equal(image.begin(), image.end(), flash.begin());
}

bool CSimulation::Finish(bool verified, std::string* error)
{
    sim::World& w = sim::World::Instance();
    if (w.GetCounters().eraseReports > 0) m_bBroken = !verified;
    if (m_o.simState.empty()) return true;
    // A mouse on its way back to application mode is saved once it is there.
    for (int i = 0; i < 200; ++i) {
        const sim::MouseMode m = w.GetMouseMode();
        if (m != sim::MouseMode::Leaving && m != sim::MouseMode::Switching) break;
        Sleep(50);
    }
    const sim::MouseMode mode = w.GetMouseMode();
    sim::MouseSettings s = w.GetMouseSettings();
    const std::vector<BYTE> flash = w.Flash();
    if (m_bBroken) {
        // The identity lived in the flash: what the flash holds now is all the mouse has.
        s.deviceId = wire::image::GetDeviceId(flash.data());
        for (std::size_t b = 5; b <= 8; ++b)
            std::copy_n(flash.begin() + wire::image::UserDataOffset(static_cast<BYTE>(b)), wire::app::kUserDataBlockSize,
                        s.userData[b].begin());
    }
    // A mouse that left the bus is plugged in again next time.
    const bool bootloader = mode == sim::MouseMode::Bootloader || m_bBroken;
    std::string text = std::string(kSimStateFirstLine) + "\n";
    char buf[64];
    text += std::string("mode=") + (bootloader ? "bootloader" : "application") + "\n";
    text += std::string("firmware=") + (m_bBroken ? "broken" : "ok") + "\n";
    std::snprintf(buf, sizeof buf, "program_id=%08X\nversion=%02X\n", static_cast<unsigned>(s.programId), static_cast<unsigned>(s.version));
    text += buf;
    text += "device_id=" + HexId(s.deviceId) + "\n";
    for (std::size_t b = 0; b < s.userData.size() && b < 16; ++b)
        text += "user_data_" + std::to_string(b) + "=" + ToHex(s.userData[b].data(), s.userData[b].size()) + "\n";
    std::size_t used = flash.size();
    while (used > 0 && flash[used - 1] == 0xFF) --used; // the erased tail is implied
    text += "flash=" + ToHex(flash.data(), used) + "\n";
    // Saved as every other file the tool writes: whole or not at all, never through a link.
    const BOOL ok = platform::ReplaceFileContents(platform::WindowsPath(m_o.simState), [&](HANDLE h) {
        DWORD written = 0;
        return WriteFile(h, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) && written == text.size();
    });
    if (!ok) {
        if (error) *error = m_o.simState + ": the simulated mouse's state could not be saved";
        return false;
    }
    return true;
}

} // namespace field
