// CHIDCommSTD: CHIDComm plus a reader thread that hands every input report to the virtual
// OnInputReport. The reader runs while a device is open; Close stops it (and waits for it)
// before the device is closed, so hidapi never sees a read racing a close.
#pragma once
#include <atomic>
#include <thread>

#include "device/HIDComm.h"

class CHIDCommSTD : public CHIDComm
{
public:
    CHIDCommSTD();
    // Closes the device, which stops the reader. A derived class whose OnInputReport touches
    // its own members must call Close in its own destructor, before those members go.
    ~CHIDCommSTD() override;

    long Open(LPCWSTR path) override;
    long Close() override;
    long Write(const BYTE* buf, DWORD length, DWORD* written, OVERLAPPED* ov, DWORD timeoutMs) override;
    long Read(BYTE* buf, DWORD length, DWORD* read, OVERLAPPED* ov, DWORD timeoutMs) override;

    // Runs on the reader thread; report[0] is the report ID.
    virtual bool OnInputReport(const BYTE* report, DWORD length);

protected:
    virtual DWORD ThreadProc();
    void OnOpened() override;
    void OnClosing() override;

private:
    std::thread m_reader;
    std::atomic<bool> m_bStopReader{false};
    std::shared_ptr<platform::hid::IHidDevice> m_pReaderDevice; // written before the thread starts
};
