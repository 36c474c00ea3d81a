// CDialog and its modal loop, the file chooser, message boxes, the GUI start-up and the input
// the tests send, on the system's dialog manager.
#include <chrono>
#include <thread>

#include "platform/Kernel.h"
#include "platform/ui/win32/Native.h"
#include "platform/ui/win32/WinInternal.h"

namespace nat = platform::ui::native;
using namespace platform::ui::w32;

namespace {
constexpr int SW_SHOW_ = 5;
} // namespace

// ---- CDialog -------------------------------------------------------------------------------

bool CDialog::CreateFromTemplate(HWND hWndParent)
{
    const platform::ui::DialogTemplateData* t = platform::ui::FindDialogTemplate(static_cast<int>(m_nIDTemplate));
    if (!t || m_hWnd) return false;
    return CreateDialogFromData(this, *t, hWndParent) != nullptr;
}

INT_PTR CDialog::DoModal()
{
    platform::ui::EnsureGui();
    const HWND parent = platform::ui::core::ModalOwner(*this);
    m_bEnded = false;
    m_nModalResult = -1;
    bool running = true;
    m_pLoop = &running;
    if (!CreateFromTemplate(parent)) {
        m_pLoop = nullptr;
        return -1;
    }
    const HWND self = m_hWnd;
    void* real = RealOf(self);
    void* realParent = RealOf(parent);
    if (!m_bEnded && real) {
        // Centred on the owner (or the screen), then shown: a modal dialog is shown whatever
        // its template says.
        const nat::Rect r = nat::WindowRect(real);
        nat::Rect area{0, 0, nat::SystemMetric(0), nat::SystemMetric(1)};
        if (realParent) area = nat::WindowRect(realParent);
        const int cx = r.right - r.left, cy = r.bottom - r.top;
        nat::Move(real, std::max(0, area.left + (area.right - area.left - cx) / 2),
                  std::max(0, area.top + (area.bottom - area.top - cy) / 2), cx, cy, false);
        if (realParent) nat::Enable(realParent, false);
        nat::Show(real, SW_SHOW_);
        nat::SetForeground(real);
        RunLater([self] { DialogShown(self); });
        while (running && !m_bEnded) {
            PumpOnce();
            if (!running || m_bEnded) break;
            nat::Wait(1000);
        }
        if (realParent) {
            nat::Enable(realParent, true);
            nat::SetForeground(realParent);
        }
    }
    m_pLoop = nullptr;
    if (m_hWnd == self) CDialog::DestroyWindow();
    return m_nModalResult;
}

BOOL CDialog::DestroyWindow()
{
    if (!m_hWnd) return FALSE;
    if (m_pLoop) {
        m_bEnded = true;
        *static_cast<bool*>(m_pLoop) = false;
    }
    return CWnd::DestroyWindow();
}

void CDialog::EndDialog(int nResult)
{
    m_nModalResult = nResult;
    m_bEnded = true;
    if (void* real = RealOf(m_hWnd)) {
        // The owner first, then the dialog goes: hidden while its owner is still disabled,
        // the dialog would hand activation to whatever window is next, another program's.
        if (m_pLoop)
            if (void* owner = nat::Owner(real)) nat::Enable(owner, true);
        nat::Show(real, 0);
    }
    if (m_pLoop) *static_cast<bool*>(m_pLoop) = false;
}

void CDialog::NextDlgCtrl() const
{
    void* real = RealOf(m_hWnd);
    if (real) nat::NextDialogControl(real, nat::Focus(), false);
}

// ---- CFileDialog ---------------------------------------------------------------------------


std::optional<CString> platform::ui::core::RunFileChooser(HWND owner, const CFileDialog& dlg)
{
    // "Desc|*.x|" becomes the system's "Desc\0*.x\0\0".
    std::u16string filter(dlg.m_strFilter.GetString(), static_cast<std::size_t>(dlg.m_strFilter.GetLength()));
    for (char16_t& c : filter)
        if (c == u'|') c = 0;
    filter.push_back(0);
    std::u16string path;
    if (!nat::FileDialog(RealOf(owner), dlg.m_bOpenFileDialog != FALSE, filter,
                         std::u16string(dlg.m_strFileName.GetString(), static_cast<std::size_t>(dlg.m_strFileName.GetLength())),
                         std::u16string(dlg.m_strInitialDir.GetString(), static_cast<std::size_t>(dlg.m_strInitialDir.GetLength())),
                         std::u16string(dlg.m_strDefExt.GetString(), static_cast<std::size_t>(dlg.m_strDefExt.GetLength())),
                         dlg.m_dwFlags, path) ||
        path.empty())
        return std::nullopt;
    return CString(path);
}

// ---- message boxes -------------------------------------------------------------------------

int platform::ui::core::ShowMessageBox(HWND owner, const CString& text, const CString& caption, UINT type)
{
    return nat::ShowMessageBox(RealOf(owner), text.GetString(), caption.GetString(), type);
}

// ---- the application -------------------------------------------------------------------------

namespace platform::ui {

void EnsureGui() { EnsureInit(); }

void core::StartGui(int, char**) { EnsureGui(); }

bool RunUntil(const std::function<bool()>& cond, int timeoutMs)
{
    EnsureGui();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!cond()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0) return cond();
        // Wakes on any message; the short bound re-checks conditions that change without one.
        nat::Wait(static_cast<std::uint32_t>(std::min<long long>(left, 10)));
        PumpOnce();
    }
    return true;
}

void ProcessPendingEvents()
{
    EnsureGui();
    PumpOnce();
}

void RunLater(std::function<void()> fn)
{
    EnsureGui();
    w32::RunLater(std::move(fn));
}

void SendKey(HWND hWnd, UINT vk, bool bShift, bool bCtrl, bool bAlt)
{
    void* real = RealOf(hWnd);
    if (!real) return;
    nat::KeyInput(real, vk, bShift, bCtrl, bAlt);
    nat::SettleInput();
    ProcessPendingEvents();
}

void TypeText(HWND hWnd, const CString& text)
{
    for (int i = 0; i < text.GetLength(); ++i) {
        void* real = RealOf(hWnd);
        if (!real) return;
        nat::CharInput(real, text[i]);
        nat::SettleInput();
        ProcessPendingEvents();
    }
}

void ClickMouse(HWND hWnd, bool bRight)
{
    void* real = RealOf(hWnd);
    if (!real) return;
    nat::ClickInput(real, bRight);
    nat::SettleInput();
    ProcessPendingEvents();
}

} // namespace platform::ui

// ---- the toolkit's part of the core ---------------------------------------------------------

void platform::ui::core::Beep(UINT type) { nat::Beep(type); }

// A dialog-based application has ended with its dialog; with no window left there is no loop
// to run.
void platform::ui::core::RunEventLoop() {}

// ---- the system ----------------------------------------------------------------------------

std::int16_t GetKeyState(int nVirtKey) { return nat::KeyState(nVirtKey); }

BOOL GetClipboardText(CString& strText)
{
    std::u16string text;
    const bool ok = nat::ClipboardText(text);
    strText = CString(text.c_str(), static_cast<int>(text.size()));
    return ok ? TRUE : FALSE;
}

BOOL InitCommonControlsEx(const INITCOMMONCONTROLSEX* picce)
{
    // The classes themselves are registered once with the framework's start.
    if (!picce || picce->dwSize != sizeof(INITCOMMONCONTROLSEX)) return FALSE;
    platform::ui::EnsureGui();
    return TRUE;
}
