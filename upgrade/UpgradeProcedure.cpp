#include "upgrade/UpgradeProcedure.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "device/Wire.h"
#include "encfile/AppImage.h"
#include "platform/hid/HidBackend.h"
#include "upgrade/RecoveryJournal.h"
#include "upgrade/RunLog.h"

namespace {

// Bootloader arrival: up to 600 waits of 100 ms, then a fixed settling wait.
constexpr int kIspPollCount = 600;
constexpr DWORD kIspPollMs = 100;
constexpr DWORD kIspSettleMs = 30000;

using wire::MaskDeviceId;
using wire::app::kUserDataBlockSize;
using wire::image::kFirstUserDataBlock;
using wire::image::kUserDataBlocks;
static_assert(APP_IMAGE_MIN_SIZE == wire::image::kIdentityEnd, "an image must hold the identity");

std::string Utf8(const WCHAR* text) { return CString(text).ToUtf8(); }

const char* ColourName(COLORREF cr)
{
    switch (cr) {
    case UPGRADE_COLOR_BLUE: return "blue";
    case UPGRADE_COLOR_RED: return "red";
    case UPGRADE_COLOR_GREEN: return "green";
    default: return "face";
    }
}

std::string Hex(unsigned long long v, int digits)
{
    char buf[24];
    std::snprintf(buf, sizeof buf, "%0*llX", digits, v);
    return buf;
}

} // namespace

OutcomeClass ClassOf(UpgradeOutcome outcome)
{
    switch (outcome) {
    case UpgradeOutcome::Success: return OutcomeClass::Upgraded;
    case UpgradeOutcome::ResetFailed: return OutcomeClass::ResetFailed;
    case UpgradeOutcome::NoBootloader:
    case UpgradeOutcome::EraseFailed:
    case UpgradeOutcome::WriteFailed:
    case UpgradeOutcome::NoMemory:
    case UpgradeOutcome::ReadFailed:
    case UpgradeOutcome::VerifyFailed: return OutcomeClass::AfterSwitch;
    default: return OutcomeClass::Untouched;
    }
}

const char* OutcomeName(UpgradeOutcome outcome)
{
    switch (outcome) {
    case UpgradeOutcome::NoImage: return "no-image";
    case UpgradeOutcome::NoDevice: return "no-device";
    case UpgradeOutcome::ProgramInfoFailed: return "program-info";
    case UpgradeOutcome::ProgramIdMismatch: return "program-id";
    case UpgradeOutcome::VersionNotNewer: return "version";
    case UpgradeOutcome::DeviceIdFailed: return "device-id";
    case UpgradeOutcome::UserDataFailed: return "user-data";
    case UpgradeOutcome::JournalFailed: return "journal";
    case UpgradeOutcome::Cancelled: return "cancelled";
    case UpgradeOutcome::NoBootloader: return "no-bootloader";
    case UpgradeOutcome::EraseFailed: return "erase";
    case UpgradeOutcome::WriteFailed: return "write";
    case UpgradeOutcome::NoMemory: return "memory";
    case UpgradeOutcome::ReadFailed: return "read";
    case UpgradeOutcome::VerifyFailed: return "verify";
    case UpgradeOutcome::ResetFailed: return "reset";
    case UpgradeOutcome::Success: return "success";
    }
    return "?";
}

const char* OutcomeClassName(OutcomeClass c)
{
    switch (c) {
    case OutcomeClass::Upgraded: return "upgraded";
    case OutcomeClass::Untouched: return "untouched";
    case OutcomeClass::AfterSwitch: return "after-switch";
    case OutcomeClass::ResetFailed: return "reset-failed";
    }
    return "?";
}

void PatchIdentity(BYTE* pImage, ULONGLONG deviceId, const BYTE* pUserData)
{
    wire::image::PutDeviceId(pImage, deviceId);
    if (pUserData) std::memcpy(pImage + wire::image::kUserDataOffset, pUserData, wire::image::kUserDataSize);
}

CUpgradeProcedure::CUpgradeProcedure(IUpgradeFace& face, const UpgradeTarget& target) : m_face(face), m_t(target) {}

void CUpgradeProcedure::Log(const std::string& text)
{
    if (m_pLog) m_pLog->Line(text);
}

void CUpgradeProcedure::LogFailedRequest(UpgradeReport& r, const char* request, bool ispDevice, const std::string& detail)
{
    const bool open = ispDevice ? m_t.pISPComm->IsOpen() : m_t.pAppComm->IsOpen();
    std::string cause = open ? (ispDevice ? "the bootloader refused the transfer" : "no valid reply after 3 attempts")
                             : "the device has gone";
    r.detail = std::string(request) + ": " + cause + (detail.empty() ? "" : ", " + detail);
    Log("request failed: " + r.detail);
}

void CUpgradeProcedure::LogForeignBootloaders(const std::string& port)
{
    for (const auto& d : CDunX4ISPUSBComm::ListBootloaders()) {
        if (m_t.pISPComm->Accepts(d)) continue;
        Log("ignored the bootloader at port " + (d.portPath.empty() ? std::string("(unknown)") : d.portPath) +
            ": not the switched mouse's port " + (port.empty() ? std::string("(unknown, and it is not alone on the bus)") : port));
    }
}

void CUpgradeProcedure::Stop(COLORREF cr, const WCHAR* text, bool failurePicture)
{
    m_face.SetStatus(cr, text);
    if (failurePicture) m_face.SetResult(UpgradePicture::Failure);
}

UpgradeReport CUpgradeProcedure::Run()
{
    UpgradeReport r;
    Log("run started");
    r.outcome = Steps(r);
    // The next run (or the window's idle display) may see any bootloader again.
    if (r.bSwitched) m_t.pISPComm->Unbind();
    const OutcomeClass c = ClassOf(r.outcome);
    Log(std::string("outcome ") + OutcomeName(r.outcome) + " (" + OutcomeClassName(c) + ")" +
        (c == OutcomeClass::AfterSwitch ? ": the mouse may be in its bootloader; tarvexctl recover flashes it" : "") +
        (c == OutcomeClass::ResetFailed ? ": replug the mouse" : ""));
    return r;
}

bool CUpgradeProcedure::WriteJournal(const UpgradeReport& r, bool withUserData)
{
    if (!m_pJournal) return true;
    JournalEntry e;
    e.deviceId = MaskDeviceId(r.deviceId);
    e.programId = r.programId;
    e.version = r.version;
    if (withUserData) {
        e.bHasUserData = true;
        e.userData.assign(m_t.pAppData + wire::image::kUserDataOffset,
                          m_t.pAppData + wire::image::kUserDataOffset + JOURNAL_USER_DATA_SIZE);
    }
    if (m_t.pHeader) {
        std::size_t n = 0;
        while (n < sizeof(m_t.pHeader->szName) && m_t.pHeader->szName[n]) ++n;
        for (std::size_t i = 0; i < n; ++i) {
            const unsigned char ch = static_cast<unsigned char>(m_t.pHeader->szName[i]);
            e.imageName += (ch > 0x20 && ch < 0x7F && ch != '=') ? static_cast<char>(ch) : '_';
        }
        e.imageCrc = m_t.pHeader->dwDataCrc;
    }
    e.time = static_cast<long long>(std::time(nullptr));
    e.portPath = r.portPath;
    return m_pJournal->Add(e);
}

UpgradeOutcome CUpgradeProcedure::Steps(UpgradeReport& r)
{
    const SYSTEM_CONFIG& cfg = *m_t.pConfig;
    auto progress = [&](int pos) {
        m_face.SetProgress(pos);
        Log("progress " + std::to_string(pos) + "%");
    };
    auto status = [&](COLORREF cr, const WCHAR* text) {
        m_face.SetStatus(cr, text);
        Log(std::string("status ") + ColourName(cr) + " " + Utf8(text));
    };
    auto stop = [&](COLORREF cr, const WCHAR* text, bool failurePicture) {
        Stop(cr, text, failurePicture);
        Log(std::string("status ") + ColourName(cr) + " " + Utf8(text));
    };

    m_face.ClearStatus();
    m_face.SetResult(UpgradePicture::Initial);
    m_face.SetProgress(0);

    // The loader refuses images that cannot take the patches; the size test keeps the writes
    // below inside the block whatever state the image is in.
    const DWORD dwDataSize = m_t.pHeader ? m_t.pHeader->dwDataSize : 0;
    if (!m_t.bAppLoaded || !m_t.pAppData || dwDataSize < APP_IMAGE_MIN_SIZE) {
        stop(UPGRADE_COLOR_BLUE, u"烧录数据错误！", true);
        return UpgradeOutcome::NoImage;
    }
    Log("image " + Hex(dwDataSize, 1) + "h bytes, CRC " + Hex(m_t.pHeader->dwDataCrc, 4) + ", program ID " +
        Hex(cfg.wProgramID, 4) + ", version " + std::to_string(cfg.wProgramVer >> 8) + "." +
        std::to_string(cfg.wProgramVer & 0xFF));

    progress(10);

    CQL40USBComm& app = *m_t.pAppComm;
    CDunX4ISPUSBComm& isp = *m_t.pISPComm;
    if (!app.IsOpen()) {
        // A mouse that is there but refused us looks the same on the status line; the log
        // keeps the reason (a windowed program has no console for stderr).
        if (const std::string why = platform::hid::AccessDeniedReason(); !why.empty()) Log("no device: " + why);
        stop(UPGRADE_COLOR_BLUE, u"没有发现可升级设备！", true);
        return UpgradeOutcome::NoDevice;
    }

    BYTE version = 0;
    DWORD programId = 0;
    if (!app.GetProgramInfo(version, programId)) {
        LogFailedRequest(r, "program info", false);
        stop(UPGRADE_COLOR_RED, u"获取设备程序ID失败！", false);
        return UpgradeOutcome::ProgramInfoFailed;
    }
    r.bHaveProgramInfo = true;
    r.programId = programId;
    r.version = version;
    Log("mouse program ID " + Hex(programId, 8) + ", version " + std::to_string(version));
    if ((programId & 0xFFFF) != cfg.wProgramID) {
        stop(UPGRADE_COLOR_RED, u"升级程序ID与设备程序ID不符！", false);
        return UpgradeOutcome::ProgramIdMismatch;
    }
    // The device reports only its major version; equal versions need no upgrade either.
    if (cfg.bVersionCheck && cfg.wProgramVer <= static_cast<DWORD>(version) * 256) {
        stop(UPGRADE_COLOR_BLUE, u"设备程序版本高于升级程序版本，不需要升级！", false);
        return UpgradeOutcome::VersionNotNewer;
    }

    ULONGLONG deviceId = 0;
    if (!app.GetDeviceID(deviceId)) {
        LogFailedRequest(r, "device ID", false);
        stop(UPGRADE_COLOR_RED, u"获取设备ID失败！", false);
        return UpgradeOutcome::DeviceIdFailed;
    }
    r.bHaveDeviceId = true;
    r.deviceId = deviceId;
    Log("mouse device ID " + Hex(MaskDeviceId(deviceId), 12));
    PatchIdentity(m_t.pAppData, deviceId, nullptr);

    if (cfg.bSaveUserData) {
        BYTE userData[wire::image::kUserDataSize];
        for (int i = 0; i < kUserDataBlocks; ++i) {
            const BYTE block = static_cast<BYTE>(kFirstUserDataBlock + i);
            if (!app.ReadUserData(block, userData + i * kUserDataBlockSize)) {
                LogFailedRequest(r, "user data", false, "block " + std::to_string(block));
                stop(UPGRADE_COLOR_RED, u"读取用户数据失败！", false);
                return UpgradeOutcome::UserDataFailed;
            }
        }
        std::memcpy(m_t.pAppData + wire::image::kUserDataOffset, userData, sizeof(userData));
        Log("user data blocks 5..8 read");
    }

    if (!m_face.BeforeSwitch()) {
        Log("called off before the switch");
        stop(UPGRADE_COLOR_BLUE, u"Stopped before the switch; the mouse was not touched.", true);
        return UpgradeOutcome::Cancelled;
    }

    // The identity is saved before the mouse leaves application mode: from the switch on, a
    // failure can leave it with an empty flash that only this record can refill.
    const std::string port = app.GetPortPath();
    r.portPath = port;
    if (m_pJournal) {
        if (WriteJournal(r, cfg.bSaveUserData != 0)) {
            Log("journal entry written to " + m_pJournal->Path());
        } else if (m_bJournalRequired) {
            r.detail = "journal: " + m_pJournal->LastError();
            Log("journal write failed: " + m_pJournal->LastError() + "; the mouse is not switched");
            stop(UPGRADE_COLOR_RED, u"Cannot write the recovery journal; the mouse was not touched.", true);
            return UpgradeOutcome::JournalFailed;
        } else {
            Log("journal write failed: " + m_pJournal->LastError() + "; the run goes on without a saved identity");
        }
    }

    status(UPGRADE_COLOR_BLUE, u"检查到游戏鼠标设备，进入升级....");

    // The string-descriptor request at the mouse's port makes it restart into its bootloader;
    // a failure here shows as a bootloader that never arrives.
    // From here on the run accepts only the bootloader on this mouse's port: another device's
    // bootloader elsewhere on the bus must never receive this mouse's image and identity.
    isp.BindToPort(port);
    r.bSwitched = true;
    Log("mouse at port " + (port.empty() ? std::string("(unknown: a bootloader is accepted only while it is alone on the bus)") : port));
    LogForeignBootloaders(port);
    HID_ATTRIBUTES_CAPABILITES attCap{};
    if (app.GetHIDAttCap(&attCap)) {
        m_t.pMonitor->Refresh();
        const CUSBDeviceMonitor::ScanSummary scan = m_t.pMonitor->GetLastScan();
        if (scan.controllers == 0)
            Log("switch: no USB host controller could be opened (by HCD name or device interface): the request "
                "cannot reach the mouse");
        else if (scan.hubs == 0)
            Log("switch: " + std::to_string(scan.controllers) +
                " USB host controller(s) opened, but none of their hubs: the request cannot reach the mouse");
        USB_PORT_ENTRY entry;
        // By port where the port is known, so the request reaches this mouse and not another
        // of the same kind.
        const int found = port.empty()
                              ? m_t.pMonitor->FindPortByVidPid(attCap.Attributes.VendorID, attCap.Attributes.ProductID, entry)
                              : m_t.pMonitor->FindPortByPath(port, attCap.Attributes.VendorID, attCap.Attributes.ProductID, entry);
        if (found) {
            m_t.pMonitor->GetStringDescriptor(entry);
            Log("switch request sent at " + entry.strHubPath.ToUtf8() + " port " +
                std::to_string(platform::usb::GetU32(entry.pConnectionInfo + platform::usb::conn::ConnectionIndex)));
        } else {
            Log("switch: the mouse's port was not found in the USB tree");
        }
    } else {
        Log("switch: the mouse's attributes could not be read");
    }

    for (int nCount = 0; !isp.IsOpen();) {
        m_face.Wait(UpgradeWait::BootloaderPoll, kIspPollMs);
        if (++nCount == kIspPollCount) break;
    }
    m_face.Wait(UpgradeWait::Settle, kIspSettleMs);

    progress(20);
    // The poll thread opens only an accepted bootloader; checked again here, since nothing
    // else stands between another device and this mouse's image.
    if (!isp.IsOpen() || (!port.empty() && isp.GetPortPath() != port)) {
        LogForeignBootloaders(port);
        r.detail = "no-bootloader: none appeared at port " + (port.empty() ? std::string("(unknown)") : port);
        Log(r.detail);
        stop(UPGRADE_COLOR_BLUE, u"没有检查到可升级设备！", true);
        return UpgradeOutcome::NoBootloader;
    }
    Log("bootloader at port " + (isp.GetPortPath().empty() ? std::string("(unknown)") : isp.GetPortPath()));

    status(UPGRADE_COLOR_BLUE, u"检查到升级设备，进入升级....");
    progress(30);
    if (!isp.EraseFlash()) {
        LogFailedRequest(r, "erase", true);
        stop(UPGRADE_COLOR_RED, u"擦除Flash失败！", true);
        return UpgradeOutcome::EraseFailed;
    }

    progress(50);
    DWORD dwWritten = 0;
    if (!isp.WriteFlash(m_t.pAppData, dwDataSize, dwWritten)) {
        LogFailedRequest(r, "write", true, std::to_string(dwWritten) + " of " + std::to_string(dwDataSize) + " bytes sent");
        stop(UPGRADE_COLOR_RED, u"写Flash失败！", true);
        return UpgradeOutcome::WriteFailed;
    }

    progress(60);
    BYTE* pReadBack = static_cast<BYTE*>(m_pfnAlloc(dwDataSize));
    if (!pReadBack) {
        r.detail = "memory: no " + std::to_string(dwDataSize) + " bytes for the read-back";
        Log(r.detail);
        stop(UPGRADE_COLOR_RED, u"申请内存失败！", true);
        return UpgradeOutcome::NoMemory;
    }

    progress(70);
    DWORD dwRead = 0;
    if (!isp.ReadFlash(pReadBack, dwDataSize, dwRead)) {
        std::free(pReadBack);
        LogFailedRequest(r, "read", true, std::to_string(dwRead) + " of " + std::to_string(dwDataSize) + " bytes read");
        stop(UPGRADE_COLOR_RED, u"读Flash失败！", true);
        return UpgradeOutcome::ReadFailed;
    }

    progress(80);
    // Against the patched image, so the device ID and user data are verified too.
    if (std::memcmp(pReadBack, m_t.pAppData, dwDataSize) != 0) {
        DWORD at = 0;
        while (at < dwDataSize && pReadBack[at] == m_t.pAppData[at]) ++at;
        std::free(pReadBack);
        r.detail = "verify: first difference at offset " + Hex(at, 4) + "h";
        Log(r.detail);
        stop(UPGRADE_COLOR_RED, u"校验Flash失败！", true);
        return UpgradeOutcome::VerifyFailed;
    }
    std::free(pReadBack);
    progress(90);

    // The flash holds the identity again: the journal entry has done its work.
    if (m_pJournal) {
        if (m_pJournal->Remove(MaskDeviceId(deviceId)))
            Log("journal entry removed");
        else
            Log("journal entry could not be removed: " + m_pJournal->LastError());
    }

    if (cfg.bAutoReset && !isp.ResetDevice()) {
        LogFailedRequest(r, "reset", true);
        stop(UPGRADE_COLOR_GREEN, u"升级成功，请重新拔插设备！", true);
        return UpgradeOutcome::ResetFailed;
    }

    progress(100);
    status(UPGRADE_COLOR_GREEN, u"游戏鼠标应用升级成功！");
    m_face.SetResult(UpgradePicture::Success);
    return UpgradeOutcome::Success;
}
