// CThread: the worker-thread base of the device classes.
//
// Stop waits 2000 ms for the body, then "terminates" it with exit code 254. Linux cannot
// kill a thread safely, so TerminateThread of the platform records the exit code and waits
// for the body to return by itself. That wait is bounded because every body in this tool
// looks at the stop flag after each bounded step (one check, or one 1000-ms sleep); a body
// is never cut off half-way, so no lock or heap block is left in an undefined state.
#pragma once
#include <atomic>
#include <mutex>

#include "platform/WinTypes.h"

class CThread
{
public:
    CThread();
    // Closes a handle still held; does not stop the thread (derived destructors call Stop).
    virtual ~CThread();
    CThread(const CThread&) = delete;
    CThread& operator=(const CThread&) = delete;

    void Start();
    bool Stop();
    static unsigned ThreadEntry(void* pThis);

    bool IsRunning() const { return m_hThread.load() != nullptr; }

protected:
    virtual unsigned Run() = 0;
    virtual void NotifyStop() {}
    bool IsStopRequested() const { return m_bStop.load(); }

    static constexpr DWORD kStopTimeoutMs = 2000;
    static constexpr DWORD kTerminatedExitCode = 254;

private:
    std::atomic<HANDLE> m_hThread{nullptr};
    std::atomic<unsigned> m_nThreadId{0}; // the running thread's id, for a debugger's eye (0: none yet)
    std::atomic<bool> m_bStop{false};
    std::mutex m_startMu;
};
