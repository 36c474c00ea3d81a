#include "platform/Messages.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <string>

#include "platform/Clock.h"
#include "platform/Kernel.h"

namespace {

std::mutex g_winMu;
std::map<std::uintptr_t, IMessageTarget*> g_windows;
std::uintptr_t g_nextHwnd = 0x10000;

std::mutex g_regMu;
std::map<std::u16string, UINT> g_registered;
UINT g_nextRegistered = REGISTERED_MESSAGE_FIRST;

std::mutex g_queueMu;
std::condition_variable g_activityCv;
std::deque<MSG> g_queue;
std::uint64_t g_activity = 0;

std::mutex g_hookMu;
std::function<void()> g_wakeHook;
std::function<void(std::chrono::nanoseconds)> g_guiWaitHook;
std::function<bool(HWND, UINT, WPARAM, LPARAM, LRESULT&)> g_sendHook;

} // namespace

namespace platform {

HWND RegisterWindow(IMessageTarget* target)
{
    std::lock_guard<std::mutex> lk(g_winMu);
    std::uintptr_t h = g_nextHwnd;
    g_nextHwnd += 2;
    g_windows.emplace(h, target);
    return reinterpret_cast<HWND>(h);
}

void UnregisterWindow(HWND hwnd)
{
    std::lock_guard<std::mutex> lk(g_winMu);
    g_windows.erase(reinterpret_cast<std::uintptr_t>(hwnd));
}

IMessageTarget* LookupWindow(HWND hwnd)
{
    std::lock_guard<std::mutex> lk(g_winMu);
    auto it = g_windows.find(reinterpret_cast<std::uintptr_t>(hwnd));
    return it == g_windows.end() ? nullptr : it->second;
}

void SetWakeHook(std::function<void()> hook)
{
    std::lock_guard<std::mutex> lk(g_hookMu);
    g_wakeHook = std::move(hook);
}

void SetGuiWaitHook(std::function<void(std::chrono::nanoseconds)> hook)
{
    std::lock_guard<std::mutex> lk(g_hookMu);
    g_guiWaitHook = std::move(hook);
}

void SetCrossThreadSendHook(std::function<bool(HWND, UINT, WPARAM, LPARAM, LRESULT&)> hook)
{
    std::lock_guard<std::mutex> lk(g_hookMu);
    g_sendHook = std::move(hook);
}

void NotifyActivity()
{
    {
        std::lock_guard<std::mutex> lk(g_queueMu);
        ++g_activity;
    }
    g_activityCv.notify_all();
    std::function<void()> hook;
    {
        std::lock_guard<std::mutex> lk(g_hookMu);
        hook = g_wakeHook;
    }
    if (hook) hook();
}

std::size_t PendingMessageCount()
{
    std::lock_guard<std::mutex> lk(g_queueMu);
    return g_queue.size();
}

void ClearMessageQueue()
{
    std::lock_guard<std::mutex> lk(g_queueMu);
    g_queue.clear();
}

} // namespace platform

UINT RegisterWindowMessageW(LPCWSTR name)
{
    if (!name || !*name) return 0;
    std::lock_guard<std::mutex> lk(g_regMu);
    auto it = g_registered.find(name);
    if (it != g_registered.end()) return it->second;
    if (g_nextRegistered > REGISTERED_MESSAGE_LAST) return 0;
    UINT id = g_nextRegistered++;
    g_registered.emplace(name, id);
    return id;
}

BOOL PostMessageW(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (!IsWindow(hwnd)) return FALSE;
    {
        std::lock_guard<std::mutex> lk(g_queueMu);
        g_queue.push_back(MSG{hwnd, message, wParam, lParam});
    }
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
    IMessageTarget* t = platform::LookupWindow(hwnd);
    return t ? t->ReceiveMessage(message, wParam, lParam) : 0;
}

BOOL PeekMessageW(MSG* msg, HWND hwnd, UINT msgMin, UINT msgMax, UINT removeMsg)
{
    std::lock_guard<std::mutex> lk(g_queueMu);
    for (auto it = g_queue.begin(); it != g_queue.end(); ++it) {
        if (hwnd && it->hwnd != hwnd) continue;
        if ((msgMin || msgMax) && (it->message < msgMin || it->message > msgMax)) continue;
        if (msg) *msg = *it;
        if (removeMsg & PM_REMOVE) g_queue.erase(it);
        return TRUE;
    }
    return FALSE;
}

BOOL TranslateMessage(const MSG*) { return FALSE; }

LRESULT DispatchMessageW(const MSG* msg)
{
    if (!msg) return 0;
    return SendMessageW(msg->hwnd, msg->message, msg->wParam, msg->lParam);
}

BOOL IsWindow(HWND hwnd)
{
    return hwnd && platform::LookupWindow(hwnd) ? TRUE : FALSE;
}

DWORD MsgWaitForSingleObject(HANDLE h, DWORD ms)
{
    const bool bounded = ms != INFINITE;
    const auto deadline = std::chrono::steady_clock::now() + (bounded ? platform::ScaledDuration(ms) : std::chrono::nanoseconds(0));
    for (;;) {
        std::uint64_t seen;
        {
            std::lock_guard<std::mutex> lk(g_queueMu);
            seen = g_activity;
            if (!g_queue.empty()) return WAIT_OBJECT_0 + 1;
        }
        if (platform::IsSignaled(h)) return WAIT_OBJECT_0;
        auto now = std::chrono::steady_clock::now();
        if (bounded && now >= deadline) return WAIT_TIMEOUT;
        std::function<void(std::chrono::nanoseconds)> gui;
        {
            std::lock_guard<std::mutex> lk(g_hookMu);
            gui = g_guiWaitHook;
        }
        auto maxWait = bounded ? std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - now)
                               : std::chrono::nanoseconds(std::chrono::hours(1));
        if (gui) {
            gui(maxWait);
            continue;
        }
        std::unique_lock<std::mutex> lk(g_queueMu);
        g_activityCv.wait_for(lk, maxWait, [&] { return g_activity != seen; });
    }
}
