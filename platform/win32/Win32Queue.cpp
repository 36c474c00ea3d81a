// The one file that sees user32 for the Qt-free message queue; see Win32Queue.h.
#include <windows.h>

#include "platform/win32/Win32Queue.h"

namespace platform::win32 {
namespace {
constexpr wchar_t kContextProp[] = L"Tarvex.Receiver";
constexpr wchar_t kClassName[] = L"TarvexMessageWindow";
// Asks the owning thread to destroy a message window (DestroyWindow works only there).
constexpr UINT kDestroyRequest = WM_APP + 0x3FF0;

Receiver g_receiver = nullptr;

LRESULT CALLBACK MessageWindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == kDestroyRequest) {
        DestroyWindow(hwnd);
        return 0;
    }
    return DeliverToContext(hwnd, message, wParam, lParam);
}

ATOM MessageWindowClass()
{
    static ATOM atom = [] {
        WNDCLASSEXW wc{};
        wc.cbSize = sizeof wc;
        wc.lpfnWndProc = &MessageWindowProc;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.lpszClassName = kClassName;
        return RegisterClassExW(&wc);
    }();
    return atom;
}

MSG ToMsg(const Msg& m)
{
    MSG w{};
    w.hwnd = static_cast<HWND>(m.hwnd);
    w.message = m.message;
    w.wParam = m.wParam;
    w.lParam = m.lParam;
    w.time = GetMessageTime();
    return w;
}
} // namespace

void SetReceiver(Receiver receiver) { g_receiver = receiver; }

Hwnd NewMessageWindow(void* context)
{
    if (!MessageWindowClass()) return nullptr;
    HWND h = CreateWindowExW(0, kClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, GetModuleHandleW(nullptr),
                             nullptr);
    if (h) SetPropW(h, kContextProp, context);
    return h;
}

void SetWindowContext(Hwnd hwnd, void* context)
{
    if (context) SetPropW(static_cast<HWND>(hwnd), kContextProp, context);
    else RemovePropW(static_cast<HWND>(hwnd), kContextProp);
}

void* WindowContext(Hwnd hwnd)
{
    return hwnd && IsWindow(static_cast<HWND>(hwnd)) ? GetPropW(static_cast<HWND>(hwnd), kContextProp) : nullptr;
}

bool IsMessageWindow(Hwnd hwnd)
{
    wchar_t name[64] = {};
    return hwnd && GetClassNameW(static_cast<HWND>(hwnd), name, 64) > 0 && lstrcmpW(name, kClassName) == 0;
}

void DestroyMessageWindow(Hwnd hwnd)
{
    HWND h = static_cast<HWND>(hwnd);
    if (!IsMessageWindow(hwnd)) return;
    if (GetWindowThreadProcessId(h, nullptr) == GetCurrentThreadId()) DestroyWindow(h);
    else PostMessageW(h, kDestroyRequest, 0, 0);
}

std::intptr_t DeliverToContext(Hwnd hwnd, std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam)
{
    HWND h = static_cast<HWND>(hwnd);
    void* context = GetPropW(h, kContextProp);
    if (context && g_receiver) return g_receiver(context, message, wParam, lParam);
    // Nobody listens any more: the tool's own messages are dropped, the system's handled.
    if (message >= WM_USER) return 0;
    if (message == WM_NCDESTROY) RemovePropW(h, kContextProp);
    return DefWindowProcW(h, message, wParam, lParam);
}

std::uint32_t RegisterMessage(const char16_t* name)
{
    return RegisterWindowMessageW(reinterpret_cast<LPCWSTR>(name));
}

bool Post(Hwnd hwnd, std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam)
{
    return PostMessageW(static_cast<HWND>(hwnd), message, wParam, lParam) != FALSE;
}

std::intptr_t Send(Hwnd hwnd, std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam)
{
    return SendMessageW(static_cast<HWND>(hwnd), message, wParam, lParam);
}

bool Peek(Msg* msg, Hwnd hwnd, std::uint32_t msgMin, std::uint32_t msgMax, std::uint32_t removeFlags)
{
    MSG w{};
    if (!PeekMessageW(&w, static_cast<HWND>(hwnd), msgMin, msgMax, removeFlags)) return false;
    if (msg) *msg = Msg{w.hwnd, w.message, w.wParam, w.lParam};
    return true;
}

bool Translate(const Msg* msg)
{
    MSG w = ToMsg(*msg);
    return TranslateMessage(&w) != FALSE;
}

std::intptr_t Dispatch(const Msg* msg)
{
    MSG w = ToMsg(*msg);
    return DispatchMessageW(&w);
}

bool IsWindowHandle(Hwnd hwnd) { return hwnd && IsWindow(static_cast<HWND>(hwnd)); }

bool PostedMessageWaiting() { return (HIWORD(GetQueueStatus(QS_POSTMESSAGE)) & QS_POSTMESSAGE) != 0; }

int WaitObjectOrInput(void* handle, std::uint32_t realMs)
{
    HANDLE h = handle;
    DWORD n = h ? 1 : 0;
    DWORD r = MsgWaitForMultipleObjectsEx(n, h ? &h : nullptr, realMs, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    if (r == WAIT_OBJECT_0 && n == 1) return 0;
    if (r == WAIT_OBJECT_0 + n) return 1;
    if (r == WAIT_TIMEOUT) return 2;
    return 3;
}

} // namespace platform::win32
