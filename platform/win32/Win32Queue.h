// The thread message queue and window handles of user32, behind names and types of our own
// (see Win32Api.h for why). Window handles are real HWNDs: a window the UI layer creates and a
// message-only window made here for a Qt-free receiver are the same kind of handle, and a
// message posted to either goes through the real queue of the thread that created it.
#pragma once
#include <cstdint>

namespace platform::win32 {

using Hwnd = void*;
// Called by a window's procedure for a message to a window that has a receiver context.
using Receiver = std::intptr_t (*)(void* context, std::uint32_t message, std::uintptr_t wParam,
                                   std::intptr_t lParam);

// Installed once by the seam: how a context receives its messages.
void SetReceiver(Receiver receiver);
// A message-only window owned by the calling thread that hands its messages to the context.
Hwnd NewMessageWindow(void* context);
// Any window's receiver context (a window property); null detaches it.
void SetWindowContext(Hwnd hwnd, void* context);
void* WindowContext(Hwnd hwnd);
// Destroys a window made by NewMessageWindow (from another thread: asks its owner to).
void DestroyMessageWindow(Hwnd hwnd);
bool IsMessageWindow(Hwnd hwnd);
// The common window procedure of windows with a receiver context: a window without one (or
// whose context was detached) answers 0 to everything but the system's own messages.
std::intptr_t DeliverToContext(Hwnd hwnd, std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam);

struct Msg {
    Hwnd hwnd;
    std::uint32_t message;
    std::uintptr_t wParam;
    std::intptr_t lParam;
};
std::uint32_t RegisterMessage(const char16_t* name);
bool Post(Hwnd hwnd, std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam);
std::intptr_t Send(Hwnd hwnd, std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam);
bool Peek(Msg* msg, Hwnd hwnd, std::uint32_t msgMin, std::uint32_t msgMax, std::uint32_t removeFlags);
bool Translate(const Msg* msg);
std::intptr_t Dispatch(const Msg* msg);
bool IsWindowHandle(Hwnd hwnd);
// True while a posted message waits in the calling thread's queue.
bool PostedMessageWaiting();
// Waits for the object (when given), for input in the calling thread's queue, or the time-out
// (real milliseconds). Returns 0 for the object, 1 for input, 2 for the time-out, 3 on failure.
int WaitObjectOrInput(void* handle, std::uint32_t realMs);

} // namespace platform::win32
