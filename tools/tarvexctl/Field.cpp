#include "tools/tarvexctl/Field.h"

#include <algorithm>
#include <atomic>
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
#include "sim/FaultNames.h"
#include "sim/SimState.h"
#include "sim/World.h"
#include "encfile/ToolDir.h"
#include "upgrade/EventJson.h"

namespace fs = std::filesystem;

namespace field {

namespace {

volatile std::sig_atomic_t g_interrupted = 0;
std::atomic<int> g_pastSwitch{0}; // runs past their switch (lock-free: read in the handler)
const auto g_start = std::chrono::steady_clock::now();

void OnInterrupt(int)
{
    g_interrupted = 1;
    if (g_pastSwitch.load() > 0) {
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

bool ParseHexValue(std::string s, std::size_t maxDigits, unsigned long long& v)
{
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) s = s.substr(2);
    if (s.empty() || s.size() > maxDigits || s.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) return false;
    v = std::stoull(s, nullptr, 16);
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
    "                        erase write read verify reset unplug-app unplug-isp isp-held isp-denied\n"
    "                        (@N: only mouse N of a loop)\n"
    "    --device-program-id HEX --device-version N --sim-device-id HEX   the mouse (default 15A3C, 1,\n"
    "                        5EED1234ABCD; a loop's mouse N has the ID + N - 1)\n"
    "    --bootloader-present   another device's bootloader is on the bus from the start; a loop's\n"
    "                        simulated technician unplugs it when asked, unless --foreign-bootloader-stays\n"
    "    --sim-state FILE    keep the simulated mouse (mode, flash, device ID, user data) in FILE\n"
    "                        between commands; the --device-* options apply when FILE does not exist yet\n";

tarvexctl::OptionSet CommonOptionSet()
{
    tarvexctl::OptionSet options;
    options.values = {"--dir", "--config", "--image", "--time-scale", "--device-program-id", "--device-version", "--sim-device-id",
                   "--sim-state"};
    options.repeated = {"--fault"};
    options.optionalNumbers = {"--wait"};
    options.flags = {"-v", "--verbose", "--json", "--simulate", "--bootloader-present", "--foreign-bootloader-stays"};
    return options;
}

CommonOptions ReadCommon(const tarvexctl::Args& args)
{
    CommonOptions o;
    o.dir = args.Value("--dir").value_or("");
    o.config = args.Value("--config").value_or("");
    o.image = args.Value("--image").value_or("");
    if (auto w = args.Value("--wait")) {
        o.waitSeconds = -1;
        if (!w->empty()) {
            char* end = nullptr;
            const double sec = std::strtod(w->c_str(), &end);
            if (*end || !(sec >= 0) || sec > 1e6) throw UsageError{"--wait takes a number of seconds"};
            o.waitSeconds = sec;
        }
    }
    o.bVerbose = args.Flag("-v") || args.Flag("--verbose");
    o.bJson = args.Flag("--json");
    o.bSimulate = args.Flag("--simulate");
    if (auto v = args.Value("--time-scale")) {
        char* end = nullptr;
        o.dTimeScale = std::strtod(v->c_str(), &end);
        if (*end || !(o.dTimeScale > 0) || o.dTimeScale > 100) throw UsageError{"bad time scale '" + *v + "'"};
    }
    for (const std::string& v : args.Values("--fault")) {
        if (!sim::IsFaultArgument(v)) throw UsageError{"unknown fault '" + v + "' (NAME or NAME@N, N from 1)"};
        o.faults.push_back(v);
    }
    unsigned long long x = 0;
    if (auto v = args.Value("--device-program-id")) {
        if (!ParseHexValue(*v, 8, x)) throw UsageError{"bad program ID '" + *v + "'"};
        o.devProgramId = static_cast<unsigned long>(x);
    }
    if (auto v = args.Value("--device-version")) {
        if (v->empty() || v->size() > 3 || v->find_first_not_of("0123456789") != std::string::npos || std::stoul(*v) > 255)
            throw UsageError{"bad device version '" + *v + "' (0..255)"};
        o.devVersion = static_cast<int>(std::stoul(*v));
    }
    if (auto v = args.Value("--sim-device-id")) {
        if (!ParseHexValue(*v, 12, x)) throw UsageError{"bad device ID '" + *v + "' (up to 12 hex digits)"};
        o.devDeviceId = x;
    }
    o.bBootloaderPresent = args.Flag("--bootloader-present");
    o.bForeignBootloaderStays = args.Flag("--foreign-bootloader-stays");
    o.simState = args.Value("--sim-state").value_or("");
    return o;
}

void InstallInterruptFlag()
{
    // signal() keeps the handler installed and restarts interrupted calls on Linux, and is
    // what Windows offers for Ctrl+C.
    std::signal(SIGINT, &OnInterrupt);
    std::signal(SIGTERM, &OnInterrupt);
}

bool Interrupted() { return g_interrupted != 0; }

void SetPastSwitch(bool past) { g_pastSwitch += past ? 1 : -1; }

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
    const fs::path dir = tarvexctl::U8(o.dir);
    if (!fs::is_directory(dir, ec)) throw Refused{o.dir + ": not a directory" + (ec ? " (" + ec.message() + ")" : std::string())};
    fs::path p = fs::absolute(dir, ec).lexically_normal();
    if (ec) p = dir;
    CString s = platform::WindowsPath(tarvexctl::U8String(p));
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

UpgradeReport RunFieldUpgrade(const LoadedImage& img, BYTE* data, CQL40USBComm& app, CDunX4ISPUSBComm& isp,
                              CUSBDeviceMonitor& monitor, IUpgradeFace& face, CRecoveryJournal& journal, CRunLog& log)
{
    UpgradeTarget t;
    t.pConfig = &img.config;
    t.pHeader = &img.header;
    t.pAppData = data;
    t.bAppLoaded = true;
    t.pAppComm = &app;
    t.pISPComm = &isp;
    t.pMonitor = &monitor;
    CUpgradeProcedure p(face, t);
    p.m_pJournal = &journal;
    // Never erase a mouse whose identity is not saved.
    p.m_bJournalRequired = true;
    p.m_pLog = &log;
    return p.Run();
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

CSimulation::CSimulation(const CommonOptions& o) : m_o(o) {}

void CSimulation::Start()
{
    platform::SetTimeScale(m_o.dTimeScale);
    sim::World& w = sim::World::Instance();
    w.Reset();
    sim::World::Install();

    sim::SimState st;
    if (m_o.devProgramId) st.settings.programId = static_cast<DWORD>(*m_o.devProgramId);
    else if (sim::HasFault(m_o.faults, "program-id", 1)) st.settings.programId = sim::kForeignProgramId;
    if (m_o.devVersion) st.settings.version = static_cast<BYTE>(*m_o.devVersion);
    if (m_o.devDeviceId) st.settings.deviceId = *m_o.devDeviceId;
    std::error_code ec;
    if (!m_o.simState.empty() && fs::exists(fs::symlink_status(tarvexctl::U8(m_o.simState), ec))) {
        std::string error;
        if (!sim::ReadSimState(m_o.simState, st, error)) throw Refused{error};
        m_bBroken = st.broken;
    }
    w.SetFaults(sim::FaultsFor(m_o.faults, 1, 0));
    // For tests of Ctrl+C before the switch: the signal arrives exactly at request N.
    if (const char* at = std::getenv("TARVEX_SIM_INTERRUPT_AT_REQUEST")) {
        const int n = std::atoi(at);
        if (n > 0) w.SetRequestHook([n](int request) {
            if (request == n) std::raise(SIGINT);
        });
    }
    // The mouse comes back on the port it was kept on (a station's mouse k on port k).
    const int root = w.AddController(0, std::max(4, st.port));
    if (m_o.bBootloaderPresent)
        m_foreignId = w.AddHidInterface(CDunX4ISPUSBComm::kVendorID, CDunX4ISPUSBComm::kProductID, 0xFF00, 65,
                                        st.port == 4 ? "1-5" : "1-4");
    sim::RestoreSimState(w, 0, st, root, st.port);
}

void CSimulation::PlugLoopMouse(int n)
{
    sim::World& w = sim::World::Instance();
    w.UnplugMouse();
    sim::MouseSettings s;
    if (m_o.devProgramId) s.programId = static_cast<DWORD>(*m_o.devProgramId);
    else if (sim::HasFault(m_o.faults, "program-id", n)) s.programId = sim::kForeignProgramId;
    if (m_o.devVersion) s.version = static_cast<BYTE>(*m_o.devVersion);
    s.deviceId = (m_o.devDeviceId ? *m_o.devDeviceId : s.deviceId) + static_cast<ULONGLONG>(n - 1);
    // Each mouse has user data of its own.
    s.userData.assign(16, std::vector<BYTE>(256, 0));
    for (std::size_t b = 0; b < 16; ++b)
        for (std::size_t i = 0; i < 256; ++i) s.userData[b][i] = static_cast<BYTE>((b * 37 + i + static_cast<std::size_t>(n) * 11) & 0xFF);
    w.SetFlash({});
    w.SetMouseSettings(s);
    // The loop asks for the device ID on arrival, before the run's own first request.
    w.SetFaults(sim::FaultsFor(m_o.faults, n, 1));
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
    std::string why;
    if (!sim::WriteSimState(m_o.simState, sim::CaptureSimState(w, 0, m_bBroken), why)) {
        if (error) *error = why;
        return false;
    }
    return true;
}

} // namespace field
