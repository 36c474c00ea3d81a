#include "device/Thread.h"

#include "platform/Kernel.h"

CThread::CThread() = default;

CThread::~CThread()
{
    if (HANDLE h = m_hThread.exchange(nullptr)) CloseHandle(h);
}

void CThread::Start()
{
    std::lock_guard<std::mutex> lk(m_startMu);
    if (m_hThread.load()) return;
    m_bStop.store(false);
    unsigned id = 0;
    std::uintptr_t h = _beginthreadex(nullptr, 0, &CThread::ThreadEntry, this, 0, &id);
    m_nThreadId.store(id);
    if (h) m_hThread.store(reinterpret_cast<HANDLE>(h));
}

unsigned CThread::ThreadEntry(void* pThis)
{
    auto* self = static_cast<CThread*>(pThis);
    if (!self) return 0;
    unsigned code = self->Run();
    // A body that ends at once must not clear the handle before Start has stored it.
    { std::lock_guard<std::mutex> lk(self->m_startMu); }
    if (!self->m_bStop.load()) {
        // Ended by itself: let Start start a new thread. Whoever takes the handle closes it.
        if (HANDLE h = self->m_hThread.exchange(nullptr)) CloseHandle(h);
    }
    return code;
}

bool CThread::Stop()
{
    HANDLE h = m_hThread.load();
    if (!h) return true;
    m_bStop.store(true);
    NotifyStop();
    DWORD r = WaitForSingleObject(h, kStopTimeoutMs);
    HANDLE mine = m_hThread.exchange(nullptr);
    if (!mine) return true; // the body ended and its thread let go of the handle
    if (r == WAIT_OBJECT_0) {
        CloseHandle(mine);
        return true;
    }
    BOOL ok = TerminateThread(mine, kTerminatedExitCode);
    CloseHandle(mine);
    return ok != FALSE;
}
