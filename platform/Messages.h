// Window handles, posted and registered messages, and the UI thread's message queue.
// This part has no GUI in it: the Qt layer registers its windows here and drains the queue
// inside Qt's event loop; device code and its tests use it on their own.
#pragma once
#include <chrono>
#include <functional>

#include "platform/WinTypes.h"

struct MSG {
    HWND hwnd = nullptr;
    UINT message = 0;
    WPARAM wParam = 0;
    LPARAM lParam = 0;
};

inline constexpr UINT PM_NOREMOVE = 0;
inline constexpr UINT PM_REMOVE = 1;
inline constexpr UINT WM_USER = 0x0400;
inline constexpr UINT WM_APP = 0x8000;
// RegisterWindowMessageW hands out identifiers from this range.
inline constexpr UINT REGISTERED_MESSAGE_FIRST = 0xC000;
inline constexpr UINT REGISTERED_MESSAGE_LAST = 0xFFFF;

// The receiving end of a window: the UI layer implements it for each window it creates.
class IMessageTarget
{
public:
    virtual ~IMessageTarget() = default;
    virtual LRESULT ReceiveMessage(UINT message, WPARAM wParam, LPARAM lParam) = 0;
};

namespace platform {
// A fresh handle for a window; handle values are never reused, so a message for a window
// that is gone can never reach a newer one.
HWND RegisterWindow(IMessageTarget* target);
// After this, messages posted to the handle are dropped and SendMessageW returns 0.
void UnregisterWindow(HWND hwnd);
IMessageTarget* LookupWindow(HWND hwnd);

// Called from any thread after a message is posted or an event is set, so that a GUI loop
// blocked in its own wait wakes and drains the queue.
void SetWakeHook(std::function<void()> hook);
// Installed by the GUI layer on its thread: block until GUI events or a wake arrive and
// process them. Without it MsgWaitForSingleObject waits on a condition variable.
// The hook gets the longest real time it may block.
void SetGuiWaitHook(std::function<void(std::chrono::nanoseconds maxWait)> hook);
void NotifyActivity();
// Installed by the GUI layer: a message sent from another thread is handed over by handle
// (returns true with the result) before any window record is touched, so a window destroyed
// meanwhile on the GUI thread is simply not found there.
void SetCrossThreadSendHook(std::function<bool(HWND, UINT, WPARAM, LPARAM, LRESULT&)> hook);
// Number of messages waiting in the queue.
std::size_t PendingMessageCount();
// Drops every queued message (tests use it between cases).
void ClearMessageQueue();
} // namespace platform

UINT RegisterWindowMessageW(LPCWSTR name);
BOOL PostMessageW(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
// Synchronous: runs the window's message handling on the calling thread (the UI thread).
LRESULT SendMessageW(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
inline LRESULT SendMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    return SendMessageW(hwnd, message, wParam, lParam);
}
inline BOOL PostMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    return PostMessageW(hwnd, message, wParam, lParam);
}
// hwnd filter: null takes every message; min/max 0/0 take every message number.
BOOL PeekMessageW(MSG* msg, HWND hwnd, UINT msgMin, UINT msgMax, UINT removeMsg);
BOOL TranslateMessage(const MSG* msg);
// Delivers to the window if it still exists; a message for a destroyed window is dropped.
LRESULT DispatchMessageW(const MSG* msg);
BOOL IsWindow(HWND hwnd);
// Blocks the calling (UI) thread until the object is signalled, a message is posted or the
// time-out passes, processing GUI events meanwhile when a GUI is installed. Never spins.
// Returns WAIT_OBJECT_0 when the object is signalled (an auto-reset event is not consumed),
// WAIT_OBJECT_0 + 1 when messages are waiting, WAIT_TIMEOUT otherwise.
DWORD MsgWaitForSingleObject(HANDLE h, DWORD ms);
