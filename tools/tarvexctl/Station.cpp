// tarvexctl upgrade --all and --loop --parallel: a station upgrades one mouse per port, every
// port at once. Each port's run has device objects of its own, bound to that port (the mouse
// in application mode and its bootloader are opened only there), its own journal entry, log
// lines and report record; the ports share nothing but the image they start from. A fault,
// an unplug or a failure on one port never touches another's run.
#ifdef _WIN32
#include <io.h>

#include "platform/win32/Win32Api.h"
#else
#include <unistd.h>
#endif

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

#include "device/USBDeviceMonitor.h"
#include "platform/Clock.h"
#include "platform/Kernel.h"
#include "platform/hid/HidBackend.h"
#include "sim/FaultNames.h"
#include "sim/SimState.h"
#include "sim/World.h"
#include "tools/tarvexctl/Field.h"
#include "tools/tarvexctl/Report.h"
#include "tools/tarvexctl/Station.h"
#include "upgrade/RecoveryJournal.h"
#include "upgrade/RunLog.h"
#include "upgrade/UpgradeProcedure.h"

namespace field {
namespace {

const char* ShortColour(COLORREF cr)
{
    switch (cr) {
    case UPGRADE_COLOR_BLUE: return "blue";
    case UPGRADE_COLOR_RED: return "red";
    case UPGRADE_COLOR_GREEN: return "green";
    default: return "face";
    }
}

// What the station shows: one row per port and the totals, as live lines on a terminal, one
// line per step tagged with its port otherwise, or JSON events carrying the port.
class CBoard
{
public:
    enum class Style { Live, Lines, Json };
    explicit CBoard(Style style) : m_style(style) {}

    struct Row {
        std::string deviceId = "-";
        int progress = 0;
        std::string text = "waiting for a mouse";
        std::string countdown;
    };

    void Update(const std::string& port, const std::function<void(Row&)>& change, const std::string& line = {},
                const std::string& json = {})
    {
        std::lock_guard<std::mutex> lk(m_mu);
        change(m_rows[port]);
        if (m_style == Style::Lines && !line.empty()) std::printf("[%s] %s\n", port.c_str(), line.c_str());
        if (m_style == Style::Json && !json.empty())
            std::printf("{\"t_ms\":%.1f,\"port\":%s,%s}\n", ElapsedMs(), JsonString(port).c_str(), json.c_str());
        if (m_style != Style::Live) std::fflush(stdout);
    }
    void Totals(const std::string& text)
    {
        std::lock_guard<std::mutex> lk(m_mu);
        m_totals = text;
    }
    void Say(const std::string& text)
    {
        std::lock_guard<std::mutex> lk(m_mu);
        if (m_style == Style::Json) {
            std::printf("{\"t_ms\":%.1f,\"message\":%s,\"level\":\"info\"}\n", ElapsedMs(), JsonString(text).c_str());
        } else {
            EraseLocked();
            std::printf("%s\n", text.c_str());
        }
        std::fflush(stdout);
    }
    // The live view, redrawn in place.
    void Render()
    {
        std::lock_guard<std::mutex> lk(m_mu);
        if (m_style != Style::Live) return;
        EraseLocked();
        for (const auto& [port, r] : m_rows) {
            char line[512];
            std::snprintf(line, sizeof line, "%-10s %-12s [%3d%%] %s%s", port.c_str(), r.deviceId.c_str(), r.progress, r.text.c_str(),
                          r.countdown.empty() ? "" : (" - " + r.countdown).c_str());
            std::printf("%s\033[K\n", line);
        }
        std::printf("%s\033[K\n", m_totals.c_str());
        m_drawn = static_cast<int>(m_rows.size()) + 1;
        std::fflush(stdout);
    }

private:
    void EraseLocked()
    {
        if (m_drawn > 0) std::printf("\033[%dA\r", m_drawn);
        for (int i = 0; i < m_drawn; ++i) std::printf("\033[K\n");
        if (m_drawn > 0) std::printf("\033[%dA\r", m_drawn);
        m_drawn = 0;
    }

    Style m_style;
    std::mutex m_mu;
    std::map<std::string, Row> m_rows;
    std::string m_totals;
    int m_drawn = 0;
};

// One port's face: its steps go to the board, its waits are plain sleeps.
class CPortFace : public IUpgradeFace
{
public:
    CPortFace(CBoard& board, std::string port) : m_board(board), m_port(std::move(port)) {}
    ~CPortFace() override
    {
        if (m_bPassed) SetPastSwitch(false);
    }

    void ClearStatus() override { Step(0xFFFFFFFF, ""); }
    void SetStatus(COLORREF cr, const WCHAR* text) override { Step(cr, CString(text).ToUtf8()); }
    void SetProgress(int pos) override
    {
        m_nProgress = pos;
        m_board.Update(m_port, [&](CBoard::Row& r) { r.progress = pos; }, {},
                       "\"progress\":" + std::to_string(pos));
    }
    void SetResult(UpgradePicture) override {}
    void Wait(UpgradeWait kind, DWORD ms) override
    {
        if (kind == UpgradeWait::BootloaderPoll) {
            ++m_nPolls;
            m_board.Update(m_port, [&](CBoard::Row& r) { r.countdown = "waiting for the bootloader: " + std::to_string(m_nPolls / 10) + " s"; });
            Sleep(ms);
            return;
        }
        m_board.Update(m_port, [](CBoard::Row&) {}, "waiting " + std::to_string(ms / 1000) + " s for the bootloader to settle",
                       "\"wait\":\"settle\",\"ms\":" + std::to_string(ms));
        for (DWORD left = ms; left > 0;) {
            m_board.Update(m_port, [&](CBoard::Row& r) { r.countdown = "settling: " + std::to_string((left + 999) / 1000) + " s"; });
            const DWORD slice = std::min<DWORD>(left, 100);
            Sleep(slice);
            left -= slice;
        }
        m_board.Update(m_port, [](CBoard::Row& r) { r.countdown.clear(); });
    }
    bool BeforeSwitch() override
    {
        // Ctrl+C before the switch: this mouse is left untouched.
        if (Interrupted()) return false;
        SetPastSwitch(true);
        m_bPassed = true;
        return true;
    }

private:
    void Step(COLORREF cr, const std::string& text)
    {
        char line[64];
        std::snprintf(line, sizeof line, "[%3d%%] %-5s ", m_nProgress, ShortColour(cr));
        m_board.Update(m_port, [&](CBoard::Row& r) { r.text = text.empty() ? "started" : text; },
                       line + (text.empty() ? std::string("(status line cleared)") : text),
                       "\"text\":" + JsonString(text) + ",\"colour\":\"" + ShortColour(cr) + "\",\"progress\":" +
                           std::to_string(m_nProgress));
    }

    CBoard& m_board;
    std::string m_port;
    int m_nProgress = 0;
    int m_nPolls = 0;
    bool m_bPassed = false;
};

struct Totals {
    int done = 0, upgraded = 0, replug = 0, afterSwitch = 0, untouched = 0;
    bool reportFailed = false;
};

// The mice of a simulated station: mouse k (from 1) on port k of controller 0's root hub, the
// other device's bootloader (--bootloader-present) on the port after them.
class CStationSim
{
public:
    CStationSim(const CommonOptions& o, int mice) : m_o(o), m_nMice(mice) {}

    void Start(const LoadedImage& img)
    {
        platform::SetTimeScale(m_o.dTimeScale);
        sim::World& w = sim::World::Instance();
        w.Reset();
        sim::World::Install();
        const int ports = std::max(4, m_nMice + 1);
        m_root = w.AddController(0, ports);
        w.SetFirmwareImage(img.data, static_cast<BYTE>(img.config.wProgramVer >> 8));
        // For tests of Ctrl+C: the signal arrives exactly as a mouse gets request N.
        if (const char* at = std::getenv("TARVEX_SIM_INTERRUPT_AT_REQUEST")) {
            const int n = std::atoi(at);
            if (n > 0) w.SetRequestHook([n](int request) {
                if (request == n) std::raise(SIGINT);
            });
        }
        if (m_o.bBootloaderPresent)
            w.AddHidInterface(CDunX4ISPUSBComm::kVendorID, CDunX4ISPUSBComm::kProductID, 0xFF00, 65, "1-" + std::to_string(ports));
        m_broken.assign(static_cast<std::size_t>(m_nMice) + 1, false);
        for (int k = 1; k <= m_nMice; ++k) {
            // --sim-state keeps every mouse: mouse 1 in FILE, mouse k in FILE.k.
            sim::SimState st;
            std::string error;
            std::error_code ec;
            const std::string path = StatePath(k);
            if (!path.empty() && std::filesystem::exists(std::filesystem::symlink_status(path, ec))) {
                if (!sim::ReadSimState(path, st, error)) throw Refused{error};
                w.SetFaults(k - 1, sim::FaultsFor(m_o.faults, k, 1));
                sim::RestoreSimState(w, k - 1, st, m_root, k);
                m_broken[static_cast<std::size_t>(k)] = st.broken;
            } else {
                Plug(k, 1);
            }
        }
    }
    std::string StatePath(int k) const
    {
        if (m_o.simState.empty()) return {};
        return k == 1 ? m_o.simState : m_o.simState + "." + std::to_string(k);
    }
    // After a run on port k: the mouse's firmware is whole again only after a verified write.
    void NoteRun(int k, bool erased, bool verified)
    {
        if (erased && k >= 1 && k <= m_nMice) m_broken[static_cast<std::size_t>(k)] = !verified;
    }
    // Every mouse's state, as the station leaves it; false with the reasons of those not saved.
    bool Save(std::string& error)
    {
        if (m_o.simState.empty()) return true;
        sim::World& w = sim::World::Instance();
        bool ok = true;
        for (int k = 1; k <= m_nMice; ++k) {
            // A mouse on its way back to application mode is saved once it is there.
            for (int i = 0; i < 200; ++i) {
                const sim::MouseMode m = w.GetMouseMode(k - 1);
                if (m != sim::MouseMode::Leaving && m != sim::MouseMode::Switching) break;
                Sleep(50);
            }
            std::string why;
            if (!sim::WriteSimState(StatePath(k), sim::CaptureSimState(w, k - 1, m_broken[static_cast<std::size_t>(k)]), why)) {
                ok = false;
                error += (error.empty() ? "" : "; ") + why;
            }
        }
        return ok;
    }
    // Mouse k's next one: the simulated technician takes the done mouse off and plugs in the
    // next (device IDs count up across ports and rounds).
    void Plug(int k, int round)
    {
        sim::World& w = sim::World::Instance();
        sim::MouseSettings s;
        if (m_o.devProgramId) s.programId = static_cast<DWORD>(*m_o.devProgramId);
        else if (sim::HasFault(m_o.faults, "program-id", k)) s.programId = sim::kForeignProgramId;
        if (m_o.devVersion) s.version = static_cast<BYTE>(*m_o.devVersion);
        const ULONGLONG base = m_o.devDeviceId ? *m_o.devDeviceId : s.deviceId;
        s.deviceId = base + static_cast<ULONGLONG>((round - 1) * m_nMice + k - 1);
        s.userData.assign(16, std::vector<BYTE>(256, 0));
        for (std::size_t b = 0; b < 16; ++b)
            for (std::size_t i = 0; i < 256; ++i) s.userData[b][i] = static_cast<BYTE>((b * 37 + i + static_cast<std::size_t>(k) * 11) & 0xFF);
        w.UnplugMouse(k - 1);
        if (static_cast<std::size_t>(k) < m_broken.size()) m_broken[static_cast<std::size_t>(k)] = false;
        w.SetFlash(k - 1, {});
        w.SetMouseSettings(k - 1, s);
        // The station asks for the device ID before the run's own first request.
        w.SetFaults(k - 1, sim::FaultsFor(m_o.faults, k, 1));
        w.PlugMouse(k - 1, m_root, k);
    }
    void Replug(int k) { sim::World::Instance().ReplugMouse(k - 1); }
    bool Holds(int k, const std::vector<BYTE>& image) const
    {
        const std::vector<BYTE> flash = sim::World::Instance().Flash(k - 1);
        return image.size() <= flash.size() && std::equal(image.begin(), image.end(), flash.begin());
    }
    static int MouseOfPort(const std::string& port)
    {
        const auto dash = port.find('-');
        if (port.rfind("1-", 0) != 0 || port.find('.') != std::string::npos) return 0;
        return std::atoi(port.c_str() + dash + 1);
    }
    int Mice() const { return m_nMice; }

private:
    CommonOptions m_o;
    int m_nMice;
    int m_root = 0;
    std::vector<bool> m_broken; // by mouse, from 1
};

// The ports with a mouse in application mode on them now.
std::set<std::string> MousePorts(const std::vector<std::string>& only)
{
    std::set<std::string> ports;
    auto backend = platform::hid::GetBackend();
    if (!backend) return ports;
    for (const auto& d : backend->Enumerate()) {
        HID_ATTRIBUTES_CAPABILITES rec{};
        rec.Attributes.VendorID = d.vendorId;
        rec.Capabilities.UsagePage = d.usagePage;
        if (!CQL40USBComm::Filter(rec) || d.portPath.empty()) continue;
        if (!only.empty() && std::find(only.begin(), only.end(), d.portPath) == only.end()) continue;
        ports.insert(d.portPath);
    }
    return ports;
}

bool PortBusy(const std::string& port)
{
    auto backend = platform::hid::GetBackend();
    if (!backend) return false;
    for (const auto& d : backend->Enumerate())
        if (d.portPath == port) return true;
    return false;
}

} // namespace

int UpgradeStation(const StationOptions& so)
{
    const CommonOptions& c = so.common;
    LoadedImage img = LoadConfigAndImage(c);
    const CString dir = ToolDirOf(c);
    CReport report;
    if (!so.report.empty()) report.Open(so.report);

    std::unique_ptr<CStationSim> simulation;
    if (c.bSimulate) {
        simulation = std::make_unique<CStationSim>(c, std::max(1, so.simMice));
        simulation->Start(img);
    }
#ifdef _WIN32
    const bool terminal = _isatty(_fileno(stdout)) != 0 && platform::win32::TerminalSequencesOn();
#else
    const bool terminal = isatty(STDOUT_FILENO) != 0;
#endif
    CBoard board(c.bJson ? CBoard::Style::Json : terminal ? CBoard::Style::Live : CBoard::Style::Lines);
    const std::vector<BYTE> pristine = img.data;

    std::mutex mu; // guards totals, the port states and the mice started
    Totals totals;
    int started = 0;
    std::map<std::string, int> rounds; // simulated: the mice plugged on each port so far
    enum class PortState { Idle, Running, AwaitUnplug };
    std::map<std::string, PortState> states;
    std::vector<std::thread> threads;

    auto runPort = [&](const std::string& port) {
        const auto t0 = std::chrono::steady_clock::now();
        const long long startTime = static_cast<long long>(std::time(nullptr));
        std::vector<BYTE> image = pristine; // each port patches its own copy
        CQL40USBComm app;
        CDunX4ISPUSBComm isp;
        CUSBDeviceMonitor monitor;
        app.SetPortFilter(port);
        isp.BindToPort(port);
        app.Start();
        isp.Start();
        CRecoveryJournal journal(dir);
        CRunLog log(dir, "tarvexctl port " + port);
        if (c.bVerbose) log.m_fnMirror = [](const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); };
        // Its poll thread opens the mouse within about a second.
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!app.IsOpen() && !Interrupted() && std::chrono::steady_clock::now() < until) Sleep(20);
        ULONGLONG id = 0;
        const bool haveId = app.IsOpen() && app.GetDeviceID(id);
        board.Update(port, [&](CBoard::Row& r) { r.deviceId = haveId ? HexId(id) : "-"; });
        UpgradeReport r;
        {
            CPortFace face(board, port);
            r = RunFieldUpgrade(img, image.data(), app, isp, monitor, face, journal, log);
        }
        isp.Stop();
        app.Stop();
        OutcomeClass cls = ClassOf(r.outcome);
        const int mouse = simulation ? CStationSim::MouseOfPort(port) : 0;
        if (simulation && cls == OutcomeClass::Upgraded && !simulation->Holds(mouse, image)) cls = OutcomeClass::AfterSwitch;
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        const Record rec = MakeRecord(r, cls, img, seconds, startTime, haveId ? HexId(id) : std::string(), port);
        std::string why;
        const bool recorded = !report.IsOpen() || report.Append(rec, why);
        if (!recorded) board.Say("tarvexctl: " + so.report + ": the record of port " + port + " was not written: " + why);
        char line[256];
        std::snprintf(line, sizeof line, "%s %s -> %s %s (%s) %.1f s", rec.deviceId.c_str(), rec.oldVersion.c_str(), rec.newVersion.c_str(),
                      rec.outcome.c_str(), rec.cls.c_str(), seconds);
        log.Line(std::string("mouse ") + line + (r.detail.empty() ? std::string() : " [" + r.detail + "]"));
        board.Update(port, [&](CBoard::Row& row) { row.text = std::string(rec.outcome) + " (" + rec.cls + ")"; row.countdown.clear(); },
                     std::string("mouse ") + line, rec.Json(false));
        if (cls == OutcomeClass::AfterSwitch)
            board.Say("port " + port + ": the mouse may be in its bootloader: run `tarvexctl recover " + DirAdvice(c) + "` with it");
        std::lock_guard<std::mutex> lk(mu);
        ++totals.done;
        switch (cls) {
        case OutcomeClass::Upgraded: ++totals.upgraded; break;
        case OutcomeClass::ResetFailed: ++totals.replug; break;
        case OutcomeClass::AfterSwitch: ++totals.afterSwitch; break;
        case OutcomeClass::Untouched: ++totals.untouched; break;
        }
        if (!recorded) totals.reportFailed = true;
        if (simulation) simulation->NoteRun(mouse, r.bSwitched, cls == OutcomeClass::Upgraded || cls == OutcomeClass::ResetFailed);
        if (simulation && cls == OutcomeClass::ResetFailed) simulation->Replug(mouse);
        // The simulated technician plugs in the port's next mouse while there are mice to do.
        if (simulation && so.bLoop && !Interrupted() && (!so.count || started < *so.count)) {
            simulation->Plug(mouse, ++rounds[port]);
            states[port] = PortState::Idle;
        } else {
            states[port] = PortState::AwaitUnplug;
        }
    };

    auto totalsText = [&] {
        char t[200];
        std::snprintf(t, sizeof t, "%d mice: %d upgraded, %d to replug, %d failed after the switch, %d refused or failed untouched",
                      totals.done, totals.upgraded, totals.replug, totals.afterSwitch, totals.untouched);
        return std::string(t);
    };

    // --all: the mice on the bus now; --loop --parallel: each port as its mice come.
    const auto firstLook = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    for (;;) {
        std::set<std::string> present = MousePorts(so.ports);
        {
            std::lock_guard<std::mutex> lk(mu);
            for (auto& [port, st] : states)
                if (st == PortState::AwaitUnplug && !PortBusy(port)) st = PortState::Idle;
            bool room = !so.count || started < *so.count;
            for (const std::string& port : present) {
                if (Interrupted() || !room) break;
                PortState& st = states[port];
                if (st != PortState::Idle) continue;
                if (!so.bLoop && rounds.count(port)) continue; // --all: once per port
                st = PortState::Running;
                rounds.emplace(port, 1);
                ++started;
                room = !so.count || started < *so.count;
                threads.emplace_back(runPort, port);
            }
            board.Totals(totalsText());
        }
        board.Render();
        bool running = false;
        {
            std::lock_guard<std::mutex> lk(mu);
            for (auto& [port, st] : states) running = running || st == PortState::Running;
            const bool allDone = so.count && totals.done >= *so.count;
            if (Interrupted() && !running) break;
            if (allDone) break;
            // --all ends when the mice found have been done (waiting a moment for the first).
            if (!so.bLoop && !running && (!states.empty() || std::chrono::steady_clock::now() > firstLook)) break;
        }
        Sleep(200);
    }
    for (auto& t : threads) t.join();
    std::string simError;
    // The mice's saved states are the simulation's business: they never change the outcome.
    if (simulation && !simulation->Save(simError)) board.Say("tarvexctl: " + simError);
    board.Totals(totalsText());
    board.Render();
    if (Interrupted()) board.Say("stopped (Ctrl+C)");
    if (c.bJson)
        std::printf("{\"t_ms\":%.1f,\"mice\":%d,\"upgraded\":%d,\"replug\":%d,\"after_switch\":%d,\"untouched\":%d,\"report_failed\":%s}\n",
                    ElapsedMs(), totals.done, totals.upgraded, totals.replug, totals.afterSwitch, totals.untouched,
                    totals.reportFailed ? "true" : "false");
    else if (!terminal)
        std::printf("%s\n", totalsText().c_str());
    std::fflush(stdout);
    if (totals.done == 0 && !so.bLoop) board.Say("no mouse in application mode on the bus (没有发现可升级设备！)");
    if (totals.afterSwitch) return kExitAfterSwitch;
    if (totals.replug) return kExitResetFailed;
    if (totals.untouched || totals.reportFailed || totals.done == 0) return kExitUntouched;
    return kExitUpgraded;
}

} // namespace field
