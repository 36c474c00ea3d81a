// tarvexctl upgrade: the window's procedure with the terminal as its face, for one mouse or
// (--loop) one mouse after another.
#ifdef _WIN32
#include <io.h>

#include "platform/win32/Win32Api.h"
#else
#include <unistd.h>
#endif

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <set>
#include <chrono>
#include <cstdlib>

#include "device/USBDeviceMonitor.h"
#include "device/Wire.h"
#include "platform/Clock.h"
#include "platform/Kernel.h"
#include "tools/tarvexctl/Field.h"
#include "tools/tarvexctl/Report.h"
#include "tools/tarvexctl/Station.h"
#include "upgrade/RecoveryJournal.h"
#include "upgrade/UpgradeProcedure.h"
#include "upgrade/AppendFile.h"

namespace field {

int RecoverCommand(const std::vector<std::string>& args);
int JournalCommand(const std::vector<std::string>& args);
int DevicesCommand(const std::vector<std::string>& args);
const char* RecoverHelp();
const char* JournalHelp();
const char* DevicesHelp();

namespace {

const char* const kUpgradeHelp =
    "Upgrades the mouse in application mode with the configured image, as the window does.\n"
    "  --json                JSON event lines on stdout instead of the progress line\n"
    "  --loop                one mouse after another until Ctrl+C (or --count N mice); one line per\n"
    "                        mouse and the totals; --report FILE appends one CSV record per mouse\n"
    "  --all                 every mouse on the bus now, each on its own port, all at once\n"
    "  --loop --parallel     a station: each port starts its own run the moment a mouse arrives on it\n"
    "  --ports PATH,...      only these USB ports (as `tarvexctl devices` names them)\n"
    "  --sim-mice N          with --simulate: N simulated mice on ports 1-1 .. 1-N\n"
    "Only the bootloader that comes up on the switched mouse's own USB port is written; another\n"
    "device's bootloader elsewhere on the bus is never touched. Ctrl+C before the switch ends the\n"
    "run at once with the mouse untouched; after it, the mouse is finished first.\n"
    "exit status: 0 upgraded; 1 refused or failed with the mouse untouched (still in application\n"
    "mode, old firmware); 2 usage error; 3 failed after the switch: the mouse may be in its\n"
    "bootloader, run tarvexctl recover; 4 upgraded, but the reset failed: replug the mouse.\n"
    "With --loop: 0 if every mouse was upgraded, else the worst of 3, 4, 1 seen; a report record\n"
    "that could not be written makes it at least 1.\n";

std::string Utf8(const WCHAR* s) { return CString(s).ToUtf8(); }

const char* PictureName(UpgradePicture p)
{
    switch (p) {
    case UpgradePicture::Initial: return "initial";
    case UpgradePicture::Success: return "success";
    case UpgradePicture::Failure: return "failure";
    }
    return "none";
}

int ExitOf(OutcomeClass c)
{
    switch (c) {
    case OutcomeClass::Upgraded: return kExitUpgraded;
    case OutcomeClass::Untouched: return kExitUntouched;
    case OutcomeClass::AfterSwitch: return kExitAfterSwitch;
    case OutcomeClass::ResetFailed: return kExitResetFailed;
    }
    return kExitUntouched;
}

// The terminal's face: one live line on a terminal, one line per step otherwise, or the
// demo's JSON event lines.
class CTerminalFace : public IUpgradeFace
{
public:
    enum class Style { Live, Lines, Json };
    CTerminalFace(Style style, const CommonOptions& o, CQL40USBComm& app, CDunX4ISPUSBComm& isp)
        : m_style(style), m_o(o), m_app(app), m_isp(isp)
    {
        m_bApp = app.IsOpen();
        m_bIsp = isp.IsOpen();
    }

    // Loop: hold the switch while another bootloader device is present.
    bool m_bGuardSwitch = false;
    std::function<void()> m_fnForeignBootloader;

    void ClearStatus() override
    {
        m_strText.clear();
        m_cr = 0xFFFFFFFF;
        Show();
    }
    void SetStatus(COLORREF cr, const WCHAR* text) override
    {
        m_strText = Utf8(text);
        m_cr = cr;
        Show();
    }
    void SetProgress(int pos) override
    {
        m_nProgress = pos;
        Show();
    }
    void SetResult(UpgradePicture p) override
    {
        m_picture = p;
        Show();
    }
    void Wait(UpgradeWait kind, DWORD ms) override
    {
        CheckDevices();
        if (kind == UpgradeWait::BootloaderPoll) {
            // One of up to 600 polls: the line counts the seconds spent so far.
            if (m_style == Style::Live)
                Live(m_strText + " - waiting for the bootloader: " + std::to_string(m_nPolls / 10) + " s");
            ++m_nPolls;
            Sleep(ms);
            return;
        }
        if (m_style == Style::Lines)
            std::printf("       waiting %u s for the bootloader to settle\n", static_cast<unsigned>(ms / 1000)), std::fflush(stdout);
        if (m_style == Style::Json)
            std::printf("{\"t_ms\":%.1f,\"wait\":\"settle\",\"ms\":%u}\n", ElapsedMs(), static_cast<unsigned>(ms)), std::fflush(stdout);
        // The fixed wait in slices of at most 100 ms, counting down on a terminal.
        for (DWORD left = ms; left > 0;) {
            if (m_style == Style::Live)
                Live(m_strText + " - waiting for the bootloader to settle: " + std::to_string((left + 999) / 1000) + " s");
            const DWORD slice = std::min<DWORD>(left, 100);
            Sleep(slice);
            left -= slice;
            CheckDevices();
        }
    }
    bool BeforeSwitch() override
    {
        // Nothing has been switched yet: Ctrl+C ends the run here, the mouse untouched.
        if (Interrupted()) return false;
        // Where the mouse's port is known, the run accepts only the bootloader on that port,
        // and another device's bootloader elsewhere is no danger. Without a port the only
        // safe bootloader is a lone one: the switch waits until the other has gone.
        if (!m_bGuardSwitch || !m_app.GetPortPath().empty()) return Passed();
        bool said = false;
        // The bus itself is asked too: a bootloader that has just arrived may not be opened by
        // its poll thread yet, and one that has gone must be closed by it before the switch.
        while (m_isp.IsOpen() || CountBootloaderDevices() > 0) {
            // Nothing has been switched yet: Ctrl+C may still end the loop here.
            if (Interrupted()) return false;
            if (!said) {
                said = true;
                EndLive();
                Say(m_o, "another device is in its bootloader mode and this mouse's port is unknown: the mouse is not "
                         "switched until that device has been unplugged; waiting");
                if (m_fnForeignBootloader) m_fnForeignBootloader();
            }
            CheckDevices();
            Sleep(100);
        }
        if (said) Say(m_o, "the other bootloader device has gone: switching the mouse");
        return Passed();
    }
    bool Passed()
    {
        if (Interrupted()) return false;
        SetPastSwitch(true);
        m_bPassed = true;
        return true;
    }
    ~CTerminalFace() override
    {
        if (m_bPassed) SetPastSwitch(false);
    }
    void EndLive()
    {
        if (m_style == Style::Live && m_bLiveShown) std::printf("\n"), m_bLiveShown = false;
        std::fflush(stdout);
    }

private:
    void CheckDevices()
    {
        const bool app = m_app.IsOpen(), isp = m_isp.IsOpen();
        if (m_style == Style::Json) {
            if (app != m_bApp)
                std::printf("{\"t_ms\":%.1f,\"notify\":\"app\",\"present\":%s}\n", ElapsedMs(), app ? "true" : "false");
            if (isp != m_bIsp)
                std::printf("{\"t_ms\":%.1f,\"notify\":\"isp\",\"present\":%s}\n", ElapsedMs(), isp ? "true" : "false");
            std::fflush(stdout);
        }
        m_bApp = app;
        m_bIsp = isp;
    }
    void Show()
    {
        CheckDevices();
        const std::string key = m_strText + "|" + std::to_string(m_cr) + "|" + std::to_string(m_nProgress) + "|" +
                                PictureName(m_picture);
        if (key == m_last) return;
        m_last = key;
        switch (m_style) {
        case Style::Json:
            std::printf("{\"t_ms\":%.1f,\"text\":%s,\"colour\":\"%s\",\"progress\":%d,\"result\":\"%s\"}\n", ElapsedMs(),
                        JsonString(m_strText).c_str(), StatusColourName(m_cr), m_nProgress, PictureName(m_picture));
            break;
        case Style::Lines:
            std::printf("[%3d%%] %-7s %-5s %s\n", m_nProgress, PictureName(m_picture), StatusColourName(m_cr),
                        m_strText.empty() ? "(status line cleared)" : m_strText.c_str());
            break;
        case Style::Live: Live(m_strText); break;
        }
        std::fflush(stdout);
    }
    void Live(const std::string& text)
    {
        char head[16];
        std::snprintf(head, sizeof head, "[%3d%%] ", m_nProgress);
        const std::string line = head + text;
        if (m_bLiveShown && line == m_liveLine) return;
        m_liveLine = line;
        std::printf("\r\033[K%s", line.c_str());
        std::fflush(stdout);
        m_bLiveShown = true;
    }

    Style m_style;
    const CommonOptions& m_o;
    CQL40USBComm& m_app;
    CDunX4ISPUSBComm& m_isp;
    std::string m_strText;
    COLORREF m_cr = 0xFFFFFFFF;
    int m_nProgress = 0;
    UpgradePicture m_picture = UpgradePicture::Initial;
    std::string m_last, m_liveLine;
    bool m_bApp = false, m_bIsp = false, m_bLiveShown = false, m_bPassed = false;
    int m_nPolls = 0;
};

struct UpgradeOptions {
    CommonOptions common;
    bool bLoop = false;
    bool bAll = false, bParallel = false;
    std::optional<long> count;
    std::string report;
    std::vector<std::string> ports;
    int simMice = 0;
};

UpgradeOptions ParseUpgrade(const std::vector<std::string>& argv)
{
    tarvexctl::OptionSet options = CommonOptionSet();
    options += tarvexctl::OptionSet{{"--count", "--report", "--ports", "--sim-mice"}, {}, {}, {"--loop", "--all", "--parallel"}};
    const tarvexctl::Args args(argv, options);
    args.NoPositional();
    UpgradeOptions o;
    o.common = ReadCommon(args);
    o.bLoop = args.Flag("--loop");
    if (auto v = args.Value("--count")) {
        if (v->empty() || v->size() > 9 || v->find_first_not_of("0123456789") != std::string::npos || std::stol(*v) < 1)
            throw UsageError{"--count takes a number from 1"};
        o.count = std::stol(*v);
    }
    o.report = args.Value("--report").value_or("");
    o.bAll = args.Flag("--all");
    o.bParallel = args.Flag("--parallel");
    if (auto v = args.Value("--ports")) {
        std::string rest = *v;
        for (std::size_t at; !rest.empty(); rest = at == std::string::npos ? std::string() : rest.substr(at + 1)) {
            at = rest.find(',');
            const std::string port = rest.substr(0, at);
            if (port.empty() || port.size() > 200) throw UsageError{"--ports takes port paths separated by commas"};
            o.ports.push_back(port);
        }
    }
    if (auto v = args.Value("--sim-mice")) {
        if (v->empty() || v->size() > 2 || v->find_first_not_of("0123456789") != std::string::npos || std::stoi(*v) < 1 ||
            std::stoi(*v) > 32)
            throw UsageError{"--sim-mice takes a number from 1 to 32"};
        o.simMice = std::stoi(*v);
    }
    if (o.bParallel && !o.bLoop) throw UsageError{"--parallel goes with --loop"};
    if (o.bAll && o.bLoop) throw UsageError{"--all upgrades the mice on the bus now; --loop --parallel is the station mode"};
    const bool station = o.bAll || o.bParallel;
    if (!station && (!o.ports.empty() || o.simMice)) throw UsageError{"--ports and --sim-mice belong to --all or --loop --parallel"};
    if (o.simMice && !o.common.bSimulate) throw UsageError{"the simulated mouse's options need --simulate"};
    if (o.bAll && o.count) throw UsageError{"--count belongs to --loop"};
    if (!o.bLoop && !o.bAll && (o.count || !o.report.empty())) throw UsageError{"--count and --report belong to --loop"};
    if (o.common.config.empty() != o.common.image.empty()) throw UsageError{"--config and --image go together"};
    if (!o.common.bSimulate && (!o.common.faults.empty() || !o.common.simState.empty() || o.common.bBootloaderPresent))
        throw UsageError{"the simulated mouse's options need --simulate"};
    if (o.bLoop && !o.common.simState.empty()) throw UsageError{"--sim-state keeps one mouse; it does not go with --loop"};
    return o;
}

// Everything one run needs, started once for a command.
struct Devices {
    CQL40USBComm app;
    CDunX4ISPUSBComm isp;
    CUSBDeviceMonitor monitor;
    Devices()
    {
        app.Start();
        isp.Start();
    }
    ~Devices()
    {
        isp.Stop();
        app.Stop();
    }
};

CTerminalFace::Style StyleOf(const CommonOptions& o)
{
    if (o.bJson) return CTerminalFace::Style::Json;
#ifdef _WIN32
    // A console that refuses terminal sequences gets plain lines, not escape codes.
    const bool terminal = _isatty(_fileno(stdout)) != 0 && platform::win32::TerminalSequencesOn();
#else
    const bool terminal = isatty(STDOUT_FILENO) != 0;
#endif
    return terminal ? CTerminalFace::Style::Live : CTerminalFace::Style::Lines;
}

UpgradeReport RunOnce(Devices& d, LoadedImage& img, CTerminalFace& face, CRecoveryJournal& journal, CRunLog& log)
{
    return RunFieldUpgrade(img, img.data.data(), d.app, d.isp, d.monitor, face, journal, log);
}

void PrintOutcomeAdvice(const UpgradeReport& r, const CommonOptions& o, int status)
{
    const OutcomeClass c = ClassOf(r.outcome);
    if (o.bJson) {
        std::printf("{\"t_ms\":%.1f,\"outcome\":\"%s\",\"class\":\"%s\",\"port\":%s,\"detail\":%s,\"exit\":%d}\n", ElapsedMs(),
                    OutcomeName(r.outcome), OutcomeClassName(c), JsonString(r.portPath).c_str(), JsonString(r.detail).c_str(), status);
        std::fflush(stdout);
    }
    if (c == OutcomeClass::AfterSwitch || status == kExitAfterSwitch)
        Say(o, "the mouse may be in its bootloader with an empty or half-written flash: run `tarvexctl recover " + DirAdvice(o) + "`" +
                   (r.bHaveDeviceId ? " (device ID " + HexId(r.deviceId) + ", port " + PortText(r.portPath) + ")" : std::string()));
    if (c == OutcomeClass::ResetFailed) Say(o, "upgraded, but the mouse did not restart: unplug it and plug it in again");
    if (r.outcome == UpgradeOutcome::NoDevice && CountBootloaderDevices() > 0)
        Say(o, "a device is in bootloader mode: if an upgrade of this mouse failed, run `tarvexctl recover " + DirAdvice(o) + "`");
    if (r.outcome == UpgradeOutcome::JournalFailed)
        Say(o, "check the journal with `tarvexctl journal --check " + DirAdvice(o) + "`");
}

void WarnAboutLog(CRunLog& log, const CommonOptions& o)
{
    log.m_fnProblem = [&o](const std::string& why) { Warn(o, "the run log is not written: " + why + "; the run goes on"); };
}

int UpgradeSingle(const UpgradeOptions& o)
{
    const CommonOptions& c = o.common;
    LoadedImage img = LoadConfigAndImage(c);
    CRecoveryJournal journal(ToolDirOf(c));
    CRunLog log(ToolDirOf(c), "tarvexctl");
    WarnAboutLog(log, c);
    if (c.bVerbose) log.m_fnMirror = [](const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); };

    std::optional<CSimulation> simulation;
    if (c.bSimulate) simulation.emplace(c), simulation->Start(), simulation->SetImage(img.data, img.config.wProgramVer);
    Devices d;
    if (c.waitSeconds) Say(c, "waiting for the mouse in application mode");
    WaitForDevice(d.app, [&](CString& p) { return d.app.FindDevice(p); }, c);
    if (Interrupted() && !d.app.IsOpen()) {
        Warn(c, "interrupted while waiting for the mouse");
        return kExitUntouched;
    }
    CTerminalFace face(StyleOf(c), c, d.app, d.isp);
    const UpgradeReport r = RunOnce(d, img, face, journal, log);
    face.EndLive();
    int status = ExitOf(ClassOf(r.outcome));
    if (simulation) {
        // The tool's word is checked against the simulated mouse itself.
        if (status == kExitUpgraded && !simulation->MouseHolds(img.data)) {
            Warn(c, "the run reported success, but the image went to another device's bootloader");
            status = kExitAfterSwitch;
        }
        if (status == kExitResetFailed) simulation->ReplugAfterFailedReset();
        std::string why;
        // The mouse's saved state is the simulation's business: it never changes the outcome.
        if (!simulation->Finish(status == kExitUpgraded || status == kExitResetFailed, &why)) Warn(c, why);
    }
    PrintOutcomeAdvice(r, c, status);
    if (Interrupted() && ClassOf(r.outcome) != OutcomeClass::Untouched) Say(c, "stopped (Ctrl+C) after this mouse");
    return status;
}

// ---- many mice in a row ------------------------------------------------------------------------


int UpgradeLoop(const UpgradeOptions& o)
{
    const CommonOptions& c = o.common;
    LoadedImage img = LoadConfigAndImage(c);
    CRecoveryJournal journal(ToolDirOf(c));
    CRunLog log(ToolDirOf(c), "tarvexctl");
    WarnAboutLog(log, c);
    if (c.bVerbose) log.m_fnMirror = [](const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); };

    // Opened before any mouse is touched: a report that cannot be kept stops the loop here.
    CReport report;
    if (!o.report.empty()) report.Open(o.report);
    bool reportFailed = false;

    std::optional<CSimulation> simulation;
    int nMouse = 0;
    if (c.bSimulate) {
        simulation.emplace(c);
        simulation->Start();
        simulation->SetImage(img.data, img.config.wProgramVer);
        simulation->PlugLoopMouse(++nMouse);
    }
    Devices d;
    const std::vector<BYTE> pristine = img.data;
    std::set<ULONGLONG> handled;
    int nUpgraded = 0, nReplug = 0, nAfterSwitch = 0, nUntouched = 0, nDone = 0;
    bool bReady = true;
    while (!Interrupted() && (!o.count || nDone < *o.count)) {
        if (bReady) Say(c, "waiting for the next mouse");
        bReady = false;
        if (!d.app.IsOpen()) {
            Sleep(100);
            continue;
        }
        // A mouse already done here (also one that comes back after its reset) waits to be unplugged.
        ULONGLONG id = 0;
        if (d.app.GetDeviceID(id) && handled.count(wire::MaskDeviceId(id))) {
            Say(c, "mouse " + HexId(id) + " is done: unplug it");
            while (d.app.IsOpen() && !Interrupted()) Sleep(100);
            continue;
        }
        const auto t0 = std::chrono::steady_clock::now();
        const long long startTime = static_cast<long long>(std::time(nullptr));
        img.data = pristine; // each mouse gets the image with its own identity only
        CTerminalFace face(StyleOf(c), c, d.app, d.isp);
        face.m_bGuardSwitch = true;
        if (simulation && !c.bForeignBootloaderStays) face.m_fnForeignBootloader = [&] { simulation->RemoveForeignBootloader(); };
        const UpgradeReport r = RunOnce(d, img, face, journal, log);
        face.EndLive();
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        OutcomeClass cls = ClassOf(r.outcome);
        if (simulation && cls == OutcomeClass::Upgraded && !simulation->MouseHolds(img.data)) cls = OutcomeClass::AfterSwitch;
        ++nDone;
        switch (cls) {
        case OutcomeClass::Upgraded: ++nUpgraded; break;
        case OutcomeClass::ResetFailed: ++nReplug; break;
        case OutcomeClass::AfterSwitch: ++nAfterSwitch; break;
        case OutcomeClass::Untouched: ++nUntouched; break;
        }
        const Record rec = MakeRecord(r, cls, img, seconds, startTime, id ? HexId(id) : std::string(), r.portPath);
        char line[256];
        std::snprintf(line, sizeof line, "mouse %d: %s %s -> %s %s (%s) %.1f s", nDone, rec.deviceId.c_str(), rec.oldVersion.c_str(),
                      rec.newVersion.c_str(), rec.outcome.c_str(), rec.cls.c_str(), seconds);
        if (c.bJson)
            std::printf("{\"t_ms\":%.1f,\"mouse\":%d,%s}\n", ElapsedMs(), nDone, rec.Json().c_str());
        else
            std::printf("%s\n", line);
        std::fflush(stdout);
        if (cls == OutcomeClass::AfterSwitch)
            Say(c, "  that mouse may be in its bootloader at port " + PortText(r.portPath) + ": run `tarvexctl recover " +
                       DirAdvice(c) + "`; another mouse's bootloader elsewhere is never written");
        log.Line(line + (r.detail.empty() ? std::string() : " [" + r.detail + "]") + " at port " + PortText(r.portPath));
        if (report.IsOpen()) {
            std::string why;
            if (!report.Append(rec, why)) {
                reportFailed = true;
                Warn(c, o.report + ": the record of mouse " + std::to_string(nDone) + " was not written: " + why);
            }
        }
        // Only a mouse that was switched is remembered: one refused before the switch may be
        // tried again once it has been replugged.
        if (r.bSwitched && r.bHaveDeviceId) handled.insert(wire::MaskDeviceId(r.deviceId));
        else if (!simulation)
            while (d.app.IsOpen() && !Interrupted()) Sleep(100);
        if (simulation && cls == OutcomeClass::ResetFailed) simulation->ReplugAfterFailedReset();
        bReady = true;
        // The simulated technician takes the mouse off and plugs in the next.
        if (simulation) {
            simulation->UnplugMouse();
            if (!o.count || nDone < *o.count) simulation->PlugLoopMouse(++nMouse);
        }
    }
    if (Interrupted()) Say(c, "stopped (Ctrl+C)");
    char totals[160];
    std::snprintf(totals, sizeof totals, "%d mice: %d upgraded, %d to replug, %d failed after the switch, %d refused or failed untouched",
                  nDone, nUpgraded, nReplug, nAfterSwitch, nUntouched);
    if (c.bJson)
        std::printf("{\"t_ms\":%.1f,\"mice\":%d,\"upgraded\":%d,\"replug\":%d,\"after_switch\":%d,\"untouched\":%d,\"report_failed\":%s}\n",
                    ElapsedMs(), nDone, nUpgraded, nReplug, nAfterSwitch, nUntouched, reportFailed ? "true" : "false");
    else
        std::printf("%s\n", totals);
    std::fflush(stdout);
    log.Line(totals);
    if (nAfterSwitch) return kExitAfterSwitch;
    if (nReplug) return kExitResetFailed;
    if (nUntouched || reportFailed) return kExitUntouched;
    return kExitUpgraded;
}

int UpgradeCommand(const std::vector<std::string>& args)
{
    const UpgradeOptions o = ParseUpgrade(args);
    InstallInterruptFlag();
    if (o.bAll || o.bParallel) {
        StationOptions so;
        so.common = o.common;
        so.bLoop = o.bLoop;
        so.count = o.count;
        so.report = o.report;
        so.ports = o.ports;
        so.simMice = o.simMice ? o.simMice : 1;
        return UpgradeStation(so);
    }
    return o.bLoop ? UpgradeLoop(o) : UpgradeSingle(o);
}

} // namespace

int RunFieldCommand(const std::vector<std::string>& args)
{
    const std::vector<std::string> rest(args.begin() + 1, args.end());
    const bool json = std::find(rest.begin(), rest.end(), "--json") != rest.end();
    // With --json the stream ends with the real exit status, whatever happened; the error
    // itself is main's to report, as for every command.
    auto end = [&](int status, const std::string& error) {
        if (!json) return;
        if (!error.empty()) std::printf("{\"t_ms\":%.1f,\"error\":%s}\n", ElapsedMs(), JsonString(error).c_str());
        std::printf("{\"t_ms\":%.1f,\"exit\":%d}\n", ElapsedMs(), status);
        std::fflush(stdout);
    };
    try {
        int status = kExitUntouched;
        if (args[0] == "upgrade") status = UpgradeCommand(rest);
        else if (args[0] == "recover") status = RecoverCommand(rest);
        else if (args[0] == "devices") status = DevicesCommand(rest);
        else status = JournalCommand(rest);
        end(status, {});
        return status;
    } catch (const UsageError& e) {
        end(kExitUsage, e.message);
        throw;
    } catch (const Refused& e) {
        end(kExitUntouched, e.message);
        throw;
    } catch (const std::exception& e) {
        end(kExitUntouched, e.what());
        throw;
    }
}

std::string FieldHelp(const std::string& command)
{
    if (command == "upgrade") return std::string(kUpgradeHelp) + kCommonOptionsHelp;
    if (command == "recover") return std::string(RecoverHelp()) + kCommonOptionsHelp;
    if (command == "devices") return std::string(DevicesHelp()) + kCommonOptionsHelp;
    return JournalHelp();
}

} // namespace field
