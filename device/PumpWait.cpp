#include "device/PumpWait.h"

#include "platform/Clock.h"
#include "platform/Kernel.h"
#include "platform/Messages.h"

namespace {

struct TimerRecord {
    DWORD ms;
    HANDLE hEvent;
};

DWORD TimerProc(LPVOID arg)
{
    auto* rec = static_cast<TimerRecord*>(arg);
    Sleep(rec->ms);
    SetEvent(rec->hEvent);
    return 0;
}

void DispatchPending()
{
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
}

} // namespace

void PumpWait(DWORD ms)
{
    HANDLE hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!hEvent) return;
    TimerRecord rec{ms, hEvent};
    HANDLE hTimer = CreateThread(nullptr, 0, &TimerProc, &rec, 0, nullptr);
    if (!hTimer) {
        // No timer thread: the wait runs out on the clock here instead.
        const ULONGLONG end = GetTickCount64() + ms;
        for (;;) {
            DispatchPending();
            ULONGLONG now = GetTickCount64();
            if (now >= end) break;
            MsgWaitForSingleObject(hEvent, static_cast<DWORD>(end - now));
        }
        CloseHandle(hEvent);
        return;
    }
    for (;;) {
        DispatchPending();
        if (WaitForSingleObject(hEvent, 0) == WAIT_OBJECT_0) break;
        MsgWaitForSingleObject(hEvent, INFINITE);
    }
    // The record lives on this stack: the timer thread must be done with it.
    WaitForSingleObject(hTimer, INFINITE);
    CloseHandle(hTimer);
    CloseHandle(hEvent);
}
