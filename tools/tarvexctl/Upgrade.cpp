// tarvexctl upgrade: the window's procedure with the terminal as its face, for one mouse or
// (--loop) one mouse after another.
#ifdef _WIN32
#include <io.h>
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

#include "device/USBDeviceMonitor.h"
#include "platform/Clock.h"
#include "platform/Kernel.h"
#include "tools/tarvexctl/Field.h"
#include "upgrade/RecoveryJournal.h"
#include "upgrade/UpgradeProcedure.h"

namespace field {

int RecoverCommand(const std::vector<std::string>& args);
int JournalCommand(const std::vector<std::string>& args);

namespace {

const char* const kUpgradeHelp =
    "usage: tarvexctl upgrade [options]\n"
    "       tarvexctl upgrade --loop [--count N] [--report FILE] [options]\n"
    "Upgrades the mouse in application mode with the configured image, as the window does.\n"
    "  --json                JSON event lines on stdout instead of the progress line\n"
    "  --loop                one mouse after another until Ctrl+C (or --count N mice); one line per\n"
    "                        mouse and the totals; --report FILE appends one CSV record per mouse\n"
    "exit status: 0 upgraded; 1 refused or failed with the mouse untouched (still in application\n"
    "mode, old firmware); 2 usage error; 3 failed after the switch: the mouse may be in its\n"
    "bootloader, run tarvexctl recover; 4 upgraded, but the reset failed: replug the mouse.\n"
    "With --loop: 0 if every mouse was upgraded, else the worst of 3, 4, 1 seen.\n";

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
    CTerminalFace(Style style, CQL40USBComm& app, CDunX4ISPUSBComm& isp) : m_style(style), m_app(app), m_isp(isp)
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
        if (!m_bGuardSwitch) return true;
        bool said = false;
        // The bus itself is asked too: a bootloader that has just arrived may not be opened by
        // its poll thread yet, and one that has gone must be closed by it before the switch.
        while (m_isp.IsOpen() || CountBootloaderDevices() > 0) {
            // Nothing has been switched yet: Ctrl+C may still end the loop here.
            if (Interrupted()) return false;
            if (!said) {
                said = true;
                EndLive();
                std::printf("another device is in its bootloader mode: the mouse is not switched until it has been "
                            "unplugged; waiting\n");
                std::fflush(stdout);
                if (m_fnForeignBootloader) m_fnForeignBootloader();
            }
            CheckDevices();
            Sleep(100);
        }
        if (said) std::printf("the other bootloader device has gone: switching the mouse\n"), std::fflush(stdout);
        return true;
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
    CQL40USBComm& m_app;
    CDunX4ISPUSBComm& m_isp;
    std::string m_strText;
    COLORREF m_cr = 0xFFFFFFFF;
    int m_nProgress = 0;
    UpgradePicture m_picture = UpgradePicture::Initial;
    std::string m_last, m_liveLine;
    bool m_bApp = false, m_bIsp = false, m_bLiveShown = false;
    int m_nPolls = 0;
};

struct UpgradeOptions {
    CommonOptions common;
    bool bLoop = false;
    std::optional<long> count;
    std::string report;
};

UpgradeOptions ParseUpgrade(const std::vector<std::string>& args)
{
    UpgradeOptions o;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (TakeCommonOption(args, i, o.common)) continue;
        if (a == "--loop") {
            o.bLoop = true;
        } else if (a == "--count") {
            if (i + 1 >= args.size()) throw UsageError{"--count needs a value"};
            const std::string v = args[++i];
            if (v.empty() || v.size() > 9 || v.find_first_not_of("0123456789") != std::string::npos || std::stol(v) < 1)
                throw UsageError{"--count takes a number from 1"};
            o.count = std::stol(v);
        } else if (a == "--report") {
            if (i + 1 >= args.size()) throw UsageError{"--report needs a file"};
            o.report = args[++i];
        } else if (a == "--help" || a == "-h") {
            std::cout << kUpgradeHelp << kCommonOptionsHelp;
            std::exit(kExitUpgraded);
        } else {
            throw UsageError{"unknown option " + a};
        }
    }
    if (!o.bLoop && (o.count || !o.report.empty())) throw UsageError{"--count and --report belong to --loop"};
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
    const bool terminal = _isatty(_fileno(stdout)) != 0;
#else
    const bool terminal = isatty(STDOUT_FILENO) != 0;
#endif
    return terminal ? CTerminalFace::Style::Live : CTerminalFace::Style::Lines;
}

UpgradeReport RunOnce(Devices& d, LoadedImage& img, CTerminalFace& face, CRecoveryJournal& journal, CRunLog& log)
{
    UpgradeTarget t;
    t.pConfig = &img.config;
    t.pHeader = &img.header;
    t.pAppData = img.data.data();
    t.bAppLoaded = true;
    t.pAppComm = &d.app;
    t.pISPComm = &d.isp;
    t.pMonitor = &d.monitor;
    CUpgradeProcedure p(face, t);
    p.m_pJournal = &journal;
    // Never erase a mouse whose identity is not saved.
    p.m_bJournalRequired = true;
    p.m_pLog = &log;
    return p.Run();
}

void PrintOutcomeAdvice(const UpgradeReport& r, const CommonOptions& o)
{
    const OutcomeClass c = ClassOf(r.outcome);
    if (o.bJson) {
        std::printf("{\"t_ms\":%.1f,\"outcome\":\"%s\",\"class\":\"%s\",\"exit\":%d}\n", ElapsedMs(), OutcomeName(r.outcome),
                    OutcomeClassName(c), ExitOf(c));
        return;
    }
    if (c == OutcomeClass::AfterSwitch)
        std::printf("the mouse may be in its bootloader with an empty or half-written flash: run `tarvexctl recover`%s\n",
                    r.bHaveDeviceId ? (" (device ID " + HexId(r.deviceId) + ")").c_str() : "");
    if (c == OutcomeClass::ResetFailed) std::printf("upgraded, but the mouse did not restart: unplug it and plug it in again\n");
    if (r.outcome == UpgradeOutcome::NoDevice && CountBootloaderDevices() > 0)
        std::printf("a device is in bootloader mode: if an upgrade of this mouse failed, run `tarvexctl recover`\n");
}

int UpgradeSingle(const UpgradeOptions& o)
{
    const CommonOptions& c = o.common;
    LoadedImage img = LoadConfigAndImage(c);
    CRecoveryJournal journal(ToolDirOf(c));
    CRunLog log(ToolDirOf(c), "tarvexctl");
    if (c.bVerbose) log.m_fnMirror = [](const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); };

    std::optional<CSimulation> simulation;
    if (c.bSimulate) simulation.emplace(c), simulation->Start();
    Devices d;
    if (c.waitSeconds && !c.bJson) std::printf("waiting for the mouse in application mode\n"), std::fflush(stdout);
    WaitForDevice(d.app, [&](CString& p) { return d.app.FindDevice(p); }, c);
    if (Interrupted() && !d.app.IsOpen()) {
        std::fprintf(stderr, "tarvexctl: interrupted while waiting for the mouse\n");
        return kExitUntouched;
    }
    CTerminalFace face(StyleOf(c), d.app, d.isp);
    const UpgradeReport r = RunOnce(d, img, face, journal, log);
    face.EndLive();
    int status = ExitOf(ClassOf(r.outcome));
    if (simulation) {
        // The tool's word is checked against the simulated mouse itself.
        if (status == kExitUpgraded && !simulation->MouseHolds(img.data)) {
            std::fprintf(stderr, "tarvexctl: the run reported success, but the image went to another device's bootloader\n");
            status = kExitAfterSwitch;
        }
        simulation->Finish(status == kExitUpgraded || status == kExitResetFailed);
    }
    PrintOutcomeAdvice(r, c);
    return status;
}

// ---- many mice in a row ------------------------------------------------------------------------

std::string VersionText(BYTE v) { return "v" + std::to_string(v) + ".0"; }
std::string ImageVersionText(WORD v) { return "v" + std::to_string(v >> 8) + "." + std::to_string(v & 0xFF); }

int UpgradeLoop(const UpgradeOptions& o)
{
    const CommonOptions& c = o.common;
    LoadedImage img = LoadConfigAndImage(c);
    CRecoveryJournal journal(ToolDirOf(c));
    CRunLog log(ToolDirOf(c), "tarvexctl");
    if (c.bVerbose) log.m_fnMirror = [](const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); };

    std::ofstream report;
    if (!o.report.empty()) {
        std::error_code ec;
        const bool fresh = !std::filesystem::exists(o.report, ec) || std::filesystem::file_size(o.report, ec) == 0;
        report.open(o.report, std::ios::app | std::ios::binary);
        if (!report) throw Refused{o.report + ": cannot write"};
        if (fresh) report << "time,device_id,old_version,new_version,outcome,class,seconds\n" << std::flush;
    }

    std::optional<CSimulation> simulation;
    int nMouse = 0;
    if (c.bSimulate) {
        simulation.emplace(c);
        simulation->Start();
        simulation->PlugLoopMouse(++nMouse);
    }
    Devices d;
    const std::vector<BYTE> pristine = img.data;
    std::set<ULONGLONG> handled;
    int nUpgraded = 0, nReplug = 0, nAfterSwitch = 0, nUntouched = 0, nDone = 0;
    bool bReady = true;
    while (!Interrupted() && (!o.count || nDone < *o.count)) {
        if (bReady && !c.bJson) std::printf("waiting for the next mouse\n"), std::fflush(stdout);
        bReady = false;
        if (!d.app.IsOpen()) {
            Sleep(100);
            continue;
        }
        // A mouse already done here (also one that comes back after its reset) waits to be unplugged.
        ULONGLONG id = 0;
        if (d.app.GetDeviceID(id) && handled.count(id & 0xFFFFFFFFFFFFull)) {
            if (!c.bJson) std::printf("mouse %s is done: unplug it\n", HexId(id).c_str()), std::fflush(stdout);
            while (d.app.IsOpen() && !Interrupted()) Sleep(100);
            continue;
        }
        const auto t0 = std::chrono::steady_clock::now();
        img.data = pristine; // each mouse gets the image with its own identity only
        CTerminalFace face(StyleOf(c), d.app, d.isp);
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
        const std::string devId = r.bHaveDeviceId ? HexId(r.deviceId) : (id ? HexId(id) : "-");
        const std::string oldVer = r.bHaveProgramInfo ? VersionText(r.version) : "-";
        const bool written = cls == OutcomeClass::Upgraded || cls == OutcomeClass::ResetFailed;
        const std::string newVer = written ? ImageVersionText(img.config.wProgramVer) : "-";
        char line[256];
        std::snprintf(line, sizeof line, "mouse %d: %s %s -> %s %s (%s) %.1f s", nDone, devId.c_str(), oldVer.c_str(),
                      newVer.c_str(), OutcomeName(r.outcome), OutcomeClassName(cls), seconds);
        if (c.bJson)
            std::printf("{\"t_ms\":%.1f,\"mouse\":%d,\"device_id\":\"%s\",\"old_version\":\"%s\",\"new_version\":\"%s\","
                        "\"outcome\":\"%s\",\"class\":\"%s\",\"seconds\":%.1f}\n",
                        ElapsedMs(), nDone, devId.c_str(), oldVer.c_str(), newVer.c_str(), OutcomeName(r.outcome),
                        OutcomeClassName(cls), seconds);
        else
            std::printf("%s\n", line);
        if (cls == OutcomeClass::AfterSwitch && !c.bJson)
            std::printf("  that mouse may be in its bootloader: unplug it, and run `tarvexctl recover` with it alone later\n");
        std::fflush(stdout);
        log.Line(line);
        if (report) {
            report << UtcTimeText(static_cast<long long>(std::time(nullptr))) << ',' << devId << ',' << oldVer << ',' << newVer << ',' << OutcomeName(r.outcome) << ','
                   << OutcomeClassName(cls) << ',' << std::fixed << seconds << '\n'
                   << std::flush;
        }
        if (r.bHaveDeviceId) handled.insert(r.deviceId & 0xFFFFFFFFFFFFull);
        else
            while (d.app.IsOpen() && !Interrupted()) Sleep(100);
        bReady = true;
        // The simulated technician takes the mouse off and plugs in the next.
        if (simulation) {
            simulation->UnplugMouse();
            if (!o.count || nDone < *o.count) simulation->PlugLoopMouse(++nMouse);
        }
    }
    if (Interrupted() && !c.bJson) std::printf("stopped (Ctrl+C)\n");
    char totals[160];
    std::snprintf(totals, sizeof totals, "%d mice: %d upgraded, %d to replug, %d failed after the switch, %d refused or failed untouched",
                  nDone, nUpgraded, nReplug, nAfterSwitch, nUntouched);
    if (c.bJson)
        std::printf("{\"t_ms\":%.1f,\"mice\":%d,\"upgraded\":%d,\"replug\":%d,\"after_switch\":%d,\"untouched\":%d}\n", ElapsedMs(), nDone,
                    nUpgraded, nReplug, nAfterSwitch, nUntouched);
    else
        std::printf("%s\n", totals);
    std::fflush(stdout);
    log.Line(totals);
    if (nAfterSwitch) return kExitAfterSwitch;
    if (nReplug) return kExitResetFailed;
    if (nUntouched) return kExitUntouched;
    return kExitUpgraded;
}

int UpgradeCommand(const std::vector<std::string>& args)
{
    const UpgradeOptions o = ParseUpgrade(args);
    InstallInterruptFlag();
    return o.bLoop ? UpgradeLoop(o) : UpgradeSingle(o);
}

} // namespace

bool IsFieldCommand(const std::string& name) { return name == "upgrade" || name == "recover" || name == "journal"; }

int RunFieldCommand(const std::vector<std::string>& args)
{
    try {
        const std::vector<std::string> rest(args.begin() + 1, args.end());
        if (args[0] == "upgrade") return UpgradeCommand(rest);
        if (args[0] == "recover") return RecoverCommand(rest);
        return JournalCommand(rest);
    } catch (const UsageError& e) {
        std::cerr << "tarvexctl: " << e.message << "\n(tarvexctl " << args[0] << " --help)\n";
        return kExitUsage;
    } catch (const Refused& e) {
        std::cerr << "tarvexctl: " << e.message << "\n";
        return kExitUntouched;
    }
}

} // namespace field
