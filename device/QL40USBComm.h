// CQL40USBComm: the mouse in application mode (vendor 0x1EA7, usage page 0xFFBA; the layouts
// are wire::app's). Requests are 7-byte output reports with report ID 0xBA; replies are 8-byte input reports that the
// reader thread hands to OnInputReport, which wakes the waiting request through the
// auto-reset event "QL40_REPLY_EVENT". Its thread keeps the device open while present and
// posts "QL40_DEVICE_CHANGE" to the owner window.
#pragma once
#include <atomic>
#include <mutex>

#include "device/HIDCommSTD.h"
#include "device/Thread.h"
#include "device/Wire.h"

class CQL40USBComm : public CHIDCommSTD, public CThread
{
public:
    static constexpr USHORT kVendorID = wire::app::kVendorID;
    static constexpr USHORT kUsagePage = wire::app::kUsagePage;
    static constexpr int kAttempts = 3;
    static constexpr DWORD kTimeoutMs = 1000;

    CQL40USBComm();
    ~CQL40USBComm() override;

    // Out-parameters are written only on success.
    bool GetProgramInfo(BYTE& version, DWORD& programId);
    bool GetDeviceID(ULONGLONG& deviceId);
    // buffer holds 256 bytes; on failure it holds the steps completed before.
    bool ReadUserData(BYTE block, BYTE* buffer);

    bool OnInputReport(const BYTE* report, DWORD length) override;

    bool FindDevice(CString& path);
    // Every matching collection, in enumeration order: the presence poll opens the first that
    // lets it.
    std::vector<CString> FindDevices();
    static bool Filter(const HID_ATTRIBUTES_CAPABILITES& rec);

    // Set by the main window before Start; null: nothing is posted.
    std::atomic<HWND> m_hOwnerWnd{nullptr};

protected:
    unsigned Run() override;

private:
    using Request = BYTE[wire::app::kRequestLength];
    using Reply = BYTE[wire::app::kReplyLength];
    // Steps 2 to 5 of one exchange: send the request up to 3 times until a reply with the
    // same command arrives. True with the reply's bytes 1..7 in `got`.
    bool Exchange(const Request& sent, Reply& got);

    std::atomic<int> m_nBusy{0};
    std::atomic<int> m_nReplied{0};
    HANDLE m_hReplyEvent = nullptr;
    std::atomic<int> m_nExpectedCmd{0};
    BYTE m_Request[wire::app::kRequestLength + 1] = {};
    std::mutex m_replyMu; // the reply bytes: written by the reader, read by the requester
    Reply m_Reply = {};
};
