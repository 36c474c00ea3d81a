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

bool CQL40USBComm::Exchange(const BYTE request[7], BYTE reply[7])
{
    std::memcpy(m_Request, request, 7);
    m_Request[7] = 0;
    HID_REPORT report;
    MakeHIDReport(m_Request, 7, &report, kReportID);
    {
        std::lock_guard<std::mutex> lk(m_replyMu);
        m_nExpectedCmd.store(request[0]);
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
    std::memcpy(reply, m_Reply, 7);
    return true;
}

bool CQL40USBComm::GetProgramInfo(BYTE& version, DWORD& programId)
{
    if (!IsOpen() || m_nBusy.exchange(1)) return false;
    const BYTE req[7] = {CMD_PROGRAM_INFO, 0, 0, 0, 0, 0, 0};
    BYTE reply[7];
    bool ok = Exchange(req, reply);
    if (ok) {
        // reply[0] is input byte 1: ID in bytes 2..5, version in byte 6.
        programId = static_cast<DWORD>(reply[1]) | (static_cast<DWORD>(reply[2]) << 8) |
                    (static_cast<DWORD>(reply[3]) << 16) | (static_cast<DWORD>(reply[4]) << 24);
        version = reply[5];
    }
    m_nBusy.store(0);
    return ok;
}

bool CQL40USBComm::GetDeviceID(ULONGLONG& deviceId)
{
    if (!IsOpen() || m_nBusy.exchange(1)) return false;
    const BYTE req[7] = {CMD_DEVICE_ID, 0, 0, 0, 0, 0, 0};
    BYTE reply[7];
    bool ok = Exchange(req, reply) && reply[0] == CMD_DEVICE_ID;
    if (ok) {
        ULONGLONG id = 0;
        for (int i = 0; i < 6; ++i) id |= static_cast<ULONGLONG>(reply[1 + i]) << (8 * i);
        deviceId = id;
    }
    m_nBusy.store(0);
    return ok;
}

bool CQL40USBComm::ReadUserData(BYTE block, BYTE* buffer)
{
    if (!buffer) return false;
    if (!IsOpen() || m_nBusy.exchange(1)) return false;
    bool ok = true;
    for (DWORD offset = 0; offset < kUserDataBlockSize; offset += kUserDataStep) {
        const BYTE req[7] = {CMD_READ_USER_DATA, static_cast<BYTE>(offset), static_cast<BYTE>(kUserDataStep), block, 0, 0, 0};
        BYTE reply[7];
        // reply[1] is input byte 2, the offset echo; the data are input bytes 4..7.
        if (!Exchange(req, reply) || reply[1] != static_cast<BYTE>(offset)) {
            ok = false;
            break;
        }
        std::memcpy(buffer + offset, reply + 3, kUserDataStep);
    }
    m_nBusy.store(0);
    return ok;
}

bool CQL40USBComm::OnInputReport(const BYTE* report, DWORD length)
{
    if (!report || length != 8) return true;
    BYTE cmd = report[1];
    switch (cmd) {
    case CMD_READ_USER_DATA:
    case CMD_PROGRAM_INFO:
    case CMD_DEVICE_ID: {
        bool accepted = false;
        {
            std::lock_guard<std::mutex> lk(m_replyMu);
            if (m_nExpectedCmd.load() == cmd) {
                std::memcpy(m_Reply, report + 1, 7);
                m_nReplied.store(1);
                accepted = true;
            }
        }
        if (accepted) SetEvent(m_hReplyEvent);
        break;
    }
    case CMD_TEST_DATA:
        if (HWND hwnd = m_hOwnerWnd.load())
            PostMessageW(hwnd, RegisterWindowMessageW(u"QL40_TEST_DATA"), static_cast<WPARAM>(report[2] + 256 * report[3]), 0);
        break;
    default:
        break;
    }
    return true;
}
