// tarvexctl's field commands: upgrade (one mouse, or many in a row with --loop), recover
// (a mouse left in its bootloader) and journal (the pending recovery entries). They run the
// procedure the window runs, on the real mouse or on the simulated one (--simulate).
#pragma once
#include <optional>
#include <string>
#include <vector>

#include "device/DunX4ISPUSBComm.h"
#include "tools/tarvexctl/Cli.h"
#include "device/QL40USBComm.h"
#include "encfile/EncFile.h"
#include "encfile/SystemConfig.h"
#include "upgrade/EventJson.h"
#include "device/USBDeviceMonitor.h"
#include "upgrade/RecoveryJournal.h"
#include "upgrade/RunLog.h"
#include "upgrade/UpgradeProcedure.h"

namespace field {

// Exit status of the field commands.
inline constexpr int kExitUpgraded = 0;
inline constexpr int kExitUntouched = 1;   // refused or failed; the mouse still runs its old firmware
inline constexpr int kExitUsage = 2;
inline constexpr int kExitAfterSwitch = 3; // the mouse may be in its bootloader: tarvexctl recover
inline constexpr int kExitResetFailed = 4; // upgraded, but still in its bootloader: replug it

// argv[0] is the command name.
int RunFieldCommand(const std::vector<std::string>& args);

using tarvexctl::Refused;
using tarvexctl::UsageError;

// The long help of a field command, for the command table ("upgrade", "recover", "journal",
// "devices").
std::string FieldHelp(const std::string& command);

// Options every field command reads: where the files are, and the simulated mouse.
struct CommonOptions {
    std::string dir;              // the tool directory (native), or empty: the tool's own
    std::string config, image;    // explicit files instead of the directory's
    std::optional<double> waitSeconds; // --wait: <0 for ever
    bool bVerbose = false;
    bool bJson = false;
    // --simulate
    bool bSimulate = false;
    double dTimeScale = 1.0;
    std::vector<std::string> faults; // NAME or NAME@N (mouse N of a loop)
    std::optional<unsigned long> devProgramId;
    std::optional<int> devVersion;
    std::optional<unsigned long long> devDeviceId;
    bool bBootloaderPresent = false;
    bool bForeignBootloaderStays = false; // the simulated technician never unplugs it
    std::string simState;
};

// The options every field command takes, and their values from a parsed command line.
tarvexctl::OptionSet CommonOptionSet();
CommonOptions ReadCommon(const tarvexctl::Args& args);
extern const char* const kCommonOptionsHelp;

// The tool directory the command works in (Windows-shaped, ending in a backslash): --dir,
// else the tool's own (an installed copy's per-user directory, as the window's). Throws
// Refused for a --dir that is not a directory and for a directory another user owns.
CString ToolDirOf(const CommonOptions& o);
// The same, native and without the trailing separator, for messages.
std::string ToolDirText(const CommonOptions& o);
// "--dir '<dir>'": every piece of advice names the directory the command used.
std::string DirAdvice(const CommonOptions& o);
std::string ShellQuote(const std::string& s);

// Messages of the field commands: a line on stdout (stderr for warnings), or with --json an
// event {"t_ms":…,"message":…,"level":…} so that the stream holds JSON objects only.
void Say(const CommonOptions& o, const std::string& text);
void Warn(const CommonOptions& o, const std::string& text);

// The configuration and the image as the window loads them: the image must be the one the
// configuration names (name and CRC). Throws Refused with the reason.
struct LoadedImage {
    SYSTEM_CONFIG config{};
    ENC_FILE_HEADER header{};
    std::vector<BYTE> data;
    std::string imagePath;
};
LoadedImage LoadConfigAndImage(const CommonOptions& o);

// The simulated mouse for --simulate, restored from and saved to --sim-state.
class CSimulation
{
public:
    explicit CSimulation(const CommonOptions& o);
    // Puts the world in place (before any device thread starts). Throws Refused.
    void Start();
    // Saves the mouse to --sim-state (if given); verified: the run counted as a verified write.
    // False with the reason when the state could not be saved (the outcome stays what it was).
    bool Finish(bool verified, std::string* error = nullptr);
    // The image the run will flash and its version: the simulated mouse runs it after a
    // complete write, and reports its version from then on.
    void SetImage(const std::vector<BYTE>& image, WORD programVer);
    // A reset that failed leaves the mouse in its bootloader; the technician replugs it.
    void ReplugAfterFailedReset();
    // The mouse of a loop: settings and faults of mouse n (from 1).
    void PlugLoopMouse(int n);
    void UnplugMouse();
    // The other device's bootloader of --bootloader-present, taken off the bus.
    void RemoveForeignBootloader();
    // True if the mouse's flash starts with these bytes (the image went to this mouse).
    bool MouseHolds(const std::vector<BYTE>& image) const;

private:
    CommonOptions m_o;
    int m_foreignId = 0;
    bool m_bBroken = false;
};

// One run of the window's procedure for a field command: the journal is required (a mouse
// whose identity is not saved is never erased). data: the image bytes this run patches.
UpgradeReport RunFieldUpgrade(const LoadedImage& img, BYTE* data, CQL40USBComm& app, CDunX4ISPUSBComm& isp,
                              CUSBDeviceMonitor& monitor, IUpgradeFace& face, CRecoveryJournal& journal, CRunLog& log);

// Waits for a device to be opened by its poll thread: without --wait only for one that is
// on the bus now, with --wait up to the given time (or for ever). False on time-out or Ctrl+C.
bool WaitForDevice(CHIDComm& comm, const std::function<bool(CString&)>& find, const CommonOptions& o);

// Devices in bootloader mode on the bus now (each device once, whatever its collections).
int CountBootloaderDevices();
// "1-2.3", or "(unknown port)".
std::string PortText(const std::string& port);

// Ctrl+C and SIGTERM set a flag instead of ending the process: a run after its switch is
// never cut short. While any run is past its switch (SetPastSwitch(true) when it passes,
// SetPastSwitch(false) when it ends), the signal is acknowledged at once on stderr
// ("finishing this mouse…").
void InstallInterruptFlag();
bool Interrupted();
void SetPastSwitch(bool past);

std::string HexId(unsigned long long id);
double ElapsedMs();

} // namespace field
