// The upgrade procedure: checks the mouse in application mode against the loaded image,
// carries its identity (and optionally its user data) into the image, switches it into its
// bootloader, erases, writes, reads back, verifies and resets. One procedure, two faces: the
// window shows its steps on the status line, progress bar and result picture and waits with
// messages flowing; tarvexctl shows them on a terminal line and waits plainly. Every run also
// writes the run log and, before the switch, the recovery journal.
#pragma once
#include <cstddef>
#include <cstdlib>
#include <string>

#include "device/DunX4ISPUSBComm.h"
#include "device/QL40USBComm.h"
#include "device/USBDeviceMonitor.h"
#include "encfile/EncFile.h"
#include "encfile/SystemConfig.h"
#include "platform/WinTypes.h"

class CRecoveryJournal;
class CRunLog;

// Status colours (0x00BBGGRR).
inline constexpr COLORREF UPGRADE_COLOR_BLUE = 0x00FF0000;
inline constexpr COLORREF UPGRADE_COLOR_RED = 0x000000FF;
inline constexpr COLORREF UPGRADE_COLOR_GREEN = 0x0000FF00;

enum class UpgradePicture { Initial, Success, Failure };
enum class UpgradeWait { BootloaderPoll, Settle };

// Every way a run can end, in the order the steps reach them.
enum class UpgradeOutcome {
    NoImage,
    NoDevice,
    ProgramInfoFailed,
    ProgramIdMismatch,
    VersionNotNewer,
    DeviceIdFailed,
    UserDataFailed,
    JournalFailed, // only where a saved identity is required (the command line)
    Cancelled,     // the face called the run off before the switch (the command line's Ctrl+C)
    NoBootloader,
    EraseFailed,
    WriteFailed,
    NoMemory,
    ReadFailed,
    VerifyFailed,
    ResetFailed,
    Success,
};

// What an outcome means for the mouse.
enum class OutcomeClass {
    Upgraded,    // verified, and restarted if asked to
    Untouched,   // refused or failed before the switch: still in application mode, flash unchanged
    AfterSwitch, // may sit in its bootloader with an empty or half-written flash: recover it
    ResetFailed, // verified, but still in its bootloader: replug it
};

OutcomeClass ClassOf(UpgradeOutcome outcome);
const char* OutcomeName(UpgradeOutcome outcome);
const char* OutcomeClassName(OutcomeClass c);

// What a face shows and how it waits.
class IUpgradeFace
{
public:
    virtual ~IUpgradeFace() = default;
    // The status line emptied at the start of a run.
    virtual void ClearStatus() = 0;
    virtual void SetStatus(COLORREF crText, const WCHAR* pszText) = 0;
    // 0, 10, 20, 30, 50, 60, 70, 80, 90 or 100.
    virtual void SetProgress(int nPos) = 0;
    virtual void SetResult(UpgradePicture picture) = 0;
    // The waits for the bootloader: up to 600 polls of 100 ms, then the fixed settling wait.
    virtual void Wait(UpgradeWait kind, DWORD ms) = 0;
    // Once the mouse's identity is known and before anything is saved or switched; a face may
    // hold the run here (the loop waits while another device's bootloader is on the bus, so
    // the image can only reach this mouse), or call it off with false.
    virtual bool BeforeSwitch() { return true; }
};

// What one run works on; the caller owns all of it.
struct UpgradeTarget {
    const SYSTEM_CONFIG* pConfig = nullptr;
    const ENC_FILE_HEADER* pHeader = nullptr; // the image's name and CRC, for the journal
    BYTE* pAppData = nullptr;                 // patched in place, as the window always has
    bool bAppLoaded = false;
    CQL40USBComm* pAppComm = nullptr;
    CDunX4ISPUSBComm* pISPComm = nullptr;
    CUSBDeviceMonitor* pMonitor = nullptr;
};

// What a run learned and how it ended.
struct UpgradeReport {
    UpgradeOutcome outcome = UpgradeOutcome::NoImage;
    bool bHaveProgramInfo = false;
    DWORD programId = 0;
    BYTE version = 0;
    bool bHaveDeviceId = false;
    ULONGLONG deviceId = 0;
    // The USB port of the mouse (empty when the backend cannot tell), and once the run has
    // switched it, true: only the bootloader on that port was accepted.
    std::string portPath;
    bool bSwitched = false;
    // What failed, for the log and the report: the step, the cause and the bytes done.
    std::string detail;
};

class CUpgradeProcedure
{
public:
    CUpgradeProcedure(IUpgradeFace& face, const UpgradeTarget& target);

    // The read-back buffer's allocation (malloc unless replaced).
    void* (*m_pfnAlloc)(std::size_t size) = &std::malloc;
    // Both optional. With m_bJournalRequired a journal that cannot be written stops the run
    // before the switch; without it the run goes on and the log says so.
    CRecoveryJournal* m_pJournal = nullptr;
    bool m_bJournalRequired = false;
    CRunLog* m_pLog = nullptr;

    UpgradeReport Run();

private:
    UpgradeOutcome Steps(UpgradeReport& r);
    void Stop(COLORREF cr, const WCHAR* text, bool failurePicture);
    void Log(const std::string& text);
    void LogFailedRequest(UpgradeReport& r, const char* request, bool ispDevice, const std::string& detail = {});
    void LogForeignBootloaders(const std::string& port);
    bool WriteJournal(const UpgradeReport& r, bool withUserData);

    IUpgradeFace& m_face;
    UpgradeTarget m_t;
};

// The image bytes a run flashes for this identity: the device ID at 0x4100 (always) and the
// user data at 0x3D00 (when given, 1024 bytes). The image must be at least 0x4106 bytes.
void PatchIdentity(BYTE* pImage, ULONGLONG deviceId, const BYTE* pUserData);
