// tarvexctl recover and journal: a mouse left in its bootloader by a failed run gets the
// configured image with its own journaled identity; journal lists what is pending.
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <iostream>
#include <optional>
#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#include "device/DunX4ISPUSBComm.h"
#include "device/QL40USBComm.h"
#include "platform/hid/HidBackend.h"
#include "upgrade/EventJson.h"

#include "encfile/AppImage.h"
#include "platform/Clock.h"
#include "platform/Kernel.h"
#include "tools/tarvexctl/Field.h"
#include "upgrade/RecoveryJournal.h"
#include "upgrade/RunLog.h"
#include "upgrade/UpgradeProcedure.h"

namespace field {

namespace {

const char* const kRecoverHelp =
    "Flashes the device that is in bootloader mode with the configured image, carrying the identity\n"
    "(device ID and user data) that the failed run saved in the recovery journal; reads back,\n"
    "verifies and restarts it. One pending entry is used as it is; with several, --device-id picks\n"
    "one; with none, --device-id HEX flashes that device ID without user data.\n"
    "exit status: 0 recovered; 1 refused (nothing was flashed); 2 usage error; 3 the flash failed\n"
    "(still in its bootloader, the entry stays: try again); 4 recovered, but the reset failed: replug it.\n";

const char* const kJournalHelp =
    "Lists the pending entries of the recovery journal: mice whose run ended after the switch\n"
    "without a verified write, each with the USB port it was switched on. It says which journal\n"
    "it read. --check names every damaged line and why; --repair keeps every valid entry and moves\n"
    "the damaged file aside (tarvex.journal.bad-<time>), never deleting it; --remove drops the\n"
    "entry of one device ID (once that mouse is known to be well).\n"
    "exit status: 0 listed (also none), sound, repaired or removed; 1 the journal cannot be read,\n"
    "is damaged (--check) or could not be changed; 2 usage.\n";

const char* const kDevicesHelp =
    "Lists every DUN-X4 on the bus in either mode with its USB port: in application mode with the\n"
    "program ID, version and device ID it reports, in bootloader mode as it is (a bootloader\n"
    "carries no identity: the port is what tells whose it is).\n"
    "exit status: 0 listed (also none), 2 usage.\n";

std::string Crc4(DWORD v)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "%04X", static_cast<unsigned>(v));
    return buf;
}

std::string HexProgram(DWORD v)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "%08X", static_cast<unsigned>(v));
    return buf;
}

ULONGLONG ParseDeviceId(std::string v)
{
    if (v.size() > 2 && v[0] == '0' && (v[1] == 'x' || v[1] == 'X')) v = v.substr(2);
    if (v.empty() || v.size() > 12 || v.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
        throw UsageError{"a device ID is up to 12 hexadecimal digits"};
    return std::stoull(v, nullptr, 16);
}

std::vector<JournalEntry> LoadJournal(const CRecoveryJournal& journal)
{
    std::vector<JournalEntry> entries;
    std::string error;
    if (!journal.Load(entries, error)) throw Refused{error};
    return entries;
}

} // namespace

const char* RecoverHelp() { return kRecoverHelp; }
const char* JournalHelp() { return kJournalHelp; }
const char* DevicesHelp() { return kDevicesHelp; }

int JournalCommand(const std::vector<std::string>& argv)
{
    const tarvexctl::Args args(argv, tarvexctl::OptionSet{{"--dir", "--remove"}, {}, {}, {"--json", "--check", "--repair"}});
    args.NoPositional();
    CommonOptions c;
    c.dir = args.Value("--dir").value_or("");
    c.bJson = args.Flag("--json");
    enum class Action { List, Check, Repair, Remove } action = Action::List;
    ULONGLONG removeId = 0;
    const int actions = (args.Flag("--check") ? 1 : 0) + (args.Flag("--repair") ? 1 : 0) + (args.Value("--remove") ? 1 : 0);
    if (actions > 1) throw UsageError{"--check, --repair and --remove go one at a time"};
    if (args.Flag("--check")) action = Action::Check;
    if (args.Flag("--repair")) action = Action::Repair;
    if (auto v = args.Value("--remove")) removeId = ParseDeviceId(*v), action = Action::Remove;
    // A --dir that is not a directory is refused before anything else.
    CRecoveryJournal journal(ToolDirOf(c));
    if (action == Action::Check) {
        std::vector<JournalEntry> valid;
        std::vector<JournalProblem> problems;
        std::string error;
        if (!journal.Check(valid, problems, error)) throw Refused{error};
        for (const auto& p : problems) Say(c, journal.Path() + ": line " + std::to_string(p.line) + ": " + p.reason);
        Say(c, journal.Path() + ": " + std::to_string(valid.size()) + " valid entr" + (valid.size() == 1 ? "y" : "ies") + ", " +
                   std::to_string(problems.size()) + " damaged line" + (problems.size() == 1 ? "" : "s") +
                   (problems.empty() ? "" : "; `tarvexctl journal --repair " + DirAdvice(c) + "` keeps the valid ones"));
        return problems.empty() ? kExitUpgraded : kExitUntouched;
    }
    if (action == Action::Repair) {
        std::string aside;
        std::size_t kept = 0;
        if (!journal.Repair(aside, kept)) throw Refused{journal.LastError()};
        if (aside.empty()) Say(c, journal.Path() + ": sound, " + std::to_string(kept) + " entries; nothing to repair");
        else
            Say(c, journal.Path() + ": " + std::to_string(kept) + " valid entr" + (kept == 1 ? "y" : "ies") +
                       " kept; the damaged file is kept as " + aside);
        return kExitUpgraded;
    }
    if (action == Action::Remove) {
        bool found = false;
        if (!journal.Remove(removeId, &found)) throw Refused{journal.LastError()};
        if (!found) throw Refused{journal.Path() + ": no entry for device ID " + HexId(removeId)};
        Say(c, journal.Path() + ": the entry of device ID " + HexId(removeId) + " was removed");
        return kExitUpgraded;
    }
    const std::vector<JournalEntry> entries = LoadJournal(journal);
    for (const auto& e : entries) {
        if (c.bJson) {
            std::printf("{\"device_id\":\"%s\",\"program_id\":\"%08X\",\"version\":%u,\"image\":%s,\"crc\":\"%s\","
                        "\"time\":\"%s\",\"port\":%s,\"user_data\":%s}\n",
                        HexId(e.deviceId).c_str(), static_cast<unsigned>(e.programId), static_cast<unsigned>(e.version),
                        JsonString(e.imageName).c_str(), Crc4(e.imageCrc).c_str(), UtcTimeText(e.time).c_str(),
                        JsonString(e.portPath).c_str(), e.bHasUserData ? "true" : "false");
        } else {
            std::printf("%s  program ID %08X  v%u.0  image %s (CRC %s)  %s  port %s  %s\n", HexId(e.deviceId).c_str(),
                        static_cast<unsigned>(e.programId), static_cast<unsigned>(e.version),
                        e.imageName.empty() ? "-" : e.imageName.c_str(), Crc4(e.imageCrc).c_str(), UtcTimeText(e.time).c_str(),
                        PortText(e.portPath).c_str(), e.bHasUserData ? "with user data" : "without user data");
        }
    }
    Say(c, std::to_string(entries.size()) + " pending entr" + (entries.size() == 1 ? "y" : "ies") + " in " + journal.Path());
    return kExitUpgraded;
}

int DevicesCommand(const std::vector<std::string>& argv)
{
    const tarvexctl::Args args(argv, CommonOptionSet());
    args.NoPositional();
    const CommonOptions c = ReadCommon(args);
    if (!c.bSimulate && (!c.faults.empty() || !c.simState.empty() || c.bBootloaderPresent))
        throw UsageError{"the simulated mouse's options need --simulate"};
    std::optional<CSimulation> simulation;
    if (c.bSimulate) simulation.emplace(c), simulation->Start();
    auto backend = platform::hid::GetBackend();
    int count = 0;
    auto print = [&](const std::string& mode, const std::string& port, const std::string& path, const std::string& extraText,
                     const std::string& extraJson) {
        ++count;
        if (c.bJson)
            std::printf("{\"mode\":\"%s\",\"port\":%s,\"path\":%s%s}\n", mode.c_str(), JsonString(port).c_str(),
                        JsonString(path).c_str(), extraJson.c_str());
        else
            std::printf("%-11s port %-12s %s%s\n", mode.c_str(), PortText(port).c_str(), extraText.c_str(), path.c_str());
        std::fflush(stdout);
    };
    for (const auto& d : backend ? backend->Enumerate() : std::vector<platform::hid::DeviceInfo>{}) {
        HID_ATTRIBUTES_CAPABILITES rec{};
        rec.Attributes.VendorID = d.vendorId;
        rec.Attributes.ProductID = d.productId;
        rec.Capabilities.UsagePage = d.usagePage;
        if (!CQL40USBComm::Filter(rec)) continue;
        // The mouse is asked, as the window asks it on arrival; a mouse that does not answer
        // is still listed.
        CQL40USBComm app;
        BYTE version = 0;
        DWORD programId = 0;
        ULONGLONG deviceId = 0;
        const bool opened = app.Open(CString::FromUtf8(d.path)) == 0;
        const bool info = opened && app.GetProgramInfo(version, programId);
        const bool id = opened && app.GetDeviceID(deviceId);
        app.Close();
        char text[160], json[200];
        std::snprintf(text, sizeof text, "program ID %s  version %s  device ID %s  ", info ? HexProgram(programId).c_str() : "-",
                      info ? ("v" + std::to_string(version) + ".0").c_str() : "-", id ? HexId(deviceId).c_str() : "-");
        std::snprintf(json, sizeof json, ",\"program_id\":%s,\"version\":%s,\"device_id\":%s",
                      info ? ("\"" + HexProgram(programId) + "\"").c_str() : "null", info ? std::to_string(version).c_str() : "null",
                      id ? ("\"" + HexId(deviceId) + "\"").c_str() : "null");
        print("application", d.portPath, d.path, text, json);
    }
    for (const auto& d : CDunX4ISPUSBComm::ListBootloaders()) print("bootloader", d.portPath, d.path, "", "");
    if (!c.bJson) std::printf("%d device%s\n", count, count == 1 ? "" : "s");
    if (simulation) simulation->Finish(false);
    return kExitUpgraded;
}

namespace {

// Which bootloader this recovery writes, and with which entry. The bootloader carries no
// identity, so an entry goes only to the bootloader on the port its mouse was switched on.
struct Choice {
    JournalEntry entry;
    std::string port;   // the bootloader's port to bind to
    bool bFromJournal = false;
};

std::string Describe(const platform::hid::DeviceInfo& d) { return "bootloader at port " + PortText(d.portPath); }

bool AskYes(const std::string& question)
{
#ifdef _WIN32
    const bool terminal = _isatty(_fileno(stdin)) != 0;
#else
    const bool terminal = isatty(STDIN_FILENO) != 0;
#endif
    if (!terminal) return false;
    std::printf("%s [y/N] ", question.c_str());
    std::fflush(stdout);
    std::string answer;
    if (!std::getline(std::cin, answer)) return false;
    return answer == "y" || answer == "Y" || answer == "yes";
}

Choice ChooseTarget(const CommonOptions& c, const std::vector<JournalEntry>& entries, std::optional<ULONGLONG> wantedId,
                    const std::string& journalPath)
{
    const std::vector<platform::hid::DeviceInfo> loaders = CDunX4ISPUSBComm::ListBootloaders();
    std::string found;
    for (const auto& d : loaders) found += (found.empty() ? "" : ", ") + Describe(d);
    if (found.empty()) found = "no device in bootloader mode";
    Choice ch;
    if (wantedId) {
        bool inJournal = false;
        for (const auto& e : entries)
            if (e.deviceId == *wantedId) ch.entry = e, inJournal = true;
        if (!inJournal) {
            ch.entry = JournalEntry{};
            ch.entry.deviceId = *wantedId;
            Say(c, "no journal entry for device ID " + HexId(*wantedId) + " in " + journalPath +
                       ": that device ID goes into the image without user data (the image's own bytes stand in for it)");
        }
        ch.bFromJournal = inJournal;
        if (!ch.entry.portPath.empty()) {
            for (const auto& d : loaders)
                if (d.portPath == ch.entry.portPath) {
                    ch.port = d.portPath;
                    return ch;
                }
            // --device-id says which mouse this is: one bootloader alone is taken to be it.
            if (loaders.size() == 1) {
                Say(c, "device ID " + HexId(*wantedId) + " was switched at port " + ch.entry.portPath + "; --device-id names it for the " +
                           Describe(loaders[0]));
                ch.port = loaders[0].portPath;
                return ch;
            }
            throw Refused{"device ID " + HexId(*wantedId) + " was switched at port " + ch.entry.portPath + ", and there is " + found +
                          (loaders.empty() ? " (没有检查到可升级设备！)" : "; leave only that mouse plugged in")};
        }
        if (loaders.size() == 1) {
            ch.port = loaders[0].portPath;
            return ch;
        }
        if (loaders.empty()) throw Refused{"no device in bootloader mode (没有检查到可升级设备！)"};
        throw Refused{std::to_string(loaders.size()) + " devices are in bootloader mode (" + found +
                      ") and no port is known for device ID " + HexId(*wantedId) + "; leave only the mouse to recover plugged in"};
    }
    if (entries.empty())
        throw Refused{"the recovery journal " + journalPath + " has no pending entry; give --device-id HEX to flash a device ID "
                      "without user data, or --dir the directory the failed run used"};
    if (loaders.empty()) throw Refused{"no device in bootloader mode (没有检查到可升级设备！)"};
    // Every pair of a bootloader and the entry switched on its port.
    std::vector<std::pair<const JournalEntry*, std::string>> pairs;
    for (const auto& d : loaders)
        for (const auto& e : entries)
            if (!d.portPath.empty() && e.portPath == d.portPath) pairs.emplace_back(&e, d.portPath);
    if (pairs.size() == 1) {
        ch.entry = *pairs[0].first;
        ch.port = pairs[0].second;
        ch.bFromJournal = true;
        return ch;
    }
    std::string ids;
    for (const auto& e : entries) ids += (ids.empty() ? "" : " ") + HexId(e.deviceId);
    if (pairs.size() > 1)
        throw Refused{std::to_string(pairs.size()) + " pending entries match a bootloader's port (" + found +
                      "): say which mouse to recover with --device-id HEX (pending: " + ids + ")"};
    if (loaders.size() == 1 && entries.size() == 1) {
        // Not where the entry's mouse was: ask, never guess.
        const std::string q = "the " + Describe(loaders[0]) + " is not where device ID " + HexId(entries[0].deviceId) +
                              " was switched (port " + PortText(entries[0].portPath) + "). Flash it with that identity?";
        if (AskYes(q)) {
            ch.entry = entries[0];
            ch.port = loaders[0].portPath;
            ch.bFromJournal = true;
            return ch;
        }
        throw Refused{q.substr(0, q.size() - std::string(" Flash it with that identity?").size()) +
                      ": nothing was flashed; if it is that mouse, say so with --device-id " + HexId(entries[0].deviceId)};
    }
    throw Refused{std::to_string(entries.size()) + " pending entries (" + ids + ") and " + found +
                  ", none on a matching port: say which mouse this is with --device-id HEX"};
}

} // namespace

int RecoverCommand(const std::vector<std::string>& argv)
{
    tarvexctl::OptionSet options = CommonOptionSet();
    options.values.push_back("--device-id");
    const tarvexctl::Args args(argv, options);
    args.NoPositional();
    const CommonOptions c = ReadCommon(args);
    if (c.bJson) throw UsageError{"recover has no --json"};
    std::optional<ULONGLONG> wantedId;
    if (auto v = args.Value("--device-id")) wantedId = ParseDeviceId(*v);
    if (c.config.empty() != c.image.empty()) throw UsageError{"--config and --image go together"};
    if (!c.bSimulate && (!c.faults.empty() || !c.simState.empty() || c.bBootloaderPresent))
        throw UsageError{"the simulated mouse's options need --simulate"};
    InstallInterruptFlag();

    // A --dir that is not a directory is refused before anything else.
    CRecoveryJournal journal(ToolDirOf(c));
    std::vector<JournalEntry> entries;
    {
        std::string error;
        if (!journal.Load(entries, error)) {
            // A damaged journal never blocks the documented fallback.
            if (!wantedId)
                throw Refused{error + "; `tarvexctl journal --check " + DirAdvice(c) + "` names the damage, --repair keeps the "
                              "valid entries, and --device-id HEX recovers a mouse without the journal"};
            Say(c, "the journal cannot be read (" + error + "): recovering device ID " + HexId(*wantedId) + " without it");
            entries.clear();
        } else {
            Say(c, "journal: " + journal.Path() + " (" + std::to_string(entries.size()) + " pending)");
        }
    }

    std::optional<CSimulation> simulation;
    if (c.bSimulate) simulation.emplace(c), simulation->Start();
    // The simulated bootloader comes up at once; a real one may need its poll round.
    if (c.waitSeconds) Say(c, "waiting for the device in bootloader mode");
    // Looked for on the bus only: no bootloader is opened before it is known to be the one.
    if (c.waitSeconds) {
        const double boundMs = *c.waitSeconds < 0 ? -1.0 : *c.waitSeconds * 1000.0;
        const double start = platform::ScaledNowMs();
        while (CDunX4ISPUSBComm::ListBootloaders().empty()) {
            if (Interrupted()) throw Refused{"interrupted while waiting for the device in bootloader mode"};
            if (boundMs >= 0 && platform::ScaledNowMs() - start > boundMs) break;
            Sleep(100);
        }
    }
    const Choice choice = ChooseTarget(c, entries, wantedId, journal.Path());
    const JournalEntry entry = choice.entry;

    LoadedImage img = LoadConfigAndImage(c);
    // The same check as the upgrade's: an image for another program must not go onto this mouse.
    if (entry.programId && (entry.programId & 0xFFFF) != img.config.wProgramID) {
        char text[160];
        std::snprintf(text, sizeof text, "the mouse reported program ID %08X, the configuration is for %04X (升级程序ID与设备程序ID不符！)",
                      static_cast<unsigned>(entry.programId), static_cast<unsigned>(img.config.wProgramID));
        throw Refused{text};
    }
    if (!entry.imageName.empty() && entry.imageCrc != img.header.dwDataCrc)
        std::printf("note: the failed run flashed image %s (CRC %s); recovering with the configured image (CRC %s)\n",
                    entry.imageName.c_str(), Crc4(entry.imageCrc).c_str(), Crc4(img.header.dwDataCrc).c_str());

    CRunLog log(ToolDirOf(c), "tarvexctl");
    log.m_fnProblem = [&c](const std::string& why) { Warn(c, "the run log is not written: " + why); };
    if (c.bVerbose) log.m_fnMirror = [](const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); };

    CDunX4ISPUSBComm isp;
    // Only the chosen bootloader is ever opened.
    isp.BindToPort(choice.port);
    isp.Start();
    struct StopOnExit {
        CDunX4ISPUSBComm& d;
        ~StopOnExit() { d.Stop(); }
    } stopper{isp};

    log.Line("recovery started for device ID " + HexId(entry.deviceId) + (entry.bHasUserData ? " with" : " without") +
             " user data, bootloader at port " + PortText(choice.port));
    // The poll opens the first of the bootloader's collections that lets it: one held by
    // another program is passed over for the next. When none lets it, that is the reason given.
    if (!WaitForDevice(isp, [&](CString& p) { return isp.FindDevice(p); }, c) || (!choice.port.empty() && isp.GetPortPath() != choice.port)) {
        if (Interrupted()) throw Refused{"interrupted while waiting for the device in bootloader mode"};
        const std::string denied = platform::hid::AccessDeniedReason();
        log.Line("outcome no-bootloader (untouched)" + (denied.empty() ? std::string() : ": " + denied));
        if (!denied.empty())
            throw Refused{"the device in bootloader mode at port " + PortText(choice.port) + " cannot be opened: " + denied +
                          " (没有检查到可升级设备！)"};
        throw Refused{"no device in bootloader mode at port " + PortText(choice.port) + " (没有检查到可升级设备！)"};
    }

    std::vector<BYTE> image = img.data;
    PatchIdentity(image.data(), entry.deviceId, entry.bHasUserData ? entry.userData.data() : nullptr);
    const DWORD size = static_cast<DWORD>(image.size());
    std::printf("recovering device ID %s %s user data with image %s\n", HexId(entry.deviceId).c_str(),
                entry.bHasUserData ? "with its" : "without", img.imagePath.c_str());

    auto step = [&](const char* what) {
        std::printf("  %s\n", what);
        std::fflush(stdout);
        log.Line(std::string("recover: ") + what);
    };
    auto fail = [&](const WCHAR* text, const std::string& cause) {
        log.Line("recover: request failed: " + cause + (isp.IsOpen() ? "" : " (the device has gone)"));
        log.Line("outcome recover-failed (after-switch): the journal entry stays");
        Warn(c, CString(text).ToUtf8() + " " + cause + "; the mouse is still in its bootloader: try again with `tarvexctl recover " +
                    DirAdvice(c) + "`");
        if (simulation) simulation->Finish(false);
        return kExitAfterSwitch;
    };

    step("erase");
    if (!isp.EraseFlash()) return fail(u"擦除Flash失败！", "erase");
    step("write");
    DWORD written = 0;
    if (!isp.WriteFlash(image.data(), size, written))
        return fail(u"写Flash失败！", "write, " + std::to_string(written) + " of " + std::to_string(size) + " bytes sent");
    step("read back");
    std::vector<BYTE> back(size);
    DWORD read = 0;
    if (!isp.ReadFlash(back.data(), size, read))
        return fail(u"读Flash失败！", "read, " + std::to_string(read) + " of " + std::to_string(size) + " bytes read");
    step("verify");
    if (back != image) return fail(u"校验Flash失败！", "verify");
    if (simulation && !simulation->MouseHolds(image)) {
        log.Line("outcome recover-failed: the image went to another device");
        Warn(c, "the recovery reported success, but the image went to another device's bootloader; the journal entry stays");
        simulation->Finish(false);
        return kExitAfterSwitch;
    }
    // Only after this mouse's own verified write.
    if (choice.bFromJournal) {
        if (!journal.Remove(entry.deviceId)) Warn(c, "the journal entry could not be removed: " + journal.LastError());
        else log.Line("recover: journal entry removed");
    }
    step("reset");
    if (!isp.ResetDevice()) {
        log.Line("recover: request failed: reset");
        log.Line("outcome reset (reset-failed): replug the mouse");
        std::printf("recovered, but the mouse did not restart: unplug it and plug it in again (升级成功，请重新拔插设备！)\n");
        if (simulation) simulation->Finish(true);
        return kExitResetFailed;
    }
    log.Line("outcome recovered (upgraded)");
    std::printf("recovered: device ID %s %s\n", HexId(entry.deviceId).c_str(),
                entry.bHasUserData ? "and its user data restored" : "restored (no user data)");
    if (simulation) simulation->Finish(true);
    return kExitUpgraded;
}

} // namespace field
