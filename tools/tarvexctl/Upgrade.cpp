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
#include <chrono>
#include <cstdlib>

#include "device/USBDeviceMonitor.h"
#include "device/Wire.h"
#include "platform/Clock.h"
#include "platform/Kernel.h"
#include "tools/tarvexctl/Field.h"
#include "upgrade/RecoveryJournal.h"
#include "upgrade/UpgradeProcedure.h"
#include "upgrade/AppendFile.h"

namespace field {

int RecoverCommand(const std::vector<std::string>& args);
int JournalCommand(const std::vector<std::string>& args);
int DevicesCommand(const std::vector<std::string>& args);

namespace {

const char* const kUpgradeHelp =
    "usage: tarvexctl upgrade [options]\n"
    "       tarvexctl upgrade --loop [--count N] [--report FILE] [options]\n"
    "Upgrades the mouse in application mode with the configured image, as the window does.\n"
    "  --json                JSON event lines on stdout instead of the progress line\n"
    "  --loop                one mouse after another until Ctrl+C (or --count N mice); one line per\n"
    "                        mouse and the totals; --report FILE appends one CSV record per mouse\n"
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
    const CommonOptions& m_o;
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
    SetPastSwitch(false);
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

std::string ImageName(const ENC_FILE_HEADER& h)
{
    std::string n;
    for (std::size_t i = 0; i < sizeof(h.szName) && h.szName[i]; ++i) {
        const unsigned char ch = static_cast<unsigned char>(h.szName[i]);
        n += (ch >= 0x20 && ch < 0x7F) ? static_cast<char>(ch) : '_';
    }
    return n;
}

std::string HostName()
{
    char buf[256] = {};
#ifdef _WIN32
    if (const char* n = std::getenv("COMPUTERNAME")) std::snprintf(buf, sizeof buf, "%s", n);
#else
    if (gethostname(buf, sizeof buf - 1) != 0) buf[0] = 0;
#endif
    return buf;
}

// One mouse of a loop, as the report and the JSON stream carry it. The first seven columns
// are those of earlier reports, so a reader of those keeps working.
struct Record {
    std::string time, deviceId, oldVersion, newVersion, outcome, cls, seconds;
    std::string port, programId, image, imageCrc, startTime, detail;

    static const char* Header()
    {
        return "time,device_id,old_version,new_version,outcome,class,seconds,port,program_id,image,image_crc,"
               "tool_version,host,start_time,detail";
    }
    static std::string Csv(const std::string& v)
    {
        if (v.find_first_of(",\"\r\n") == std::string::npos) return v;
        std::string q = "\"";
        for (char ch : v) q += ch == '"' ? std::string("\"\"") : std::string(1, ch);
        return q + "\"";
    }
    std::string Line() const
    {
        const std::string fields[] = {time, deviceId, oldVersion, newVersion, outcome, cls, seconds, port, programId, image,
                                      imageCrc, TARVEX_VERSION, HostName(), startTime, detail};
        std::string line;
        for (const auto& f : fields) line += (line.empty() ? "" : ",") + Csv(f);
        return line + "\n";
    }
    std::string Json() const
    {
        return "\"device_id\":" + JsonString(deviceId) + ",\"old_version\":" + JsonString(oldVersion) +
               ",\"new_version\":" + JsonString(newVersion) + ",\"outcome\":" + JsonString(outcome) +
               ",\"class\":" + JsonString(cls) + ",\"seconds\":" + seconds + ",\"port\":" + JsonString(port) +
               ",\"program_id\":" + JsonString(programId) + ",\"image\":" + JsonString(image) +
               ",\"image_crc\":" + JsonString(imageCrc) + ",\"tool_version\":" + JsonString(TARVEX_VERSION) +
               ",\"host\":" + JsonString(HostName()) + ",\"start_time\":" + JsonString(startTime) +
               ",\"detail\":" + JsonString(detail);
    }
};

// The CSV report: a regular file only, opened once before any mouse is touched; a file
// with other columns is refused rather than mixed; every record written whole or reported.
class CReport
{
public:
    void Open(const std::string& path)
    {
        std::string why;
        if (!m_file.Open(path, true, why)) throw Refused{path + ": cannot keep the report there: " + why};
        if (m_file.Size() == 0) {
            if (!m_file.Write(std::string(Record::Header()) + "\n", why)) throw Refused{path + ": cannot write: " + why};
            return;
        }
        // Read through the platform's files, which take regular files only.
        std::string head;
        HANDLE h = CreateFileW(platform::WindowsPath(path), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h != INVALID_HANDLE_VALUE) {
            char buf[512];
            DWORD n = 0;
            if (ReadFile(h, buf, sizeof buf, &n, nullptr)) head.assign(buf, n);
            CloseHandle(h);
        }
        head = head.substr(0, head.find('\n'));
        if (!head.empty() && head.back() == '\r') head.pop_back();
        if (head != Record::Header())
            throw Refused{path + ": a report with other columns (an older tarvexctl's, or another file): give a new file"};
    }
    bool IsOpen() const { return m_file.IsOpen(); }
    bool Append(const Record& r, std::string& why) { return m_file.Write(r.Line(), why); }

private:
    CAppendFile m_file;
};

std::string VersionText(BYTE v) { return "v" + std::to_string(v) + ".0"; }
std::string ImageVersionText(WORD v) { return "v" + std::to_string(v >> 8) + "." + std::to_string(v & 0xFF); }

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
        SetPastSwitch(false);
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
        Record rec;
        rec.time = UtcTimeText(static_cast<long long>(std::time(nullptr)));
        rec.deviceId = devId;
        rec.oldVersion = oldVer;
        rec.newVersion = newVer;
        rec.outcome = OutcomeName(r.outcome);
        rec.cls = OutcomeClassName(cls);
        char secs[32];
        std::snprintf(secs, sizeof secs, "%.1f", seconds);
        rec.seconds = secs;
        rec.port = r.portPath;
        if (r.bHaveProgramInfo) {
            char pid[16];
            std::snprintf(pid, sizeof pid, "%08X", static_cast<unsigned>(r.programId));
            rec.programId = pid;
        }
        rec.image = ImageName(img.header);
        char crc[8];
        std::snprintf(crc, sizeof crc, "%04X", static_cast<unsigned>(img.header.dwDataCrc));
        rec.imageCrc = crc;
        rec.startTime = UtcTimeText(startTime);
        rec.detail = r.detail;
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
    return o.bLoop ? UpgradeLoop(o) : UpgradeSingle(o);
}

} // namespace

bool IsFieldCommand(const std::string& name)
{
    return name == "upgrade" || name == "recover" || name == "journal" || name == "devices";
}

int RunFieldCommand(const std::vector<std::string>& args)
{
    const std::vector<std::string> rest(args.begin() + 1, args.end());
    const bool json = std::find(rest.begin(), rest.end(), "--json") != rest.end();
    int status = kExitUntouched;
    std::string error;
    try {
        if (args[0] == "upgrade") status = UpgradeCommand(rest);
        else if (args[0] == "recover") status = RecoverCommand(rest);
        else if (args[0] == "devices") status = DevicesCommand(rest);
        else status = JournalCommand(rest);
    } catch (const UsageError& e) {
        error = e.message;
        status = kExitUsage;
        if (!json) std::cerr << "tarvexctl: " << e.message << "\n(tarvexctl " << args[0] << " --help)\n";
    } catch (const Refused& e) {
        error = e.message;
        status = kExitUntouched;
        if (!json) std::cerr << "tarvexctl: " << e.message << "\n";
    } catch (const std::exception& e) {
        // A file system error anywhere ends in a message, never in an abort.
        error = e.what();
        status = kExitUntouched;
        if (!json) std::cerr << "tarvexctl: " << e.what() << "\n";
    }
    // With --json the stream ends with the real exit status, whatever happened before.
    if (json) {
        if (!error.empty()) std::printf("{\"t_ms\":%.1f,\"error\":%s}\n", ElapsedMs(), JsonString(error).c_str());
        std::printf("{\"t_ms\":%.1f,\"exit\":%d}\n", ElapsedMs(), status);
        std::fflush(stdout);
    }
    return status;
}

} // namespace field
