// The message queue of platform/Messages.h on the real one: registered messages, posts and
// sends go through user32, so a message posted from a worker thread wakes the UI thread's
// real message loop, and a window the UI layer creates is addressed like any other.
// A Qt-free receiver (device code, tests) gets a message-only window of its own.
#include "platform/Messages.h"

#include <mutex>

#include "platform/Kernel.h"
#include "platform/win32/ScaledTime.h"
#include "platform/win32/Win32Api.h"
#include "platform/win32/Win32Queue.h"

namespace w32 = platform::win32;

namespace {

std::mutex g_hookMu;
std::function<void()> g_wakeHook;
std::function<bool(HWND, UINT, WPARAM, LPARAM, LRESULT&)> g_sendHook;

std::intptr_t Receive(void* context, std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam)
{
    return static_cast<IMessageTarget*>(context)->ReceiveMessage(message, wParam, lParam);
}

void InstallReceiver()
{
    static std::once_flag once;
    std::call_once(once, [] { w32::SetReceiver(&Receive); });
}

} // namespace

namespace platform {

HWND RegisterWindow(IMessageTarget* target)
{
    InstallReceiver();
    return static_cast<HWND>(w32::NewMessageWindow(target));
}

void UnregisterWindow(HWND hwnd)
{
    if (!hwnd) return;
    w32::SetWindowContext(hwnd, nullptr); // from now on its messages are dropped
    w32::DestroyMessageWindow(hwnd);
}

IMessageTarget* LookupWindow(HWND hwnd) { return static_cast<IMessageTarget*>(w32::WindowContext(hwnd)); }

void SetWakeHook(std::function<void()> hook)
{
    std::lock_guard<std::mutex> lk(g_hookMu);
    g_wakeHook = std::move(hook);
}

// The real message loop wakes on posted messages and on the kernel objects it waits for, so
// a GUI layer on Windows needs no wait of its own.
void SetGuiWaitHook(std::function<void(std::chrono::nanoseconds)>) {}

void SetCrossThreadSendHook(std::function<bool(HWND, UINT, WPARAM, LPARAM, LRESULT&)> hook)
{
    std::lock_guard<std::mutex> lk(g_hookMu);
    g_sendHook = std::move(hook);
}

void NotifyActivity()
{
    std::function<void()> hook;
    {
        std::lock_guard<std::mutex> lk(g_hookMu);
        hook = g_wakeHook;
    }
    if (hook) hook();
}

// The real queue can be asked only whether a posted message waits, not how many: the answer
// is 0 or 1, for the calling thread's queue.
std::size_t PendingMessageCount() { return w32::PostedMessageWaiting() ? 1 : 0; }

void ClearMessageQueue()
{
    w32::Msg m{};
    while (w32::Peek(&m, nullptr, 0, 0, PM_REMOVE)) {
    }
}

} // namespace platform

UINT RegisterWindowMessageW(LPCWSTR name)
{
    if (!name || !*name) return 0;
    return w32::RegisterMessage(name);
}

BOOL PostMessageW(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    // A null handle would post to the calling thread's queue, which nobody here reads.
    if (!hwnd || !w32::Post(hwnd, message, wParam, lParam)) return FALSE;
    platform::NotifyActivity();
    return TRUE;
}

LRESULT SendMessageW(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    std::function<bool(HWND, UINT, WPARAM, LPARAM, LRESULT&)> hook;
    {
        std::lock_guard<std::mutex> lk(g_hookMu);
        hook = g_sendHook;
    }
    LRESULT r = 0;
    if (hook && hook(hwnd, message, wParam, lParam, r)) return r;
    if (!w32::IsWindowHandle(hwnd)) return 0;
    return w32::Send(hwnd, message, wParam, lParam);
}

BOOL PeekMessageW(MSG* msg, HWND hwnd, UINT msgMin, UINT msgMax, UINT removeMsg)
{
    w32::Msg m{};
    if (!w32::Peek(&m, hwnd, msgMin, msgMax, removeMsg)) return FALSE;
    if (msg) *msg = MSG{static_cast<HWND>(m.hwnd), m.message, m.wParam, m.lParam};
    return TRUE;
}

BOOL TranslateMessage(const MSG* msg)
{
    if (!msg) return FALSE;
    w32::Msg m{msg->hwnd, msg->message, msg->wParam, msg->lParam};
    return w32::Translate(&m) ? TRUE : FALSE;
}

LRESULT DispatchMessageW(const MSG* msg)
{
    if (!msg || !msg->hwnd) return 0;
    w32::Msg m{msg->hwnd, msg->message, msg->wParam, msg->lParam};
    return w32::Dispatch(&m);
}

BOOL IsWindow(HWND hwnd) { return w32::IsWindowHandle(hwnd) ? TRUE : FALSE; }

DWORD MsgWaitForSingleObject(HANDLE h, DWORD ms)
{
    switch (w32::WaitObjectOrInput(h, w32::RealMsFor(ms))) {
    case 0: {
        // The real wait consumed an auto-reset event; this wait promises not to.
        bool signaled = false, autoReset = false;
        if (w32::QueryEvent(h, &signaled, &autoReset) && autoReset) w32::Set(h);
        return WAIT_OBJECT_0;
    }
    case 1: return WAIT_OBJECT_0 + 1;
    case 2: return WAIT_TIMEOUT;
    default: return WAIT_FAILED;
    }
}
