#include "device/QL40USBComm.h"

#include <cstring>

#include "device/PresencePoll.h"
#include "platform/Kernel.h"
#include "platform/Messages.h"

CQL40USBComm::CQL40USBComm()
{
    m_hReplyEvent = CreateEventW(nullptr, FALSE, FALSE, u"QL40_REPLY_EVENT");
}

CQL40USBComm::~CQL40USBComm()
{
    Stop();
    // The reader calls OnInputReport, which uses our members: stop it while they exist.
    Close();
    if (m_hReplyEvent) CloseHandle(m_hReplyEvent);
}

bool CQL40USBComm::Filter(const HID_ATTRIBUTES_CAPABILITES& rec)
{
    return rec.Attributes.VendorID == kVendorID && rec.Capabilities.UsagePage == kUsagePage;
}

bool CQL40USBComm::FindDevice(CString& path) { return FindFirstDevice(path, &Filter); }

std::vector<CString> CQL40USBComm::FindDevices() { return FindAllDevices(&Filter); }

unsigned CQL40USBComm::Run()
{
    return RunPresencePoll(
        *this, [this] { return IsStopRequested(); }, [this] { return FindDevices(); },
        u"QL40_DEVICE_CHANGE", m_hOwnerWnd);
}

using namespace wire::app;

bool CQL40USBComm::Exchange(const Request& sent, Reply& got)
{
    std::memcpy(m_Request, sent, kRequestLength);
    m_Request[kRequestLength] = 0;
    HID_REPORT report;
    MakeHIDReport(m_Request, kRequestLength, &report, kReportID);
    {
        std::lock_guard<std::mutex> lk(m_replyMu);
        m_nExpectedCmd.store(sent[request::Command]);
        m_nReplied.store(0);
    }
    for (int attempt = 0; attempt < kAttempts && !m_nReplied.load(); ++attempt) {
        DWORD written = 0;
        if (Write(report.Data, report.Length, &written, nullptr, kTimeoutMs) != 0) continue;
        WaitForSingleObject(m_hReplyEvent, kTimeoutMs);
    }
    std::lock_guard<std::mutex> lk(m_replyMu);
    m_nExpectedCmd.store(0);
    if (!m_nReplied.load()) return false;
    std::memcpy(got, m_Reply, kReplyLength);
    return true;
}

bool CQL40USBComm::GetProgramInfo(BYTE& version, DWORD& programId)
{
    if (!IsOpen() || m_nBusy.exchange(1)) return false;
    const Request sent = {CmdProgramInfo};
    Reply got;
    bool ok = Exchange(sent, got);
    if (ok) {
        const BYTE* id = got + reply::ProgramId;
        programId = static_cast<DWORD>(id[0]) | (static_cast<DWORD>(id[1]) << 8) | (static_cast<DWORD>(id[2]) << 16) |
                    (static_cast<DWORD>(id[3]) << 24);
        version = got[reply::Version];
    }
    m_nBusy.store(0);
    return ok;
}

bool CQL40USBComm::GetDeviceID(ULONGLONG& deviceId)
{
    if (!IsOpen() || m_nBusy.exchange(1)) return false;
    const Request sent = {CmdDeviceId};
    Reply got{};
    bool ok = Exchange(sent, got) && got[reply::Command] == CmdDeviceId;
    if (ok) deviceId = wire::GetDeviceId(got + reply::DeviceId);
    m_nBusy.store(0);
    return ok;
}

bool CQL40USBComm::ReadUserData(BYTE block, BYTE* buffer)
{
    if (!buffer) return false;
    if (!IsOpen() || m_nBusy.exchange(1)) return false;
    bool ok = true;
    for (DWORD offset = 0; offset < kUserDataBlockSize; offset += kUserDataStep) {
        Request sent = {CmdReadUserData};
        sent[request::Offset] = static_cast<BYTE>(offset);
        sent[request::Length] = static_cast<BYTE>(kUserDataStep);
        sent[request::Block] = block;
        Reply got;
        if (!Exchange(sent, got) || got[reply::Offset] != static_cast<BYTE>(offset)) {
            ok = false;
            break;
        }
        std::memcpy(buffer + offset, got + reply::Data, kUserDataStep);
    }
    m_nBusy.store(0);
    return ok;
}

bool CQL40USBComm::OnInputReport(const BYTE* report, DWORD length)
{
    if (!report || length != kInputReportLength) return true;
    // The reply's bytes follow the report ID.
    const BYTE* r = report + 1;
    BYTE cmd = r[reply::Command];
    switch (cmd) {
    case CmdReadUserData:
    case CmdProgramInfo:
    case CmdDeviceId: {
        bool accepted = false;
        {
            std::lock_guard<std::mutex> lk(m_replyMu);
            if (m_nExpectedCmd.load() == cmd) {
                std::memcpy(m_Reply, r, kReplyLength);
                m_nReplied.store(1);
                accepted = true;
            }
        }
        if (accepted) SetEvent(m_hReplyEvent);
        break;
    }
    case CmdTestData:
        if (HWND hwnd = m_hOwnerWnd.load())
            PostMessageW(hwnd, RegisterWindowMessageW(u"QL40_TEST_DATA"),
                         static_cast<WPARAM>(r[reply::TestValue] + 256 * r[reply::TestValue + 1]), 0);
        break;
    default:
        break;
    }
    return true;
}
