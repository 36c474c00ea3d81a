// tarvexctl recover and journal: a mouse left in its bootloader by a failed run gets the
// configured image with its own journaled identity; journal lists what is pending.
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <iostream>

#include "encfile/AppImage.h"
#include "platform/Kernel.h"
#include "tools/tarvexctl/Field.h"
#include "upgrade/RecoveryJournal.h"
#include "upgrade/RunLog.h"
#include "upgrade/UpgradeProcedure.h"

namespace field {

namespace {

const char* const kRecoverHelp =
    "usage: tarvexctl recover [--device-id HEX] [options]\n"
    "Flashes the device that is in bootloader mode with the configured image, carrying the identity\n"
    "(device ID and user data) that the failed run saved in the recovery journal; reads back,\n"
    "verifies and restarts it. One pending entry is used as it is; with several, --device-id picks\n"
    "one; with none, --device-id HEX flashes that device ID without user data.\n"
    "exit status: 0 recovered; 1 refused (nothing was flashed); 2 usage error; 3 the flash failed\n"
    "(still in its bootloader, the entry stays: try again); 4 recovered, but the reset failed: replug it.\n";

const char* const kJournalHelp =
    "usage: tarvexctl journal [--dir DIR] [--json]\n"
    "Lists the pending entries of the recovery journal: mice whose run ended after the switch\n"
    "without a verified write. exit status: 0 listed (also none), 1 journal unreadable, 2 usage.\n";

std::string Crc4(DWORD v)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "%04X", static_cast<unsigned>(v));
    return buf;
}

std::vector<JournalEntry> LoadJournal(const CRecoveryJournal& journal)
{
    std::vector<JournalEntry> entries;
    std::string error;
    if (!journal.Load(entries, error)) throw Refused{error};
    return entries;
}

} // namespace

int JournalCommand(const std::vector<std::string>& args)
{
    CommonOptions c;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--help" || args[i] == "-h") {
            std::cout << kJournalHelp;
            return kExitUpgraded;
        }
        if (args[i] == "--dir" || args[i] == "--json") {
            TakeCommonOption(args, i, c);
            continue;
        }
        throw UsageError{"unknown option " + args[i]};
    }
    if (!c.dir.empty() && !std::filesystem::is_directory(c.dir)) throw Refused{c.dir + ": not a directory"};
    CRecoveryJournal journal(ToolDirOf(c));
    const std::vector<JournalEntry> entries = LoadJournal(journal);
    for (const auto& e : entries) {
        if (c.bJson) {
            std::printf("{\"device_id\":\"%s\",\"program_id\":\"%08X\",\"version\":%u,\"image\":%s,\"crc\":\"%s\","
                        "\"time\":\"%s\",\"user_data\":%s}\n",
                        HexId(e.deviceId).c_str(), static_cast<unsigned>(e.programId), static_cast<unsigned>(e.version),
                        JsonString(e.imageName).c_str(), Crc4(e.imageCrc).c_str(), UtcTimeText(e.time).c_str(),
                        e.bHasUserData ? "true" : "false");
        } else {
            std::printf("%s  program ID %08X  v%u.0  image %s (CRC %s)  %s  %s\n", HexId(e.deviceId).c_str(),
                        static_cast<unsigned>(e.programId), static_cast<unsigned>(e.version),
                        e.imageName.empty() ? "-" : e.imageName.c_str(), Crc4(e.imageCrc).c_str(), UtcTimeText(e.time).c_str(),
                        e.bHasUserData ? "with user data" : "without user data");
        }
    }
    if (!c.bJson) std::printf("%zu pending entr%s in %s\n", entries.size(), entries.size() == 1 ? "y" : "ies", journal.Path().c_str());
    return kExitUpgraded;
}

int RecoverCommand(const std::vector<std::string>& args)
{
    CommonOptions c;
    std::optional<ULONGLONG> wantedId;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--help" || a == "-h") {
            std::cout << kRecoverHelp << kCommonOptionsHelp;
            return kExitUpgraded;
        }
        if (a == "--device-id") {
            if (i + 1 >= args.size()) throw UsageError{"--device-id needs a value"};
            std::string v = args[++i];
            if (v.size() > 2 && v[0] == '0' && (v[1] == 'x' || v[1] == 'X')) v = v.substr(2);
            if (v.empty() || v.size() > 12 || v.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
                throw UsageError{"--device-id takes up to 12 hexadecimal digits"};
            wantedId = std::stoull(v, nullptr, 16);
            continue;
        }
        if (a == "--json") throw UsageError{"recover has no --json"};
        if (TakeCommonOption(args, i, c)) continue;
        throw UsageError{"unknown option " + a};
    }
    if (c.config.empty() != c.image.empty()) throw UsageError{"--config and --image go together"};
    if (!c.bSimulate && (!c.faults.empty() || !c.simState.empty() || c.bBootloaderPresent))
        throw UsageError{"the simulated mouse's options need --simulate"};
    InstallInterruptFlag();

    CRecoveryJournal journal(ToolDirOf(c));
    const std::vector<JournalEntry> entries = LoadJournal(journal);
    JournalEntry entry;
    if (wantedId) {
        bool found = false;
        for (const auto& e : entries)
            if (e.deviceId == *wantedId) entry = e, found = true;
        if (!found) {
            entry = JournalEntry{};
            entry.deviceId = *wantedId;
            std::printf("no journal entry for device ID %s: that device ID goes into the image without user data (the "
                        "image's own bytes stand in for it)\n",
                        HexId(*wantedId).c_str());
        }
    } else if (entries.empty()) {
        throw Refused{"the recovery journal has no pending entry; give --device-id HEX to flash a device ID without user data"};
    } else if (entries.size() > 1) {
        std::string ids;
        for (const auto& e : entries) ids += " " + HexId(e.deviceId);
        throw Refused{std::to_string(entries.size()) + " pending entries (" + ids.substr(1) +
                      "): say which mouse this is with --device-id HEX"};
    } else {
        entry = entries[0];
    }

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
    if (c.bVerbose) log.m_fnMirror = [](const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); };
    std::optional<CSimulation> simulation;
    if (c.bSimulate) simulation.emplace(c), simulation->Start();

    CDunX4ISPUSBComm isp;
    isp.Start();
    struct StopOnExit {
        CDunX4ISPUSBComm& d;
        ~StopOnExit() { d.Stop(); }
    } stopper{isp};

    log.Line("recovery started for device ID " + HexId(entry.deviceId) + (entry.bHasUserData ? " with" : " without") +
             " user data");
    if (c.waitSeconds) std::printf("waiting for the device in bootloader mode\n"), std::fflush(stdout);
    if (!WaitForDevice(isp, [&](CString& p) { return isp.FindDevice(p); }, c)) {
        if (Interrupted()) throw Refused{"interrupted while waiting for the device in bootloader mode"};
        log.Line("outcome no-bootloader (untouched)");
        throw Refused{"no device in bootloader mode (没有检查到可升级设备！)"};
    }

    // The bootloader carries no identity: with two on the bus the entry could go to the wrong one.
    if (const int n = CountBootloaderDevices(); n > 1) {
        log.Line("outcome refused (untouched): " + std::to_string(n) + " devices in bootloader mode");
        throw Refused{std::to_string(n) + " devices are in bootloader mode; leave only the mouse to recover plugged in"};
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
        std::fprintf(stderr, "tarvexctl: %s %s; the mouse is still in its bootloader: try again\n", CString(text).ToUtf8().c_str(),
                     cause.c_str());
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
    if (!journal.Remove(entry.deviceId)) std::fprintf(stderr, "tarvexctl: the journal entry could not be removed (%s)\n", journal.Path().c_str());
    else log.Line("recover: journal entry removed");
    if (simulation && !simulation->MouseHolds(image)) {
        log.Line("outcome recover-failed: the image went to another device");
        std::fprintf(stderr, "tarvexctl: the recovery reported success, but the image went to another device's bootloader\n");
        simulation->Finish(false);
        return kExitAfterSwitch;
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
